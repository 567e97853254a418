// Geometry of real volumes against what dosfstools reports, the boot-sector test on real and
// foreign media, and damaged boot sectors.

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <random>

#include "fat/boot_sector.h"
#include "fat/fat_test_media.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::HaveFatTools;
using testing::MakeFatImage;
using testing::TempDir;

uint64_t FileSectors(const std::string& path) { return std::filesystem::file_size(path) / 512; }

// Numbers from fsck.fat's verbose report; -1 when the text is missing.
int64_t ParseNumber(const std::string& s, size_t pos) {
    size_t end = pos;
    while (end < s.size() && std::isdigit(static_cast<unsigned char>(s[end]))) ++end;
    return end == pos ? -1 : std::stoll(s.substr(pos, end - pos));
}
// The number written just before `label`, as in "512 bytes per logical sector".
int64_t Before(const std::string& report, const std::string& label) {
    size_t at = report.find(label);
    if (at == std::string::npos) return -1;
    while (at > 0 && std::isdigit(static_cast<unsigned char>(report[at - 1]))) --at;
    return ParseNumber(report, at);
}
// The number after `inner` on the line that contains `label` (`inner` defaults to `label`).
int64_t After(const std::string& report, const std::string& label, const std::string& inner = "") {
    size_t at = report.find(label);
    if (at == std::string::npos) return -1;
    if (!inner.empty()) {
        at = report.find(inner, at);
        if (at == std::string::npos) return -1;
        return ParseNumber(report, at + inner.size());
    }
    return ParseNumber(report, at + label.size());
}

struct FormatCase {
    const char* name;
    const char* mkfsArgs;
    uint64_t sizeKiB;
};

class GeometryOfFormattedVolume : public ::testing::TestWithParam<FormatCase> {};

TEST_P(GeometryOfFormattedVolume, AgreesWithFsck) {
    if (!HaveFatTools()) GTEST_SKIP() << "dosfstools/mtools not installed";
    TempDir dir;
    const std::string image = dir / "v.img";
    ASSERT_TRUE(MakeFatImage(image, GetParam().mkfsArgs, GetParam().sizeKiB));
    std::string report;
    norvale::testing::Run("fsck.fat -v -n '" + image + "'", &report);
    ASSERT_NE(Before(report, " data clusters"), -1) << report;

    const auto boot = testing::ReadBootBlock(image);
    ASSERT_TRUE(IsFatBootSector(boot));
    const FatGeometry g = LoadGeometry(boot, 0, FileSectors(image), 512);

    EXPECT_EQ(g.bytesPerSector, Before(report, " bytes per logical sector"));
    EXPECT_EQ(g.clusterBytes, Before(report, " bytes per cluster"));
    EXPECT_EQ(g.fatStartLba, After(report, "First FAT starts", "(sector "));
    EXPECT_EQ(g.numberOfFats, Before(report, " FATs, "));
    EXPECT_EQ(g.fatSectors, After(report, "bytes per FAT (= "));
    EXPECT_EQ(g.dataStart, After(report, "Data area starts", "(sector "));
    EXPECT_EQ(g.clusterCount, Before(report, " data clusters"));
    const int64_t bits = Before(report, " bit entries");
    EXPECT_EQ(g.kind, bits == 12 ? FatKind::Fat12 : bits == 16 ? FatKind::Fat16 : FatKind::Fat32);
    EXPECT_EQ(g.isFat32, bits == 32);

    if (g.isFat32) {
        EXPECT_EQ(g.rootCluster, After(report, "Root directory start at cluster "));
        EXPECT_EQ(RootDirectoryLba(g), g.dataStart + uint64_t{g.rootCluster - 2} * g.sectorsPerCluster);
    } else {
        EXPECT_EQ(RootDirectoryLba(g),
                  After(report, "Root directory starts", "(sector "));
        EXPECT_EQ(FixedRootBytes(g), 32 * Before(report, " root directory entries"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    MkfsFat, GeometryOfFormattedVolume,
    ::testing::Values(FormatCase{"Fat12Floppy", "-F 12", 1440},
                      FormatCase{"Fat12NearClusterLimit", "-F 12 -s 1", 2000},
                      FormatCase{"Fat12With4KSectors", "-F 12 -S 4096", 8192},
                      FormatCase{"Fat16With2KClusters", "-F 16 -s 4", 32768},
                      FormatCase{"Fat16WithLargeRoot", "-F 16 -s 2 -r 1024", 16384},
                      FormatCase{"Fat16WithSmallRoot", "-F 16 -s 8 -r 64", 65536},
                      FormatCase{"Fat16With4KSectors", "-F 16 -S 4096 -s 1", 65536},
                      FormatCase{"Fat32With512Clusters", "-F 32 -s 1", 40000},
                      FormatCase{"Fat32With4KClusters", "-F 32 -s 8", 300000},
                      FormatCase{"Fat32With4KSectors", "-F 32 -S 4096 -s 1", 300000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FatBootSector, RefusesFat32WhoseTypeStringIsGoneAndBitLockerVolumes) {
    if (!HaveFatTools()) GTEST_SKIP() << "dosfstools/mtools not installed";
    TempDir dir;
    ASSERT_TRUE(MakeFatImage(dir / "32.img", "-F 32 -s 1", 40000));
    ASSERT_TRUE(MakeFatImage(dir / "16.img", "-F 16", 16384));
    auto fat32 = testing::ReadBootBlock(dir / "32.img");
    auto fat16 = testing::ReadBootBlock(dir / "16.img");
    ASSERT_TRUE(IsFatBootSector(fat32));
    ASSERT_TRUE(IsFatBootSector(fat16));

    // Without its type string a FAT32 boot sector has no 16-bit FAT size, so neither layout
    // applies; reading it as FAT16 would put every cluster in the wrong place.
    auto untyped = fat32;
    std::memcpy(&untyped[0x52], "        ", 8);
    EXPECT_FALSE(IsFatBootSector(untyped));
    EXPECT_FALSE(LoadGeometry(untyped, 0, 80000, 512).isFat32);

    auto encrypted = fat16;
    std::memcpy(&encrypted[3], "-FVE-FS-", 8);
    EXPECT_FALSE(IsFatBootSector(encrypted));

    EXPECT_FALSE(IsFatBootSector(std::span(fat16).first(511)));
    auto unsigned16 = fat16;
    unsigned16[511] = 0;
    EXPECT_FALSE(IsFatBootSector(unsigned16));
}

TEST(FatBootSector, ClassifiesThePublicCorpus) {
    NORVALE_REQUIRE_CORPUS();
    TempDir dir;
    for (const char* name : {"fat12.raw.gz", "fat16.raw.gz", "fat_deleted_dir.raw.gz",
                             "fat32_loop.raw.gz"}) {
        const std::string image = testing::CorpusImage(name, dir.Path());
        ASSERT_FALSE(image.empty()) << name;
        EXPECT_TRUE(IsFatBootSector(testing::ReadBootBlock(image))) << name;
    }
    const std::string exfat = testing::CorpusImage("exfat_win.raw.gz", dir.Path());
    ASSERT_FALSE(exfat.empty());
    EXPECT_FALSE(IsFatBootSector(testing::ReadBootBlock(exfat)));

    const std::string fat12 = testing::CorpusImage("fat12.raw.gz", dir.Path());
    EXPECT_EQ(LoadGeometry(testing::ReadBootBlock(fat12), 0, FileSectors(fat12), 512).kind, FatKind::Fat12);
    const std::string fat16 = testing::CorpusImage("fat16.raw.gz", dir.Path());
    EXPECT_EQ(LoadGeometry(testing::ReadBootBlock(fat16), 0, FileSectors(fat16), 512).kind, FatKind::Fat16);
}

TEST(FatBootSector, Fat32WithFat12SizedClusterCountKeepsItsLayout) {
    NORVALE_REQUIRE_CORPUS();
    TempDir dir;
    const std::string image = testing::CorpusImage("fat32_small.raw.gz", dir.Path());
    ASSERT_FALSE(image.empty());
    const auto boot = testing::ReadBootBlock(image);
    IsFatBootSector(boot);  // either answer is acceptable; it must not misbehave
    const FatGeometry g = LoadGeometry(boot, 0, FileSectors(image), 512);
    // 2048-byte sectors, 64 KiB clusters, 254 clusters after 34 sectors (fsck.fat agrees).
    EXPECT_TRUE(g.isFat32);
    EXPECT_EQ(g.bytesPerSector, 2048u);
    EXPECT_EQ(g.partitionSectors, 8192u);
    EXPECT_EQ(g.dataStart, 34u);
    EXPECT_EQ(g.clusterCount, 254u);
}

// Every data cluster the geometry admits must lie inside the partition, whatever the boot
// sector says: otherwise a chain could lead a copy into the next partition's sectors.
void ExpectClustersInsidePartition(const FatGeometry& g, const std::string& what) {
    if (g.clusterCount == 0) return;
    const uint64_t end = ClusterToLba(g, LastCluster(g)) + g.sectorsPerCluster;
    EXPECT_LE(end, g.partitionStartLba + g.partitionSectors) << what;
    EXPECT_LE(FixedRootBytes(g), 65535u * 32 + g.bytesPerSector) << what;
}

TEST(FatBootSector, DamagedOrTruncatedBootSectorsNeverAdmitClustersOutsideThePartition) {
    if (!HaveFatTools()) GTEST_SKIP() << "dosfstools/mtools not installed";
    TempDir dir;
    std::vector<std::vector<uint8_t>> boots;
    const FormatCase formats[] = {
        {"fat12", "-F 12", 4096}, {"fat16", "-F 16 -S 4096 -s 1", 65536}, {"fat32", "-F 32 -s 1", 40000}};
    for (const FormatCase& f : formats) {
        const std::string image = dir / (std::string(f.name) + ".img");
        ASSERT_TRUE(MakeFatImage(image, f.mkfsArgs, f.sizeKiB));
        boots.push_back(testing::ReadBootBlock(image));
    }
    std::mt19937 rng(7);
    for (const auto& boot : boots) {
        for (size_t length = 0; length <= 512; ++length) {
            const std::vector<uint8_t> cut(boot.begin(), boot.begin() + length);
            IsFatBootSector(cut);
            ExpectClustersInsidePartition(LoadGeometry(cut, 100, 20000, 512), "cut");
        }
        for (size_t offset = 0; offset < 0x5A; ++offset) {
            for (int trial = 0; trial < 16; ++trial) {
                auto damaged = boot;
                damaged[offset] = static_cast<uint8_t>(rng());
                IsFatBootSector(damaged);
                const FatGeometry g = LoadGeometry(damaged, 100, 20000, 512);
                ExpectClustersInsidePartition(g, "byte " + std::to_string(offset));
                EXPECT_NE(g.bytesPerSector, 0u);
            }
        }
    }
}

TEST(FatBootSector, TruncatedImageLimitsTheDataArea) {
    if (!HaveFatTools()) GTEST_SKIP() << "dosfstools/mtools not installed";
    TempDir dir;
    const std::string image = dir / "v.img";
    ASSERT_TRUE(MakeFatImage(image, "-F 16 -S 4096 -s 1", 65536));
    const auto boot = testing::ReadBootBlock(image);
    const FatGeometry whole = LoadGeometry(boot, 0, FileSectors(image), 512);
    // Half the image, counted in 512-byte device sectors as an image source counts it.
    const FatGeometry half = LoadGeometry(boot, 0, FileSectors(image) / 2, 512);
    EXPECT_EQ(half.partitionSectors, whole.partitionSectors / 2);
    EXPECT_LT(half.clusterCount, whole.clusterCount);
    ExpectClustersInsidePartition(half, "half");
    EXPECT_EQ(half.kind, FatKind::Fat16);  // the entry width is still the formatted one
}

TEST(FatClusterAddress, ReservedClusterNumbersAddressNothing) {
    if (!HaveFatTools()) GTEST_SKIP() << "dosfstools/mtools not installed";
    TempDir dir;
    ASSERT_TRUE(MakeFatImage(dir / "32.img", "-F 32 -s 1", 40000));
    ASSERT_TRUE(MakeFatImage(dir / "16.img", "-F 16", 16384));
    const FatGeometry g32 = LoadGeometry(testing::ReadBootBlock(dir / "32.img"), 2048, 80000, 512);
    const FatGeometry g16 = LoadGeometry(testing::ReadBootBlock(dir / "16.img"), 2048, 32768, 512);
    EXPECT_EQ(ClusterToLba(g32, 0), kNoLba);  // a ".." entry naming the root holds 0
    EXPECT_EQ(ClusterToLba(g32, 1), kNoLba);
    EXPECT_EQ(ClusterToLba(g16, 1), kNoLba);
    EXPECT_EQ(ClusterToLba(g16, 0), 2048 + g16.dataStart - g16.rootDirSectors);
    EXPECT_EQ(ClusterToLba(g16, 2), 2048 + g16.dataStart);
    // Large numbers do not wrap around into the volume.
    EXPECT_GT(ClusterToLba(g32, 0xFFFFFFFF), 2048 + uint64_t{0xFFFFFFF0});
}

}  // namespace
}  // namespace norvale
