// The disk list against a fake machine (a sysfs tree and device nodes that are small files,
// one of them a real FAT file system): which disks are listed, how their rows nest, what a scan
// of a row covers, image rows and their tags, refills after devices come and go, and a disk
// that cannot be opened for lack of rights.

#include "ui/disk_list.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>

#include "support/test_support.h"
#include "ui/qt_test_app.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using Kind = CDiskListUI::RowKind;
using testing::TempDir;

void Write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text << "\n";
}

class DiskListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        paths_.sysBlock = dir_ / "sys/block";
        paths_.devDir = dir_ / "dev";
        paths_.mountInfo = dir_ / "mountinfo";
        fs::create_directories(paths_.devDir);
        Write(paths_.mountInfo, "22 1 0:21 / /proc rw - proc proc rw");
        // The shipped English texts, so the rows read as the user sees them.
        texts_ = std::make_unique<LanguageTable>(dir_ / "config.ini",
                                                 testing::SourceDir() + "/src/ui/Languages");
        texts_->Load();
        list_.SetLanguageTable(texts_.get());
        list_.SetSystemPaths(paths_);
        list_.SetDiskOpenProbe(
            [this](const std::string& path) { return denied_.count(path) ? EACCES : 0; });
    }

    // A whole disk of `size512` 512-byte units; `removable` is the sysfs flag.
    void Disk(const std::string& name, uint64_t size512, bool removable,
              const std::string& model = "") {
        const std::string dir = paths_.sysBlock + "/" + name;
        Write(dir + "/size", std::to_string(size512));
        Write(dir + "/dev", "8:" + std::to_string(minor_++ * 16));
        Write(dir + "/removable", removable ? "1" : "0");
        Write(dir + "/queue/logical_block_size", "512");
        if (!model.empty()) Write(dir + "/device/model", model);
        Dev(name, 0);
    }
    void Part(const std::string& disk, int number, uint64_t start, uint64_t size) {
        const std::string name = disk + std::to_string(number);
        const std::string dir = paths_.sysBlock + "/" + disk + "/" + name;
        Write(dir + "/partition", std::to_string(number));
        Write(dir + "/start", std::to_string(start));
        Write(dir + "/size", std::to_string(size));
        Write(dir + "/dev", "8:" + std::to_string(minor_++));
        Dev(name, 0);
    }
    void Dev(const std::string& name, uint64_t bytes) {
        const std::string path = paths_.devDir + "/" + name;
        std::ofstream(path).close();
        fs::resize_file(path, bytes);
    }
    // A FAT file system on the device node of `name`; false when mkfs.fat is missing.
    bool Fat(const std::string& name, int mebibytes, const std::string& options) {
        Dev(name, uint64_t(mebibytes) << 20);
        return testing::Run("PATH=\"$PATH:/usr/sbin:/sbin\" mkfs.fat " + options + " " +
                            paths_.devDir + "/" + name + " >/dev/null 2>&1") == 0;
    }
    void Unplug(const std::string& name) {
        fs::remove_all(paths_.sysBlock + "/" + name);
        fs::remove(paths_.devDir + "/" + name);
    }
    std::string DevPath(const std::string& name) const { return paths_.devDir + "/" + name; }

    // The machine most tests use: a fixed disk, a partitioned card, a blank SD card.
    //   sda      fixed, one partition: never listed
    //   sdb      removable card (64 MiB): FAT32 at 2048, a second partition holding nothing
    //            recognisable at 40960, unallocated stretches between and after
    //   mmcblk0  blank SD card without partition table: one whole-disk row
    void TypicalMachine() {
        Disk("sda", 1048576, false);
        Part("sda", 1, 2048, 1046528);
        Disk("sdb", 131072, true, "Card Reader");
        Part("sdb", 1, 2048, 20480);
        Part("sdb", 2, 40960, 8192);
        fat_ = Fat("sdb1", 10, "-F 32 -n CARD32");
        Disk("mmcblk0", 8192, false);  // removable because it is an SD/MMC card
    }
    // A card with one partition at 2048 (layout shared by several cards).
    void SimpleCard(const std::string& name) {
        Disk(name, 65536, true);
        Part(name, 1, 2048, 63488);
    }

    QTreeWidgetItem* DiskRow(const std::string& name) const {
        for (QTreeWidgetItem* row : list_.DiskRows()) {
            if (row->toolTip(0).toStdString() == DevPath(name)) return row;
        }
        return nullptr;
    }
    void Select(QTreeWidgetItem* row) {
        list_.clearSelection();
        ASSERT_TRUE(row);
        row->setSelected(true);
    }
    std::set<uint16_t> AllTags() const {
        std::set<uint16_t> tags;
        size_t rows = 0;
        for (QTreeWidgetItem* disk : list_.DiskRows()) {
            if (disk->childCount() == 0) {
                tags.insert(CDiskListUI::TagOf(disk));
                ++rows;
            }
            for (int i = 0; i < disk->childCount(); ++i, ++rows)
                tags.insert(CDiskListUI::TagOf(disk->child(i)));
        }
        EXPECT_EQ(tags.size(), rows) << "two source rows share a tag";
        EXPECT_EQ(tags.count(0), 0u);
        return tags;
    }

    QApplication& app_ = testing::TestApplication();  // before any widget
    TempDir dir_;
    testing::IsolatedHome home_;
    SystemPaths paths_;
    std::unique_ptr<LanguageTable> texts_;
    CDiskListUI list_;
    std::set<std::string> denied_;
    int minor_ = 0;
    bool fat_ = false;
};

TEST_F(DiskListTest, OnlyRemovableDisksAreListedWithTheirPartitionsBeneath) {
    TypicalMachine();
    // Removable only through its bus: sysfs places the disk below a USB device.
    const std::string usb = dir_ / "sys/devices/pci0000:00/usb2/2-1/block/sdc";
    fs::create_directories(usb);
    fs::create_directories(paths_.sysBlock);
    fs::create_symlink(usb, paths_.sysBlock + "/sdc");
    Disk("sdc", 32768, false);
    list_.Refill();

    EXPECT_EQ(list_.headerItem()->text(0), "Name");
    EXPECT_EQ(list_.headerItem()->text(1), "File System");
    EXPECT_EQ(list_.headerItem()->text(2), "Size");

    // Disk numbers: sda 0, sdb 1, sdc 2, mmcblk0 3. The fixed sda is left out.
    const auto disks = list_.DiskRows();
    ASSERT_EQ(disks.size(), 3u);
    EXPECT_EQ(disks[0], DiskRow("sdb"));
    EXPECT_EQ(disks[1], DiskRow("sdc"));
    EXPECT_EQ(disks[2], DiskRow("mmcblk0"));
    EXPECT_EQ(disks[0]->text(0), "Disk 2: Card Reader");
    EXPECT_EQ(disks[0]->text(2), "64.00 MB");
    EXPECT_EQ(disks[2]->text(0), "Disk 4");
    EXPECT_EQ(disks[2]->childCount(), 0);  // a blank card is one row, scanned whole
    EXPECT_EQ(disks[2]->text(2), "4.00 MB");
    // The row pictures are built into the program and drawn.
    EXPECT_FALSE(disks[0]->icon(0).pixmap(16, 16).isNull());

    QTreeWidgetItem* card = disks[0];
    ASSERT_EQ(card->childCount(), 4);
    EXPECT_TRUE(card->isExpanded());
    struct Want {
        const char* name;
        const char* type;
        const char* size;
    };
    const Want want[] = {
        {fat_ ? "sdb1 (CARD32)" : "sdb1", fat_ ? "FAT32" : "Unknown", "10.00 MB"},
        {"Unallocated space", "", "9.00 MB"},  // 22528..40960
        {"sdb2", "Unknown", "4.00 MB"},
        {"Unallocated space", "", "38.75 MB"},  // 49152 to the last whole cylinder, 128520
    };
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        QTreeWidgetItem* row = card->child(i);
        EXPECT_EQ(CDiskListUI::KindOf(row), Kind::kPartition);
        EXPECT_EQ(row->text(0), want[i].name);
        EXPECT_EQ(row->text(1), want[i].type);
        EXPECT_EQ(row->text(2), want[i].size);
    }
    AllTags();
}

TEST_F(DiskListTest, ScanOfADiskCoversItsPartitionsAndOfAPartitionItself) {
    TypicalMachine();
    list_.Refill();
    QTreeWidgetItem* card = DiskRow("sdb");
    ASSERT_TRUE(card);
    EXPECT_FALSE(list_.HasSelection());
    EXPECT_TRUE(list_.SelectedScanSources().empty());

    Select(card);
    auto sources = list_.SelectedScanSources();
    ASSERT_EQ(sources.size(), 4u);
    const uint64_t starts[] = {2048, 22528, 40960, 49152};
    for (size_t i = 0; i < sources.size(); ++i) {
        ASSERT_TRUE(sources[i].IsPartition());
        EXPECT_EQ(sources[i].partition->startLba, starts[i]);
        EXPECT_EQ(sources[i].partition->diskNumber, 1);
        EXPECT_EQ(sources[i].Tag(), CDiskListUI::TagOf(card->child(int(i))));
        EXPECT_FALSE(sources[i].engine);
    }
    // The disk row itself stands for the whole disk, for imaging it whole.
    auto whole = list_.SelectedRecord();
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->kind, PartitionRecord::Kind::WholeDisk);
    EXPECT_EQ(whole->diskPath, DevPath("sdb"));
    EXPECT_EQ(whole->startLba, 0u);
    EXPECT_EQ(whole->sectorCount, 131072u);

    Select(card->child(2));
    sources = list_.SelectedScanSources();
    ASSERT_EQ(sources.size(), 1u);
    EXPECT_EQ(sources[0].partition->volumeRoot, DevPath("sdb2"));
    EXPECT_EQ(list_.SelectedRecord()->startLba, 40960u);
    EXPECT_FALSE(list_.SelectedIsImage());

    // A blank card: the row holds the enumerated whole-disk record and is the source itself.
    Select(DiskRow("mmcblk0"));
    sources = list_.SelectedScanSources();
    ASSERT_EQ(sources.size(), 1u);
    EXPECT_EQ(sources[0].partition->kind, PartitionRecord::Kind::WholeDisk);
    EXPECT_EQ(sources[0].partition->diskPath, DevPath("mmcblk0"));
    EXPECT_EQ(sources[0].Tag(), CDiskListUI::TagOf(DiskRow("mmcblk0")));
    EXPECT_NE(sources[0].Tag(), 0);
}

TEST_F(DiskListTest, ImagesSitUnderTheirGroupWithTagsOfTheirOwn) {
    TypicalMachine();
    list_.Refill();
    const std::string first = dir_ / "first.img";
    const std::string second = dir_ / "second.img";
    testing::WriteFileBytes(first, std::vector<uint8_t>(3072, 0));
    testing::WriteFileBytes(second, std::vector<uint8_t>(512, 0));

    QSignalSpy selected(&list_, &CDiskListUI::rowSelected);
    list_.AddImage(QString::fromStdString(first));
    EXPECT_GE(selected.count(), 1);
    QTreeWidgetItem* group = list_.ImageGroupRow();
    ASSERT_TRUE(group);
    EXPECT_EQ(group->text(0), "Image Files");
    EXPECT_EQ(list_.indexOfTopLevelItem(group), list_.topLevelItemCount() - 1);
    EXPECT_TRUE(list_.SelectedIsImage());
    EXPECT_EQ(list_.SelectedImagePath().toStdString(), first);
    EXPECT_FALSE(list_.SelectedRecord());
    const uint16_t firstTag = CDiskListUI::TagOf(group->child(0));

    list_.AddImage(QString::fromStdString(second));
    list_.AddImage(QString::fromStdString(first));  // already listed: selected again
    ASSERT_EQ(group->childCount(), 2);
    EXPECT_EQ(list_.SelectedImagePath().toStdString(), first);
    EXPECT_EQ(CDiskListUI::TagOf(group->child(0)), firstTag);
    EXPECT_EQ(group->child(0)->text(1), "Unknown");  // zeros: no file system to name
    EXPECT_EQ(group->child(0)->text(2), "3.00 KB");

    auto sources = list_.SelectedScanSources();
    ASSERT_EQ(sources.size(), 1u);
    EXPECT_FALSE(sources[0].IsPartition());
    EXPECT_EQ(sources[0].imagePath, first);
    EXPECT_EQ(sources[0].Tag(), firstTag);

    // Image tags never meet the tags of partitions, nor each other.
    std::set<uint16_t> tags = AllTags();
    for (int i = 0; i < group->childCount(); ++i) {
        const uint16_t tag = CDiskListUI::TagOf(group->child(i));
        EXPECT_GT(tag, kImageTagBase);
        EXPECT_TRUE(tags.insert(tag).second);
    }

    // A full refill of the disks leaves the images as they are.
    list_.Refill();
    EXPECT_EQ(list_.ImageGroupRow()->childCount(), 2);
    EXPECT_EQ(list_.SelectedImagePath().toStdString(), first);

    // In image mode an image cannot be chosen (nor stay chosen); disks can.
    list_.SetImageMode(true);
    EXPECT_FALSE(list_.HasSelection());
    EXPECT_FALSE(group->child(1)->flags() & Qt::ItemIsSelectable);
    EXPECT_TRUE(DiskRow("sdb")->flags() & Qt::ItemIsSelectable);
    list_.SetImageMode(false);
    EXPECT_TRUE(group->child(1)->flags() & Qt::ItemIsSelectable);
    EXPECT_FALSE(group->flags() & Qt::ItemIsSelectable);  // the group is no source
}

TEST_F(DiskListTest, ArrivalAddsOnlyTheNewRecordsAndKeepsTagsDistinct) {
    Disk("sda", 1048576, false);
    Part("sda", 1, 2048, 1046528);
    SimpleCard("sdb");
    SimpleCard("sdd");
    list_.Refill();
    QTreeWidgetItem* keptRow = DiskRow("sdb")->child(0);
    QTreeWidgetItem* laterDisk = DiskRow("sdd");
    const uint16_t keptTag = CDiskListUI::TagOf(keptRow);
    Select(keptRow);

    // sdc comes between: sdd's disk number moves from 2 to 3, and by enumeration position the
    // new card would take the numbers sdd's rows already carry.
    SimpleCard("sdc");
    list_.RefillAfterArrival();
    const auto disks = list_.DiskRows();
    ASSERT_EQ(disks.size(), 3u);
    EXPECT_EQ(disks[0], DiskRow("sdb"));
    EXPECT_EQ(disks[1], DiskRow("sdc"));
    EXPECT_EQ(disks[2], laterDisk);  // the same row, not a new one
    EXPECT_EQ(DiskRow("sdb")->child(0), keptRow);
    EXPECT_EQ(CDiskListUI::TagOf(keptRow), keptTag);
    EXPECT_TRUE(keptRow->isSelected());
    AllTags();

    // The engine opens a disk by its number: sdd's rows must follow the new numbering.
    Select(laterDisk->child(0));
    auto sources = list_.SelectedScanSources();
    ASSERT_EQ(sources.size(), 1u);
    EXPECT_EQ(sources[0].partition->diskNumber, 3);
    EXPECT_EQ(sources[0].partition->diskPath, DevPath("sdd"));

    // Nothing new: nothing changes.
    const int rows = laterDisk->childCount();
    list_.RefillAfterArrival();
    EXPECT_EQ(list_.DiskRows().size(), 3u);
    EXPECT_EQ(laterDisk->childCount(), rows);
}

TEST_F(DiskListTest, RemovalTakesOutTheRowsOfTheDiskThatWent) {
    SimpleCard("sdb");
    SimpleCard("sdc");
    SimpleCard("sdd");
    list_.Refill();
    QTreeWidgetItem* lastCard = DiskRow("sdd");
    Select(lastCard->child(0));

    // All three cards have a partition at 2048. With sdc gone, sdd becomes disk 1... and by
    // disk number and start alone it would look as if sdd had gone and sdc had stayed.
    Unplug("sdc");
    list_.RefillAfterRemoval();
    ASSERT_EQ(list_.DiskRows().size(), 2u);
    EXPECT_FALSE(DiskRow("sdc"));
    EXPECT_EQ(DiskRow("sdd"), lastCard);
    EXPECT_TRUE(lastCard->child(0)->isSelected());
    auto sources = list_.SelectedScanSources();
    ASSERT_EQ(sources.size(), 1u);
    EXPECT_EQ(sources[0].partition->diskNumber, 1);

    // A partition that went takes only its own row; a selection on it goes with it. The
    // card, now without partitions, stays as a blank disk that is scanned whole.
    Select(DiskRow("sdb")->child(0));
    fs::remove_all(paths_.sysBlock + "/sdb/sdb1");
    list_.RefillAfterRemoval();
    EXPECT_FALSE(list_.HasSelection());
    QTreeWidgetItem* card = DiskRow("sdb");
    ASSERT_TRUE(card);
    EXPECT_EQ(card->childCount(), 0);
    Select(card);
    sources = list_.SelectedScanSources();
    ASSERT_EQ(sources.size(), 1u);
    EXPECT_EQ(sources[0].partition->kind, PartitionRecord::Kind::WholeDisk);
    AllTags();

    // The last card goes: its disk row too.
    Unplug("sdd");
    list_.RefillAfterRemoval();
    EXPECT_FALSE(DiskRow("sdd"));
    EXPECT_TRUE(DiskRow("sdb"));
}

TEST_F(DiskListTest, DiskWithoutRightsSaysSoAndIsReportedOnce) {
    TypicalMachine();
    denied_.insert(DevPath("sdb"));
    QSignalSpy denied(&list_, &CDiskListUI::accessDenied);
    list_.Refill();
    ASSERT_EQ(denied.count(), 1);
    EXPECT_EQ(denied.at(0).at(0).toString().toStdString(), DevPath("sdb"));
    EXPECT_EQ(DiskRow("sdb")->text(1), "Needs administrator rights");
    EXPECT_EQ(DiskRow("mmcblk0")->text(1), "");

    list_.Refill();
    list_.RefillAfterArrival();
    EXPECT_EQ(denied.count(), 1);  // still the same disk: no second question

    // Taken out and put in again: asked again.
    fs::rename(paths_.sysBlock + "/sdb", dir_ / "sdb.away");
    list_.RefillAfterRemoval();
    EXPECT_FALSE(DiskRow("sdb"));
    fs::rename(dir_ / "sdb.away", paths_.sysBlock + "/sdb");
    list_.RefillAfterArrival();
    EXPECT_EQ(denied.count(), 2);
    EXPECT_EQ(DiskRow("sdb")->text(2), "64.00 MB");

    // Other failures (no medium, gone) are no question of rights.
    denied_.clear();
    list_.SetDiskOpenProbe([](const std::string&) { return ENOMEDIUM; });
    list_.Refill();
    EXPECT_EQ(denied.count(), 2);
    EXPECT_EQ(DiskRow("sdb")->text(1), "");
}

TEST_F(DiskListTest, InfoTextsDescribeTheSelectedRow) {
    TypicalMachine();
    list_.Refill();
    QStringList info = list_.InfoTexts();
    ASSERT_EQ(info.size(), 10);
    for (const QString& line : info) EXPECT_TRUE(line.isEmpty());

    Select(DiskRow("sdb")->child(0));
    info = list_.InfoTexts();
    ASSERT_EQ(info.size(), 10);
    EXPECT_TRUE(info.contains(QString::fromStdString("Device: " + DevPath("sdb1"))));
    EXPECT_TRUE(info.contains("Capacity: 10.00 MB"));
    EXPECT_TRUE(info.contains("First sector: 2048"));
    EXPECT_TRUE(info.contains("Sectors: 20480"));
    EXPECT_TRUE(info.contains("Mounted at: Not mounted"));
    if (fat_) {
        EXPECT_TRUE(info.contains("File system: FAT32"));
        EXPECT_TRUE(info.contains("Volume label: CARD32"));
    }
    // Not mounted: used and free space are unknown, not "everything used".
    for (const QString& line : info) EXPECT_FALSE(line.startsWith("Free space:"));

    Select(DiskRow("sdb")->child(1));  // unallocated: all of it free
    info = list_.InfoTexts();
    EXPECT_TRUE(info.contains("Free space: 9.00 MB"));

    Select(DiskRow("sdb"));
    info = list_.InfoTexts();
    EXPECT_TRUE(info.contains("Partitions: 4"));
    EXPECT_TRUE(info.contains("Model: Card Reader"));
    EXPECT_TRUE(info.contains("Capacity: 64.00 MB"));

    const std::string image = dir_ / "card.img";
    testing::WriteFileBytes(image, std::vector<uint8_t>(2048, 0));
    list_.AddImage(QString::fromStdString(image));
    info = list_.InfoTexts();
    EXPECT_TRUE(info.contains(QString::fromStdString("Path: " + image)));
    EXPECT_TRUE(info.contains("Capacity: 2.00 KB"));
}

// A card imaged whole (scripts/make-partitioned-image.sh): FAT32 "CARDFAT" at sector 2048,
// unallocated, NTFS "CARDNTFS" at 88064, unallocated to the end; false when a tool is missing.
bool MakePartitionedImage(const std::string& path, std::string& out) {
    return testing::RunSystemTool(
               "'" + testing::SourceDir() + "/scripts/make-partitioned-image.sh' '" + path + "'",
               &out) == 0;
}

TEST_F(DiskListTest, PartitionedImageListsItsPartitionsAsACardDoes) {
    const std::string image = dir_ / "card.img";
    if (std::string out; !MakePartitionedImage(image, out))
        GTEST_SKIP() << "cannot make the card image (sfdisk, mkfs.fat, mkntfs needed): " << out;
    TypicalMachine();
    list_.Refill();
    list_.AddImage(QString::fromStdString(image));
    QTreeWidgetItem* row = list_.ImageGroupRow()->child(0);
    ASSERT_TRUE(row);
    EXPECT_TRUE(list_.SelectedIsImage());

    // The unallocated tail may be left out when it is smaller than a cylinder.
    struct Want {
        const char* name;
        const char* type;
        const char* size;
        uint64_t start;
    };
    const Want want[] = {{"Partition 1 (CARDFAT)", "FAT32", "32.00 MB", 2048},
                         {"Unallocated space", "", "10.00 MB", 67584},
                         {"Partition 2 (CARDNTFS)", "NTFS", "32.00 MB", 88064}};
    ASSERT_GE(row->childCount(), 3);
    ASSERT_LE(row->childCount(), 4);
    std::set<uint16_t> tags = AllTags();
    for (int i = 0; i < row->childCount(); ++i) {
        SCOPED_TRACE(i);
        QTreeWidgetItem* part = row->child(i);
        EXPECT_EQ(CDiskListUI::KindOf(part), Kind::kPartition);
        if (i < 3) {
            EXPECT_EQ(part->text(0), want[i].name);
            EXPECT_EQ(part->text(1), want[i].type);
            EXPECT_EQ(part->text(2), want[i].size);
        } else {
            EXPECT_EQ(part->text(0), "Unallocated space");
        }
        // Every partition and stretch has a tag of its own, apart from every disk's.
        EXPECT_GT(CDiskListUI::TagOf(part), kImageTagBase);
        EXPECT_TRUE(tags.insert(CDiskListUI::TagOf(part)).second);
        EXPECT_TRUE(part->flags() & Qt::ItemIsSelectable);
    }

    // The image row scans its partitions and stretches, each read through the image at its
    // offset, as a card's disk row does.
    auto sources = list_.SelectedScanSources();
    ASSERT_EQ(sources.size(), size_t(row->childCount()));
    for (size_t i = 0; i < sources.size(); ++i) {
        ASSERT_TRUE(sources[i].IsPartition());
        EXPECT_TRUE(IsImageDisk(sources[i].partition->diskNumber));
        EXPECT_EQ(sources[i].partition->diskPath, image);
        EXPECT_EQ(sources[i].Tag(), CDiskListUI::TagOf(row->child(int(i))));
        if (i < 3) {
            EXPECT_EQ(sources[i].partition->startLba, want[i].start);
        }
    }
    Select(row->child(0));
    EXPECT_FALSE(list_.SelectedIsImage());
    sources = list_.SelectedScanSources();
    ASSERT_EQ(sources.size(), 1u);
    EXPECT_EQ(sources[0].partition->startLba, 2048u);
    EXPECT_EQ(sources[0].partition->sectorCount, 65536u);
    EXPECT_EQ(sources[0].partition->fsName, "FAT32");
    const QStringList info = list_.InfoTexts();
    EXPECT_TRUE(info.contains(QString::fromStdString("Path: " + image)));
    EXPECT_TRUE(info.contains("Volume label: CARDFAT"));
    EXPECT_TRUE(info.contains("First sector: 2048"));

    // Loaded again: selected again, the same rows under the same tags.
    std::vector<uint16_t> before;
    for (int i = 0; i < row->childCount(); ++i) before.push_back(CDiskListUI::TagOf(row->child(i)));
    list_.AddImage(QString::fromStdString(image));
    EXPECT_TRUE(list_.SelectedIsImage());
    ASSERT_EQ(list_.ImageGroupRow()->childCount(), 1);
    ASSERT_EQ(size_t(row->childCount()), before.size());
    for (int i = 0; i < row->childCount(); ++i)
        EXPECT_EQ(CDiskListUI::TagOf(row->child(i)), before[size_t(i)]);

    // In image mode neither the image nor any of its partitions can be chosen.
    list_.SetImageMode(true);
    EXPECT_FALSE(list_.HasSelection());
    for (int i = 0; i < row->childCount(); ++i)
        EXPECT_FALSE(row->child(i)->flags() & Qt::ItemIsSelectable);
    list_.SetImageMode(false);
    EXPECT_TRUE(row->child(0)->flags() & Qt::ItemIsSelectable);
}

// The partitions of an image are read through the image's disk number; a number given to a
// file that was moved (or deleted, its inode then reused) must not send the reads to a path
// that no longer holds it.
TEST_F(DiskListTest, ImageMovedAfterItWasListedIsReadWhereItIsNow) {
    const std::string first = dir_ / "card.img";
    const std::string moved = dir_ / "card-moved.img";
    if (std::string out; !MakePartitionedImage(first, out))
        GTEST_SKIP() << "cannot make the card image (sfdisk, mkfs.fat, mkntfs needed): " << out;
    list_.AddImage(QString::fromStdString(first));
    const int before = list_.SelectedScanSources().at(0).partition->diskNumber;
    EXPECT_EQ(ImageDiskPath(before), first);

    fs::rename(first, moved);
    list_.AddImage(QString::fromStdString(moved));
    ASSERT_EQ(list_.ImageGroupRow()->childCount(), 2);
    const auto sources = list_.SelectedScanSources();
    ASSERT_FALSE(sources.empty());
    for (const SourceInfo& source : sources) {
        EXPECT_EQ(source.partition->diskPath, moved);
        EXPECT_EQ(ImageDiskPath(source.partition->diskNumber), moved);
    }
}

TEST_F(DiskListTest, DoubleClickTellsADiskWithPartitionsFromOtherRows) {
    TypicalMachine();
    list_.Refill();
    QSignalSpy clicked(&list_, &CDiskListUI::rowDoubleClicked);
    QTreeWidgetItem* card = DiskRow("sdb");
    emit list_.itemDoubleClicked(card, 0);
    emit list_.itemDoubleClicked(card->child(0), 0);
    emit list_.itemDoubleClicked(DiskRow("mmcblk0"), 0);
    ASSERT_EQ(clicked.count(), 3);
    EXPECT_TRUE(clicked.at(0).at(0).toBool());
    EXPECT_FALSE(clicked.at(1).at(0).toBool());
    EXPECT_FALSE(clicked.at(2).at(0).toBool());  // a blank card: scanned, not expanded

    // The list itself does not expand on a double click; the owner asks for it.
    EXPECT_TRUE(card->isExpanded());
    Select(card);
    list_.ToggleExpandSelected();
    EXPECT_FALSE(card->isExpanded());
    list_.ToggleExpandSelected();
    EXPECT_TRUE(card->isExpanded());
    Select(card->child(0));
    list_.ToggleExpandSelected();
    EXPECT_TRUE(card->isExpanded());
}

}  // namespace
}  // namespace norvale
