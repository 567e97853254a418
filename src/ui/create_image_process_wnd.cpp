#include "ui/create_image_process_wnd.h"

#include <QLabel>
#include <QProgressBar>
#include <algorithm>

#include "ui/process_worker.h"
#include "ui/window_texts.h"
#include "ui_CreateImageProcessWnd.h"

namespace norvale {

// Runs on the worker. The copier has no lock of its own around its reports, so the window's
// progress lock stands in for it: while the stop question holds it, the copy waits here.
class CCreateImageProcessWnd::Observer : public IImageObserver {
  public:
    explicit Observer(CCreateImageProcessWnd& wnd) : wnd_(wnd) {}

    void OnProgress(int percent, uint64_t sectorsDone, uint64_t sectorsTotal,
                    int secondsLeft) override {
        std::lock_guard guard(wnd_.progressLock_);
        wnd_.worker_->Post([w = &wnd_, percent, sectorsDone, sectorsTotal, secondsLeft] {
            w->ShowProgress(percent, sectorsDone, sectorsTotal, secondsLeft);
        });
    }
    void OnFinished(const ImageResult& result) override {
        wnd_.worker_->Post([w = &wnd_, result] { w->OnFinished(result); });
    }

  private:
    CCreateImageProcessWnd& wnd_;
};

CCreateImageProcessWnd::CCreateImageProcessWnd(ImageJob job, QWidget* owner)
    : ProcessWindow(
          owner, {"UICreateImageProcessWnd", "CreateImageWnd", "MSG0306", QSize(kWidth, kHeight)},
          [](QDialog* self) { Ui::CreateImageProcessWnd().setupUi(self); }),
      job_(std::move(job)) {
    stage_ = findChild<QLabel*>(QStringLiteral("stage"));
    percent_ = findChild<QLabel*>(QStringLiteral("percent"));
    time_ = findChild<QLabel*>(QStringLiteral("time"));
    progress_ = findChild<QProgressBar*>(QStringLiteral("progress"));
    sectors_ = findChild<QLabel*>(QStringLiteral("sectors"));
}

CCreateImageProcessWnd::~CCreateImageProcessWnd() {
    worker_->Join();
}

int CCreateImageProcessWnd::Run() {
    if (worker_->Started()) return kFailed;
    ApplyTexts();
    TextSection& messages = table_->Section("Messages");
    stage_->setText(LabelAndValue(messages.Text("MSG0302"), FromUtf8(job_.imagePath)));
    time_->setText(FromUtf8(messages.Text("MSG0304")));
    percent_->setText(LabelAndValue(messages.Text("MSG0301"), QStringLiteral("0%")));

    observer_ = std::make_unique<Observer>(*this);
    imager_ = std::make_unique<DiskImager>(*observer_);
    worker_->Start([imager = imager_.get(), job = &job_] { imager->Run(*job); });
    return RunModal(kStopped);
}

void CCreateImageProcessWnd::ShowProgress(int percent, uint64_t sectorsDone, uint64_t sectorsTotal,
                                          int secondsLeft) {
    TextSection& messages = table_->Section("Messages");
    percent_->setText(
        LabelAndValue(messages.Text("MSG0301"), QString::number(percent) + QLatin1Char('%')));
    time_->setText(TimeLeftLine(messages, "MSG0304", "MSG0305", secondsLeft));
    sectors_->setText(LabelAndValue(messages.Text("MSG0303"),
                                    QStringLiteral("%1 / %2").arg(sectorsDone).arg(sectorsTotal)));
    progress_->setValue(std::clamp(percent, 0, 100));
}

void CCreateImageProcessWnd::OnFinished(const ImageResult& result) {
    finished_ = true;
    result_ = result;
    if (result.result == kOk) {
        done(kDone);
    } else if (result.result == kScanCancelled) {
        done(kStopped);
    } else {
        done(kFailed);
    }
}

}  // namespace norvale
