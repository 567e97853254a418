// The whole flow of the main window on the demo card (scripts/make-demo-card.sh: a FAT32 card
// with photos, a document and a sound, some deleted), driven through the window's own buttons:
// load the image, choose the kinds, scan, look at the results, check files and recover them
// into a folder, byte for byte as the card held them. The same for an image of a partitioned
// card, scanned one partition or all of them.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCheckBox>
#include <QEvent>
#include <QEventLoop>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>

#include "app/engine_set.h"
#include "support/test_support.h"
#include "ui/disk_list.h"
#include "ui/main_wnd.h"
#include "ui/main_wnd_test_env.h"
#include "ui/qt_test_app.h"
#include "ui/results_page.h"
#include "ui/window_texts.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;

using testing::FindFile;

class MainFlowTest : public testing::MainWndFixture {
  protected:
    void SetUp() override {
        // The folder picker answers with a trailing "/", as a desktop's may.
        OpenWindowOnDemoCard([this](MainWndHooks& hooks) {
            hooks.pickFolder = [this](QWidget*, const QString& title) {
                folderTitles_ << title;
                return dest_.empty() ? QString() : QString::fromStdString(dest_ + "/");
            };
        });
    }

    bool SameAsOriginal(const std::string& recovered, const std::string& original) {
        return !recovered.empty() && testing::ReadFileBytes(recovered) ==
                                         testing::ReadFileBytes(originals_ + "/" + original);
    }
};

TEST_F(MainFlowTest, DeletedFileScanOfALoadedImageRecoversCheckedPhotosByteExact) {
    Click("ChkPhoto");
    Click("BtnDeletedRecovery");
    Click("BtnLoadImage");
    ASSERT_TRUE(window_->DiskList()->HasSelection());
    ASSERT_TRUE(window_->DiskList()->SelectedIsImage());
    Click("BtnScan");

    EXPECT_TRUE(shown_.empty()) << ShownTexts();
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    CResultsPage* results = window_->Results();
    ASSERT_GT(results->ItemCount(), 0u);
    // Only photos were asked for, and every one lands under the photo node.
    for (const auto& [key, positions] : results->Groups()) EXPECT_EQ(key, "png");
    QTreeWidgetItem* photos = results->CategoryNode(QStringLiteral("NodePhoto"));
    ASSERT_EQ(photos->childCount(), 1);
    const QString count = QString::number(results->ItemCount());
    EXPECT_EQ(photos->child(0)->text(0), "PNG (" + count + ")");
    EXPECT_EQ(photos->text(0), "Photo (" + count + ")");
    EXPECT_TRUE(window_->findChild<QLabel*>(QStringLiteral("Txt2"))->text().contains(count));
    EXPECT_TRUE(window_->findChild<QAbstractButton*>(QStringLiteral("TabRecover"))->isEnabled());

    ASSERT_EQ(CheckPhotos({"Sommer am Fjord.png"}), 1);
    EXPECT_EQ(results->CheckedCount(), 1u);
    Click("BtnRecover");
    EXPECT_EQ(folderTitles_, QStringList{"Select location for recovery"});
    EXPECT_EQ(window_->LastDestination().toStdString(), dest_);  // the trailing "/" dropped
    // Writing beside an image is not writing on the scanned medium: no warning.
    EXPECT_TRUE(shown_.empty()) << ShownTexts();

    EXPECT_TRUE(SameAsOriginal(FindFile(dest_, "Sommer am Fjord.png"), "Sommer am Fjord.png"));
    EXPECT_TRUE(FindFile(dest_, "!mg_0002.png").empty());  // not checked, not written

    // Checked on the next node visit as well: the checks belong to the files, not the rows.
    ASSERT_EQ(CheckPhotos({"!mg_0002.png"}), 1);
    EXPECT_EQ(results->CheckedCount(), 2u);
    ::rename(dest_.c_str(), (dir_ / "first").c_str());
    Click("BtnRecover");
    EXPECT_TRUE(SameAsOriginal(FindFile(dest_, "Sommer am Fjord.png"), "Sommer am Fjord.png"));
    EXPECT_TRUE(SameAsOriginal(FindFile(dest_, "!mg_0002.png"), "IMG_0002.png"));
}

TEST_F(MainFlowTest, ANewScanDropsTheDeletedFileScanLogAndBackReturnsToTheFileTypePage) {
    ScanPhotos();
    const std::string firstLog = home_.DataHome() + "/Kestrune/ScanLog/1";
    ASSERT_TRUE(fs::exists(firstLog));
    Click("BtnPrev");  // started from the disk page: back there
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kDiskPage);

    // A full scan, started from the file-type page with sounds added.
    Click("BtnPrev");
    Click("BtnStart");
    EXPECT_EQ(window_->ScanKind(), CMainWnd::kFullScan);
    ASSERT_TRUE(window_->DiskList()->HasSelection());
    Click("TabFileType");
    Click("OptWav");
    Click("BtnScan");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    EXPECT_TRUE(window_->ScannedFromFileTypePage());
    EXPECT_FALSE(fs::exists(firstLog));
    CResultsPage* results = window_->Results();
    ASSERT_TRUE(results->Groups().count("wav"));
    EXPECT_TRUE(results->Groups().count("png"));
    QTreeWidgetItem* audio = results->CategoryNode(QStringLiteral("NodeAudio"));
    ASSERT_EQ(audio->childCount(), 1);
    EXPECT_TRUE(audio->child(0)->text(0).startsWith("WAV ("))
        << audio->child(0)->text(0).toStdString();

    // A tree node's check box takes every file beneath it.
    audio->setCheckState(0, Qt::Checked);
    EXPECT_EQ(results->CheckedCount(), results->Groups().at("wav").size());
    Click("BtnRecover");
    EXPECT_TRUE(SameAsOriginal(FindFile(dest_, "voice memo.wav"), "voice memo.wav"));
    EXPECT_TRUE(FindFile(dest_, "Sommer am Fjord.png").empty());

    Click("BtnPrev");
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kFileTypePage);
}

TEST_F(MainFlowTest, CheckAllTakesTheFilesOfTheNodeAndCancellingThePickerRecoversNothing) {
    ScanPhotos();
    CResultsPage* results = window_->Results();
    auto* all = window_->findChild<QCheckBox*>(QStringLiteral("ChkAllListSel"));
    all->click();
    EXPECT_EQ(results->CheckedCount(), results->ItemCount());
    // One row cleared: the box no longer claims all.
    results->List()->topLevelItem(0)->setCheckState(CResultsPage::kCheckColumn, Qt::Unchecked);
    EXPECT_FALSE(all->isChecked());
    EXPECT_EQ(results->CheckedCount(), results->ItemCount() - 1);
    EXPECT_TRUE(window_->findChild<QLabel*>(QStringLiteral("SelectedFileInfo"))
                    ->text()
                    .contains(QString::number(results->ItemCount() - 1)));
    dest_.clear();  // the picker answers "": cancelled
    Click("BtnRecover");
    EXPECT_TRUE(window_->LastDestination().isEmpty());
}

// Files that do not fit the destination's free space are not started on without a question;
// answering no writes nothing, and with room there is no question.
TEST_F(MainFlowTest, ADestinationWithoutRoomAsksBeforeTheRecovery) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    fs::create_directories(dest_);
    if (::mount("tmpfs", dest_.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{dest_};
    ScanPhotos();
    ASSERT_EQ(CheckPhotos({"Sommer am Fjord.png", "!mg_0002.png"}), 2);
    Click("BtnRecover");
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_TRUE(shown_[0].text.startsWith(Text("MSG0806"))) << ShownTexts();
    EXPECT_TRUE(fs::is_empty(dest_));

    ASSERT_EQ(::mount("tmpfs", dest_.c_str(), "tmpfs", MS_REMOUNT, "size=4m"), 0);
    Click("BtnRecover");
    EXPECT_EQ(shown_.size(), 1u);
    EXPECT_TRUE(SameAsOriginal(FindFile(dest_, "Sommer am Fjord.png"), "Sommer am Fjord.png"));
    EXPECT_TRUE(SameAsOriginal(FindFile(dest_, "!mg_0002.png"), "IMG_0002.png"));
}

// A card imaged whole with dd: an MBR partition table, FAT32 "CARDFAT" at sector 2048 holding
// one deleted photo, unallocated space, NTFS "CARDNTFS" at 104448. Loaded with "Load Image",
// its partitions are listed beneath it and scanned as a card's are. (The FAT32 volume is
// larger than scripts/make-partitioned-image.sh makes it: mtools refuses a FAT32 volume with
// fewer clusters than FAT32 is meant for.)
constexpr const char* kMakePartitionedCard = R"(set -e
export PATH="$PATH:/usr/sbin:/sbin" MTOOLS_SKIP_CHECK=1
for tool in sfdisk mkfs.fat mkntfs mcopy mdel; do
    command -v "$tool" >/dev/null || { echo "$tool is missing"; exit 3; }
done
img=$1 file=$2 name=$3
truncate -s 96M "$img"
printf 'label: dos\nstart=2048, size=81920, type=c\nstart=104448, size=65536, type=7\n' |
    sfdisk --quiet --no-reread --no-tell-kernel "$img"
mkfs.fat -F 32 -n CARDFAT --offset 2048 -h 2048 "$img" 40960 >/dev/null
truncate -s 32M "$img.ntfs"
mkntfs -F -Q -q -L CARDNTFS -p 104448 -H 255 -S 63 "$img.ntfs" 2>/dev/null
dd if="$img.ntfs" of="$img" bs=512 seek=104448 conv=notrunc,sparse status=none
rm -f "$img.ntfs"
mcopy -i "$img@@1048576" "$file" "::/$name"
mdel -i "$img@@1048576" "::/$name"
)";

class PartitionedImageFlowTest : public testing::MainWndFixture {
  protected:
    static constexpr const char* kPhoto = "Fjord bei Nacht.png";

    void SetUp() override {
        testing::TestApplication();
        InstallEngineMakers();
        // A real picture of some clusters: what a deleted-file scan keeps must look like its kind.
        QImage picture(96, 96, QImage::Format_RGB32);
        for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x)
                picture.setPixel(x, y,
                                 qRgb((x * 37 + y * 11) & 255, (x * y) & 255, (y * 53) & 255));
        }
        ASSERT_TRUE(picture.save(QString::fromStdString(dir_ / "photo.png"), "PNG"));
        original_ = testing::ReadFileBytes(dir_ / "photo.png");
        ASSERT_GT(original_.size(), 4096u);
        std::ofstream(dir_ / "make-card.sh") << kMakePartitionedCard;
        std::string out;
        const int made = testing::Run("sh '" + dir_ / "make-card.sh" + "' '" + card_ + "' '" +
                                          dir_ / "photo.png" + "' '" + kPhoto + "'",
                                      &out);
        if (made == 3) GTEST_SKIP() << out;
        ASSERT_EQ(made, 0) << out;

        OpenWindow();
        // The last source a scan or search window named.
        afterRun_ = [this](QDialog* window) {
            if (auto* stage = window->findChild<QLabel*>(QStringLiteral("stage")))
                stages_ << stage->text();
        };
    }

    // Checks the row of the deleted photo on the results page; null when it was not found.
    QTreeWidgetItem* CheckThePhoto() {
        CResultsPage* results = window_->Results();
        results->Tree()->setCurrentItem(results->CategoryNode(QStringLiteral("NodePhoto")));
        QTreeWidget* list = results->List();
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = list->topLevelItem(i);
            if (row->text(CResultsPage::kNameColumn) == QLatin1String(kPhoto)) {
                row->setCheckState(CResultsPage::kCheckColumn, Qt::Checked);
                return row;
            }
        }
        return nullptr;
    }

    std::vector<uint8_t> original_;
    QStringList stages_;
};

TEST_F(PartitionedImageFlowTest, DeletedFileOfAPartitionIsFoundAndRecoveredByteExact) {
    Click("ChkPhoto");
    Click("BtnDeletedRecovery");
    Click("BtnLoadImage");
    CDiskListUI* list = window_->DiskList();
    QTreeWidgetItem* image = list->ImageGroupRow()->child(0);
    ASSERT_GE(image->childCount(), 3);
    ASSERT_EQ(image->child(0)->text(0), "Partition 1 (CARDFAT)");
    list->clearSelection();
    image->child(0)->setSelected(true);
    Click("BtnScan");

    EXPECT_TRUE(shown_.empty()) << ShownTexts();
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    const QString name = QStringLiteral("card.img: Partition 1 (CARDFAT, FAT32)");
    EXPECT_TRUE(stages_.contains("Scanning image " + name))
        << stages_.join(QLatin1Char('|')).toStdString();
    EXPECT_TRUE(stages_.contains("Collecting the files found in " + name))
        << stages_.join(QLatin1Char('|')).toStdString();
    ASSERT_TRUE(CheckThePhoto());
    Click("BtnRecover");
    // Writing beside the image is not writing on the scanned medium: no warning.
    EXPECT_TRUE(shown_.empty()) << ShownTexts();
    EXPECT_EQ(testing::ReadFileBytes(FindFile(dest_, kPhoto)), original_);
}

TEST_F(PartitionedImageFlowTest, WholeImageScansEveryPartitionAndADamagedTableIsShown) {
    Click("ChkPhoto");
    Click("BtnDeletedRecovery");
    Click("BtnLoadImage");
    ASSERT_TRUE(window_->DiskList()->SelectedIsImage());
    Click("BtnScan");
    // The stretches between the partitions hold no file system: they neither end the scan
    // before the NTFS partition nor count as a medium that cannot be read.
    EXPECT_TRUE(shown_.empty()) << ShownTexts();
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    EXPECT_TRUE(stages_.contains("Scanning image card.img: Partition 2 (CARDNTFS, NTFS)"))
        << stages_.join(QLatin1Char('|')).toStdString();
    QTreeWidgetItem* photo = CheckThePhoto();
    ASSERT_TRUE(photo);
    // Two partitions may hold the same names: the path names the partition, and the file is
    // recovered into a folder of its partition.
    EXPECT_TRUE(photo->text(CResultsPage::kPathColumn).startsWith("Partition 1 (CARDFAT, FAT32): "))
        << photo->text(CResultsPage::kPathColumn).toStdString();
    Click("BtnRecover");
    EXPECT_EQ(testing::ReadFileBytes(FindFile(dest_ + "/Partition 1 (CARDFAT, FAT32)", kPhoto)),
              original_);

    // A copy cut short (a smaller card was the destination): what is wrong with its table is
    // said, and its first partition is listed all the same.
    load_ = dir_ / "cut.img";
    ASSERT_EQ(testing::Run("cp --sparse=always '" + card_ + "' '" + load_ + "'"), 0);
    testing::TruncateAt(load_, 60ull << 20);
    Click("BtnLoadImage");
    ASSERT_EQ(shown_.size(), 1u);
    const QString intro =
        "The partition table of " + QString::fromStdString(load_) + " has problems.";
    EXPECT_TRUE(shown_[0].text.startsWith(intro)) << ShownTexts();
    EXPECT_FALSE(shown_[0].text.section(QStringLiteral("\n\n"), 1).trimmed().isEmpty())
        << "no problem lines: " << ShownTexts();
    QTreeWidgetItem* cut = window_->DiskList()->ImageGroupRow()->child(1);
    ASSERT_TRUE(cut);
    const QString problems = shown_[0].text.section(QStringLiteral("\n\n"), 1);
    EXPECT_TRUE(cut->toolTip(0).endsWith(problems)) << cut->toolTip(0).toStdString();
    ASSERT_GE(cut->childCount(), 1);
    EXPECT_EQ(cut->child(0)->text(0), "Partition 1 (CARDFAT)");
    EXPECT_EQ(cut->child(0)->text(1), "FAT32");
    Click("BtnLoadImage");  // loaded again: selected again, not told again
    EXPECT_EQ(shown_.size(), 1u);
    EXPECT_EQ(window_->DiskList()->SelectedImagePath().toStdString(), load_);
}

// Not a check: saves the pages as pictures for the documentation when NORVALE_SCREENSHOTS
// names a folder (scripts/ui-screenshots.sh).
TEST_F(MainFlowTest, SavePagePictures) {
    NORVALE_REQUIRE_SCREENSHOTS();
    window_->resize(800, 500);
    window_->show();
    auto save = [](QWidget* widget, const char* name) { SavePicture(widget, name); };
    Click("ChkPhoto");
    Click("ChkMusic");
    QEvent enter(QEvent::Enter);
    QCoreApplication::sendEvent(window_->findChild<QWidget*>(QStringLiteral("BtnDeepRecovery")),
                                &enter);
    save(window_.get(), "page0.png");
    Click("BtnDeletedRecovery");
    Click("BtnLoadImage");
    save(window_.get(), "page1.png");
    Click("TabFileType");
    save(window_.get(), "page2.png");
    Click("TabScan");
    Click("BtnScan");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    CheckPhotos({"Sommer am Fjord.png"});
    window_->Results()->List()->setCurrentItem(window_->Results()->List()->topLevelItem(0));
    save(window_.get(), "page3.png");
    beforeFinish_ = [&](QDialog* progress) { save(progress, "recover_progress.png"); };
    Click("BtnRecover");
}

}  // namespace
}  // namespace norvale
