#include "ui/main_wnd.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include "app/destination_guard.h"
#include "app/format.h"
#include "app/result_collection.h"
#include "app/source_plan.h"
#include "device/image_destination.h"
#include "engine/recovered_file_writer.h"
#include "engine/scan_log_history.h"
#include "engine/search.h"
#include "ui/assist_menu.h"
#include "ui/device_monitor.h"
#include "ui/disk_list.h"
#include "ui/keyboard.h"
#include "ui/message_box.h"
#include "ui/privileges.h"
#include "ui/process_window.h"
#include "ui/recover_process_wnd.h"
#include "ui/results_page.h"
#include "ui/scan_process_wnd.h"
#include "ui/search_process_wnd.h"
#include "ui/window_texts.h"
#include "ui_ControlPanel.h"
#include "ui_FileType.h"
#include "ui_RecoverFile.h"
#include "ui_ScanDisk.h"
#include "ui_skin.h"

namespace norvale {

namespace {

constexpr const char* kKindBoxes[6] = {"ChkPhoto",  "ChkMusic",   "ChkVideo",
                                       "ChkOffice", "ChkArchive", "ChkOther"};
constexpr const char* kGroupFrames[6] = {"FileTypePhoto",  "FileTypeAudio", "FileTypeVideo",
                                         "FileTypeOffice", "FileTypeZip",   "FileTypeOther"};
constexpr const char* kGroupOptions[6] = {"OptPhotoFile",  "OptAudioFile", "OptVideoFile",
                                          "OptOfficeFile", "OptZipFile",   "OptOtherFile"};

struct ModeHover {
    const char* button;
    const char* messageKey;
    int mode;
};
constexpr ModeHover kModeHovers[] = {{"BtnDeletedRecovery", "MSG0101", CMainWnd::kDeletedMode},
                                     {"BtnFormattedRecovery", "MSG0102", CMainWnd::kFormattedMode},
                                     {"BtnDeepRecovery", "MSG0103", CMainWnd::kDeepMode},
                                     {"BtnCreateImageMode", "MSG0104", CMainWnd::kImageMode}};

// What tells one source from another between scans of a session: the image or the disk, and
// where the partition lies on it.
std::string SourceKey(const SourceInfo& source) {
    std::string key = source.imagePath;
    if (source.partition) {
        key += '|' + source.partition->diskPath + '|' + std::to_string(source.partition->startLba) +
               '|' + std::to_string(source.partition->sectorCount);
    }
    return key;
}

// The look of a page's header: its colour and the keys of its two lines.
struct PageHeader {
    const char* colour;
    QStyle::StandardPixmap icon;
    const char* title;
    const char* line;
};
constexpr PageHeader kRecoveryDiskHeader = {"#0089BE", QStyle::SP_DriveHDIcon, "MSG0211",
                                            "MSG0212"};
constexpr PageHeader kImageDiskHeader = {"#0089BE", QStyle::SP_DriveHDIcon, "MSG0501", "MSG0502"};
constexpr PageHeader kFileTypeHeader = {"#E47100", QStyle::SP_FileDialogDetailedView, "MSG0601",
                                        "MSG0602"};
constexpr PageHeader kResultsHeader = {"#316D1E", QStyle::SP_DialogSaveButton, "MSG0801",
                                       "MSG0802"};

constexpr const char* kRecoveryFolderTitle = "Select location for recovery";
constexpr const char* kImageFilter = "Image Files (*.img)";

QString DefaultPickFolder(QWidget* owner, const QString& title) {
    return QFileDialog::getExistingDirectory(owner, title, QDir::homePath(),
                                             QFileDialog::ShowDirsOnly);
}

QString DefaultPickImageToLoad(QWidget* owner) {
    // Images of cards come under many names (dd and ddrescue copies, numbered pieces, floppy
    // and virtual disk images); a dump without an extension is still one.
    CDiskListUI* list = owner ? owner->findChild<CDiskListUI*>() : nullptr;
    LanguageTable& table = list ? list->TextTable() : LanguageTable::Instance();
    const QStringList filters = {
        QStringLiteral("Image Files (*.img *.dd *.raw *.bin *.001 *.iso *.ima *.vhd)"),
        FromUtf8(table.Text("Messages", "MSG1329"))};
    QFileDialog dialog(owner, QString(), QDir::homePath());
    dialog.setNameFilters(filters);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
}

QString DefaultPickImageToSave(QWidget* owner, const QString& proposedPath) {
    QFileDialog dialog(owner, QString(), proposedPath, QString::fromLatin1(kImageFilter));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("img"));
    dialog.selectFile(proposedPath);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
}

}  // namespace

bool DestinationOnSource(const std::string& folder, const SourceInfo& source) {
    return FindDestinationOnSource(folder, source).Found();
}

CMainWnd::CMainWnd(QWidget* parent) : CMainWnd(MainWndOptions{}, parent) {}

CMainWnd::CMainWnd(MainWndOptions options, QWidget* parent)
    : QWidget(parent),
      options_(std::move(options)),
      table_(options_.table ? *options_.table : LanguageTable::Instance()),
      skin_(std::make_unique<Ui::skin>()),
      panel_(std::make_unique<Ui::ControlPanel>()),
      scanDisk_(std::make_unique<Ui::ScanDisk>()),
      fileType_(std::make_unique<Ui::FileType>()),
      recoverFile_(std::make_unique<Ui::RecoverFile>()) {
    DefaultHooks();
    // Every progress window runs as the window's task, so that closing the window can stop
    // it first. Once the user chose to quit, no further question is asked.
    options_.hooks.runProgress = [this, run = options_.hooks.runProgress](
                                     QDialog* window, const std::function<int()>& work) {
        const QPointer<QDialog> outer = activeTask_;
        activeTask_ = window;
        const int result = run(window, work);
        activeTask_ = outer;
        if (closing_ && !activeTask_) QTimer::singleShot(0, this, &CMainWnd::QuitAfterTask);
        return result;
    };
    options_.hooks.messageBox = [this, show = options_.hooks.messageBox](int type, QWidget* owner,
                                                                         const QString& text) {
        return closing_ ? int(CMessageBox::kAnswerCancel) : show(type, owner, text);
    };
    skin_->setupUi(this);
    BuildPages();
    ConnectControls();
    InstallKeyboardHandling(this);

    if (options_.systemPaths) diskList_->SetSystemPaths(*options_.systemPaths);
    diskList_->SetLanguageTable(&table_);
    monitor_ = new DeviceMonitor(this);
    connect(monitor_, &DeviceMonitor::refreshAfterArrival, diskList_,
            &CDiskListUI::RefillAfterArrival);
    connect(monitor_, &DeviceMonitor::refreshAfterRemoval, diskList_,
            &CDiskListUI::RefillAfterRemoval);
    if (options_.watchDevices) monitor_->Start();
    connect(&LanguageEvents::Instance(), &LanguageEvents::languageChanged, this,
            &CMainWnd::ApplyTexts);

    ApplyTexts();
    diskList_->Refill();
    UpdateStartButton();
    ShowPage(kKindsPage);
}

CMainWnd::~CMainWnd() {
    // Engines close their stores before the window's controls go.
    scanned_.clear();
}

void CMainWnd::DefaultHooks() {
    MainWndHooks& h = options_.hooks;
    if (!h.pickFolder) h.pickFolder = DefaultPickFolder;
    if (!h.pickImageToLoad) h.pickImageToLoad = DefaultPickImageToLoad;
    if (!h.pickImageToSave) h.pickImageToSave = DefaultPickImageToSave;
    if (!h.messageBox) {
        h.messageBox = [this](int type, QWidget* owner, const QString& text) {
            return CMessageBox::Show(type, owner, text, table_);
        };
    }
    if (!h.openUrl) h.openUrl = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
    if (!h.runProgress)
        h.runProgress = [](QDialog*, const std::function<int()>& run) { return run(); };
    if (!h.quit) h.quit = [] { QCoreApplication::quit(); };
    if (!h.restartWithRights) {
        h.restartWithRights = [] {
            return RestartWithAdministratorRights(QApplication::arguments().mid(1));
        };
    }
}

void CMainWnd::BuildPages() {
    pages_[kKindsPage] = new QWidget;
    panel_->setupUi(pages_[kKindsPage]);
    pages_[kDiskPage] = new QWidget;
    scanDisk_->setupUi(pages_[kDiskPage]);
    pages_[kFileTypePage] = new QWidget;
    fileType_->setupUi(pages_[kFileTypePage]);
    pages_[kResultsPage] = new QWidget;
    recoverFile_->setupUi(pages_[kResultsPage]);
    for (QWidget* page : pages_) skin_->TabPage->addWidget(page);

    diskList_ = new CDiskListUI(scanDisk_->DiskListHolder);
    diskList_->setObjectName(QStringLiteral("DiskList"));
    scanDisk_->diskListLayout->addWidget(diskList_);

    for (int i = 0; i < 6; ++i) {
        kinds_[i] = pages_[kKindsPage]->findChild<QCheckBox*>(QString::fromLatin1(kKindBoxes[i]));
        groups_[i] =
            pages_[kFileTypePage]->findChild<QWidget*>(QString::fromLatin1(kGroupFrames[i]));
        groupOptions_[i] =
            pages_[kFileTypePage]->findChild<QCheckBox*>(QString::fromLatin1(kGroupOptions[i]));
        Q_ASSERT(kinds_[i] && groups_[i] && groupOptions_[i]);
    }
    results_ = std::make_unique<CResultsPage>(pages_[kResultsPage], pages_[kFileTypePage], table_);

    assistMenu_ = new CAssistMenu(table_, this);
    skin_->BtnAssist->setMenu(assistMenu_);
    skin_->BannerIcon->setFixedSize(48, 48);
}

void CMainWnd::ConnectControls() {
    for (int i = 0; i < 6; ++i) {
        connect(kinds_[i], &QAbstractButton::toggled, this,
                [this, i](bool checked) { OnKindToggled(i, checked); });
        for (QCheckBox* option : groups_[i]->findChildren<QCheckBox*>()) {
            connect(option, &QAbstractButton::toggled, this,
                    [this, option](bool checked) { OnOptionToggled(option, checked); });
        }
    }
    connect(panel_->ChkRecoverAll, &QAbstractButton::toggled, this, &CMainWnd::OnRecoverAllToggled);
    for (const ModeHover& hover : kModeHovers) {
        if (auto* button = findChild<QAbstractButton*>(QString::fromLatin1(hover.button))) {
            button->installEventFilter(this);
            // The mode chosen stays checked; a click chooses it again rather than clearing it.
            button->setCheckable(true);
            connect(button, &QAbstractButton::clicked, this,
                    [this, mode = hover.mode] { ChooseMode(mode); });
        }
    }
    // "Start" runs the full scan, as Formatted Recovery does.
    connect(panel_->BtnStart, &QAbstractButton::clicked, this,
            [this] { ChooseMode(kFormattedMode); });

    connect(skin_->TabScan, &QAbstractButton::clicked, this, [this] { ShowPage(kDiskPage); });
    connect(skin_->TabFileType, &QAbstractButton::clicked, this,
            [this] { ShowPage(kFileTypePage); });
    connect(skin_->TabRecover, &QAbstractButton::clicked, this, [this] { ShowPage(kResultsPage); });
    connect(skin_->BtnPrev, &QAbstractButton::clicked, this, &CMainWnd::OnPrev);
    connect(skin_->BtnNext, &QAbstractButton::clicked, this, &CMainWnd::OnNext);
    connect(skin_->BtnScan, &QAbstractButton::clicked, this, &CMainWnd::StartScan);
    connect(skin_->BtnRecover, &QAbstractButton::clicked, this, [this] { StartRecovery(); });
    connect(results_.get(), &CResultsPage::recoverItemRequested, this,
            [this](const RecoveredItem& item) { StartRecovery(item); });
    connect(skin_->BtnLoadImage, &QAbstractButton::clicked, this, &CMainWnd::OnLoadImage);
    connect(skin_->BtnCreateImage, &QAbstractButton::clicked, this, &CMainWnd::StartImaging);

    connect(diskList_, &CDiskListUI::rowSelected, this, &CMainWnd::FillDiskInfo);
    connect(diskList_, &CDiskListUI::rowDoubleClicked, this, &CMainWnd::OnDiskDoubleClicked);
    connect(diskList_, &CDiskListUI::accessDenied, this, &CMainWnd::OnAccessDenied);
    diskList_->AttachPageControls(scanDisk_->BtnRemoveImage, scanDisk_->TxtSourceHint);
    connect(diskList_, &CDiskListUI::imageTableProblems, this,
            [this](const QString& path, const QStringList& problems) {
                options_.hooks.messageBox(CMessageBox::kWarningBox, this,
                                          FillFormat(MessageText("MSG0224"), path) +
                                              QStringLiteral("\n\n") +
                                              problems.join(QLatin1Char('\n')));
            });

    connect(assistMenu_, &CAssistMenu::linkChosen, this, [this](const QString& item) {
        const QUrl url = CAssistMenu::ConfiguredLink(table_, item);
        if (url.isValid()) options_.hooks.openUrl(url);
    });
    connect(assistMenu_, &CAssistMenu::languageChosen, this, [this](const QString& name) {
        // A language that cannot be remembered in config.ini is still switched to.
        (void)SetLanguageAndAnnounce(name.toStdString(), table_);
    });
    connect(assistMenu_, &CAssistMenu::exitChosen, this, [this] {
        // A running task asks first; the program quits once it has ended.
        if (close()) options_.hooks.quit();
    });
}

QString CMainWnd::MessageText(const char* key) {
    return FromUtf8(table_.Text("Messages", key));
}

int CMainWnd::Message(int type, const char* key) {
    return options_.hooks.messageBox(type, this, MessageText(key));
}

void CMainWnd::ApplyTexts() {
    ApplySection(this, "MainWnd", table_);
    diskList_->ApplyTexts();
    results_->ApplyTexts();
    assistMenu_->ApplyTexts();
    UpdateHeader();
}

int CMainWnd::CurrentPage() const {
    return skin_->TabPage->currentIndex();
}

void CMainWnd::ShowPage(int page) {
    if (page < kKindsPage || page > kResultsPage) return;
    if (page == kResultsPage && !searched_) return;
    if (page == kDiskPage) diskList_->SetImageMode(imageMode_);
    skin_->TabPage->setCurrentIndex(page);
    UpdateModeButtons();
    UpdateHeader();
    UpdateToolButtons();
}

// ---------------------------------------------------------------------------------------------
// Kinds of files (page 0) and exact file types (page 2). The file types are the one record of
// what was chosen: a kind's check box checks or clears every type of its group, and the
// selected extensions are the keys of the checked types.

void CMainWnd::OnKindToggled(int group, bool checked) {
    for (QCheckBox* option : groups_[group]->findChildren<QCheckBox*>()) {
        const QSignalBlocker block(option);
        option->setChecked(checked);
    }
    bool all = true;
    for (QCheckBox* kind : kinds_) all = all && kind->isChecked();
    {
        const QSignalBlocker block(panel_->ChkRecoverAll);
        panel_->ChkRecoverAll->setChecked(all);
    }
    UpdateStartButton();
}

void CMainWnd::OnRecoverAllToggled(bool checked) {
    for (QCheckBox* kind : kinds_) kind->setChecked(checked);
}

void CMainWnd::OnOptionToggled(QCheckBox* option, bool checked) {
    for (int i = 0; i < 6; ++i) {
        if (!groups_[i]->isAncestorOf(option)) continue;
        const QList<QCheckBox*> options = groups_[i]->findChildren<QCheckBox*>();
        if (option == groupOptions_[i]) {
            for (QCheckBox* other : options) {
                const QSignalBlocker block(other);
                other->setChecked(checked);
            }
        } else {
            bool all = true;
            for (QCheckBox* other : options) {
                if (other != groupOptions_[i]) all = all && other->isChecked();
            }
            const QSignalBlocker block(groupOptions_[i]);
            groupOptions_[i]->setChecked(all);
        }
    }
    SyncKindsFromOptions();
}

void CMainWnd::SyncKindsFromOptions() {
    bool all = true;
    for (int i = 0; i < 6; ++i) {
        bool any = false;
        for (QCheckBox* option : groups_[i]->findChildren<QCheckBox*>()) {
            if (option != groupOptions_[i]) any = any || option->isChecked();
        }
        const QSignalBlocker block(kinds_[i]);
        kinds_[i]->setChecked(any);
        all = all && any;
    }
    const QSignalBlocker block(panel_->ChkRecoverAll);
    panel_->ChkRecoverAll->setChecked(all);
    UpdateStartButton();
}

void CMainWnd::UpdateStartButton() {
    bool any = false;
    for (QCheckBox* kind : kinds_) any = any || kind->isChecked();
    panel_->BtnStart->setEnabled(any);
    // The recovery modes look for the kinds ticked; only a disk image needs none.
    panel_->BtnDeletedRecovery->setEnabled(any);
    panel_->BtnFormattedRecovery->setEnabled(any);
    panel_->BtnDeepRecovery->setEnabled(any);
}

std::vector<std::string> CMainWnd::SelectedExtensions() const {
    std::vector<std::string> keys, named;
    for (int i = 0; i < 6; ++i) {
        for (QCheckBox* option : groups_[i]->findChildren<QCheckBox*>()) {
            if (option == groupOptions_[i]) continue;
            const QStringList parts =
                option->property("userdata").toString().split(QLatin1Char('|'), Qt::SkipEmptyParts);
            for (const QString& part : parts) {
                const std::string key = part.toStdString();
                named.push_back(key);
                if (!option->isChecked()) continue;
                if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
            }
        }
    }
    // A category chosen whole brings the kinds of its list that no option names.
    for (int i = 0; i < 5; ++i) {
        if (!groupOptions_[i]->isChecked()) continue;
        for (const std::string& key : UnnamedCategoryExtensions(i, named)) {
            if (std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(key);
        }
    }
    return keys;
}

bool CMainWnd::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Enter) {
        for (const ModeHover& hover : kModeHovers) {
            if (watched->objectName() == QLatin1String(hover.button))
                panel_->TxtMainInfo->setText(MessageText(hover.messageKey));
        }
    }
    return QWidget::eventFilter(watched, event);
}

// ---------------------------------------------------------------------------------------------
// Pages, header and tool buttons.

void CMainWnd::ChooseMode(int mode) {
    modeChosen_ = true;
    imageMode_ = mode == kImageMode;
    if (!imageMode_) {
        scanKind_ = mode == kDeletedMode ? kDeletedFileScan : kFullScan;
        deepMode_ = mode == kDeepMode;
    }
    ShowPage(kDiskPage);
}

int CMainWnd::ChosenMode() const {
    if (!modeChosen_) return kNoMode;
    return imageMode_ ? kImageMode : ScanMode();
}

int CMainWnd::ScanMode() const {
    if (scanKind_ == kDeletedFileScan) return kDeletedMode;
    return deepMode_ ? kDeepMode : kFormattedMode;
}

void CMainWnd::UpdateModeButtons() {
    const int chosen = ChosenMode();
    for (const ModeHover& hover : kModeHovers) {
        if (auto* button = findChild<QAbstractButton*>(QString::fromLatin1(hover.button)))
            button->setChecked(hover.mode == chosen);
    }
}

void CMainWnd::UpdateHeader() {
    const int page = CurrentPage();
    const PageHeader* header = nullptr;
    if (page == kDiskPage) header = imageMode_ ? &kImageDiskHeader : &kRecoveryDiskHeader;
    if (page == kFileTypePage) header = &kFileTypeHeader;
    if (page == kResultsPage) header = &kResultsHeader;

    const QString colour = QString::fromLatin1(header ? header->colour : "#316D1E");
    skin_->HeaderBar->setStyleSheet(
        QStringLiteral("#HeaderBar { background: #FFFFFF; border-bottom: 3px solid %1; }"
                       "#Txt1 { color: %1; }"
                       "#StepBar QPushButton { color: #5A6570; }"
                       "#StepBar QPushButton:checked { color: %1; border-bottom: 3px solid %1; }"
                       "#StepBar QPushButton:disabled { color: #B8C0C8; }"
                       "#BtnAssist { color: %1; }")
            .arg(colour));
    QIcon icon;
    if (!header) icon = QIcon(QStringLiteral(":/icons/norvale.svg"));
    if (page == kDiskPage) icon = QIcon(QStringLiteral(":/icons/disk.svg"));
    if (icon.isNull() && header) icon = style()->standardIcon(header->icon);
    skin_->BannerIcon->setPixmap(icon.pixmap(40, 40));
    if (!header) {
        skin_->Txt1->setText(windowTitle());
        skin_->Txt2->setTextFormat(Qt::PlainText);
        skin_->Txt2->setText(MessageText("MSG1209"));
    } else {
        QString title = MessageText(header->title);
        if (page == kDiskPage && !imageMode_) {
            // The header names the mode the scan runs in.
            for (const ModeHover& hover : kModeHovers) {
                auto* button = findChild<QAbstractButton*>(QString::fromLatin1(hover.button));
                if (button && hover.mode == ScanMode())
                    title =
                        FillFormat(MessageText("MSG1307"), button->text().remove(QLatin1Char('&')));
            }
        }
        skin_->Txt1->setText(title);
        QString line = MessageText(header->line);
        if (page == kResultsPage) {
            line = ResultsLine();
            skin_->Txt2->setTextFormat(Qt::RichText);
        } else {
            skin_->Txt2->setTextFormat(Qt::PlainText);
        }
        skin_->Txt2->setText(line);
    }
    // The third line of the disk page: a warning about where files go, or what an image is.
    if (page == kDiskPage)
        skin_->Txt2->setText(skin_->Txt2->text() + QLatin1Char(' ') +
                             MessageText(imageMode_ ? "MSG0503" : "MSG0213"));
}

QString CMainWnd::ResultsLine() {
    const auto number = [](uint64_t n) {
        return QStringLiteral("<b><span style=\"color:#316D1E\">%1</span></b>").arg(n);
    };
    const uint64_t listed = results_->ItemCount();
    QString line;
    if (lastScanFound_ > listed) {
        // The scan counts every file it found; the list shows the kinds chosen.
        line = FillFormat(MessageText(listed == 1 ? "MSG1305" : "MSG1304").toHtmlEscaped(),
                          number(listed));
        line = FillFormat(line, number(lastScanFound_));
    } else {
        line = FillFormat(MessageText(listed == 1 ? "MSG1303" : "MSG0802").toHtmlEscaped(),
                          number(listed));
    }
    if (lastScanStopped_)
        line = QStringLiteral("<b>%1</b> %2").arg(MessageText("MSG1302").toHtmlEscaped(), line);
    return line;
}

void CMainWnd::UpdateToolButtons() {
    const int page = CurrentPage();
    skin_->TabScan->setChecked(page == kDiskPage);
    skin_->TabFileType->setChecked(page == kFileTypePage);
    skin_->TabRecover->setChecked(page == kResultsPage);
    skin_->TabRecover->setEnabled(searched_);
    skin_->StepBar->setVisible(page != kKindsPage);
    skin_->TabFileType->setVisible(!imageMode_);
    skin_->TabRecover->setVisible(!imageMode_);

    skin_->BtnPrev->setVisible(page != kKindsPage);
    skin_->BtnNext->setVisible(page != kResultsPage && !(page == kDiskPage && imageMode_));
    skin_->BtnScan->setVisible(!imageMode_ && (page == kDiskPage || page == kFileTypePage));
    skin_->BtnLoadImage->setVisible(!imageMode_ && page == kDiskPage);
    skin_->BtnCreateImage->setVisible(imageMode_ && page == kDiskPage);
    skin_->BtnRecover->setVisible(page == kResultsPage);
}

void CMainWnd::OnPrev() {
    switch (CurrentPage()) {
        case kDiskPage:
            ShowPage(kKindsPage);
            break;
        case kFileTypePage:
            ShowPage(kDiskPage);
            break;
        case kResultsPage:
            // Back to where the scan was started from.
            ShowPage(scannedWithFileTypePage_ ? kFileTypePage : kDiskPage);
            break;
        default:
            break;
    }
}

void CMainWnd::OnNext() {
    switch (CurrentPage()) {
        case kKindsPage:
            ShowPage(kDiskPage);
            break;
        case kDiskPage:
            // A source chosen: on to the exact file types, from where Next scans.
            if (!diskList_->HasSelection()) {
                Message(CMessageBox::kInformationBox, "MSG0505");
            } else if (!imageMode_) {
                ShowPage(kFileTypePage);
            }
            break;
        case kFileTypePage:
            if (searched_) {
                ShowPage(kResultsPage);
            } else {
                StartScan();
            }
            break;
        default:
            break;
    }
}

void CMainWnd::FillDiskInfo() {
    const QStringList texts = diskList_->InfoTexts();
    for (int i = 0; i < 10; ++i) {
        if (auto* label =
                pages_[kDiskPage]->findChild<QLabel*>(QStringLiteral("Label%1").arg(i + 1)))
            label->setText(i < texts.size() ? texts[i] : QString());
    }
}

void CMainWnd::OnLoadImage() {
    const QString path = options_.hooks.pickImageToLoad(this);
    if (path.isEmpty()) return;
    // A file listed already is only selected again. A new one is looked at first: what cannot
    // be a medium is refused, and one in which nothing is recognised (a raw copy of a card whose
    // start is damaged, or any other file) is listed only when the user says so.
    if (!diskList_->ListsImage(path)) {
        const ImageFileCheck check = CheckImageFile(path);
        if (check != ImageFileCheck::kRecognised) {
            const bool ask = check == ImageFileCheck::kUnrecognised;
            const int answer = options_.hooks.messageBox(
                ask ? CMessageBox::kQuestionBox : CMessageBox::kWarningBox, this,
                FillFormat(MessageText(ImageFileCheckMessageKey(check)), path));
            if (!ask || answer != CMessageBox::kAnswerOk) return;
        }
    }
    diskList_->AddImage(path);
}

void CMainWnd::OnDiskDoubleClicked(bool isDiskWithPartitions) {
    if (isDiskWithPartitions) {
        diskList_->ToggleExpandSelected();
    } else if (!imageMode_) {
        StartScan();
    }
}

void CMainWnd::OnAccessDenied(const QString&) {
    // Asked once: every refresh of the list finds the same disks closed, and a user who said
    // no does not want the question again with each card inserted.
    if (askedForRights_) return;
    askedForRights_ = true;
    if (Message(CMessageBox::kQuestionBox, "MSG0222") != CMessageBox::kAnswerOk) return;
    if (options_.hooks.restartWithRights()) {
        close();
        options_.hooks.quit();
    }
}

// ---------------------------------------------------------------------------------------------
// Scan, search and recovery.

void CMainWnd::ReleaseScannedSources() {
    results_->Clear();
    searched_ = false;
    scanned_.clear();  // the engines close their stores
    // A deleted-file scan is quick to repeat and cannot be resumed: its log is not kept.
    if (lastScanKind_ == kDeletedFileScan && !lastLogFolder_.empty())
        (void)ScanLogHistory::Instance().DeleteScanLog(lastLogFolder_);  // best effort
    lastLogFolder_.clear();
}

void CMainWnd::StartScan() {
    if (closing_) return;
    if (!diskList_->HasSelection()) {
        Message(CMessageBox::kInformationBox, "MSG0505");
        return;
    }
    // With no kind ticked the search would fall back to every kind: say so rather than find
    // what was not asked for.
    if (SelectedExtensions().empty()) {
        Message(CMessageBox::kInformationBox, "MSG1306");
        return;
    }
    scannedWithFileTypePage_ = CurrentPage() == kFileTypePage;
    ReleaseScannedSources();
    UpdateToolButtons();

    scanned_ = diskList_->SelectedScanSources();
    scannedDisk_ = diskList_->SelectedCoversPartitions();
    // A deleted-file scan reads what a file system still describes; the stretches between a
    // disk's partitions hold none.
    if (scanKind_ == kDeletedFileScan && scannedDisk_) {
        std::vector<SourceInfo> volumes;
        for (SourceInfo& source : scanned_) {
            if (!source.IsPartition() ||
                source.partition->kind != PartitionRecord::Kind::Unallocated)
                volumes.push_back(std::move(source));
        }
        if (!volumes.empty()) scanned_ = std::move(volumes);
    }
    std::vector<SourceInfo*> sources;
    // A saved scan made in this session in another mode (Formatted Recovery, then Deep Scan) is
    // not offered: the user asked for a scan of a different kind.
    std::vector<bool> startOver;
    for (SourceInfo& source : scanned_) {
        sources.push_back(&source);
        const auto made = sourceModes_.find(SourceKey(source));
        startOver.push_back(made != sourceModes_.end() && made->second != ScanMode());
    }
    bool finished = false;
    int outcome = CScanProcessWnd::kNoEngine;
    lastScanFound_ = 0;
    {
        CScanProcessWnd window(sources, scanKind_, this);
        window.SetLanguageTable(table_);
        window.SetStartOver(std::move(startOver));
        window.SetQuestionBox(options_.hooks.messageBox);
        // A partition no engine can read (unformatted, swap) does not end the scan of the
        // disk's other partitions.
        window.SetPartitionsOfOneDisk(scannedDisk_);
        // The notification comes while the scan window is closing; the search starts once it
        // has gone.
        connect(&window, &CScanProcessWnd::scanFinished, this, [&finished] { finished = true; });
        outcome = options_.hooks.runProgress(&window, [&window] { return window.Run(); });
        lastScanFound_ = window.FilesFound();
    }
    // Only the full scans save a scan to resume.
    if (scanKind_ == kFullScan) {
        for (const SourceInfo& source : scanned_) sourceModes_[SourceKey(source)] = ScanMode();
    }
    lastScanStopped_ = outcome == CScanProcessWnd::kStopped;
    lastScanKind_ = scanKind_;
    lastLogFolder_ =
        scanKind_ == kDeletedFileScan ? ScanLogHistory::Instance().CurrentFolder() : std::string();
    // The user chose to quit: what was found stays in the scan logs; no search follows.
    if (closing_) return;
    if (outcome == CScanProcessWnd::kNoEngine) Message(CMessageBox::kWarningBox, "MSG0504");

    // Sources scanned before one that failed still have their finds.
    bool anyEngine = false;
    for (const SourceInfo& source : scanned_) anyEngine = anyEngine || source.engine != nullptr;
    if (finished || anyEngine) RunSearch();
}

void CMainWnd::RunSearch() {
    if (closing_) return;
    std::vector<SourceInfo*> sources;
    for (SourceInfo& source : scanned_) {
        if (source.engine) sources.push_back(&source);
    }
    std::vector<RecoveredItem> items;
    CSearchProcessWnd window(sources, BuildFilter(SelectedExtensions()), items, this);
    window.SetLanguageTable(table_);
    // The search window says when the list is complete; the results are built from it then.
    connect(&window, &CSearchProcessWnd::searchFinished, this, [this, &items] {
        results_->Build(std::move(items), &scanned_);
        searched_ = true;
        ShowPage(kResultsPage);
    });
    options_.hooks.runProgress(&window, [&window] { return window.Run(); });
}

void CMainWnd::StartRecovery(const std::optional<RecoveredItem>& single) {
    if (closing_) return;
    QString folder = options_.hooks.pickFolder(this, QString::fromLatin1(kRecoveryFolderTitle));
    if (folder.isEmpty()) return;
    while (folder.size() > 1 &&
           (folder.endsWith(QLatin1Char('/')) || folder.endsWith(QLatin1Char('\\'))))
        folder.chop(1);
    if (FindDestinationOnSources(folder.toStdString(), scanned_).Found() &&
        Message(CMessageBox::kConfirmBox, "MSG0805") != CMessageBox::kAnswerOk)
        return;
    std::vector<RecoveredItem> items =
        single ? std::vector<RecoveredItem>() : results_->CheckedItems();
    const uint64_t needed = SelectedBytes(single ? std::vector<RecoveredItem>{*single} : items);
    if (uint64_t available = 0;
        CheckFreeSpace(folder.toStdString(), needed, available) == kErrDiskFull) {
        const QString sizes = QStringLiteral("\n\n%1 > %2")
                                  .arg(FromUtf8(FormatSize(int64_t(needed))),
                                       FromUtf8(FormatSize(int64_t(available))));
        if (options_.hooks.messageBox(CMessageBox::kQuestionBox, this,
                                      MessageText("MSG0806") + sizes) != CMessageBox::kAnswerOk)
            return;
    }
    destination_ = folder;
    CRecoverProcessWnd window(scanned_, std::move(items), folder, this);
    if (single) window.SetSingleItem(*single);
    if (scannedDisk_) {
        // Two partitions may well hold files of the same name and folder.
        std::map<uint16_t, std::string> folders;
        for (const SourceInfo& source : scanned_) {
            if (source.partition) folders[source.Tag()] = PartitionFolderName(*source.partition);
        }
        window.SetSourceFolders(std::move(folders));
    }
    window.SetLanguageTable(table_);
    options_.hooks.runProgress(&window, [&window] { return window.Run(); });
}

// ---------------------------------------------------------------------------------------------
// Closing while a task runs.

void CMainWnd::closeEvent(QCloseEvent* event) {
    if (!activeTask_) {
        QWidget::closeEvent(event);
        return;
    }
    // The window stays until the task has ended: its work uses the window's sources.
    event->ignore();
    if (closing_) return;
    if (Message(CMessageBox::kQuestionBox, "MSG1301") != CMessageBox::kAnswerOk) return;
    closing_ = true;
    if (auto* task = qobject_cast<ProcessWindow*>(activeTask_.data())) {
        task->StopWithoutAsking();
    } else if (activeTask_) {
        activeTask_->reject();
    }
    // The task may have ended while the question was open.
    if (!activeTask_) QTimer::singleShot(0, this, &CMainWnd::QuitAfterTask);
}

void CMainWnd::QuitAfterTask() {
    if (activeTask_) return;  // the end of the running task calls again
    close();
    options_.hooks.quit();
}

}  // namespace norvale
