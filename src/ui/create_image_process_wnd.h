#pragma once
// The disk image progress window: copies the job's source into the image file on one worker
// thread while it is shown modally, shows the percent, the sectors copied and the time left,
// and asks before it stops. The job's source belongs to the caller and must outlive Run().

#include <memory>
#include <mutex>

#include "device/disk_imager.h"
#include "ui/process_window.h"

class QLabel;
class QProgressBar;

namespace norvale {

class CCreateImageProcessWnd : public ProcessWindow {
    Q_OBJECT
  public:
    enum Outcome : int { kDone = 1, kStopped = 2, kFailed = 3 };
    static constexpr int kWidth = 450;
    static constexpr int kHeight = 250;

    CCreateImageProcessWnd(ImageJob job, QWidget* owner);  // device/disk_imager.h
    ~CCreateImageProcessWnd() override;

    // Shows the window modally (450 x 250) while the copy runs; returns Outcome: kDone when
    // the copy reached the end, kStopped after a confirmed stop, kFailed when the source could
    // not be read or the image not written (the partial image stays on disk).
    int Run();

    // How the copy ended (valid after Run()): the failing step and its result number, for the
    // message the caller shows.
    const ImageResult& LastResult() const { return result_; }

  private:
    class Observer;

    std::unique_lock<std::mutex> HoldWork() override { return std::unique_lock(progressLock_); }
    void StopWork() override { imager_->RequestStop(); }
    void ShowProgress(int percent, uint64_t sectorsDone, uint64_t sectorsTotal, int secondsLeft);
    void OnFinished(const ImageResult& result);

    ImageJob job_;
    // Held while the stop question is open: the copy waits at its next progress report.
    std::mutex progressLock_;
    std::unique_ptr<Observer> observer_;
    std::unique_ptr<DiskImager> imager_;
    ImageResult result_;

    QLabel* stage_ = nullptr;
    QLabel* percent_ = nullptr;
    QLabel* time_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* sectors_ = nullptr;
};

}  // namespace norvale
