// The source list of the main window ("Select Location"), driven through the window: the hint
// while there is nothing to choose, what a loaded image is shown as, files that cannot be an
// image, removing an image again (also one whose scan is on the results page), and the open
// dialog's filters.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>

#include "app/engine_set.h"
#include "support/test_support.h"
#include "ui/device_monitor.h"
#include "ui/disk_list.h"
#include "ui/main_wnd.h"
#include "ui/main_wnd_test_env.h"
#include "ui/message_box.h"
#include "ui/qt_test_app.h"
#include "ui/results_page.h"
#include "ui/window_texts.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

void Write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text << "\n";
}

class SourceListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::TestApplication();
        MainWndOptions options;
        table_ =
            testing::PrepareMainWnd(dir_.Path(), "[Default]\nDefaultLanguage=English\n", options);
        options.hooks.pickImageToLoad = [this](QWidget*) { return load_; };
        options.hooks.pickFolder = [this](QWidget*, const QString&) {
            return QString::fromStdString(dest_);
        };
        // The recovery window stays open for its summary until "FinishBtn" is pressed.
        options.hooks.runProgress = [](QDialog* window, const std::function<int()>& run) {
            if (auto* finish = window->findChild<QPushButton*>(QStringLiteral("FinishBtn"))) {
                auto* poll = new QTimer(window);
                QObject::connect(poll, &QTimer::timeout, window, [finish] {
                    if (finish->isVisible()) finish->click();
                });
                poll->start(20);
            }
            return run();
        };
        options.hooks.messageBox = [this](int type, QWidget*, const QString& text) {
            types_ << type;
            shown_ << text;
            return answer_;
        };
        window_ = std::make_unique<CMainWnd>(std::move(options));
    }

    template <typename T = QWidget>
    T* Find(const char* name) const {
        auto* widget = window_->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    void Click(const char* name) {
        if (auto* button = Find<QAbstractButton>(name)) button->click();
    }
    // Shown on its page (the page itself need not be on screen).
    bool Shown(const char* name) const {
        QWidget* widget = Find(name);
        return widget && !widget->isHidden();
    }
    void Load(const std::string& path) {
        load_ = QString::fromStdString(path);
        Click("BtnLoadImage");
    }
    QTreeWidgetItem* ImageRow(int i) const {
        QTreeWidgetItem* group = window_->DiskList()->ImageGroupRow();
        return group && i < group->childCount() ? group->child(i) : nullptr;
    }
    int ImageCount() const {
        QTreeWidgetItem* group = window_->DiskList()->ImageGroupRow();
        return group ? group->childCount() : 0;
    }
    void Select(QTreeWidgetItem* row) {
        ASSERT_TRUE(row);
        window_->DiskList()->clearSelection();
        row->setSelected(true);
        window_->DiskList()->setCurrentItem(row);
    }
    // Label1..Label10 of the page, the empty ones left out.
    QStringList InfoLabels() const {
        QStringList lines;
        for (int i = 1; i <= 10; ++i) {
            auto* label = window_->findChild<QLabel*>(QStringLiteral("Label%1").arg(i));
            if (label && !label->text().isEmpty()) lines << label->text();
        }
        return lines;
    }
    // A removable card "sdb" of 64 MiB without partitions in the fake machine; gone again with
    // `present` false. The window hears of it as it would from udev.
    void Card(bool present) {
        const std::string sys = dir_ / "sys/sdb";
        if (present) {
            Write(sys + "/size", "131072");
            Write(sys + "/dev", "8:16");
            Write(sys + "/removable", "1");
            Write(sys + "/queue/logical_block_size", "512");
            std::ofstream(dir_ / "dev/sdb").close();
            emit window_->Monitor()->refreshAfterArrival();
        } else {
            fs::remove_all(sys);
            fs::remove(dir_ / "dev/sdb");
            emit window_->Monitor()->refreshAfterRemoval();
        }
    }
    // A FAT volume without partition table in a file; false when mkfs.fat is missing.
    bool FatImage(const std::string& path, int mebibytes, const std::string& options) {
        testing::WriteFileBytes(path, {});
        fs::resize_file(path, uint64_t(mebibytes) << 20);
        return testing::RunSystemTool("PATH=\"$PATH:/usr/sbin:/sbin\" mkfs.fat " + options + " '" +
                                      path + "' >/dev/null 2>&1") == 0;
    }
    bool PartitionedImage(const std::string& path) {
        std::string out;
        return testing::RunSystemTool("'" + testing::SourceDir() +
                                          "/scripts/make-partitioned-image.sh' '" + path + "'",
                                      &out) == 0;
    }

    testing::IsolatedHome home_;
    TempDir dir_;
    std::string dest_ = dir_ / "recovered";
    std::unique_ptr<LanguageTable> table_;
    QString load_;
    int answer_ = CMessageBox::kAnswerOk;
    QList<int> types_;
    QStringList shown_;
    std::unique_ptr<CMainWnd> window_;
};

TEST_F(SourceListTest, HintShowsWhileThereIsNothingToChoose) {
    Click("BtnDeepRecovery");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kDiskPage);
    auto* hint = Find<QLabel>("TxtSourceHint");
    ASSERT_TRUE(hint);
    EXPECT_TRUE(Shown("TxtSourceHint"));
    EXPECT_TRUE(hint->text().contains("Insert the card")) << hint->text().toStdString();
    EXPECT_TRUE(hint->text().contains("Load Image"));
    EXPECT_EQ(hint->accessibleName(), hint->text());
    EXPECT_FALSE(Shown("BtnRemoveImage"));  // no image to remove

    // A card comes and goes.
    Card(true);
    ASSERT_EQ(window_->DiskList()->DiskRows().size(), 1u);
    EXPECT_FALSE(Shown("TxtSourceHint"));
    Card(false);
    EXPECT_TRUE(window_->DiskList()->DiskRows().empty());
    EXPECT_TRUE(Shown("TxtSourceHint"));

    // An image is something to choose; removed, it is not.
    const std::string raw = dir_ / "dump.bin";
    testing::WriteFileBytes(raw, std::vector<uint8_t>(1 << 20, 0));
    Load(raw);
    ASSERT_EQ(ImageCount(), 1);
    EXPECT_FALSE(Shown("TxtSourceHint"));
    EXPECT_TRUE(Shown("BtnRemoveImage"));
    Click("BtnRemoveImage");
    EXPECT_EQ(window_->DiskList()->ImageGroupRow(), nullptr);
    EXPECT_TRUE(Shown("TxtSourceHint"));

    // Copying into an image needs a card: a listed image does not count, and Load Image is
    // not offered there.
    Load(raw);
    Click("BtnPrev");
    Click("BtnCreateImageMode");
    ASSERT_TRUE(window_->ImageMode());
    EXPECT_TRUE(Shown("TxtSourceHint"));
    EXPECT_FALSE(hint->text().contains("Load Image")) << hint->text().toStdString();
    EXPECT_FALSE(Shown("BtnRemoveImage"));
    Card(true);
    EXPECT_FALSE(Shown("TxtSourceHint"));
}

TEST_F(SourceListTest, FilesThatCannotBeImagesAreRefusedAndUnknownOnesAsked) {
    Click("BtnDeepRecovery");
    const auto refused = [&](const std::string& path, const char* says) {
        SCOPED_TRACE(path);
        shown_.clear();
        types_.clear();
        Load(path);
        EXPECT_EQ(ImageCount(), 0);
        ASSERT_EQ(shown_.size(), 1);
        EXPECT_EQ(types_.front(), int(CMessageBox::kWarningBox));
        EXPECT_TRUE(shown_.front().contains(QString::fromStdString(path)));
        EXPECT_TRUE(shown_.front().contains(QLatin1String(says))) << shown_.front().toStdString();
    };
    const std::string text = dir_ / "notes.img";
    std::ofstream(text) << std::string(71, 'x') << "\n";  // 72 bytes of text
    ASSERT_EQ(fs::file_size(text), 72u);
    refused(text, "smaller than one sector");
    fs::create_directories(dir_ / "folder.img");
    refused(dir_ / "folder.img", "is a folder");
    refused(dir_ / "gone.img", "cannot be read");
    // A pipe is no medium, and looking at it must not wait for a writer.
    ASSERT_EQ(::mkfifo((dir_ / "pipe.img").c_str(), 0600), 0);
    refused(dir_ / "pipe.img", "cannot be read");
    if (::geteuid() != 0) {
        const std::string locked = dir_ / "locked.img";
        testing::WriteFileBytes(locked, std::vector<uint8_t>(4096, 0));
        ::chmod(locked.c_str(), 0);
        refused(locked, "cannot be read");
    }

    // Big enough but nothing recognised: perhaps a raw dump, added only when the user says so.
    const std::string raw = dir_ / "dump.dd";
    testing::WriteFileBytes(raw, std::vector<uint8_t>(1 << 20, 0x5A));
    shown_.clear();
    types_.clear();
    answer_ = CMessageBox::kAnswerCancel;
    Load(raw);
    ASSERT_EQ(shown_.size(), 1);
    EXPECT_EQ(types_.front(), int(CMessageBox::kQuestionBox));
    EXPECT_TRUE(shown_.front().contains("Deep Scan")) << shown_.front().toStdString();
    EXPECT_EQ(ImageCount(), 0);
    answer_ = CMessageBox::kAnswerOk;
    Load(raw);
    ASSERT_EQ(ImageCount(), 1);
    EXPECT_EQ(ImageRow(0)->text(1), "Unknown");
    EXPECT_TRUE(window_->DiskList()->SelectedIsImage());
    EXPECT_TRUE(InfoLabels().contains("File system: Unknown"));

    // The same file again, under another spelling or through a link: selected, not listed
    // twice and not asked about again.
    const std::string link = dir_ / "link.dd";
    fs::create_symlink(raw, link);
    for (const std::string& again : {raw, dir_ / "folder.img/../dump.dd", link}) {
        SCOPED_TRACE(again);
        window_->DiskList()->clearSelection();
        shown_.clear();
        Load(again);
        EXPECT_TRUE(shown_.isEmpty());
        EXPECT_EQ(ImageCount(), 1);
        EXPECT_EQ(window_->DiskList()->SelectedImagePath().toStdString(), raw);
    }
}

TEST_F(SourceListTest, LoadedImageShowsItsFileSystemAndLabel) {
    NORVALE_REQUIRE_TOOLS("mkfs.fat");
    Click("BtnDeepRecovery");
    const std::string fat16 = dir_ / "camera.img";
    ASSERT_TRUE(FatImage(fat16, 16, "-F 16 -n CAMERA16"));
    Load(fat16);
    EXPECT_TRUE(shown_.isEmpty()) << shown_.join('|').toStdString();
    ASSERT_EQ(ImageCount(), 1);
    EXPECT_EQ(ImageRow(0)->text(0), "camera.img (CAMERA16)");
    EXPECT_EQ(ImageRow(0)->text(1), "FAT16");
    EXPECT_EQ(ImageRow(0)->text(2), "16.00 MB");
    QStringList info = InfoLabels();
    EXPECT_TRUE(info.contains("Name: camera.img (CAMERA16)")) << info.join('|').toStdString();
    EXPECT_TRUE(info.contains("File system: FAT16"));
    EXPECT_TRUE(info.contains("Volume label: CAMERA16"));
    EXPECT_FALSE(info.join('|').contains("Disk image"));

    // A card imaged whole: the image names its table, its partitions their file systems.
    const std::string card = dir_ / "card.img";
    if (!PartitionedImage(card)) GTEST_SKIP() << "sfdisk and mkntfs are needed for the rest";
    Load(card);
    ASSERT_EQ(ImageCount(), 2);
    QTreeWidgetItem* row = ImageRow(1);
    EXPECT_EQ(row->text(0), "card.img");
    EXPECT_EQ(row->text(1), "MBR partition table");
    ASSERT_GE(row->childCount(), 3);
    EXPECT_EQ(row->child(0)->text(0), "Partition 1 (CARDFAT)");
    EXPECT_EQ(row->child(0)->text(1), "FAT32");
    EXPECT_EQ(row->child(2)->text(0), "Partition 2 (CARDNTFS)");
    EXPECT_EQ(row->child(2)->text(1), "NTFS");
    info = InfoLabels();
    EXPECT_TRUE(info.contains("Partition table: MBR")) << info.join('|').toStdString();
    EXPECT_TRUE(info.contains(QStringLiteral("Partitions: %1").arg(row->childCount())));
    Select(row->child(2));
    info = InfoLabels();
    EXPECT_TRUE(info.contains("File system: NTFS")) << info.join('|').toStdString();
    EXPECT_TRUE(info.contains("Volume label: CARDNTFS"));

    // The texts follow the language.
    ASSERT_EQ(SetLanguageAndAnnounce("Deutsch", *table_), kOk);
    EXPECT_EQ(row->text(1), "MBR-Partitionstabelle");
    EXPECT_EQ(Find<QPushButton>("BtnRemoveImage")->text(), "Abbild entfernen");
}

// Removing an image takes its rows out of the list, by the button, the Delete key or the row's
// menu. An image whose scan is on the results page goes from the list only: its files can
// still be recovered, read through the scan's own sources.
TEST_F(SourceListTest, RemovedImageLeavesTheListButNotTheScanOfIt) {
    NORVALE_REQUIRE_TOOLS("mkfs.fat", "mcopy", "mmd", "mdel");
    InstallEngineMakers();
    const std::string card = dir_ / "card.img";
    const std::string originals = dir_ / "originals";
    std::string out;
    ASSERT_EQ(testing::Run(testing::SourceDir() + "/scripts/make-demo-card.sh '" + card + "' '" +
                               originals + "'",
                           &out),
              0)
        << out;
    const std::string other = dir_ / "other.img";
    testing::WriteFileBytes(other, std::vector<uint8_t>(1 << 20, 0));
    CDiskListUI* list = window_->DiskList();
    auto* remove = Find<QPushButton>("BtnRemoveImage");
    ASSERT_TRUE(remove);

    Click("ChkPhoto");
    Click("BtnDeletedRecovery");
    Load(card);
    Load(other);
    ASSERT_EQ(ImageCount(), 2);
    ASSERT_TRUE(list->SelectedIsImage());
    EXPECT_TRUE(remove->isEnabled());
    // Only an image row can be removed: the group row is not one.
    list->clearSelection();
    EXPECT_FALSE(remove->isEnabled());
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_EQ(ImageCount(), 2);

    // The Delete key on the selected image; the selection moves on to the other one.
    Select(ImageRow(1));
    EXPECT_TRUE(remove->isEnabled());
    QTest::keyClick(list, Qt::Key_Delete);
    ASSERT_EQ(ImageCount(), 1);
    EXPECT_EQ(list->SelectedImagePath().toStdString(), card);
    EXPECT_TRUE(InfoLabels().contains(QString::fromStdString("Path: " + card)));
    EXPECT_TRUE(remove->isEnabled());

    // The row's menu, opened on the row with the mouse.
    Load(other);
    ASSERT_EQ(ImageCount(), 2);
    Select(ImageRow(0));
    const QRect rect = list->visualItemRect(ImageRow(1));
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, rect.center(),
                                list->viewport()->mapToGlobal(rect.center()));
    QCoreApplication::sendEvent(list->viewport(), &menuEvent);
    auto* menu = list->findChild<QMenu*>(QStringLiteral("ImageRowMenu"));
    ASSERT_TRUE(menu);
    EXPECT_EQ(list->SelectedImagePath().toStdString(), other);
    QAction* action = menu->findChild<QAction*>(QStringLiteral("RowMenuRemoveImage"));
    ASSERT_TRUE(action);
    EXPECT_EQ(action->text(), "Remove Image");
    action->trigger();
    menu->close();
    ASSERT_EQ(ImageCount(), 1);
    EXPECT_EQ(ImageRow(0)->toolTip(0).toStdString(), card);

    // Scan the card, then take its image out of the list.
    Select(ImageRow(0));
    Click("BtnScan");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    CResultsPage* results = window_->Results();
    const size_t found = results->ItemCount();
    ASSERT_GT(found, 0u);
    Click("TabScan");
    Select(ImageRow(0));
    Click("BtnRemoveImage");
    EXPECT_EQ(list->ImageGroupRow(), nullptr);
    EXPECT_TRUE(Shown("TxtSourceHint"));
    EXPECT_FALSE(list->HasSelection());
    EXPECT_TRUE(InfoLabels().isEmpty());  // nothing selected, nothing described
    EXPECT_FALSE(remove->isEnabled());
    ASSERT_EQ(window_->ScannedSources().size(), 1u);
    EXPECT_NE(window_->ScannedSources()[0].engine, nullptr);
    EXPECT_EQ(results->ItemCount(), found);

    // Its files still come back byte for byte.
    Click("TabRecover");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    results->Tree()->setCurrentItem(results->CategoryNode(QStringLiteral("NodePhoto")));
    QTreeWidget* files = results->List();
    QTreeWidgetItem* photo = nullptr;
    for (int i = 0; i < files->topLevelItemCount(); ++i) {
        if (files->topLevelItem(i)
                ->text(CResultsPage::kNameColumn)
                .compare("Sommer am Fjord.png", Qt::CaseInsensitive) == 0)
            photo = files->topLevelItem(i);
    }
    ASSERT_TRUE(photo);
    photo->setCheckState(CResultsPage::kCheckColumn, Qt::Checked);
    Click("BtnRecover");
    std::string recovered;
    for (const auto& entry : fs::recursive_directory_iterator(dest_)) {
        if (entry.path().filename() == "Sommer am Fjord.png") recovered = entry.path();
    }
    ASSERT_FALSE(recovered.empty()) << shown_.join('|').toStdString();
    EXPECT_EQ(testing::ReadFileBytes(recovered),
              testing::ReadFileBytes(originals + "/Sommer am Fjord.png"));
}

// The desktop's own open dialog: every usual name of a disk image, and any file at all (a
// dump may have no extension).
TEST_F(SourceListTest, OpenDialogOffersEveryImageKindAndAllFiles) {
    TempDir plainDir;
    MainWndOptions options;
    auto table =
        testing::PrepareMainWnd(plainDir.Path(), "[Default]\nDefaultLanguage=Deutsch\n", options);
    QStringList asked;
    options.hooks.messageBox = [&](int, QWidget*, const QString& text) {
        asked << text;
        return int(CMessageBox::kAnswerOk);
    };
    CMainWnd plain(std::move(options));
    const std::string dump = dir_ / "card.001";
    testing::WriteFileBytes(dump, std::vector<uint8_t>(1 << 20, 0));

    QStringList filters;
    bool accept = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        filters = dialog->nameFilters();
        EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
        if (accept) {
            dialog->selectFile(QString::fromStdString(dump));
            static_cast<QDialog*>(dialog)->accept();  // QFileDialog hides it
        } else {
            dialog->reject();
        }
    });
    poll.start(20);
    auto* load = plain.findChild<QAbstractButton*>(QStringLiteral("BtnLoadImage"));
    ASSERT_TRUE(load);
    load->click();
    ASSERT_EQ(filters.size(), 2) << filters.join('|').toStdString();
    for (const char* pattern : {"*.img", "*.dd", "*.raw", "*.bin", "*.001", "*.iso", "*.vhd"})
        EXPECT_TRUE(filters[0].contains(QLatin1String(pattern))) << pattern;
    EXPECT_EQ(filters[1], "Alle Dateien (*)");              // in the window's language
    EXPECT_EQ(plain.DiskList()->ImageGroupRow(), nullptr);  // cancelled: nothing added

    accept = true;
    load->click();
    ASSERT_EQ(asked.size(), 1);  // nothing recognised in it: asked first
    EXPECT_EQ(plain.DiskList()->SelectedImagePath().toStdString(), dump);
}

// Not a check: saves the start page and the source list for the documentation when
// NORVALE_SCREENSHOTS names a folder.
TEST_F(SourceListTest, SaveSourcePictures) {
    const QString folder = qEnvironmentVariable("NORVALE_SCREENSHOTS");
    if (folder.isEmpty()) GTEST_SKIP() << "NORVALE_SCREENSHOTS not set";
    window_->resize(900, 560);
    window_->show();
    const auto save = [&](const char* name) {
        // Let the window lay out and paint under a real display server.
        QEventLoop wait;
        QTimer::singleShot(200, &wait, &QEventLoop::quit);
        wait.exec();
        EXPECT_TRUE(window_->grab().save(folder + QLatin1Char('/') + QLatin1String(name)));
    };
    save("start-no-card.png");
    Click("ChkPhoto");
    Click("BtnDeepRecovery");
    save("sources-no-card.png");
    const std::string card = dir_ / "card.img";
    ASSERT_TRUE(PartitionedImage(card)) << "sfdisk, mkfs.fat and mkntfs are needed";
    Load(card);
    ASSERT_EQ(ImageCount(), 1);
    Select(ImageRow(0)->child(0));
    save("sources-partitioned.png");
}

}  // namespace
}  // namespace norvale
