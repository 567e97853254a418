#pragma once
// What the three progress windows (scan, recovery, disk image) share: the one worker thread a
// window runs its driver on, the hand-over of the driver's reports to the user-interface
// thread, and the filling of the language's format texts.

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "app/language_table.h"

namespace norvale {

// Runs one piece of work on its own thread and carries the reports the work makes back to the
// thread the worker object lives on (the user-interface thread). While the window holds the
// display (a stop question is open), reports wait and are shown in their order afterwards, so
// the display does not move under the question.
//
// The owner must call Join() before the objects the work uses go away; the destructor joins
// too, as a last resort.
class ProcessWorker : public QObject {
    Q_OBJECT
  public:
    explicit ProcessWorker(QObject* parent = nullptr);
    ~ProcessWorker() override;

    // Starts `work` on a new thread; once it returned, finished() is emitted on this object's
    // thread. One work per worker.
    void Start(std::function<void()> work);
    // Waits for the work's thread to end. Reports it posted and not yet shown are dropped only
    // when this object is deleted.
    void Join();
    // Keeps delivering the work's reports until it has ended, then joins it. For a window whose
    // loop ended before its work did (it was closed from outside): the caller asks the work to
    // stop first.
    void WaitUntilDone();
    bool Started() const { return thread_.joinable() || done_; }
    bool Done() const { return done_; }

    // Any thread: runs `update` on this object's thread, in posting order.
    void Post(std::function<void()> update);

    // User-interface thread: while held, posted updates are kept back; releasing shows them.
    void HoldDisplay();
    void ReleaseDisplay();
    bool DisplayHeld() const { return held_ > 0; }

  signals:
    void finished();

  private:
    void Deliver(std::function<void()> update);

    std::thread thread_;
    bool done_ = false;
    int held_ = 0;
    std::vector<std::function<void()>> deferred_;
};

// One value for a format text of the language files.
using TextArg = std::variant<int64_t, uint64_t, std::string, char32_t>;

// Fills a format text of the language files ("Scanning drive %c:", "Processed %d of %d
// files ..."): each conversion (%d %i %u %c %s, with an optional l, ll, h, I64 or I32 length
// modifier) takes the next value, which is written in its own form whatever the conversion
// letter says, so a translated text with a wrong letter cannot read a value as something it is
// not. "%%" gives "%". A conversion without a value left, or one that is not understood, stays
// as written. The text is UTF-8.
QString FillFormatText(const std::string& format, std::initializer_list<TextArg> args);

// "<label> <value>": the way the windows show a text followed by a number or a name.
QString LabelAndValue(const std::string& label, const QString& value);

// The time-left line of a progress window: the text of `remainingKey` ("Time remaining:") and
// the duration (FormatDuration), or the text of `estimatingKey` while the time is not known
// (secondsLeft < 0). Both keys are of the "Messages" section.
QString TimeLeftLine(TextSection& messages, const char* estimatingKey,
                     const char* remainingKey, int secondsLeft);

}  // namespace norvale
