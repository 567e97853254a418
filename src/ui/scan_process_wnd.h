#pragma once
// The scan progress window: runs the scan driver over the chosen sources on one worker thread
// while it is shown modally, shows the stage, percent, remaining time, sectors and files found,
// and asks before it stops a scan. The engines the scan builds stay in the SourceInfo entries,
// which the caller owns and keeps alive until Run() returned.

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "engine/scan_driver.h"
#include "engine/source_info.h"
#include "ui/process_window.h"

class QLabel;
class QProgressBar;

namespace norvale {

class CScanProcessWnd : public ProcessWindow {
    Q_OBJECT
  public:
    enum Outcome : int { kDone = 1, kStopped = 2, kNoEngine = 3 };
    static constexpr int kWidth = 450;
    static constexpr int kHeight = 250;

    // scanKind 0 deleted-file scan, 1 professional scan. Engines are built into the SourceInfo
    // objects (source->engine).
    CScanProcessWnd(std::vector<SourceInfo*> sources, int scanKind, QWidget* owner);
    ~CScanProcessWnd() override;

    // Builds each source's engine in place of the factory (a scan by signatures alone). Call
    // before Run().
    void SetEngineBuilder(ScanDriver::EngineBuilder builder);
    // The sources are the partitions of one disk or image: one that no engine can read is
    // passed over, and the run fails only when none could be read. One answer to the resume
    // question serves them all. Call before Run().
    void SetPartitionsOfOneDisk(bool partitionsOfOneDisk) { oneDisk_ = partitionsOfOneDisk; }
    // Sources (by position) whose saved scan is not offered: they are scanned from the start.
    // A saved scan that ran to its end is never offered either. Call before Run().
    void SetStartOver(std::vector<bool> startOver) { startOver_ = std::move(startOver); }
    // Shows the resume question in place of CMessageBox::Show (the main window's own way of
    // asking). Call before Run().
    using QuestionFn = std::function<int(int type, QWidget* owner, const QString& text)>;
    void SetQuestionBox(QuestionFn ask) { ask_ = std::move(ask); }

    // Runs the scan on a worker thread while the window is shown modally (450 x 250); returns
    // Outcome. With no sources there is nothing to scan: returns kDone at once, without
    // showing the window or emitting scanFinished.
    int Run();

    // Which source's engine could not be built (after kNoEngine).
    size_t FailedSource() const { return failedIndex_; }
    // What the scanned sources' engines found in all, as their listings will give it.
    uint64_t FilesFound() const { return filesFound_; }

  signals:
    // The "1025" notification: the pass ended with every source scanned (kDone) or after a
    // confirmed stop (kStopped); not after kNoEngine. Emitted on the user-interface thread just
    // after the window closed and before Run() returns; a receiver that starts long work from
    // it should queue it.
    void scanFinished(int outcome);

  private:
    class Observer;

    std::unique_lock<std::mutex> HoldWork() override { return driver_->HoldProgress(); }
    void StopWork() override { driver_->RequestStop(); }
    void ShowStage(const ScanStage& stage);
    void ShowProgress(const ScanProgress& progress);
    bool AskResume(const ScanStage& stage);
    void OnFinished(ScanOutcome outcome, size_t failedIndex);

    std::vector<SourceInfo*> sources_;
    bool professional_;
    ScanDriver::EngineBuilder builder_;
    bool oneDisk_ = false;
    std::optional<bool> resumeAnswer_;  // with oneDisk_: the answer given for this run
    std::unique_ptr<Observer> observer_;
    std::unique_ptr<ScanDriver> driver_;
    size_t failedIndex_ = 0;
    std::vector<bool> startOver_;
    QuestionFn ask_;
    uint64_t filesFound_ = 0;

    QLabel* stage_ = nullptr;
    QLabel* percent_ = nullptr;
    QLabel* time_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* sectors_ = nullptr;
    QLabel* files_ = nullptr;
};

}  // namespace norvale
