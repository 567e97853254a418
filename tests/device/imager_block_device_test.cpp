// The copier and the destination checks against real block devices: a partitioned card image
// attached as a loop device, and a device-mapper target that fails on chosen sectors the way a
// worn card does. Both need root; the tests skip where the machine does not allow them.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

#include "device/disk_imager.h"
#include "device/image_destination.h"
#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::RunSystemTool;
using testing::TempDir;


bool WaitFor(const std::string& path) {
    for (int waited = 0; waited < 3000; waited += 50) {
        if (fs::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

struct NullObserver : IImageObserver {
    void OnProgress(int, uint64_t, uint64_t, int) override {}
    void OnFinished(const ImageResult&) override {}
};

ImageResult CopyDevice(const std::string& device, const std::string& image, bool rescue,
                       uint64_t firstSector = 0, uint64_t sectorCount = 0) {
    std::unique_ptr<FileSource> source;
    EXPECT_EQ(FileSource::Open(device, source), kOk) << device;
    if (!source) return {};
    EXPECT_TRUE(source->IsBlockDevice());
    NullObserver observer;
    DiskImager imager(observer);
    ImageJob job;
    job.source = source.get();
    job.sourcePath = device;
    job.firstSector = firstSector;
    job.sectorCount = sectorCount;
    job.imagePath = image;
    job.rescue = rescue;
    return imager.Run(job);
}

// Attaches `file` as a loop device (with partitions when asked); detaches at the end.
class LoopDevice {
  public:
    LoopDevice(const std::string& file, bool partitions) {
        std::string out;
        if (RunSystemTool("losetup -f --show " + std::string(partitions ? "-P " : "") + "'" + file + "'",
               &out) == 0 &&
            out.rfind("/dev/loop", 0) == 0) {
            device_ = out.substr(0, out.find('\n'));
        } else {
            error_ = out;
        }
    }
    ~LoopDevice() {
        if (!device_.empty()) RunSystemTool("losetup -d '" + device_ + "'");
    }
    const std::string& Device() const { return device_; }
    const std::string& Error() const { return error_; }

  private:
    std::string device_;
    std::string error_;
};

TEST(ImagerOnLoopDevice, PartitionDeviceAndDiskRangeGiveTheSameImage) {
    TempDir dir;
    const std::string disk = dir / "card.img";
    std::string out;
    if (RunSystemTool("'" + testing::SourceDir() + "/scripts/make-partitioned-image.sh' '" + disk + "'",
           &out) != 0) {
        GTEST_SKIP() << "cannot make the card image (sfdisk, mkfs.fat, mkntfs needed): " << out;
    }
    LoopDevice loop(disk, true);
    if (loop.Device().empty()) {
        GTEST_SKIP() << "this machine refuses to attach a loop device (needs root): "
                     << loop.Error();
    }
    const std::string part1 = loop.Device() + "p1";
    if (!WaitFor(part1)) RunSystemTool("partx -a '" + loop.Device() + "'");
    if (!WaitFor(part1)) GTEST_SKIP() << "the kernel created no partition devices";

    ASSERT_EQ(CopyDevice(part1, dir / "p1.img", false).result, kOk);
    ASSERT_EQ(CopyDevice(loop.Device(), dir / "range.img", true, 2048, 65536).result, kOk);
    const auto whole = testing::ReadFileBytes(disk);
    const std::vector<uint8_t> expected(whole.begin() + 2048 * 512,
                                        whole.begin() + (2048 + 65536) * 512);
    EXPECT_EQ(testing::ReadFileBytes(dir / "p1.img"), expected);
    EXPECT_EQ(testing::ReadFileBytes(dir / "range.img"), expected);

    // A folder on another partition of the same card is still on the card being imaged.
    const std::string part2 = loop.Device() + "p2";
    fs::create_directory(dir / "mnt");
    if (!WaitFor(part2) || RunSystemTool("mkfs.ext4 -q -F '" + part2 + "'") != 0 ||
        RunSystemTool("mount '" + part2 + "' '" + dir / "mnt" + "'", &out) != 0) {
        GTEST_SKIP() << "cannot mount a second partition here: " << out;
    }
    struct stat p1 {
    }, whole1{};
    ASSERT_EQ(::stat(part1.c_str(), &p1), 0);
    ASSERT_EQ(::stat(loop.Device().c_str(), &whole1), 0);
    DestinationFacts facts;
    EXPECT_EQ(GatherDestinationFacts(dir / "mnt/card.img", p1.st_rdev, facts), kOk);
    EXPECT_TRUE(facts.onSourceDevice);
    EXPECT_EQ(facts.fsName, "ext4");
    EXPECT_EQ(GatherDestinationFacts(dir / "mnt/card.img", whole1.st_rdev, facts), kOk);
    EXPECT_TRUE(facts.onSourceDevice);
    RunSystemTool("umount '" + dir / "mnt" + "'");
}

// A device whose sectors 96-103 fail with an I/O error, as a worn card's do.
TEST(ImagerOnFailingDevice, RescueCopyMapsTheSectorsTheDeviceRefuses) {
    std::string out;
    if (RunSystemTool("dmsetup targets", &out) != 0 || out.find("error") == std::string::npos) {
        GTEST_SKIP() << "device mapper is not available here (dmsetup targets: "
                     << out.substr(0, out.find('\n')) << "); the injected-fault source covers "
                     << "the same paths";
    }
    TempDir dir;
    std::vector<uint8_t> bytes(1 << 20);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
    testing::WriteFileBytes(dir / "backing.img", bytes);
    LoopDevice loop(dir / "backing.img", false);
    if (loop.Device().empty()) GTEST_SKIP() << "cannot attach a loop device: " << loop.Error();

    // Bad sectors on a 4 KiB boundary: buffered reads of a block device go by whole pages.
    const uint64_t sectors = bytes.size() / 512;
    const std::string name = "norvale-imager-" + std::to_string(::getpid());
    const std::string table = "0 96 linear " + loop.Device() + " 0\n96 8 error\n104 " +
                              std::to_string(sectors - 104) + " linear " + loop.Device() + " 104\n";
    if (RunSystemTool("printf '" + table + "' | dmsetup create " + name, &out) != 0) {
        GTEST_SKIP() << "dmsetup create failed: " << out;
    }
    const std::string device = "/dev/mapper/" + name;
    WaitFor(device);

    const ImageResult plain = CopyDevice(device, dir / "plain.img", false);
    const ImageResult rescue = CopyDevice(device, dir / "rescue.img", true);
    RunSystemTool("dmsetup remove " + name);

    EXPECT_EQ(plain.result, kErrReadFault);
    EXPECT_EQ(plain.failedSector, 96u);
    EXPECT_EQ(rescue.result, kOk);
    EXPECT_EQ(rescue.badBytes, 8u * 512);
    auto expected = bytes;
    std::fill(expected.begin() + 96 * 512, expected.begin() + 104 * 512, 0);
    EXPECT_EQ(testing::ReadFileBytes(dir / "rescue.img"), expected);
    const auto text = testing::ReadFileBytes(DiskImager::MapPathFor(dir / "rescue.img"));
    RescueMap map;
    ASSERT_TRUE(ParseRescueMap(std::string(text.begin(), text.end()), map));
    EXPECT_EQ(map.BytesWith("-"), 8u * 512);
    MapBlock bad;
    ASSERT_TRUE(map.NextArea(0, "-", bad));
    EXPECT_EQ(bad.pos, 96u * 512);
}

}  // namespace
}  // namespace norvale
