#pragma once
// What the progress windows (scan, search, recovery, disk image) have in common besides their
// worker: the frameless modal window of a fixed size built from its layout, the language
// section that follows language changes, the stop buttons, the stop question that holds the
// work while it is open, and the modal run that never lets the work outlive the window.

#include <QDialog>
#include <QSize>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <mutex>

#include "app/language_table.h"

class QCloseEvent;

namespace norvale {

class ProcessWorker;

// Time left of a task that reports how far it is: the time so far scaled by what is still to
// do. Unknown (-1) until the task has run two seconds and done at least 1 %, so that a fast
// start does not promise too much.
class ProgressClock {
  public:
    using Clock = std::chrono::steady_clock;
    void Start(Clock::time_point now = Clock::now()) { start_ = now; }
    // Seconds left when `done` of `total` is done; -1 while unknown.
    int SecondsLeft(uint64_t done, uint64_t total, Clock::time_point now = Clock::now()) const;

  private:
    Clock::time_point start_ = Clock::now();
};

class ProcessWindow : public QDialog {
    Q_OBJECT
  public:
    // The language table the window takes its texts from (tests); the process-wide one by
    // default. Call before Run().
    void SetLanguageTable(LanguageTable& table) { table_ = &table; }
    // Stops the work without asking (the program is closing): what it did so far is kept, as
    // after a confirmed stop. The window closes once the work has ended, a summary it would
    // stay open for included.
    void StopWithoutAsking();

  public slots:
    // Escape and the window's close act as a stop button.
    void reject() override;

  protected:
    struct Look {
        const char* objectName;    // the window's class name, "UIScanProcessWnd"
        const char* section;       // its language section
        const char* stopQuestion;  // "Messages" key of the stop question
        QSize size;
    };
    // `setupLayout` builds the window's controls from its layout; `stopButtons` name the
    // buttons that ask to stop.
    ProcessWindow(QWidget* owner, const Look& look,
                  const std::function<void(QDialog*)>& setupLayout,
                  std::initializer_list<const char*> stopButtons = {"closebtn", "cancelbtn"});

    // The work's driver, as far as stopping goes. HoldWork: while the returned lock lives, the
    // work waits at its next progress report. StopWork: the work ends at its next report.
    // Called only once the work was started.
    virtual std::unique_lock<std::mutex> HoldWork() = 0;
    virtual void StopWork() = 0;
    // A click on a stop button (or Escape, or the window's close); the stop question by default.
    virtual void OnStopButton();
    // A key of the window's section that names no control (texts of items, not objects).
    virtual void PlaceItemText(const QString& key, const QString& text);

    void ApplyTexts();
    // Shows the window until it closes, with the owner's controls disabled meanwhile, and
    // returns its result. Closed from outside
    // before the work ended (finished_ unset), it stops the work first and gives
    // `stoppedResult`. Returns only once the work has ended.
    int RunModal(int stoppedResult);
    // The stop question. While it is open the work waits at its next progress report and the
    // reports already on their way wait too, so the display stands still; OK asks the work to
    // stop. Nothing happens after the work ended, after a confirmed stop, or while the
    // question is already open. True when this question confirmed the stop.
    bool AskStop();

    void closeEvent(QCloseEvent* event) override;

    LanguageTable* table_;
    // A child of the window. Derived windows join it first thing in their destructors: its
    // work uses their members.
    ProcessWorker* worker_;
    bool finished_ = false;  // the work's end reached the window
    bool stopConfirmed_ = false;

  private:
    Look look_;
    bool asking_ = false;  // the stop question is open
};

}  // namespace norvale
