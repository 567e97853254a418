// The enumerator against a fake system: a sysfs tree, a mountinfo file and "device nodes" that
// are real small FAT images and a real MBR, so libblkid probes them as it probes cards.

#include "device/disk_enumerator.h"

#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <filesystem>
#include <fstream>

#include "device/disk_probe.h"
#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using Kind = PartitionRecord::Kind;
using testing::TempDir;

// Runs a media tool found in the system folders too, where a non-login PATH may not look.
int Tool(const std::string& command) {
    std::string out;
    int rc = testing::Run("PATH=\"$PATH:/usr/sbin:/sbin\" " + command, &out);
    if (rc != 0) ADD_FAILURE() << command << " failed: " << out;
    return rc;
}

bool HaveMediaTools() {
    return testing::Run(
               "PATH=\"$PATH:/usr/sbin:/sbin\" command -v mkfs.fat && "
               "PATH=\"$PATH:/usr/sbin:/sbin\" command -v sfdisk") == 0;
}

void Write(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text << "\n";
}

// The fake machine:
//   sda      fixed disk, one partition with nothing recognisable on it, no partition table
//   sdb      removable card: MBR with FAT32 (mounted), a Linux partition holding nothing
//            recognisable, an extended partition with one FAT16 logical partition; gaps between
//   sdc      fixed disk without partitions, blank
//   sdd      card reader slot without a card (size 0)
//   sde      4096-byte logical sectors, one partition
//   sdf      blank stick on USB (removable only through its bus)
//   mmcblk0  SD card formatted without a partition table (FAT16 on the whole card)
//   loop0 (detached), ram0: never listed
class FakeSystemTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveMediaTools())
            GTEST_SKIP() << "mkfs.fat or sfdisk missing; install dosfstools, fdisk";
        paths_.sysBlock = dir_ / "sys/block";
        paths_.devDir = dir_ / "dev";
        paths_.mountInfo = dir_ / "mountinfo";
        fs::create_directories(paths_.devDir);
        saved_ = CurrentSystemPaths();
        SetSystemPaths(paths_);

        Disk("sda", 1048576, "8:0", 0);
        Part("sda", "sda1", 1, 2048, 1046528, "8:1");
        Dev("sda", 0);
        Dev("sda1", 0);

        Disk("sdb", 131072, "8:16", 1);
        Part("sdb", "sdb1", 1, 2048, 20480, "8:17");
        Part("sdb", "sdb2", 2, 90112, 8192, "8:18");
        Part("sdb", "sdb3", 3, 40960, 2, "8:19");  // the kernel shows an extended one as 1 KiB
        Part("sdb", "sdb5", 5, 43008, 20480, "8:21");
        Dev("sdb", 64 << 20);
        Tool(
            "printf 'label: dos\\nstart=2048,size=20480,type=c\\nstart=90112,size=8192,type=83\\n"
            "start=40960,size=40960,type=5\\nstart=43008,size=20480,type=e\\n' | sfdisk -q "
            "--no-reread --no-tell-kernel " +
            paths_.devDir + "/sdb");
        Fat("sdb1", 2, "-F 32 -n CARD32");
        Dev("sdb2", 0);
        Dev("sdb3", 1024);
        Fat("sdb5", 4, "-F 16 -s 1 -n CARD16");

        Disk("sdc", 65536, "8:32", 0);
        Dev("sdc", 1 << 20);
        Disk("sdd", 0, "8:48", 1);
        Dev("sdd", 0);

        Disk("sde", 524288, "8:64", 0);
        Write(paths_.sysBlock + "/sde/queue/logical_block_size", "4096");
        Part("sde", "sde1", 1, 2048, 131072, "8:65");
        Dev("sde", 0);
        Dev("sde1", 0);

        // A disk reached through USB: sysfs links it below the USB device.
        const std::string usbDir = dir_ / "sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/block/sdf";
        fs::create_directories(usbDir);
        fs::create_symlink(usbDir, paths_.sysBlock + "/sdf");
        Disk("sdf", 32768, "8:80", 0);
        Dev("sdf", 0);

        Disk("mmcblk0", 8192, "179:0", 0);
        Fat("mmcblk0", 4, "-F 16 -s 1 -n SDCARD");

        Disk("loop0", 0, "7:0", 0);
        Disk("ram0", 8192, "1:0", 0);

        mountDir_ = dir_ / "mnt/my card";
        fs::create_directories(mountDir_);
        Write(paths_.mountInfo,
              "22 1 0:21 / /proc rw - proc proc rw\n"
              "40 1 8:17 /DCIM /elsewhere rw - vfat /dev/sdb1 rw\n"
              "41 1 8:17 / " +
                  (dir_ / "mnt/my\\040card") + " rw,relatime - vfat /dev/sdb1 rw");
    }
    void TearDown() override { SetSystemPaths(saved_); }

    void Disk(const std::string& name, uint64_t size512, const std::string& dev, int removable) {
        const std::string dir = paths_.sysBlock + "/" + name;
        Write(dir + "/size", std::to_string(size512));
        Write(dir + "/dev", dev);
        Write(dir + "/removable", std::to_string(removable));
        if (!fs::exists(dir + "/queue/logical_block_size")) {
            Write(dir + "/queue/logical_block_size", "512");
        }
    }
    void Part(const std::string& disk, const std::string& name, int number, uint64_t start,
              uint64_t size, const std::string& dev) {
        const std::string dir = paths_.sysBlock + "/" + disk + "/" + name;
        Write(dir + "/partition", std::to_string(number));
        Write(dir + "/start", std::to_string(start));
        Write(dir + "/size", std::to_string(size));
        Write(dir + "/dev", dev);
    }
    void Dev(const std::string& name, uint64_t size) {
        const std::string path = paths_.devDir + "/" + name;
        std::ofstream(path).close();
        fs::resize_file(path, size);
    }
    void Fat(const std::string& name, int mebibytes, const std::string& options) {
        Dev(name, uint64_t(mebibytes) << 20);
        Tool("mkfs.fat " + options + " " + paths_.devDir + "/" + name);
    }

    std::vector<PartitionRecord> Enumerate() {
        DiskEnumerator e(paths_);
        EXPECT_EQ(e.Enumerate(), 1);
        std::vector<PartitionRecord> all;
        e.AllPartitions(all);
        return all;
    }
    static std::vector<PartitionRecord> OfDisk(const std::vector<PartitionRecord>& all, int disk) {
        std::vector<PartitionRecord> out;
        for (const auto& r : all) {
            if (r.diskNumber == disk) out.push_back(r);
        }
        return out;
    }

    TempDir dir_;
    SystemPaths paths_;
    SystemPaths saved_;
    std::string mountDir_;
};

TEST_F(FakeSystemTest, PartitionedCardListsVolumesAndLargeGapsByPositionOnDisk) {
    const auto card = OfDisk(Enumerate(), 1);
    ASSERT_EQ(card.size(), 6u);
    struct Want {
        Kind kind;
        uint64_t start, count;
        uint8_t fsCode;
        const char* fsName;
        int partition;
    };
    // The extended container (sdb3) is left out: its logical partition is listed itself.
    const Want want[] = {
        {Kind::Partition, 2048, 20480, kFsCodeFat32, "FAT32", 1},
        {Kind::Unallocated, 22528, 20480, 0, "", -1},
        {Kind::Partition, 43008, 20480, kFsCodeFat, "FAT", 5},
        {Kind::Unallocated, 63488, 26624, 0, "", -1},
        {Kind::Partition, 90112, 8192, 0x83, "", 2},            // unrecognised: the MBR type byte
        {Kind::Unallocated, 98304, 128520 - 98304, 0, "", -1},  // tail to the last whole cylinder
    };
    for (size_t i = 0; i < card.size(); ++i) {
        SCOPED_TRACE("record " + std::to_string(i));
        EXPECT_EQ(card[i].kind, want[i].kind);
        EXPECT_EQ(card[i].startLba, want[i].start);
        EXPECT_EQ(card[i].sectorCount, want[i].count);
        EXPECT_EQ(card[i].fsCode, want[i].fsCode);
        EXPECT_EQ(card[i].fsName, want[i].fsName);
        EXPECT_EQ(card[i].partitionNumber, want[i].partition);
        EXPECT_EQ(card[i].diskPath, paths_.devDir + "/sdb");
        EXPECT_TRUE(card[i].removable);
    }
    EXPECT_EQ(card[0].volumeLabel, "CARD32");
    EXPECT_EQ(card[0].volumeRoot, paths_.devDir + "/sdb1");
    EXPECT_EQ(card[0].fsVersion, "FAT32");
    EXPECT_EQ(card[2].volumeLabel, "CARD16");
    EXPECT_EQ(card[1].volumeRoot, "");
    EXPECT_EQ(card[1].totalBytes, 20480u * 512);
    EXPECT_EQ(card[1].freeBytes, card[1].totalBytes);
    EXPECT_EQ(card[1].usedBytes, 0u);
}

TEST_F(FakeSystemTest, MountedVolumeReportsItsFileSystemSpaceAndUnmountedItsLength) {
    const auto card = OfDisk(Enumerate(), 1);
    ASSERT_EQ(card.size(), 6u);
    // The root mount wins over a bind mount of a subfolder; "\040" in mountinfo is a space.
    EXPECT_EQ(card[0].mountPoint, mountDir_);
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(mountDir_.c_str(), &vfs), 0);
    EXPECT_EQ(card[0].totalBytes, uint64_t{vfs.f_blocks} * vfs.f_frsize);
    EXPECT_EQ(card[0].usedBytes, card[0].totalBytes - card[0].freeBytes);

    const PartitionRecord& fat16 = card[2];
    EXPECT_EQ(fat16.mountPoint, "");
    EXPECT_EQ(fat16.totalBytes, 20480u * 512);
    EXPECT_EQ(fat16.freeBytes, 0u);
    EXPECT_EQ(fat16.usedBytes, fat16.totalBytes);

    uint64_t free = 0;
    EXPECT_EQ(GetVolumeFreeBytes(card[0], free), kOk);
    EXPECT_EQ(GetVolumeFreeBytesAt(1, 2048, free), kOk);
    EXPECT_EQ(GetVolumeFreeBytes(fat16, free), kErrNotReady);
    EXPECT_EQ(GetVolumeFreeBytesAt(1, 43008, free), kErrNotReady);
    EXPECT_EQ(GetVolumeFreeBytesAt(1, 12345, free), kErrFileNotFound);

    // Unmounted since the list was made: the folder left behind belongs to another volume.
    Write(paths_.mountInfo, "22 1 0:21 / /proc rw - proc proc rw");
    EXPECT_EQ(GetVolumeFreeBytes(card[0], free), kErrNotReady);
}

TEST_F(FakeSystemTest, DisksWithoutPartitionsAreListedWholeOrByTheirVolume) {
    const auto all = Enumerate();
    const auto fixed = OfDisk(all, 2);
    ASSERT_EQ(fixed.size(), 1u);
    EXPECT_EQ(fixed[0].kind, Kind::WholeDisk);
    EXPECT_EQ(fixed[0].startLba, 0u);
    EXPECT_EQ(fixed[0].sectorCount, 65536u);
    EXPECT_EQ(fixed[0].totalBytes, 65536u * 512);
    EXPECT_EQ(fixed[0].freeBytes, fixed[0].totalBytes);
    EXPECT_EQ(fixed[0].fsCode, 0);
    EXPECT_FALSE(fixed[0].removable);

    EXPECT_TRUE(OfDisk(all, 3).empty()) << "an empty reader slot lists nothing";

    const auto sd = OfDisk(all, 6);
    ASSERT_EQ(sd.size(), 1u);
    EXPECT_EQ(sd[0].kind, Kind::Partition);
    EXPECT_EQ(sd[0].fsCode, kFsCodeFat);
    EXPECT_EQ(sd[0].volumeLabel, "SDCARD");
    EXPECT_EQ(sd[0].volumeRoot, paths_.devDir + "/mmcblk0");
    EXPECT_EQ(sd[0].startLba, 0u);
    EXPECT_EQ(sd[0].sectorCount, 8192u);
    EXPECT_TRUE(sd[0].removable);

    for (const auto& r : all) EXPECT_LE(r.diskNumber, 6) << "loop0 and ram0 are no disks";
}

TEST_F(FakeSystemTest, LargeSectorDiskConvertsSysfsUnitsToItsOwnSectors) {
    const auto disk = OfDisk(Enumerate(), 4);
    ASSERT_EQ(disk.size(), 2u);
    EXPECT_EQ(disk[0].bytesPerSector, 4096u);
    EXPECT_EQ(disk[0].startLba, 256u);
    EXPECT_EQ(disk[0].sectorCount, 16384u);
    EXPECT_EQ(disk[0].totalBytes, 16384u * 4096);
    EXPECT_EQ(disk[1].kind, Kind::Unallocated);
    EXPECT_EQ(disk[1].startLba, 256u + 16384);
    EXPECT_EQ(disk[1].totalBytes, disk[1].sectorCount * 4096);
}

TEST_F(FakeSystemTest, UnreadablePartitionTableStillHidesTheExtendedStub) {
    // No device node to read the table from (as for a user without rights on the disk): the
    // partitions keep fsCode 0 and the kernel's 1 KiB extended stub is still left out.
    Disk("sdg", 131072, "8:96", 1);
    Part("sdg", "sdg1", 1, 2048, 40960, "8:97");
    Part("sdg", "sdg2", 2, 43008, 2, "8:98");
    Part("sdg", "sdg5", 5, 45056, 40960, "8:101");
    const auto disk = OfDisk(Enumerate(), 6);
    ASSERT_EQ(disk.size(), 3u);  // sdg1, sdg5 and the tail
    EXPECT_EQ(disk[0].partitionNumber, 1);
    EXPECT_EQ(disk[0].fsCode, 0);
    EXPECT_EQ(disk[1].partitionNumber, 5);
    EXPECT_EQ(disk[2].kind, Kind::Unallocated);
}

TEST_F(FakeSystemTest, RemovableByFlagBusOrCardName) {
    EXPECT_FALSE(IsRemovableDisk(0));
    EXPECT_TRUE(IsRemovableDisk(1));  // sysfs flag
    EXPECT_FALSE(IsRemovableDisk(2));
    EXPECT_TRUE(IsRemovableDisk(5));   // on USB
    EXPECT_TRUE(IsRemovableDisk(6));   // SD card
    EXPECT_FALSE(IsRemovableDisk(7));  // no such disk
}

TEST_F(FakeSystemTest, EveryRecordCarriesItsPositionAndIterationFollowsIt) {
    DiskEnumerator e(paths_);
    ASSERT_EQ(e.Enumerate(), 1);
    std::vector<PartitionRecord> all;
    e.AllPartitions(all);
    ASSERT_EQ(all.size(), 12u);
    PartitionRecord next;
    for (size_t i = 0; i < all.size(); ++i) {
        EXPECT_EQ(all[i].driveLetter, i + 1);
        ASSERT_EQ(e.NextPartition(next), 1);
        EXPECT_EQ(next.diskNumber, all[i].diskNumber);
        EXPECT_EQ(next.startLba, all[i].startLba);
        if (i > 0) {
            EXPECT_TRUE(all[i - 1].diskNumber < all[i].diskNumber ||
                        (all[i - 1].diskNumber == all[i].diskNumber &&
                         all[i - 1].startLba < all[i].startLba));
        }
    }
    EXPECT_EQ(e.NextPartition(next), 0);
    EXPECT_EQ(e.NextPartition(next), 0);

    // A new enumeration starts the walk again.
    ASSERT_EQ(e.Enumerate(), 1);
    ASSERT_EQ(e.NextPartition(next), 1);
    EXPECT_EQ(next.driveLetter, 1);
    e.Clear();
    EXPECT_EQ(e.NextPartition(next), 0);
}

TEST_F(FakeSystemTest, RemovedPartitionIsReportedVanishedWithTheGapItSplit) {
    DiskEnumerator e(paths_);
    ASSERT_EQ(e.Enumerate(), 1);
    std::vector<PartitionRecord> before;
    e.AllPartitions(before);

    fs::remove_all(paths_.sysBlock + "/sdb/sdb5");
    std::vector<PartitionRecord> gone;
    e.VanishedPartitions(before, gone);
    ASSERT_EQ(gone.size(), 2u);
    EXPECT_EQ(gone[0].startLba, 43008u);
    EXPECT_EQ(gone[0].kind, Kind::Partition);
    EXPECT_EQ(gone[1].startLba, 63488u);  // swallowed by the wider gap that starts at 22528
    EXPECT_EQ(gone[1].kind, Kind::Unallocated);
}

TEST_F(FakeSystemTest, FileSystemNameIsProbedAgain) {
    const auto card = OfDisk(Enumerate(), 1);
    ASSERT_EQ(card.size(), 6u);
    std::string name;
    ASSERT_EQ(GetVolumeFsName(card[0], name), kOk);
    EXPECT_EQ(name, "FAT32");
    EXPECT_EQ(GetVolumeFsName(card[4], name), kErrNotSupported);
    EXPECT_EQ(GetVolumeFsName(card[1], name), kErrNotReady);
}

TEST_F(FakeSystemTest, DevicePathsTurnIntoRecords) {
    PartitionRecord rec;
    ASSERT_EQ(FindRecordForDevicePath(paths_.devDir + "/sdb5", rec), kOk);
    EXPECT_EQ(rec.startLba, 43008u);
    EXPECT_EQ(rec.volumeLabel, "CARD16");
    EXPECT_EQ(rec.driveLetter, 4);

    // The whole of a partitioned disk: a tag no enumerated record has.
    ASSERT_EQ(FindRecordForDevicePath(paths_.devDir + "/sdb", rec), kOk);
    EXPECT_EQ(rec.kind, Kind::WholeDisk);
    EXPECT_EQ(rec.diskNumber, 1);
    EXPECT_EQ(rec.startLba, 0u);
    EXPECT_EQ(rec.sectorCount, 131072u);
    EXPECT_EQ(rec.driveLetter, 13);

    ASSERT_EQ(FindRecordForDevicePath(paths_.devDir + "/sdc", rec), kOk);
    EXPECT_EQ(rec.kind, Kind::WholeDisk);
    EXPECT_EQ(rec.driveLetter, 8);

    ASSERT_EQ(FindRecordForDevicePath(paths_.devDir + "/mmcblk0", rec), kOk);
    EXPECT_EQ(rec.fsCode, kFsCodeFat);

    EXPECT_EQ(FindRecordForDevicePath(paths_.devDir + "/sdz9", rec), kErrFileNotFound);
}

TEST(DiskEnumeratorSystem, MissingBlockDeviceListGivesZeroAndNoRecords) {
    TempDir dir;
    SystemPaths paths;
    paths.sysBlock = dir / "none";
    paths.devDir = dir / "dev";
    paths.mountInfo = dir / "mountinfo";
    DiskEnumerator e(paths);
    EXPECT_EQ(e.Enumerate(), 0);
    EXPECT_TRUE(e.DiskMap().empty());
}

// What a disk row shows of a disk, from sysfs attributes as real devices fill them: SCSI
// inquiry fields padded on both sides, a card with only a name, and lengths that are missing,
// not numbers, or too large to count in bytes.
TEST(DiskFactsFromSysfs, ModelAndLengthAsTheKernelReportsThem) {
    TempDir dir;
    SystemPaths paths;
    paths.sysBlock = dir / "sys/block";
    const auto attr = [&](const std::string& disk, const std::string& name,
                          const std::string& text) {
        Write(paths.sysBlock + "/" + disk + "/" + name, text);
    };
    attr("sdb", "device/vendor", "Generic ");
    attr("sdb", "device/model", "  STORAGE DEVICE  ");
    attr("sdb", "size", "31116288");
    attr("sdb", "queue/logical_block_size", "4096");
    attr("mmcblk0", "device/name", "SD32G");
    attr("mmcblk0", "size", "2048");
    attr("sdc", "device/vendor", "ACME");
    attr("sdc", "size", "12abc");
    attr("sdd", "device/model", std::string(300, 'M'));
    attr("sdd", "size", std::to_string(UINT64_MAX / 512 + 1));
    attr("sde", "size", std::to_string(UINT64_MAX / 512));

    DiskFacts f = ReadDiskFacts(paths, "sdb");
    EXPECT_EQ(f.model, "Generic STORAGE DEVICE");
    // sysfs counts 512-byte units even on a disk of 4096-byte sectors.
    EXPECT_EQ(f.sizeBytes, 31116288ull * 512);
    f = ReadDiskFacts(paths, "mmcblk0");
    EXPECT_EQ(f.model, "SD32G");
    EXPECT_EQ(f.sizeBytes, 1u << 20);
    f = ReadDiskFacts(paths, "sdc");
    EXPECT_EQ(f.model, "ACME");
    EXPECT_EQ(f.sizeBytes, 0u);
    f = ReadDiskFacts(paths, "sdd");
    EXPECT_EQ(f.model, std::string(256, 'M'));
    EXPECT_EQ(f.sizeBytes, 0u);  // would wrap around
    EXPECT_EQ(ReadDiskFacts(paths, "sde").sizeBytes, UINT64_MAX / 512 * 512);
    f = ReadDiskFacts(paths, "sdz");
    EXPECT_EQ(f.model, "");
    EXPECT_EQ(f.sizeBytes, 0u);
    // A name is one folder of the tree, never a way out of it.
    EXPECT_EQ(ReadDiskFacts(paths, "../block/sdb").sizeBytes, 0u);
}

}  // namespace
}  // namespace norvale
