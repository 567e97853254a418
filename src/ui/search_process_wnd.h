#pragma once
// The search window: after a scan, collects the found files of every scanned source whose
// extension matches the pattern into the caller's list, through the search on one worker
// thread, while it is shown modally. It shows which source is being listed, how far, and the
// time left over all sources once it is known, and asks before it stops; a stop keeps what
// was collected so far.
//
// The sources (with their engines) and the list belong to the caller and must outlive Run();
// the list is written only by the worker while the window runs.

#include <QString>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/recovered_item.h"
#include "engine/search.h"
#include "engine/source_info.h"
#include "ui/process_window.h"

class QLabel;
class QProgressBar;

namespace norvale {

class CSearchProcessWnd : public ProcessWindow {
    Q_OBJECT
  public:
    enum Outcome : int { kDone = 1 };
    static constexpr int kWidth = 450;
    static constexpr int kHeight = 220;

    // `pattern` as BuildFilter makes it ("*.jpg|*.png"); matching items are appended to
    // `collected`.
    CSearchProcessWnd(std::vector<SourceInfo*> sources, std::string pattern,
                      std::vector<RecoveredItem>& collected, QWidget* owner);
    ~CSearchProcessWnd() override;

    // Collects on a worker thread while the window is shown modally (450 x 220); returns kDone
    // when every source was listed or after a confirmed stop. With no sources there is nothing
    // to collect: returns kDone at once, without showing the window or emitting
    // searchFinished.
    int Run();

  signals:
    // The "1026" notification: the collected list is complete (or as complete as a stop left
    // it). Emitted on the user-interface thread just after the window closed and before Run()
    // returns.
    void searchFinished();

  private:
    class Observer;
    // What the stage line shows for the source being listed.
    struct ListedSource {
        bool isImage = false;
        bool hasLetter = false;
        uint16_t tag = 0;                          // drive letter or position number of a partition
        std::string imagePath;                     // an image's path as the user chose it
        std::optional<PartitionRecord> partition;  // a partition's record
    };

    std::unique_lock<std::mutex> HoldWork() override { return search_->HoldProgress(); }
    void StopWork() override { search_->RequestStop(); }
    void ShowSource(const ListedSource& source);
    void ShowProgress(int percent);

    std::vector<SourceInfo*> sources_;
    std::string pattern_;
    std::vector<RecoveredItem>& collected_;
    std::unique_ptr<Observer> observer_;
    std::unique_ptr<Search> search_;
    ProgressClock clock_;
    int listable_ = 0;  // sources with an engine: those the search lists
    int listed_ = 0;    // sources whose listing began

    QLabel* stage_ = nullptr;
    QLabel* percent_ = nullptr;
    QLabel* time_ = nullptr;
    QProgressBar* progress_ = nullptr;
};

}  // namespace norvale
