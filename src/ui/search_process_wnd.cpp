#include "ui/search_process_wnd.h"

#include <QLabel>
#include <QProgressBar>
#include <algorithm>
#include <cwctype>

#include "ui/disk_list.h"
#include "ui/process_worker.h"
#include "ui/window_texts.h"
#include "ui_SearchProcessWnd.h"

namespace norvale {

// Runs on the worker: hands every report to the window on the user-interface thread. Progress
// comes inside the search's lock, which the stop question holds.
class CSearchProcessWnd::Observer : public ISearchObserver {
  public:
    explicit Observer(CSearchProcessWnd& wnd) : wnd_(wnd) {}

    void OnSourceListing(const SourceInfo& source) override {
        ListedSource listed;
        listed.isImage = !source.IsPartition();
        listed.tag = source.Tag();
        listed.hasLetter = !listed.isImage && std::iswalpha(wint_t(listed.tag)) != 0;
        listed.imagePath = source.imagePath;
        if (source.IsPartition()) listed.partition = source.partition;
        wnd_.worker_->Post([w = &wnd_, listed] { w->ShowSource(listed); });
    }
    void OnProgress(int percent) override {
        wnd_.worker_->Post([w = &wnd_, percent] { w->ShowProgress(percent); });
    }

  private:
    CSearchProcessWnd& wnd_;
};

CSearchProcessWnd::CSearchProcessWnd(std::vector<SourceInfo*> sources, std::string pattern,
                                     std::vector<RecoveredItem>& collected, QWidget* owner)
    : ProcessWindow(owner,
                    {"UISearchProcessWnd", "SearchProcessWnd", "MSG1205", QSize(kWidth, kHeight)},
                    [](QDialog* self) { Ui::SearchProcessWnd().setupUi(self); }),
      sources_(std::move(sources)),
      pattern_(std::move(pattern)),
      collected_(collected) {
    stage_ = findChild<QLabel*>(QStringLiteral("stage"));
    percent_ = findChild<QLabel*>(QStringLiteral("percent"));
    time_ = findChild<QLabel*>(QStringLiteral("time"));
    progress_ = findChild<QProgressBar*>(QStringLiteral("progress"));
    // The search has no report of its own for its end: the worker's end is it, and it comes
    // after the last progress report.
    connect(worker_, &ProcessWorker::finished, this, [this] {
        finished_ = true;
        done(kDone);
    });
}

CSearchProcessWnd::~CSearchProcessWnd() {
    // The worker reports to this window and its observer; it must be gone first.
    worker_->Join();
}

int CSearchProcessWnd::Run() {
    // Nothing to list: a window waiting for the worker's end would never close.
    if (sources_.empty() || worker_->Started()) return kDone;
    ApplyTexts();
    percent_->setText(LabelAndValue(table_->Text("Messages", "MSG1204"), QStringLiteral("0%")));
    time_->setText(TimeLeftLine(table_->Section("Messages"), "MSG0304", "MSG0305", -1));
    listable_ = int(std::count_if(sources_.begin(), sources_.end(),
                                  [](const SourceInfo* s) { return s && s->engine; }));
    listed_ = 0;
    clock_.Start();

    observer_ = std::make_unique<Observer>(*this);
    search_ = std::make_unique<Search>(*observer_);
    worker_->Start([search = search_.get(), sources = &sources_, pattern = &pattern_,
                    out = &collected_] { search->Run(*sources, *pattern, *out); });
    // A stop, confirmed or forced by closing the window, ends the listing early; what was
    // collected by then is the result all the same.
    const int result = RunModal(kDone);
    emit searchFinished();
    return result;
}

void CSearchProcessWnd::ShowSource(const ListedSource& source) {
    TextSection& messages = table_->Section("Messages");
    SourceInfo listed;
    listed.partition = source.partition;
    const QString imagePartition = ImagePartitionSourceName(listed, messages);
    QString text;
    if (!imagePartition.isEmpty()) {
        text = FillFormatText(messages.Text("MSG1203"), {imagePartition.toStdString()});
    } else if (source.isImage) {
        text = FillFormatText(messages.Text("MSG1203"), {source.imagePath});
    } else if (source.hasLetter) {
        text = FillFormatText(messages.Text("MSG1201"), {char32_t(source.tag)});
    } else {
        text = FillFormatText(messages.Text("MSG1202"), {int64_t(source.tag)});
    }
    stage_->setText(text);
    ++listed_;
}

void CSearchProcessWnd::ShowProgress(int percent) {
    progress_->setValue(std::clamp(percent, 0, 100));
    percent_->setText(LabelAndValue(table_->Text("Messages", "MSG1204"),
                                    QString::number(percent) + QLatin1Char('%')));
    // The percent is the listed source's; the time left counts the sources still to come.
    const uint64_t done =
        uint64_t(std::max(listed_ - 1, 0)) * 100 + uint64_t(std::clamp(percent, 0, 100));
    time_->setText(TimeLeftLine(table_->Section("Messages"), "MSG0304", "MSG0305",
                                clock_.SecondsLeft(done, uint64_t(std::max(listable_, 1)) * 100)));
}

}  // namespace norvale
