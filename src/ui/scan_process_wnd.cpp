#include "ui/scan_process_wnd.h"

#include <QLabel>
#include <QProgressBar>
#include <algorithm>
#include <cctype>
#include <future>

#include "ui/disk_list.h"
#include "ui/message_box.h"
#include "ui/process_worker.h"
#include "ui/window_texts.h"
#include "ui_ScanProcessWnd.h"

namespace norvale {

// Runs on the worker: hands every report to the window on the user-interface thread. Only the
// resume question waits for the window's answer.
class CScanProcessWnd::Observer : public IScanObserver {
  public:
    explicit Observer(CScanProcessWnd& wnd) : wnd_(wnd) {}

    void OnStage(const ScanStage& stage) override {
        wnd_.worker_->Post([w = &wnd_, stage] { w->ShowStage(stage); });
    }
    void OnProgress(const ScanProgress& progress) override {
        wnd_.worker_->Post([w = &wnd_, progress] { w->ShowProgress(progress); });
    }
    void OnSourceDone(const ScanStage&, Result, uint64_t itemCount) override {
        wnd_.worker_->Post([w = &wnd_, itemCount] { w->filesFound_ += itemCount; });
    }
    bool AskResume(const ScanStage& stage) override {
        std::promise<bool> answer;
        std::future<bool> result = answer.get_future();
        wnd_.worker_->Post([w = &wnd_, &answer, stage] { answer.set_value(w->AskResume(stage)); });
        return result.get();
    }
    void OnFinished(ScanOutcome outcome, size_t failedIndex) override {
        wnd_.worker_->Post(
            [w = &wnd_, outcome, failedIndex] { w->OnFinished(outcome, failedIndex); });
    }

  private:
    CScanProcessWnd& wnd_;
};

CScanProcessWnd::CScanProcessWnd(std::vector<SourceInfo*> sources, int scanKind, QWidget* owner)
    : ProcessWindow(owner, {"UIScanProcessWnd", "ScanWnd", "MSG0709", QSize(kWidth, kHeight)},
                    [](QDialog* self) { Ui::ScanProcessWnd().setupUi(self); }),
      sources_(std::move(sources)),
      professional_(scanKind == 1) {
    stage_ = findChild<QLabel*>(QStringLiteral("stage"));
    percent_ = findChild<QLabel*>(QStringLiteral("percent"));
    time_ = findChild<QLabel*>(QStringLiteral("time"));
    progress_ = findChild<QProgressBar*>(QStringLiteral("progress"));
    sectors_ = findChild<QLabel*>(QStringLiteral("sectors"));
    files_ = findChild<QLabel*>(QStringLiteral("totalfile"));
}

CScanProcessWnd::~CScanProcessWnd() {
    // The worker reports to this window and its observer; it must be gone first.
    worker_->Join();
}

void CScanProcessWnd::SetEngineBuilder(ScanDriver::EngineBuilder builder) {
    builder_ = std::move(builder);
}

int CScanProcessWnd::Run() {
    // Nothing to scan: the pass would end before it began, and a window waiting for it would
    // never close.
    if (sources_.empty() || worker_->Started()) return kDone;
    ApplyTexts();
    sectors_->hide();
    files_->hide();
    time_->setText(FromUtf8(table_->Text("Messages", "MSG0705")));

    observer_ = std::make_unique<Observer>(*this);
    driver_ = std::make_unique<ScanDriver>(sources_, professional_, *observer_);
    if (builder_) driver_->SetEngineBuilder(builder_);
    driver_->SetSkipUnreadable(oneDisk_);
    worker_->Start([driver = driver_.get()] { driver->Run(); });
    // The window hides while the resume question is open; the modal run outlasts that.
    const int result = RunModal(kStopped);
    if (result == kDone || result == kStopped) emit scanFinished(result);
    return result;
}

void CScanProcessWnd::ShowStage(const ScanStage& stage) {
    TextSection& messages = table_->Section("Messages");
    // A partition of an image file reads as the image and the partition; its tag is an image
    // tag, neither a drive letter nor a position.
    const QString imagePartition = stage.index < sources_.size() && sources_[stage.index]
                                       ? ImagePartitionSourceName(*sources_[stage.index], messages)
                                       : QString();
    QString text;
    if (!imagePartition.isEmpty()) {
        text = LabelAndValue(messages.Text("MSG0703"), imagePartition);
    } else if (stage.isImage) {
        text = LabelAndValue(messages.Text("MSG0703"), FromUtf8(stage.imageName));
    } else if (stage.hasLetter) {
        text = FillFormatText(messages.Text("MSG0701"), {char32_t(stage.tag)});
    } else {
        text = FillFormatText(messages.Text("MSG0702"), {int64_t(stage.tag)});
    }
    stage_->setText(text);
}

void CScanProcessWnd::ShowProgress(const ScanProgress& p) {
    TextSection& messages = table_->Section("Messages");
    if (p.secondsLeft == -1) {
        time_->setText(FromUtf8(messages.Text("MSG0705")));
    } else {
        // The time follows the text directly; language texts lose trailing blanks when they
        // are read, so a text that does not end in one is kept apart from the time here.
        std::string prefix = messages.Text("MSG0708");
        if (!prefix.empty() && !std::isspace(static_cast<unsigned char>(prefix.back())))
            prefix += ' ';
        time_->setText(FromUtf8(prefix + RemainingTimeText(p.secondsLeft)));
    }
    progress_->setValue(std::clamp(p.shownPercent, 0, 100));
    percent_->setText(LabelAndValue(messages.Text("MSG0704"),
                                    QString::number(p.shownPercent) + QLatin1Char('%')));
    if (p.totalSectors != 0) {
        sectors_->setText(
            LabelAndValue(messages.Text("MSG0706"),
                          QStringLiteral("%1 / %2").arg(p.currentSector).arg(p.totalSectors)));
        files_->setText(LabelAndValue(messages.Text("MSG0707"), QString::number(p.filesFound)));
        sectors_->show();
        files_->show();
    } else {
        sectors_->hide();
        files_->hide();
    }
}

bool CScanProcessWnd::AskResume(const ScanStage& stage) {
    // After a confirmed stop the scan ends at its first report anyway; keeping the saved scan
    // then loses nothing.
    if (stopConfirmed_) return true;
    // A saved scan that ran to its end has nothing to continue, and one the caller wants
    // scanned again (made in another mode) is not offered: both start over without a question.
    if (stage.savedScanFinished) return false;
    if (stage.index < startOver_.size() && startOver_[stage.index]) return false;
    if (oneDisk_ && resumeAnswer_) return *resumeAnswer_;
    const bool wasVisible = isVisible();
    hide();
    const QString question = FromUtf8(table_->Text("Messages", "MSG1206"));
    const int answer =
        ask_ ? ask_(CMessageBox::kQuestionBox, parentWidget(), question)
             : CMessageBox::Show(CMessageBox::kQuestionBox, parentWidget(), question, *table_);
    if (wasVisible) show();
    resumeAnswer_ = answer == CMessageBox::kAnswerOk;
    return *resumeAnswer_;
}

void CScanProcessWnd::OnFinished(ScanOutcome outcome, size_t failedIndex) {
    finished_ = true;
    failedIndex_ = failedIndex;
    switch (outcome) {
        case ScanOutcome::kStopped:
            done(kStopped);
            break;
        case ScanOutcome::kEngineFailed:
            done(kNoEngine);
            break;
        default:
            done(kDone);
            break;
    }
}

}  // namespace norvale
