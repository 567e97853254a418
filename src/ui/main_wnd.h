#pragma once
// CMainWnd: the one top-level window. It leads the user through four pages of the tab layout
// "TabPage" — 0 the kinds of files, 1 the disk list, 2 the exact file types, 3 the results —
// owns the sources of the last scan and the engines made for them, and starts the scan, search,
// recovery and imaging windows. The disk list follows devices as they come and go.
//
// Every dialog the flow opens (folder and file pickers, message boxes, the browser, the
// progress windows, the restart with administrator rights) goes through MainWndHooks, so tests
// can drive the whole flow without a person at the screen. Empty hooks take the desktop's own
// dialogs.

#include <QDialog>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/language_table.h"
#include "device/disk_table.h"
#include "engine/recovered_item.h"
#include "engine/source_info.h"

class QAbstractButton;
class QCheckBox;
class QCloseEvent;
class QLabel;
class QPushButton;
class QStackedWidget;

namespace Ui {
class skin;
class ControlPanel;
class ScanDisk;
class FileType;
class RecoverFile;
}  // namespace Ui

namespace norvale {

class CAssistMenu;
class CDiskListUI;
class CResultsPage;
class DeviceMonitor;

struct MainWndHooks {
    // A folder for recovered files; "" when cancelled.
    std::function<QString(QWidget* owner, const QString& title)> pickFolder;
    // An existing image file to scan; "" when cancelled.
    std::function<QString(QWidget* owner)> pickImageToLoad;
    // Where a new image goes, starting from `proposedPath`; "" when cancelled.
    std::function<QString(QWidget* owner, const QString& proposedPath)> pickImageToSave;
    // A message box of CMessageBox's types; returns its answer (1 OK/yes, 2 otherwise).
    std::function<int(int type, QWidget* owner, const QString& text)> messageBox;
    // Opens a web page of the assistance menu; false when nothing could open it.
    std::function<bool(const QUrl& url)> openUrl;
    // Runs a progress window: `run` shows it modally and returns its outcome. Tests wrap it
    // to press the window's buttons.
    std::function<int(QDialog* window, const std::function<int()>& run)> runProgress;
    // Starts the program again with administrator rights; true when it was started.
    std::function<bool()> restartWithRights;
    // Ends the program (QCoreApplication::quit).
    std::function<void()> quit;
};

struct MainWndOptions {
    MainWndHooks hooks;
    // Where the disk list enumerates (tests: a fake sysfs/dev tree); the machine's own tree
    // when empty.
    std::optional<SystemPaths> systemPaths;
    // Listen to udev for disks coming and going.
    bool watchDevices = true;
    // The language table of the window's texts; the process-wide one when null.
    LanguageTable* table = nullptr;
};

// Whether recovered files written into `folder` would land on the source (FindDestinationOnSource):
// for a partition, any volume of the same disk or stacked on it (writing there may overwrite
// what is still to be recovered); for an image file, a volume attached from it (a loop device
// or a FUSE mount) — writing beside an image leaves it as it is.
bool DestinationOnSource(const std::string& folder, const SourceInfo& source);

class CMainWnd : public QWidget {
    Q_OBJECT
  public:
    enum Page : int { kKindsPage = 0, kDiskPage = 1, kFileTypePage = 2, kResultsPage = 3 };
    // Scan kinds handed to the scan window and the engine factory.
    enum ScanKind : int { kDeletedFileScan = 0, kFullScan = 1 };
    // The mode buttons of the first page; the one chosen stays checked.
    enum Mode : int { kNoMode = -1, kDeletedMode, kFormattedMode, kDeepMode, kImageMode };

    explicit CMainWnd(QWidget* parent = nullptr);
    explicit CMainWnd(MainWndOptions options, QWidget* parent = nullptr);
    ~CMainWnd() override;

    int CurrentPage() const;
    void ShowPage(int page);

    int ScanKind() const { return scanKind_; }
    bool ImageMode() const { return imageMode_; }
    // The mode button the user chose last (kNoMode before the first choice).
    int ChosenMode() const;
    // A scan, search, recovery or imaging window is running.
    bool TaskRunning() const { return !activeTask_.isNull(); }
    // The last scan was stopped before it covered every source: its results may be incomplete.
    bool LastScanStopped() const { return lastScanStopped_; }
    // Whether the last scan was started while the file-type page was shown.
    bool ScannedFromFileTypePage() const { return scannedWithFileTypePage_; }
    // The extension keys of every checked file type, in layout order, each once.
    std::vector<std::string> SelectedExtensions() const;
    // The sources of the last scan with their engines.
    const std::vector<SourceInfo>& ScannedSources() const { return scanned_; }
    // The folder of the last recovery ("" before the first).
    const QString& LastDestination() const { return destination_; }

    CDiskListUI* DiskList() const { return diskList_; }
    CResultsPage* Results() const { return results_.get(); }
    CAssistMenu* AssistMenu() const { return assistMenu_; }
    DeviceMonitor* Monitor() const { return monitor_; }

    // Applies the "MainWnd" section and the texts of the current page again.
    void ApplyTexts();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    // While a task runs the user is asked first; Yes stops the task (keeping what it did) and
    // the window closes and the program quits once the task has ended.
    void closeEvent(QCloseEvent* event) override;

  private:
    void BuildPages();
    void ConnectControls();
    void DefaultHooks();

    int Message(int type, const char* key);
    QString MessageText(const char* key);

    // Page 0 and 2: kinds and file types.
    void OnKindToggled(int group, bool checked);
    void OnRecoverAllToggled(bool checked);
    void OnOptionToggled(QCheckBox* option, bool checked);
    void SyncKindsFromOptions();
    void UpdateStartButton();

    void ChooseMode(int mode);
    void UpdateModeButtons();
    // The mode the next scan runs in, for telling saved scans of one mode from another's.
    int ScanMode() const;
    // Closes the window and quits once the task running when the user closed it has ended.
    void QuitAfterTask();
    void UpdateHeader();
    // The results page's header line (rich text): how many files are listed, how many the scan
    // found in all when that is more, and whether the scan was stopped.
    QString ResultsLine();
    void UpdateToolButtons();
    void FillDiskInfo();

    void OnPrev();
    void OnNext();
    void OnLoadImage();
    void OnDiskDoubleClicked(bool isDiskWithPartitions);
    void OnAccessDenied(const QString& devicePath);

    void StartScan();
    void ReleaseScannedSources();
    void RunSearch();
    // Recovers the checked files, or only `single` (a file, or a folder with its content).
    void StartRecovery(const std::optional<RecoveredItem>& single = std::nullopt);
    // Defined in main_wnd_imaging.cpp.
    void StartImaging();
    void OpenLink(const char* configKey);

    MainWndOptions options_;
    LanguageTable& table_;
    std::unique_ptr<Ui::skin> skin_;
    std::unique_ptr<Ui::ControlPanel> panel_;
    std::unique_ptr<Ui::ScanDisk> scanDisk_;
    std::unique_ptr<Ui::FileType> fileType_;
    std::unique_ptr<Ui::RecoverFile> recoverFile_;
    QWidget* pages_[4] = {};
    CDiskListUI* diskList_ = nullptr;
    std::unique_ptr<CResultsPage> results_;
    CAssistMenu* assistMenu_ = nullptr;
    DeviceMonitor* monitor_ = nullptr;

    QCheckBox* kinds_[6] = {};
    QWidget* groups_[6] = {};
    QCheckBox* groupOptions_[6] = {};

    int scanKind_ = kFullScan;
    bool imageMode_ = false;
    bool modeChosen_ = false;
    bool deepMode_ = false;  // Deep Scan rather than Formatted Recovery (the same full scan)
    // The mode of each source's last scan in this session, by SourceKey.
    std::map<std::string, int> sourceModes_;
    QPointer<QDialog> activeTask_;
    bool closing_ = false;  // the user chose to quit while a task ran
    bool lastScanStopped_ = false;
    uint64_t lastScanFound_ = 0;  // what the scan window said it found
    bool scannedWithFileTypePage_ = false;
    // The last scan covered the partitions of a disk or partitioned image: what is recovered
    // goes into one folder per partition.
    bool scannedDisk_ = false;
    bool searched_ = false;
    bool askedForRights_ = false;
    std::vector<SourceInfo> scanned_;
    int lastScanKind_ = -1;
    std::string lastLogFolder_;  // log of the last deleted-file scan, deleted before the next
    QString destination_;
};

}  // namespace norvale
