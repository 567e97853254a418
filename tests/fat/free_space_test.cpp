// Free space of a FAT volume read from its own FAT: what a saved scan compares to decide that
// the partition is unchanged.

#include "fat/free_space.h"

#include <gtest/gtest.h>

#include <cctype>

#include "device/sector_reader.h"
#include "device/sector_source.h"
#include "fat/fast_fat_test_helpers.h"
#include "fat/fat_test_media.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::TempDir;

uint64_t FreeBytes(const std::string& image, Result* result = nullptr) {
    SectorReader reader;
    EXPECT_EQ(reader.OpenImageFile(image), kOk);
    uint64_t bytes = 0;
    const Result r = CountFatFreeBytes(reader, 0, reader.TotalSectors(), bytes);
    if (result) *result = r;
    return bytes;
}

struct Layout {
    const char* mkfs;
    uint64_t sizeKiB;
    uint32_t clusterBytes;
};

class FatFreeSpace : public ::testing::TestWithParam<Layout> {};

TEST_P(FatFreeSpace, ShrinksByTheClustersACopiedFileTakes) {
    if (!testing::HaveFatTools()) GTEST_SKIP() << "mkfs.fat or mtools missing";
    TempDir dir;
    const std::string image = dir / "card.img";
    ASSERT_TRUE(testing::MakeFatImage(image, GetParam().mkfs, GetParam().sizeKiB));
    Result r = kErrGenFailure;
    const uint64_t before = FreeBytes(image, &r);
    ASSERT_EQ(r, kOk);
    // mtools' own count of the free space agrees.
    std::string out;
    ASSERT_TRUE(testing::Mtools("mdir -i '" + image + "' ::", &out));
    const size_t at = out.find("bytes free");
    ASSERT_NE(at, std::string::npos) << out;
    std::string digits;
    for (size_t i = out.rfind('\n', at) + 1; i < at; ++i) {
        if (std::isdigit(static_cast<unsigned char>(out[i]))) digits += out[i];
    }
    EXPECT_EQ(digits, std::to_string(before)) << out;

    const uint64_t size = 10 * GetParam().clusterBytes + 1;
    testing::WriteFileBytes(dir / "f", testing::MakeContent("f", size));
    ASSERT_TRUE(testing::Mtools("mcopy -i '" + image + "' '" + (dir / "f") + "' ::/F.BIN"));
    EXPECT_EQ(FreeBytes(image), before - 11 * uint64_t{GetParam().clusterBytes});
    ASSERT_TRUE(testing::Mtools("mdel -i '" + image + "' ::/F.BIN"));
    EXPECT_EQ(FreeBytes(image), before);
}

INSTANTIATE_TEST_SUITE_P(Layouts, FatFreeSpace,
                         ::testing::Values(Layout{"-F 12 -s 2", 4096, 1024},
                                           Layout{"-F 16 -s 4", 32768, 2048},
                                           Layout{"-F 32 -s 1", 70000, 512}),
                         [](const auto& info) {
                             return std::string("Fat") + std::to_string(info.index == 0   ? 12
                                                                        : info.index == 1 ? 16
                                                                                          : 32);
                         });

TEST(FatFreeSpaceOf, SomethingElseIsNotAFatVolume) {
    SectorReader reader;
    reader.Attach(std::make_unique<MemorySource>(std::vector<uint8_t>(65536, 0)));
    uint64_t bytes = 7;
    EXPECT_EQ(CountFatFreeBytes(reader, 0, 128, bytes), kErrUnsupportedLayout);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(CountFatFreeBytes(reader, 1000, 128, bytes), kErrInvalidParameter);  // past the end
}

// A FAT sector that cannot be read makes the count fail instead of understating the space.
TEST(FatFreeSpaceOf, UnreadableFatFailsTheCount) {
    if (!testing::HaveFatTools()) GTEST_SKIP() << "mkfs.fat or mtools missing";
    TempDir dir;
    const std::string image = dir / "card.img";
    ASSERT_TRUE(testing::MakeFatImage(image, "-F 32 -s 1", 70000));
    const auto bytes = testing::ReadFileBytes(image);
    const auto v = testing::OpenBytes(bytes);
    ASSERT_TRUE(v);
    SectorReader reader;
    reader.Attach(std::make_unique<FaultySource>(
        std::make_unique<MemorySource>(bytes),
        std::set<uint64_t>{v->geometry.fatStartLba + v->geometry.fatSectors - 1}));
    uint64_t free = 0;
    EXPECT_NE(CountFatFreeBytes(reader, 0, bytes.size() / 512, free), kOk);
    EXPECT_EQ(free, 0u);
}

}  // namespace
}  // namespace norvale
