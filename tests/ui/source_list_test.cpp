// The source list of the main window ("Select Location"), driven through the window: the hint
// while there is nothing to choose, what a loaded image is shown as, files that cannot be an
// image, removing an image (also one whose scan is on the results page), the open dialog.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
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
#include "ui/main_wnd_test_env.h"
#include "ui/message_box.h"
#include "ui/qt_test_app.h"
#include "ui/results_page.h"
#include "ui/window_texts.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

class SourceListTest : public testing::MainWndFixture {
  protected:
    void SetUp() override {
        answer_ = CMessageBox::kAnswerOk;
        OpenWindow();
        list_ = window_->DiskList();
    }

    bool Shown(const char* name) const { return !Find<QWidget>(name)->isHidden(); }
    void Load(const std::string& path) {
        load_ = path;
        shown_.clear();
        Click("BtnLoadImage");
    }
    int ImageCount() const {
        return list_->ImageGroupRow() ? list_->ImageGroupRow()->childCount() : 0;
    }
    QTreeWidgetItem* ImageRow(int i) const { return list_->ImageGroupRow()->child(i); }
    void Select(QTreeWidgetItem* row) {
        list_->clearSelection();
        row->setSelected(true);
        list_->setCurrentItem(row);
    }
    // The texts of Label1..Label10 that are not empty.
    QStringList Info() const {
        QStringList lines;
        for (int i = 1; i <= 10; ++i) {
            const QString text = Find<QLabel>(qPrintable(QStringLiteral("Label%1").arg(i)))->text();
            if (!text.isEmpty()) lines << text;
        }
        return lines;
    }
    // A removable 64 MiB card "sdb" comes into the fake machine or goes, as udev would say.
    void Card(bool present) {
        const std::string sys = dir_ / "sys/sdb";
        if (!present) {
            fs::remove_all(sys);
            fs::remove(dir_ / "dev/sdb");
            emit window_->Monitor()->refreshAfterRemoval();
            return;
        }
        fs::create_directories(sys + "/queue");
        for (auto [file, text] : {std::pair{"size", "131072"},
                                  {"dev", "8:16"},
                                  {"removable", "1"},
                                  {"queue/logical_block_size", "512"}})
            std::ofstream(sys + "/" + file) << text << "\n";
        std::ofstream(dir_ / "dev/sdb").close();
        emit window_->Monitor()->refreshAfterArrival();
    }
    std::string Zeros(const char* name) {
        const std::string path = dir_ / name;
        testing::WriteFileBytes(path, std::vector<uint8_t>(1 << 20, 0));
        return path;
    }

    CDiskListUI* list_ = nullptr;
};

TEST_F(SourceListTest, HintShowsWhileThereIsNothingToChoose) {
    Click("BtnDeepRecovery");
    auto* hint = Find<QLabel>("TxtSourceHint");
    EXPECT_TRUE(Shown("TxtSourceHint"));
    EXPECT_TRUE(hint->text().contains("Insert the card")) << hint->text().toStdString();
    EXPECT_TRUE(hint->text().contains("Load Image"));
    EXPECT_EQ(hint->accessibleName(), hint->text());
    EXPECT_FALSE(Shown("BtnRemoveImage"));  // no image to remove

    Card(true);
    ASSERT_EQ(list_->DiskRows().size(), 1u);
    EXPECT_FALSE(Shown("TxtSourceHint"));
    Card(false);
    ASSERT_TRUE(list_->DiskRows().empty());
    EXPECT_TRUE(Shown("TxtSourceHint"));

    const std::string raw = Zeros("dump.bin");
    Load(raw);
    ASSERT_EQ(ImageCount(), 1);
    EXPECT_FALSE(Shown("TxtSourceHint"));
    EXPECT_TRUE(Shown("BtnRemoveImage"));
    Click("BtnRemoveImage");
    EXPECT_EQ(list_->ImageGroupRow(), nullptr);
    EXPECT_TRUE(Shown("TxtSourceHint"));

    // Copying into an image needs a card: a listed image does not count, and Load Image is
    // not offered there.
    Load(raw);
    Click("BtnPrev");
    Click("BtnCreateImageMode");
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
        Load(path);
        EXPECT_EQ(ImageCount(), 0);
        ASSERT_EQ(shown_.size(), 1u);
        EXPECT_EQ(shown_[0].type, int(CMessageBox::kWarningBox));
        EXPECT_TRUE(shown_[0].text.contains(QString::fromStdString(path)));
        EXPECT_TRUE(shown_[0].text.contains(QLatin1String(says))) << ShownTexts();
    };
    const std::string text = dir_ / "notes.img";
    std::ofstream(text) << std::string(71, 'x') << "\n";  // 72 bytes
    refused(text, "smaller than one sector");
    fs::create_directories(dir_ / "folder.img");
    refused(dir_ / "folder.img", "is a folder");
    refused(dir_ / "gone.img", "cannot be read");
    // A pipe is no medium, and looking at it must not wait for a writer.
    ASSERT_EQ(::mkfifo((dir_ / "pipe.img").c_str(), 0600), 0);
    refused(dir_ / "pipe.img", "cannot be read");

    // Big enough but nothing recognised: perhaps a raw dump, listed only when the user says so.
    const std::string raw = Zeros("dump.dd");
    answer_ = CMessageBox::kAnswerCancel;
    Load(raw);
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0].type, int(CMessageBox::kQuestionBox));
    EXPECT_TRUE(shown_[0].text.contains("Deep Scan")) << ShownTexts();
    EXPECT_EQ(ImageCount(), 0);
    answer_ = CMessageBox::kAnswerOk;
    Load(raw);
    ASSERT_EQ(ImageCount(), 1);
    EXPECT_EQ(ImageRow(0)->text(1), "Unknown");
    EXPECT_TRUE(Info().contains("File system: Unknown"));

    // The same file again, under another spelling or through a link: selected, not listed
    // twice, not asked about again.
    fs::create_symlink(raw, dir_ / "link.dd");
    for (const std::string& again : {raw, dir_ / "folder.img/../dump.dd", dir_ / "link.dd"}) {
        SCOPED_TRACE(again);
        list_->clearSelection();
        Load(again);
        EXPECT_TRUE(shown_.empty());
        EXPECT_EQ(ImageCount(), 1);
        EXPECT_EQ(list_->SelectedImagePath().toStdString(), raw);
    }
}

TEST_F(SourceListTest, LoadedImageShowsItsFileSystemAndLabel) {
    NORVALE_REQUIRE_TOOLS("mkfs.fat");
    Click("BtnDeepRecovery");
    const std::string fat16 = dir_ / "camera.img";
    testing::WriteFileBytes(fat16, {});
    fs::resize_file(fat16, 16 << 20);
    ASSERT_EQ(testing::RunSystemTool("mkfs.fat -F 16 -n CAMERA16 '" + fat16 + "' >/dev/null"), 0);
    Load(fat16);
    EXPECT_TRUE(shown_.empty()) << ShownTexts();
    ASSERT_EQ(ImageCount(), 1);
    EXPECT_EQ(ImageRow(0)->text(0), "camera.img (CAMERA16)");
    EXPECT_EQ(ImageRow(0)->text(1), "FAT16");
    QStringList info = Info();
    EXPECT_TRUE(info.contains("File system: FAT16")) << info.join('|').toStdString();
    EXPECT_TRUE(info.contains("Volume label: CAMERA16"));

    // A card imaged whole: the image names its table, its partitions their file systems.
    const std::string card = dir_ / "card.img";
    if (testing::RunSystemTool(testing::SourceDir() + "/scripts/make-partitioned-image.sh '" +
                               card + "' 2>/dev/null") != 0)
        GTEST_SKIP() << "sfdisk and mkntfs are needed for the rest";
    Load(card);
    ASSERT_EQ(ImageCount(), 2);
    QTreeWidgetItem* row = ImageRow(1);
    EXPECT_EQ(row->text(1), "MBR partition table");
    ASSERT_GE(row->childCount(), 3);
    EXPECT_EQ(row->child(0)->text(0), "Partition 1 (CARDFAT)");
    EXPECT_EQ(row->child(0)->text(1), "FAT32");
    EXPECT_EQ(row->child(2)->text(1), "NTFS");
    info = Info();
    EXPECT_TRUE(info.contains("Partition table: MBR")) << info.join('|').toStdString();
    EXPECT_TRUE(info.contains(QStringLiteral("Partitions: %1").arg(row->childCount())));
    Select(row->child(2));
    EXPECT_TRUE(Info().contains("Volume label: CARDNTFS"));

    ASSERT_EQ(SetLanguageAndAnnounce("Deutsch", *table_), kOk);
    EXPECT_EQ(row->text(1), "MBR-Partitionstabelle");
    EXPECT_EQ(Find<QPushButton>("BtnRemoveImage")->text(), "Abbild entfernen");
}

// An image leaves the list by the button, the Delete key or its row's menu. One whose scan is
// on the results page leaves the list only: its files are read through the scan's own sources.
TEST_F(SourceListTest, RemovedImageLeavesTheListButNotTheScanOfIt) {
    MakeDemoCard();
    if (IsSkipped() || HasFatalFailure()) return;
    InstallEngineMakers();
    const std::string& card = card_;
    const std::string other = Zeros("other.img");
    auto* remove = Find<QPushButton>("BtnRemoveImage");
    Click("ChkPhoto");
    Click("BtnDeletedRecovery");
    Load(card);
    Load(other);
    ASSERT_EQ(ImageCount(), 2);
    EXPECT_TRUE(remove->isEnabled());
    list_->clearSelection();
    EXPECT_FALSE(remove->isEnabled());
    QTest::keyClick(list_, Qt::Key_Delete);  // nothing selected: nothing goes
    EXPECT_EQ(ImageCount(), 2);

    // The Delete key; the selection moves on to the other image.
    Select(ImageRow(1));
    QTest::keyClick(list_, Qt::Key_Delete);
    ASSERT_EQ(ImageCount(), 1);
    EXPECT_EQ(list_->SelectedImagePath().toStdString(), card);
    EXPECT_TRUE(Info().contains(QString::fromStdString("Path: " + card)));

    // The menu of the row the mouse points at.
    Load(other);
    Select(ImageRow(0));
    const QPoint at = list_->visualItemRect(ImageRow(1)).center();
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, at, list_->viewport()->mapToGlobal(at));
    QCoreApplication::sendEvent(list_->viewport(), &menuEvent);
    auto* menu = list_->findChild<QMenu*>(QStringLiteral("ImageRowMenu"));
    ASSERT_TRUE(menu);
    EXPECT_EQ(list_->SelectedImagePath().toStdString(), other);
    menu->findChild<QAction*>(QStringLiteral("RowMenuRemoveImage"))->trigger();
    menu->close();
    ASSERT_EQ(ImageCount(), 1);

    // Scan the card, then take its image out of the list.
    Select(ImageRow(0));
    Click("BtnScan");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    CResultsPage* results = window_->Results();
    const size_t found = results->ItemCount();
    Click("TabScan");
    Select(ImageRow(0));
    Click("BtnRemoveImage");
    EXPECT_EQ(list_->ImageGroupRow(), nullptr);
    EXPECT_TRUE(Info().isEmpty());  // nothing selected, nothing described
    EXPECT_FALSE(remove->isEnabled());
    ASSERT_EQ(window_->ScannedSources().size(), 1u);
    EXPECT_NE(window_->ScannedSources()[0].engine, nullptr);

    // Its files still come back byte for byte.
    Click("TabRecover");
    EXPECT_EQ(results->ItemCount(), found);
    results->Tree()->setCurrentItem(results->CategoryNode(QStringLiteral("NodePhoto")));
    for (int i = 0; i < results->List()->topLevelItemCount(); ++i) {
        QTreeWidgetItem* file = results->List()->topLevelItem(i);
        if (file->text(CResultsPage::kNameColumn).toLower() == "sommer am fjord.png")
            file->setCheckState(CResultsPage::kCheckColumn, Qt::Checked);
    }
    ASSERT_EQ(results->CheckedCount(), 1u);
    Click("BtnRecover");
    std::string recovered;
    for (const auto& entry : fs::recursive_directory_iterator(dest_)) {
        if (entry.path().filename() == "Sommer am Fjord.png") recovered = entry.path();
    }
    ASSERT_FALSE(recovered.empty()) << ShownTexts();
    EXPECT_EQ(testing::ReadFileBytes(recovered),
              testing::ReadFileBytes(originals_ + "/Sommer am Fjord.png"));
}

// The desktop's own open dialog: every usual name of a disk image, and any file at all.
TEST_F(SourceListTest, OpenDialogOffersEveryImageKindAndAllFiles) {
    TempDir plainDir;
    MainWndOptions options;
    auto table =
        testing::PrepareMainWnd(plainDir.Path(), "[Default]\nDefaultLanguage=Deutsch\n", options);
    int asked = 0;
    options.hooks.messageBox = [&](int, QWidget*, const QString&) {
        ++asked;
        return int(CMessageBox::kAnswerOk);
    };
    CMainWnd plain(std::move(options));
    const std::string dump = Zeros("card.001");
    QStringList filters;
    bool accept = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) return;
        filters = dialog->nameFilters();
        if (!accept) return dialog->reject();
        // Typed as a person would: selectFile() leaves the name field alone while it has
        // the focus, which it gets at some moment after the dialog shows.
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        if (!name) {
            ADD_FAILURE() << "the dialog has no fileNameEdit";
            return dialog->reject();
        }
        name->setText(QString::fromStdString(dump));
        static_cast<QDialog*>(dialog)->accept();
    });
    poll.start(20);
    auto* load = plain.findChild<QAbstractButton*>(QStringLiteral("BtnLoadImage"));
    load->click();
    ASSERT_EQ(filters.size(), 2) << filters.join('|').toStdString();
    for (const char* pattern : {"*.img", "*.dd", "*.raw", "*.bin", "*.001", "*.iso", "*.vhd"})
        EXPECT_TRUE(filters[0].contains(QLatin1String(pattern))) << pattern;
    EXPECT_EQ(filters[1], "Alle Dateien (*)");  // in the window's language
    EXPECT_EQ(plain.DiskList()->ImageGroupRow(), nullptr);

    accept = true;
    load->click();
    EXPECT_EQ(asked, 1);  // nothing recognised in it: asked first
    EXPECT_EQ(plain.DiskList()->SelectedImagePath().toStdString(), dump);
}

// Not a check: saves the start page and the source list for the documentation when
// NORVALE_SCREENSHOTS names a folder.
TEST_F(SourceListTest, SaveSourcePictures) {
    NORVALE_REQUIRE_SCREENSHOTS();
    window_->resize(900, 560);
    window_->show();
    const auto save = [&](const char* name) { SavePicture(window_.get(), name, 200); };
    save("start-no-card.png");
    Click("ChkPhoto");
    Click("BtnDeepRecovery");
    save("sources-no-card.png");
    const std::string card = dir_ / "card.img";
    ASSERT_EQ(testing::RunSystemTool(testing::SourceDir() + "/scripts/make-partitioned-image.sh '" +
                                     card + "'"),
              0);
    Load(card);
    Select(ImageRow(0)->child(0));
    save("sources-partitioned.png");
}

}  // namespace
}  // namespace norvale
