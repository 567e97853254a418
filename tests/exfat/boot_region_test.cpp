// The boot region: geometry of real cards, the checksum, the probe, and hostile fields.

#include "exfat/boot_region.h"

#include <gtest/gtest.h>

#include "device/bytes.h"
#include "exfat/exfat_test_media.h"
#include "exfat/free_space.h"

namespace norvale {
namespace {

using testing::TempDir;

std::vector<uint8_t> CardBytes(const char* card) {
    TempDir dir;
    return testing::ReadFileBytes(testing::UnpackCard(dir, card));
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(ExfatBootRegion, CardsGiveTheirGeometryAndPassTheProbe) {
    for (const auto& [card, clusterBytes] :
         {std::pair{"exfat_4k", 4096u}, std::pair{"exfat_128k", 131072u}}) {
        SCOPED_TRACE(card);
        const auto bytes = CardBytes(card);
        ExfatBootRegion b;
        ASSERT_TRUE(ParseExfatBootSector(bytes, b));
        EXPECT_EQ(b.ClusterBytes(), clusterBytes);
        EXPECT_EQ(b.BytesPerSector(), 512u);
        EXPECT_EQ(b.volumeLength * 512, bytes.size());
        EXPECT_LE(b.ClusterToSector(b.clusterCount + 1) * 512 + clusterBytes, bytes.size());
        EXPECT_TRUE(IsExfatBootRegion(std::span(bytes).first(kExfatProbeBytes)));
        // The backup region repeats the main one, checksum included.
        EXPECT_TRUE(IsExfatBootRegion(std::span(bytes).subspan(12 * 512, kExfatProbeBytes)));
    }
}

TEST(ExfatBootRegion, ChecksumSkipsOnlyTheFlagsAndPercentInUse) {
    const auto card = CardBytes("exfat_4k");
    for (size_t at : {106, 107, 112}) {
        auto b = card;
        b[at] ^= 0x01;
        EXPECT_TRUE(IsExfatBootRegion(std::span(b).first(kExfatProbeBytes))) << at;
    }
    // A byte of the boot code, of an extended boot sector, of the OEM sector, of the checksum
    // sector: each breaks the region.
    for (size_t at : {size_t{300}, size_t{512 * 3 + 17}, size_t{512 * 9 + 500},
                      size_t{512 * 10 + 511}, size_t{512 * 11 + 6}}) {
        auto b = card;
        b[at] ^= 0x40;
        EXPECT_FALSE(IsExfatBootRegion(std::span(b).first(kExfatProbeBytes))) << at;
    }
}

// Each field a damaged or crafted boot sector could carry that would send a reader outside the
// volume or into huge allocations.
TEST(ExfatBootRegion, HostileFieldsAreRefused) {
    const auto card = CardBytes("exfat_4k");
    ExfatBootRegion good;
    ASSERT_TRUE(ParseExfatBootSector(card, good));
    struct Damage {
        const char* what;
        void (*apply)(std::vector<uint8_t>&, const ExfatBootRegion&);
    };
    const Damage damages[] = {
        {"OEM name", [](auto& b, auto&) { b[3] = 'F'; }},
        {"byte of the zeroed area", [](auto& b, auto&) { b[40] = 1; }},
        {"signature", [](auto& b, auto&) { b[511] = 0; }},
        {"sector shift 8", [](auto& b, auto&) { b[108] = 8; }},
        {"sector shift 13", [](auto& b, auto&) { b[108] = 13; }},
        {"cluster of 64 MiB", [](auto& b, auto&) { b[109] = 17; }},
        {"no FAT", [](auto& b, auto&) { b[110] = 0; }},
        {"three FATs", [](auto& b, auto&) { b[110] = 3; }},
        {"FAT inside the boot regions", [](auto& b, auto&) { Put32(b, 80, 23); }},
        {"FAT running into the heap",
         [](auto& b, auto& g) { Put32(b, 84, g.clusterHeapOffset - g.fatOffset + 1); }},
        {"heap past the volume",
         [](auto& b, auto& g) { Put32(b, 88, static_cast<uint32_t>(g.volumeLength)); }},
        {"more clusters than the heap holds",
         [](auto& b, auto& g) { Put32(b, 92, g.clusterCount + 1); }},
        {"no clusters", [](auto& b, auto&) { Put32(b, 92, 0); }},
        {"root cluster 1", [](auto& b, auto&) { Put32(b, 96, 1); }},
        {"root past the heap", [](auto& b, auto& g) { Put32(b, 96, g.clusterCount + 2); }},
        {"volume under 1 MiB",
         [](auto& b, auto&) {
             Put32(b, 72, 2047);
             Put32(b, 76, 0);
         }},
    };
    for (const Damage& d : damages) {
        auto b = card;
        d.apply(b, good);
        ExfatBootRegion out;
        out.clusterCount = 77;
        EXPECT_FALSE(ParseExfatBootSector(b, out)) << d.what;
        EXPECT_EQ(out.clusterCount, 77u) << d.what << ": written though refused";
        EXPECT_FALSE(IsExfatBootRegion(std::span(b).first(kExfatProbeBytes))) << d.what;
    }
    EXPECT_FALSE(ParseExfatBootSector(std::span(card).first(511), good));
}

TEST(ExfatBootRegion, OtherFileSystemsAreNotExfat) {
    TempDir dir;
    for (const char* fixture : {"fat/fat12_card", "ntfs/ntfs_card"}) {
        const std::string path = dir / "other.img";
        ASSERT_EQ(testing::Run("gzip -dc " +
                               testing::ShellQuote(testing::SourceDir() + "/tests/fixtures/" +
                                                   fixture + ".img.gz") +
                               " > " + testing::ShellQuote(path)),
                  0);
        const auto bytes = testing::ReadFileBytes(path);
        EXPECT_FALSE(IsExfatBootRegion(std::span(bytes).first(kExfatProbeBytes))) << fixture;
        SectorReader reader;
        ASSERT_EQ(reader.OpenImageFile(path), kOk);
        uint64_t free = 1;
        EXPECT_EQ(CountExfatFreeBytes(reader, 0, 0, free), kErrUnsupportedLayout) << fixture;
        EXPECT_EQ(free, 0u);
    }
}

TEST(ExfatBootRegion, DamagedMainRegionOpensFromTheBackup) {
    auto bytes = CardBytes("exfat_4k");
    bytes[512 * 2 + 5] ^= 0xFF;  // an extended boot sector: the checksum fails
    auto v = testing::OpenExfatBytes(bytes);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->volume.Boot().ClusterBytes(), 4096u);
    EXPECT_EQ(v->volume.Label(), "CARD");
    // Both regions damaged: not an exFAT volume any more.
    bytes[512 * 14 + 5] ^= 0xFF;
    EXPECT_FALSE(testing::OpenExfatBytes(bytes));
}

// A loop device with 4 KiB logical sectors makes mkfs.exfat write 4 KiB sectors: 16 KiB of it
// does not reach the checksum sector, and the probe must still say exFAT.
TEST(ExfatOnLoopDevice, FourKiBSectorVolumeIsProbedAndOpened) {
    NORVALE_REQUIRE_EXFAT_FUSE();
    TempDir dir;
    const std::string image = dir / "4kn.img";
    ASSERT_EQ(testing::Run("truncate -s 32M " + testing::ShellQuote(image)), 0);
    std::string loop;
    ASSERT_EQ(testing::Run("losetup -b 4096 -f --show " + testing::ShellQuote(image), &loop), 0);
    loop = loop.substr(0, loop.find('\n'));
    std::string out;
    const int made = testing::Run("mkfs.exfat -L BIG " + loop, &out);
    (void)testing::Run("losetup -d " + loop);
    ASSERT_EQ(made, 0) << out;
    const auto bytes = testing::ReadFileBytes(image);
    ExfatBootRegion b;
    ASSERT_TRUE(ParseExfatBootSector(bytes, b));
    ASSERT_EQ(b.BytesPerSector(), 4096u);
    EXPECT_TRUE(IsExfatBootRegion(std::span(bytes).first(kExfatProbeBytes)));
    EXPECT_TRUE(IsExfatBootRegion(std::span(bytes).first(12 * 4096)));
    auto damaged = bytes;
    damaged[4096 * 3] ^= 1;
    EXPECT_FALSE(IsExfatBootRegion(std::span(damaged).first(12 * 4096)));
    for (uint32_t sector : {512u, 4096u}) {
        auto v = testing::OpenExfatBytes(bytes, sector);
        ASSERT_TRUE(v) << sector;
        EXPECT_EQ(v->volume.Label(), "BIG");
        EXPECT_TRUE(v->volume.HasBitmap());
        EXPECT_GT(v->volume.FreeClusters(), 0u);
    }
}

}  // namespace
}  // namespace norvale
