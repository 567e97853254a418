#include "device/image_destination.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>

#include "device/disk_table.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::RunShell;
using testing::TempDir;

constexpr uint64_t kGiB = 1ull << 30;

DestinationFacts Facts(std::string fsName, uint64_t freeBytes, uint64_t reusable = 0) {
    DestinationFacts f;
    f.fsName = std::move(fsName);
    f.freeKnown = true;
    f.freeBytes = freeBytes;
    f.reusableBytes = reusable;
    return f;
}

TEST(ImageDestinationCheck, FileSizeLimitsOfFatHoldAtTheirExactBoundaries) {
    const uint64_t plenty = 100 * kGiB;
    EXPECT_EQ(CheckImageDestination(Facts("FAT32", plenty), 4 * kGiB), DestinationVerdict::kOk);
    EXPECT_EQ(CheckImageDestination(Facts("FAT32", plenty), 4 * kGiB + 1),
              DestinationVerdict::kFat32TooLarge);
    EXPECT_EQ(CheckImageDestination(Facts("FAT", plenty), 2 * kGiB), DestinationVerdict::kOk);
    EXPECT_EQ(CheckImageDestination(Facts("FAT", plenty), 2 * kGiB + 1),
              DestinationVerdict::kFatTooLarge);
    // exFAT (every SDXC card) has no such limit, though its name contains "FAT".
    EXPECT_EQ(CheckImageDestination(Facts("exFAT", plenty), 64 * kGiB), DestinationVerdict::kOk);
    EXPECT_EQ(CheckImageDestination(Facts("ext4", plenty), 64 * kGiB), DestinationVerdict::kOk);
}

TEST(ImageDestinationCheck, FreeSpaceMustExceedTheImageCountingTheFileItReplaces) {
    EXPECT_EQ(CheckImageDestination(Facts("ext4", kGiB), kGiB),
              DestinationVerdict::kNotEnoughSpace);
    EXPECT_EQ(CheckImageDestination(Facts("ext4", kGiB + 1), kGiB), DestinationVerdict::kOk);
    // Continuing a copy into an image that already fills most of the drive.
    EXPECT_EQ(CheckImageDestination(Facts("ext4", 10, kGiB), kGiB), DestinationVerdict::kOk);
    DestinationFacts unknown;
    EXPECT_EQ(CheckImageDestination(unknown, 64 * kGiB), DestinationVerdict::kOk);
}

TEST(ImageDestinationCheck, SameDeviceIsRefusedBeforeAnythingElse) {
    DestinationFacts f = Facts("FAT", 0);
    f.onSourceDevice = true;
    EXPECT_EQ(CheckImageDestination(f, 8 * kGiB), DestinationVerdict::kSameDevice);
}

TEST(ImageDestinationFacts, DescribeTheFolderTheImageGoesTo) {
    TempDir dir;
    DestinationFacts f;
    ASSERT_EQ(GatherDestinationFacts(dir / "card.img", 0, f), kOk);
    EXPECT_TRUE(f.freeKnown);
    EXPECT_GT(f.freeBytes, 0u);
    EXPECT_FALSE(f.onSourceDevice);
    EXPECT_EQ(f.reusableBytes, 0u);

    testing::WriteFileBytes(dir / "old.img", std::vector<uint8_t>(256 * 1024, 1));
    ASSERT_EQ(GatherDestinationFacts(dir / "old.img", 0, f), kOk);
    EXPECT_GE(f.reusableBytes, 256u * 1024);

    EXPECT_EQ(GatherDestinationFacts(dir / "missing/card.img", 0, f), kErrPathNotFound);
    EXPECT_EQ(GatherDestinationFacts(dir.Path(), 0, f), kErrDirectoryName);
}

TEST(ImageDestinationFacts, AFolderOnTheSourceDiskIsOnTheSourceDevice) {
    TempDir dir;
    struct stat st {};
    ASSERT_EQ(::stat(dir.Path().c_str(), &st), 0);
    DestinationFacts f;
    ASSERT_EQ(GatherDestinationFacts(dir / "card.img", st.st_dev, f), kOk);
    EXPECT_TRUE(f.onSourceDevice);
    // A device number that is no disk of this machine.
    ASSERT_EQ(GatherDestinationFacts(dir / "card.img", makedev(4095, 1048575), f), kOk);
    EXPECT_FALSE(f.onSourceDevice);

    // A recovery folder that does not exist yet is judged by the folder it will be made in.
    EXPECT_TRUE(FolderOnSourceDisk(dir / "rescued/photos", st.st_dev));
    EXPECT_FALSE(FolderOnSourceDisk(dir / "rescued/photos", makedev(4095, 1048575)));
    EXPECT_FALSE(FolderOnSourceDisk(dir / "rescued", 0));  // a source that is a file
}

// The destination's FAT width comes from its boot sector, which the kernel's mount table does
// not tell. The mount table is pointed at FAT images so no volume has to be mounted.
TEST(ImageDestinationFacts, FatVolumesAreNamedByTheirWidth) {
    if (!testing::HaveTool("mkfs.fat")) GTEST_SKIP() << "mkfs.fat (dosfstools) missing";
    TempDir dir;
    ASSERT_EQ(RunShell("mkfs.fat -C -F 32 '" + dir / "fat32.img" + "' 70000 >/dev/null"), 0);
    ASSERT_EQ(RunShell("mkfs.fat -C -F 16 '" + dir / "fat16.img" + "' 20000 >/dev/null"), 0);
    struct stat st {};
    ASSERT_EQ(::stat(dir.Path().c_str(), &st), 0);
    const std::string id =
        std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));

    const SystemPaths saved = CurrentSystemPaths();
    struct Case {
        std::string fsType, source, name;
    } cases[] = {
        {"vfat", dir / "fat32.img", "FAT32"},  {"vfat", dir / "fat16.img", "FAT"},
        {"vfat", dir / "unreadable", "FAT32"},  // the width cannot be read: the vfat limit
        {"exfat", "/dev/sdx1", "exFAT"},       {"ntfs3", "/dev/sdx1", "NTFS"},
        {"ext4", "/dev/sdx1", "ext4"},
    };
    for (const Case& c : cases) {
        {
            std::ofstream mi(dir / "mountinfo");
            mi << "36 35 " << id << " / /mnt/x rw,relatime shared:1 - " << c.fsType << " "
               << c.source << " rw\n";
        }
        SystemPaths paths = saved;
        paths.mountInfo = dir / "mountinfo";
        SetSystemPaths(paths);
        DestinationFacts f;
        const Result r = GatherDestinationFacts(dir / "card.img", 0, f);
        SetSystemPaths(saved);
        ASSERT_EQ(r, kOk);
        EXPECT_EQ(f.fsName, c.name) << c.fsType << " " << c.source;
    }
}

}  // namespace
}  // namespace norvale
