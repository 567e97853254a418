// The free space of an unmounted NTFS volume, counted from its $Bitmap: what ntfs-3g reports for
// the same volume once mounted, before and after a file is written, also for a volume that lies
// at an offset inside a larger image. Skipped without the tools or without FUSE.
#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include "device/sector_reader.h"
#include "device/sector_source.h"
#include "ntfs/free_space.h"
#include "ntfs/ntfs_test_media.h"
#include "ntfs/professional_ntfs_test_helpers.h"
#include "support/test_support.h"

namespace norvale::testing {
namespace {

Result CountOn(const std::string& image, uint64_t start, uint64_t sectors, uint64_t& free) {
    SectorReader reader;
    if (Result r = reader.OpenImageFile(image); r != kOk) return r;
    return CountNtfsFreeBytes(reader, start, sectors, free);
}

// Free bytes as the mounted driver reports them.
uint64_t MountedFreeBytes(const NtfsMount& mount) {
    struct statvfs st {};
    if (::statvfs((mount / "").c_str(), &st) != 0) return 0;
    return uint64_t{st.f_bfree} * st.f_frsize;
}

TEST(NtfsFreeSpace, MatchesTheMountedVolumeBeforeAndAfterAWrite) {
    if (!HaveNtfsTools() || !HaveTool("ntfs-3g")) GTEST_SKIP() << "ntfs-3g tools missing";
    TempDir dir;
    const std::string image = dir / "card.img";
    ASSERT_TRUE(MakeNtfsImage(image, 64, "-c 4096"));
    uint64_t before = 0;
    ASSERT_EQ(CountOn(image, 0, 0, before), kOk);
    uint64_t mountedBefore = 0;
    uint64_t mountedAfter = 0;
    {
        NtfsMount mount(image, dir / "mnt");
        if (!mount.Ok()) GTEST_SKIP() << mount.Error();
        mountedBefore = MountedFreeBytes(mount);
        WriteFileBytes(mount / "big.bin", Pattern("fills clusters", 1 << 20));
        ASSERT_TRUE(mount.Unmount());
        NtfsMount again(image, dir / "mnt");
        ASSERT_TRUE(again.Ok());
        mountedAfter = MountedFreeBytes(again);
    }
    uint64_t after = 0;
    ASSERT_EQ(CountOn(image, 0, 0, after), kOk);
    EXPECT_EQ(before, mountedBefore);
    EXPECT_EQ(after, mountedAfter);
    EXPECT_GE(before - after, uint64_t{1} << 20);
    EXPECT_GT(after, 0u);

    // The same volume 2048 sectors into a larger image, behind other data.
    const std::string disk = dir / "disk.img";
    WriteFileBytes(disk, Pattern("not a volume", 1 << 20));
    CopyInto(image, disk, 2048 * 512);
    uint64_t moved = 0;
    ASSERT_EQ(CountOn(disk, 2048, 64 * 2048, moved), kOk);
    EXPECT_EQ(moved, after);
    EXPECT_EQ(CountOn(disk, 0, 0, moved), kErrUnsupportedLayout);
}

TEST(NtfsFreeSpace, WhatIsNoReadableNtfsVolumeIsRefused) {
    if (!HaveNtfsTools()) GTEST_SKIP() << "mkntfs not installed";
    TempDir dir;
    const std::string zeros = dir / "zeros.img";
    WriteFileBytes(zeros, std::vector<uint8_t>(1 << 20, 0));
    uint64_t free = 1;
    EXPECT_EQ(CountOn(zeros, 0, 0, free), kErrUnsupportedLayout);
    EXPECT_EQ(free, 0u);

    // A boot sector whose MFT (and so $Bitmap) lies past the end of what is left of the image.
    const std::string image = dir / "card.img";
    ASSERT_TRUE(MakeNtfsImage(image, 16, "-c 4096"));
    TruncateAt(image, 8192);
    EXPECT_EQ(CountOn(image, 0, 0, free), kErrUnsupportedLayout);

    // A read that fails is passed on, not taken for "no volume".
    const std::vector<uint8_t> bytes = [&] {
        const std::string fresh = dir / "fresh.img";
        EXPECT_TRUE(MakeNtfsImage(fresh, 16, "-c 4096"));
        return ReadFileBytes(fresh);
    }();
    SectorReader reader;
    reader.Attach(std::make_unique<FaultySource>(std::make_unique<MemorySource>(bytes),
                                                 std::set<uint64_t>{0}));
    EXPECT_EQ(CountNtfsFreeBytes(reader, 0, 0, free), kErrReadFault);
}

}  // namespace
}  // namespace norvale::testing
