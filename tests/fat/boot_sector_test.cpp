// Geometry of real volumes against what dosfstools reports, the boot-sector test on real and
// foreign media, and damaged boot sectors.

#include "fat/boot_sector.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <random>

#include "fat/fat_test_media.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::HaveFatTools;
using testing::MakeFatImage;
using testing::ReadBootBlock;
using testing::TempDir;

uint64_t FileSectors(const std::string& path) {
    return std::filesystem::file_size(path) / 512;
}

// The number on the line holding `label`, read after `inner` (or right after `label`); with
// `before`, the number written just before `label` ("512 bytes per logical sector").
int64_t Reported(const std::string& report, const std::string& label, const char* inner = nullptr,
                 bool before = false) {
    size_t at = report.find(label);
    if (at == std::string::npos) return -1;
    if (before) {
        while (at > 0 && std::isdigit(static_cast<unsigned char>(report[at - 1]))) --at;
    } else {
        at = inner ? report.find(inner, at) + std::strlen(inner) : at + label.size();
    }
    size_t end = at;
    while (end < report.size() && std::isdigit(static_cast<unsigned char>(report[end]))) ++end;
    return end == at ? -1 : std::stoll(report.substr(at, end - at));
}
int64_t ReportedBefore(const std::string& report, const std::string& label) {
    return Reported(report, label, nullptr, true);
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
    std::string r;
    norvale::testing::Run("fsck.fat -v -n '" + image + "'", &r);
    ASSERT_NE(ReportedBefore(r, " data clusters"), -1) << r;

    const auto boot = ReadBootBlock(image);
    ASSERT_TRUE(IsFatBootSector(boot));
    const FatGeometry g = LoadGeometry(boot, 0, FileSectors(image), 512);
    EXPECT_EQ(g.bytesPerSector, ReportedBefore(r, " bytes per logical sector"));
    EXPECT_EQ(g.clusterBytes, ReportedBefore(r, " bytes per cluster"));
    EXPECT_EQ(g.fatStartLba, Reported(r, "First FAT starts", "(sector "));
    EXPECT_EQ(g.numberOfFats, ReportedBefore(r, " FATs, "));
    EXPECT_EQ(g.fatSectors, Reported(r, "bytes per FAT (= "));
    EXPECT_EQ(g.dataStart, Reported(r, "Data area starts", "(sector "));
    EXPECT_EQ(g.clusterCount, ReportedBefore(r, " data clusters"));
    const int64_t bits = ReportedBefore(r, " bit entries");
    EXPECT_EQ(g.kind, bits == 12 ? FatKind::Fat12 : bits == 16 ? FatKind::Fat16 : FatKind::Fat32);
    EXPECT_EQ(ClusterToLba(g, 1), kNoLba);
    if (g.isFat32) {
        EXPECT_EQ(g.rootCluster, Reported(r, "Root directory start at cluster "));
        EXPECT_EQ(ClusterToLba(g, 0), kNoLba);  // ".." naming the root holds 0
    } else {
        EXPECT_EQ(RootDirectoryLba(g), Reported(r, "Root directory starts", "(sector "));
        EXPECT_EQ(FixedRootBytes(g), 32 * ReportedBefore(r, " root directory entries"));
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

TEST(FatBootSector, ClassifiesThePublicCorpus) {
    NORVALE_REQUIRE_CORPUS();
    TempDir dir;
    const std::pair<const char*, bool> cases[] = {{"fat12.raw.gz", true},
                                                  {"fat16.raw.gz", true},
                                                  {"fat_deleted_dir.raw.gz", true},
                                                  {"fat32_loop.raw.gz", true},
                                                  {"exfat_win.raw.gz", false}};
    for (const auto& [name, isFat] : cases) {
        const std::string image = testing::CorpusImage(name, dir.Path());
        ASSERT_FALSE(image.empty()) << name;
        EXPECT_EQ(IsFatBootSector(ReadBootBlock(image)), isFat) << name;
    }
    // FAT32 by its type string, with a cluster count in the FAT12 range: it keeps the FAT32
    // layout (2048-byte sectors, 64 KiB clusters, 254 clusters after 34 sectors, as fsck.fat
    // reads it).
    const std::string small = testing::CorpusImage("fat32_small.raw.gz", dir.Path());
    IsFatBootSector(ReadBootBlock(small));  // either answer will do; it must not misbehave
    const FatGeometry g = LoadGeometry(ReadBootBlock(small), 0, FileSectors(small), 512);
    EXPECT_TRUE(g.isFat32);
    EXPECT_EQ(g.partitionSectors, 8192u);
    EXPECT_EQ(g.dataStart, 34u);
    EXPECT_EQ(g.clusterCount, 254u);
}

TEST(FatBootSector, RefusesBitLockerAndFat32WithoutItsTypeString) {
    if (!HaveFatTools()) GTEST_SKIP() << "dosfstools/mtools not installed";
    TempDir dir;
    ASSERT_TRUE(MakeFatImage(dir / "32.img", "-F 32 -s 1", 40000));
    ASSERT_TRUE(MakeFatImage(dir / "16.img", "-F 16", 16384));
    auto fat32 = ReadBootBlock(dir / "32.img");
    auto fat16 = ReadBootBlock(dir / "16.img");
    std::memcpy(&fat32[0x52], "        ", 8);  // no 16-bit FAT size either: neither layout fits
    EXPECT_FALSE(IsFatBootSector(fat32));
    std::memcpy(&fat16[3], "-FVE-FS-", 8);
    EXPECT_FALSE(IsFatBootSector(fat16));
    const auto intact = ReadBootBlock(dir / "16.img");
    EXPECT_FALSE(IsFatBootSector(std::span(intact).first(511)));
}

// Whatever a damaged boot sector says, every data cluster the geometry admits lies inside the
// partition: otherwise a chain could lead a copy into the next partition's sectors.
TEST(FatBootSector, DamagedTruncatedOrCutShortVolumesAdmitNoClusterOutsideThePartition) {
    if (!HaveFatTools()) GTEST_SKIP() << "dosfstools/mtools not installed";
    TempDir dir;
    const FormatCase formats[] = {
        {"12", "-F 12", 4096}, {"16", "-F 16 -S 4096 -s 1", 65536}, {"32", "-F 32 -s 1", 40000}};
    auto check = [](const FatGeometry& g, const std::string& what) {
        EXPECT_NE(g.bytesPerSector, 0u) << what;
        if (g.clusterCount == 0) return;
        EXPECT_LE(ClusterToLba(g, LastCluster(g)) + g.sectorsPerCluster,
                  g.partitionStartLba + g.partitionSectors)
            << what;
    };
    std::mt19937 rng(7);
    for (const FormatCase& f : formats) {
        const std::string image = dir / f.name;
        ASSERT_TRUE(MakeFatImage(image, f.mkfsArgs, f.sizeKiB));
        const auto boot = ReadBootBlock(image);
        const FatGeometry whole = LoadGeometry(boot, 0, FileSectors(image), 512);
        // Half the image, counted in 512-byte sectors as an image source counts it.
        const FatGeometry half = LoadGeometry(boot, 0, FileSectors(image) / 2, 512);
        EXPECT_EQ(half.kind, whole.kind);
        EXPECT_LT(half.clusterCount, whole.clusterCount);
        check(half, std::string("half of ") + f.name);

        for (size_t length = 0; length <= 512; ++length) {
            const std::vector<uint8_t> cut(boot.begin(), boot.begin() + length);
            IsFatBootSector(cut);
            check(LoadGeometry(cut, 100, 20000, 512), "cut");
        }
        for (int trial = 0; trial < 2000; ++trial) {
            auto damaged = boot;
            const size_t offset = rng() % 0x5A;
            damaged[offset] = static_cast<uint8_t>(rng());
            IsFatBootSector(damaged);
            check(LoadGeometry(damaged, 100, 20000, 512), "byte " + std::to_string(offset));
        }
    }
}

}  // namespace
}  // namespace norvale
