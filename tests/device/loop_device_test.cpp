// The device layer against a real block device: a partitioned card image attached as a loop
// device. The enumerator is pointed at a block-device list holding only that loop device, so
// no other disk of the machine is read.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "device/disk_enumerator.h"
#include "device/sector_reader.h"
#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using Kind = PartitionRecord::Kind;
using testing::TempDir;

const std::string kPath = "PATH=\"$PATH:/usr/sbin:/sbin\" ";

bool WaitFor(const std::string& path, int milliseconds) {
    for (int waited = 0; waited < milliseconds; waited += 50) {
        if (fs::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return fs::exists(path);
}

class LoopDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        image_ = dir_ / "card.img";
        std::string out;
        if (testing::Run(kPath + "'" + testing::SourceDir() +
                             "/scripts/make-partitioned-image.sh' '" + image_ + "'",
                         &out) != 0) {
            GTEST_SKIP() << "cannot make the card image (sfdisk, mkfs.fat, mkntfs needed): " << out;
        }
        out.clear();
        if (testing::Run(kPath + "losetup -f --show -P '" + image_ + "'", &out) != 0 ||
            out.rfind("/dev/loop", 0) != 0) {
            GTEST_SKIP() << "this machine refuses to attach a loop device (needs root and "
                            "/dev/loop-control): "
                         << out;
        }
        device_ = out.substr(0, out.find('\n'));
        name_ = fs::path(device_).filename();
        const std::string firstPart = "/sys/block/" + name_ + "/" + name_ + "p1";
        // Some kernels (and containers) attach without scanning the table; partx asks again.
        if (!WaitFor(firstPart, 300)) {
            testing::Run(kPath + "partx -a '" + device_ + "'");
        }
        if (!WaitFor(firstPart, 3000) || !WaitFor(device_ + "p2", 3000)) {
            GTEST_SKIP() << "the kernel created no partition devices for " << device_;
        }

        fs::create_directories(dir_ / "sys");
        fs::create_symlink("/sys/block/" + name_, dir_ / ("sys/" + name_));
        paths_.sysBlock = dir_ / "sys";
        paths_.devDir = "/dev";
        paths_.mountInfo = "/proc/self/mountinfo";
        saved_ = CurrentSystemPaths();
        SetSystemPaths(paths_);
        pathsSet_ = true;
    }

    void TearDown() override {
        if (pathsSet_) SetSystemPaths(saved_);
        if (!device_.empty()) {
            std::string out;
            if (testing::Run(kPath + "losetup -d '" + device_ + "'", &out) != 0) {
                ADD_FAILURE() << "could not detach " << device_ << ": " << out;
            }
        }
    }

    TempDir dir_;
    std::string image_;
    std::string device_;
    std::string name_;
    SystemPaths paths_;
    SystemPaths saved_;
    bool pathsSet_ = false;
};

TEST_F(LoopDeviceTest, EnumeratorListsBothVolumesAndTheGapsOfTheCard) {
    DiskEnumerator e(paths_);
    ASSERT_EQ(e.Enumerate(), 1);
    std::vector<PartitionRecord> all;
    e.AllPartitions(all);
    ASSERT_EQ(all.size(), 4u);
    for (const auto& r : all) {
        EXPECT_EQ(r.diskNumber, 0);
        EXPECT_EQ(r.diskPath, device_);
        EXPECT_EQ(r.bytesPerSector, 512u);
    }
    EXPECT_EQ(all[0].kind, Kind::Partition);
    EXPECT_EQ(all[0].startLba, 2048u);
    EXPECT_EQ(all[0].sectorCount, 65536u);
    EXPECT_EQ(all[0].fsCode, kFsCodeFat32);
    EXPECT_EQ(all[0].fsName, "FAT32");
    EXPECT_EQ(all[0].volumeLabel, "CARDFAT");
    EXPECT_EQ(all[0].volumeRoot, device_ + "p1");
    EXPECT_EQ(all[0].partitionNumber, 1);
    EXPECT_EQ(all[0].totalBytes, 65536u * 512) << "not mounted: the partition length";

    EXPECT_EQ(all[1].kind, Kind::Unallocated);
    EXPECT_EQ(all[1].startLba, 67584u);
    EXPECT_EQ(all[1].sectorCount, 20480u);

    EXPECT_EQ(all[2].kind, Kind::Partition);
    EXPECT_EQ(all[2].startLba, 88064u);
    EXPECT_EQ(all[2].fsCode, kFsCodeNtfs);
    EXPECT_EQ(all[2].fsName, "NTFS");
    EXPECT_EQ(all[2].volumeLabel, "CARDNTFS");

    EXPECT_EQ(all[3].kind, Kind::Unallocated);
    EXPECT_EQ(all[3].startLba, 153600u);
    EXPECT_EQ(all[3].sectorCount, 196608u / 16065 * 16065 - 153600);

    for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].driveLetter, i + 1);

    std::string name;
    ASSERT_EQ(GetVolumeFsName(all[2], name), kOk);
    EXPECT_EQ(name, "NTFS");
    PartitionRecord rec;
    ASSERT_EQ(FindRecordForDevicePath(device_ + "p2", rec), kOk);
    EXPECT_EQ(rec.startLba, 88064u);
}

TEST_F(LoopDeviceTest, DiskAndPartitionReadsMatchTheImage) {
    const auto image = testing::ReadFileBytes(image_);
    ASSERT_EQ(image.size(), 96u << 20);

    SectorReader disk;
    ASSERT_EQ(disk.OpenPhysicalDisk(0), kOk);
    EXPECT_EQ(disk.TotalSectors(), image.size() / 512);
    EXPECT_EQ(disk.MediumSectorSize(), 512u);
    uint64_t length = 0;
    ASSERT_EQ(GetDiskLength(0, length), kOk);
    EXPECT_EQ(length, image.size());

    std::vector<uint8_t> buf(200 * 512);
    uint32_t got = 0;
    ASSERT_EQ(disk.ReadSectors(200, buf.data(), 88000, 512, got), kOk);
    EXPECT_EQ(got, 200u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), image.begin() + 88000 * 512));
    ASSERT_EQ(disk.ReadSectors(1, buf.data(), disk.TotalSectors() - 1, 512, got), kOk);
    EXPECT_EQ(disk.ReadSectors(1, buf.data(), disk.TotalSectors(), 512, got), kErrInvalidParameter);

    // A partition device opened by path reads the partition's own sectors.
    SectorReader part;
    ASSERT_EQ(part.OpenImageFile(device_ + "p1"), kOk);
    EXPECT_EQ(part.TotalSectors(), 65536u);
    ASSERT_EQ(part.ReadSectors(1, buf.data(), 0, 512, got), kOk);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 512, image.begin() + 2048 * 512));
}

}  // namespace
}  // namespace norvale
