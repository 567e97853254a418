#pragma once
// The recovery progress window: writes the chosen items into the destination folder through
// the recovery driver on one worker thread, shows the current file, the percent, the time left
// once it can be told, the counts and the destination folder (once, selectable), and keeps a
// detail list of every finished file (failures first, in red) with its path inside the
// destination folder. It asks before it stops, and stays open when done or stopped so that the
// user can read the summary (with the number of files a stop left untried), open the folder or
// look at the details. When no program opens the folder, the window says so with its path.
//
// The sources (with their engines) belong to the caller and must outlive the window.

#include <QString>
#include <QUrl>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "engine/recovered_item.h"
#include "engine/recovery_driver.h"
#include "engine/source_info.h"
#include "ui/process_window.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace norvale {

class CRecoverProcessWnd : public ProcessWindow {
    Q_OBJECT
  public:
    enum Outcome : int { kDone = 1, kStopped = 2 };
    static constexpr int kWidth = 500;
    static constexpr int kHeight = 250;
    // How much the detail list enlarges the window.
    static constexpr int kDetailExtraWidth = 150;
    static constexpr int kDetailExtraHeight = 300;
    // Text colour of a failed file in the detail list.
    static constexpr unsigned kFailureColour = 0xFFFF0000;

    // Recovers every item of `items` into `destination` (one sub-folder per category).
    CRecoverProcessWnd(const std::vector<SourceInfo>& sources, std::vector<RecoveredItem> items,
                       QString destination, QWidget* owner);
    ~CRecoverProcessWnd() override;

    // Instead: one file, or one folder with all its content.
    void SetSingleItem(const RecoveredItem& item);
    // Items of the source with tag `key` go into the sub-folder named by its value (one per
    // partition of a disk); call before Run().
    void SetSourceFolders(std::map<uint16_t, std::string> folders) {
        sourceFolders_ = std::move(folders);
    }

    // Opens the destination folder for "OpenBtn"; false when nothing could open it. Tests
    // replace the desktop's file manager.
    using FolderOpener = std::function<bool(const QUrl& folder)>;
    void SetFolderOpener(FolderOpener opener) { opener_ = std::move(opener); }
    // When the time-left estimate counts from (tests: a recovery that has run long already).
    void SetClockStart(ProgressClock::Clock::time_point start) { clockStart_ = start; }

    // Modal 500 x 250 while the worker recovers; returns Outcome when the user closes it.
    int Run();

    RecoveryCounts Counts() const { return counts_; }
    bool DetailShown() const { return detailShown_; }

  private:
    class Observer;

    std::unique_lock<std::mutex> HoldWork() override { return driver_->HoldProgress(); }
    void StopWork() override { driver_->RequestStop(); }
    // "CancelBtn", "closebtn", Escape and the window's close: the stop question while the
    // recovery runs, finishing once it has ended.
    void OnStopButton() override;
    void PlaceItemText(const QString& key, const QString& text) override;
    void ShowProgress(const QString& name, int shownPercent, const RecoveryCounts& counts);
    void AddDetailRow(const RecoveryDetailRow& row);
    void ShowTimeLeft(const RecoveryCounts& counts, int shownPercent);
    // Accessible names of the controls that show values rather than fixed texts.
    void NameControls();
    void FitDetailColumns();
    void OnFinished(RecoveryOutcome outcome, const RecoveryCounts& counts);
    void ShowSummary(const RecoveryCounts& counts);
    void ToggleDetail();
    void OpenFolder();

    const std::vector<SourceInfo>& sources_;
    std::vector<RecoveredItem> items_;
    std::optional<RecoveredItem> singleItem_;
    std::map<uint16_t, std::string> sourceFolders_;
    QString destination_;
    FolderOpener opener_;
    ProgressClock clock_;
    std::optional<ProgressClock::Clock::time_point> clockStart_;
    std::unique_ptr<Observer> observer_;
    std::unique_ptr<RecoveryDriver> driver_;
    RecoveryCounts counts_;
    bool detailShown_ = false;
    bool stoppedRun_ = false;  // the run ended by a stop; the summary stays until closed

    QLabel* current_ = nullptr;
    QLabel* recovered_ = nullptr;
    QLabel* percent_ = nullptr;
    QLabel* timeLeft_ = nullptr;
    QLineEdit* destinationText_ = nullptr;
    QLabel* openFailed_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* openButton_ = nullptr;
    QPushButton* finishButton_ = nullptr;
    QPushButton* cancelButton_ = nullptr;
    QPushButton* detailButton_ = nullptr;
    QTreeWidget* detailList_ = nullptr;
};

}  // namespace norvale
