// The volume reader on damaged cards (bitmap, root, FAT, read faults) and on volumes the FUSE
// driver wrote, compared with what the driver and The Sleuth Kit report.

#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <cstring>
#include <sstream>

#include "device/bytes.h"
#include "device/sector_source.h"
#include "exfat/exfat_test_media.h"
#include "exfat/free_space.h"

namespace norvale {
namespace {

using testing::TempDir;

struct Card {
    std::vector<uint8_t> bytes;
    ExfatBootRegion boot;
    size_t bitmapEntry = 0;  // byte offset of the root's bitmap entry in the image
    uint64_t ClusterOffset(uint32_t c) const { return boot.ClusterToSector(c) * 512; }
};

Card LoadCard(const char* name) {
    TempDir dir;
    Card card;
    card.bytes = testing::ReadFileBytes(testing::UnpackCard(dir, name));
    EXPECT_TRUE(ParseExfatBootSector(card.bytes, card.boot));
    const size_t root = card.ClusterOffset(card.boot.rootCluster);
    for (size_t at = root; at < root + card.boot.ClusterBytes(); at += 32) {
        if (card.bytes[at] == kExfatTypeBitmap) {
            card.bitmapEntry = at;
            break;
        }
    }
    EXPECT_NE(card.bitmapEntry, 0u);
    return card;
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(ExfatBitmap, ShortBitmapCoversOnlyItsClustersAndTheRestCountsAsUsed) {
    Card card = LoadCard("exfat_4k");
    Put64(card.bytes, card.bitmapEntry + 24, 2);  // two bytes: sixteen clusters
    auto v = testing::OpenExfatBytes(card.bytes);
    ASSERT_TRUE(v);
    ASSERT_TRUE(v->volume.HasBitmap());
    EXPECT_EQ(v->volume.BitmapClusters(), 16u);
    EXPECT_TRUE(v->volume.IsClusterInUse(v->volume.Boot().rootCluster));
    EXPECT_FALSE(v->volume.IsClusterInUse(18));
    EXPECT_LE(v->volume.FreeClusters(), 16u);
    // For reading, the clusters past it are worth a look: one free run to the heap's end.
    uint32_t first = 0, count = 0;
    ASSERT_TRUE(v->volume.NextFreeRun(18, first, count));
    EXPECT_EQ(first, 18u);
    EXPECT_EQ(uint64_t{first} + count, uint64_t{v->volume.Boot().clusterCount} + 2);
    EXPECT_FALSE(v->volume.NextFreeRun(v->volume.Boot().clusterCount + 2, first, count));
    // A length past the heap is cut to the heap.
    Put64(card.bytes, card.bitmapEntry + 24, ~uint64_t{0} >> 1);
    v = testing::OpenExfatBytes(card.bytes);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->volume.BitmapClusters(), v->volume.Boot().clusterCount);
}

TEST(ExfatBitmap, BitmapOutsideTheHeapOrUnreadableIsNoAnswer) {
    Card card = LoadCard("exfat_4k");
    const uint32_t first = Le32(&card.bytes[card.bitmapEntry + 20]);
    auto bytes = card.bytes;
    Put32(bytes, card.bitmapEntry + 20, card.boot.clusterCount + 2);
    auto v = testing::OpenExfatBytes(bytes);
    ASSERT_TRUE(v);
    EXPECT_FALSE(v->volume.HasBitmap());
    EXPECT_FALSE(v->volume.IsClusterInUse(card.boot.rootCluster));
    uint64_t free = 1;
    EXPECT_EQ(CountExfatFreeBytes(v->reader, 0, 0, free), kErrUnsupportedLayout);
    EXPECT_EQ(free, 0u);
    // The bitmap's sector fails: an error, not a full volume.
    SectorReader reader;
    reader.Attach(
        std::make_unique<FaultySource>(std::make_unique<MemorySource>(card.bytes),
                                       std::set<uint64_t>{card.ClusterOffset(first) / 512}));
    EXPECT_NE(CountExfatFreeBytes(reader, 0, 0, free), kOk);
    EXPECT_EQ(free, 0u);
}

// The root directory's chain loops and the FAT says nothing about the bitmap: the volume still
// opens, finds its bitmap and label in the first cluster, and every walk ends.
TEST(ExfatVolumeDamage, LoopingRootChainAndMissingBitmapChainEnd) {
    Card card = LoadCard("exfat_4k");
    const size_t fat = size_t{card.boot.fatOffset} * 512;
    Put32(card.bytes, fat + 4 * card.boot.rootCluster, card.boot.rootCluster);
    const uint32_t bitmap = Le32(&card.bytes[card.bitmapEntry + 20]);
    Put32(card.bytes, fat + 4 * bitmap, 0);
    auto v = testing::OpenExfatBytes(card.bytes);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->volume.Label(), "CARD");
    ASSERT_TRUE(v->volume.HasBitmap());
    EXPECT_TRUE(v->volume.IsClusterInUse(card.boot.rootCluster));
    std::vector<uint32_t> chain;
    EXPECT_EQ(v->volume.WalkChain(card.boot.rootCluster, ~uint64_t{0}, chain),
              ExfatChainEnd::kLoop);
    EXPECT_EQ(chain.size(), 1u);
    const auto tree = testing::ListExfatTree(*v, true);
    EXPECT_FALSE(tree.empty());
}

// Reads outside the partition are refused, also when the volume claims more than the image.
TEST(ExfatVolumeDamage, TruncatedImageRefusesClustersPastItsEnd) {
    Card card = LoadCard("exfat_128k");
    card.bytes.resize(card.ClusterOffset(10));
    auto v = testing::OpenExfatBytes(card.bytes);
    ASSERT_TRUE(v);
    std::vector<uint8_t> cluster(v->volume.Boot().ClusterBytes());
    EXPECT_EQ(v->volume.ReadCluster(9, cluster), kOk);
    EXPECT_NE(v->volume.ReadCluster(10, cluster), kOk);
    EXPECT_EQ(v->volume.ReadCluster(card.boot.clusterCount + 2, cluster), kErrInvalidParameter);
    EXPECT_EQ(v->volume.ReadCluster(5, std::span(cluster).first(100)), kErrInvalidParameter);
    // The volume found at a partition's start, inside a larger medium.
    std::vector<uint8_t> disk(1024 * 512 + card.bytes.size(), 0xE5);
    std::memcpy(disk.data() + 1024 * 512, card.bytes.data(), card.bytes.size());
    SectorReader reader;
    reader.Attach(std::make_unique<MemorySource>(disk));
    ExfatVolume at;
    ASSERT_EQ(at.Open(reader, 1024, 0), kOk);
    EXPECT_EQ(at.Label(), "CARD");
    EXPECT_EQ(at.Open(reader, 0, 0), kErrUnsupportedLayout);
}

// Files written, grown and deleted through the FUSE driver: the listing matches `fls`, the free
// space matches what the driver reports, names of every length come back whole.
TEST(ExfatOnFuse, ListingAndFreeSpaceMatchTheDriverAndTheSleuthKit) {
    NORVALE_REQUIRE_EXFAT_FUSE();
    NORVALE_REQUIRE_TOOLS("fls");
    TempDir dir;
    const std::string image = dir / "card.img";
    const std::string mnt = dir / "mnt";
    ASSERT_EQ(testing::Run("truncate -s 24M " + testing::ShellQuote(image) +
                           " && mkfs.exfat -c 8K -L FUSE " + testing::ShellQuote(image)),
              0);
    const std::string longName(255, 'n');
    uint64_t driverFree = 0;
    {
        testing::FuseMount m(image, mnt);
        ASSERT_TRUE(m.Ok()) << m.Error();
        const std::string q = testing::ShellQuote(mnt);
        ASSERT_EQ(testing::Run("cd " + q +
                               " && mkdir -p a/b/c && head -c 70000 /dev/urandom > "
                               "a/b/c/x.bin && echo small > a/s.txt && head -c 9000 /dev/urandom "
                               "> " +
                               longName +
                               " && head -c 30000 /dev/urandom > a/b/y.bin && "
                               "echo more >> a/s.txt && touch -d '2021-06-15 13:45:39.57' a/s.txt"
                               " && rm a/b/c/x.bin " +
                               longName + " && rm -r a/b"),
                  0);
        (void)testing::Run("sync");
        struct statvfs s {};
        ASSERT_EQ(statvfs(mnt.c_str(), &s), 0);
        driverFree = uint64_t{s.f_bfree} * s.f_frsize;
    }
    auto v = testing::OpenExfatImage(image);
    ASSERT_TRUE(v);
    uint64_t free = 0;
    ASSERT_EQ(CountExfatFreeBytes(v->reader, 0, 0, free), kOk);
    EXPECT_EQ(free, driverFree);

    const auto tree = testing::ListExfatTree(*v, true);
    std::string fls;
    ASSERT_EQ(testing::Run("fls -r -p " + testing::ShellQuote(image), &fls), 0);
    size_t listed = 0;
    std::istringstream lines(fls);
    for (std::string line; std::getline(lines, line);) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos || line[tab + 1] == '$' || line[0] == 'v' ||
            line.find("Volume Label") != std::string::npos || line[0] == '-') {
            continue;
        }
        const auto* t = testing::FindPath(tree, "/" + line.substr(tab + 1));
        ASSERT_NE(t, nullptr) << line;
        EXPECT_EQ(t->entry.deleted, line.find(" * ") != std::string::npos) << line;
        ++listed;
    }
    EXPECT_EQ(listed, tree.size());
    const auto* longest = testing::FindPath(tree, "/" + longName);
    ASSERT_NE(longest, nullptr);
    EXPECT_TRUE(longest->entry.deleted);
    EXPECT_EQ(longest->entry.secondaryCount, 18u);
    const auto* deep = testing::FindPath(tree, "/a/b/c/x.bin");
    ASSERT_NE(deep, nullptr);
    EXPECT_EQ(deep->entry.dataLength, 70000u);
    const auto* s = testing::FindPath(tree, "/a/s.txt");
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(s->entry.deleted);
    // The driver keeps whole seconds, the odd one in the 10 ms increment (`stat` on the mount
    // says 13:45:39; istat, which drops the increment, 13:45:38).
    EXPECT_EQ(s->entry.modifiedTime, 132682383390000000u);  // 2021-06-15 13:45:39 UTC
}

}  // namespace
}  // namespace norvale
