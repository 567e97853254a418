// Cluster chains over hostile FATs, and the piecewise FAT reader against the whole-FAT walk.

#include "exfat/fat_chain.h"

#include <gtest/gtest.h>

#include <random>

#include "device/sector_reader.h"
#include "device/sector_source.h"

namespace norvale {
namespace {

std::vector<uint8_t> Fat(const std::vector<uint32_t>& entries) {
    std::vector<uint8_t> b(entries.size() * 4);
    for (size_t i = 0; i < entries.size(); ++i) {
        for (int k = 0; k < 4; ++k) b[i * 4 + k] = static_cast<uint8_t>(entries[i] >> (8 * k));
    }
    return b;
}

TEST(ExfatChain, WalksEndAtTheirMarkOrSayWhyNot) {
    constexpr uint32_t E = kExfatEndOfChain;
    // Clusters 2..11: 2->5->3->E; 4 loops to itself; 6->7->8->6; 9 -> free; 10 -> bad; 11 -> 12
    // (past the heap of 10 clusters).
    const auto fat = Fat({0xFFFFFFF8, E, 5, E, 4, 3, 7, 8, 6, 0, kExfatBadCluster, 12});
    struct Case {
        uint32_t first;
        uint64_t max;
        ExfatChainEnd end;
        std::vector<uint32_t> clusters;
    };
    const Case cases[] = {
        {2, 100, ExfatChainEnd::kEndOfChain, {2, 5, 3}},
        {2, 2, ExfatChainEnd::kLimit, {2, 5}},
        {4, 100, ExfatChainEnd::kLoop, {4}},
        {6, 100, ExfatChainEnd::kLoop, {6, 7, 8}},
        {6, 1000000, ExfatChainEnd::kLoop, {6, 7, 8}},
        {9, 100, ExfatChainEnd::kFree, {9}},
        {10, 100, ExfatChainEnd::kBad, {10}},
        {11, 100, ExfatChainEnd::kOutOfHeap, {11}},
        {1, 100, ExfatChainEnd::kOutOfHeap, {}},
        {12, 100, ExfatChainEnd::kOutOfHeap, {}},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> out{99};
        EXPECT_EQ(WalkExfatChain(c.first, 10, fat, c.max, out), c.end) << c.first;
        EXPECT_EQ(out, c.clusters) << c.first;
        EXPECT_EQ(FollowExfatChain(c.first, 10, fat, c.max, out),
                  c.end == ExfatChainEnd::kEndOfChain);
    }
    // A FAT cut short: cluster 5 is in the heap, but its entry is past the bytes given.
    std::vector<uint32_t> out;
    EXPECT_EQ(WalkExfatChain(2, 10, std::span(fat).first(5 * 4 + 2), 100, out),
              ExfatChainEnd::kOutOfHeap);
    EXPECT_EQ(out, (std::vector<uint32_t>{2, 5}));
}

// A long loop through a large heap: the walk stops within the heap's size, whatever limit the
// caller gave.
TEST(ExfatChain, LongLoopStopsWithinTheHeap) {
    constexpr uint32_t kClusters = 200000;
    std::vector<uint32_t> entries(kClusters + 2, kExfatEndOfChain);
    for (uint32_t c = 2; c < kClusters + 1; ++c) entries[c] = c + 1;
    entries[kClusters + 1] = 1000;  // back into the middle
    std::vector<uint32_t> out;
    EXPECT_EQ(WalkExfatChain(2, kClusters, Fat(entries), ~uint64_t{0}, out), ExfatChainEnd::kLoop);
    EXPECT_EQ(out.size(), kClusters);
    EXPECT_EQ(out.back(), kClusters + 1);
}

// A FAT of several 64 KiB pieces on a medium, read back piecewise with a small cache: the same
// chains as the walk over the whole FAT, and no read past the FAT's own sectors.
TEST(ExfatFatReader, AgreesWithTheWholeFatAcrossPieces) {
    ExfatBootRegion b;
    b.bytesPerSectorShift = 9;
    b.sectorsPerClusterShift = 0;
    b.numberOfFats = 2;
    b.volumeFlags = 1;  // the second FAT is the active one
    b.clusterCount = 100000;
    b.fatOffset = 24;
    b.fatLength = (b.clusterCount + 2) * 4 / 512 + 1;
    b.clusterHeapOffset = b.fatOffset + 2 * b.fatLength;
    b.volumeLength = b.clusterHeapOffset + b.clusterCount;
    // Chains that jump between pieces in random order.
    std::mt19937 random(7);
    std::vector<uint32_t> order(b.clusterCount);
    for (uint32_t i = 0; i < b.clusterCount; ++i) order[i] = i + 2;
    std::shuffle(order.begin(), order.end(), random);
    std::vector<uint32_t> entries(b.clusterCount + 2, 0);
    for (size_t i = 0; i + 1 < order.size(); ++i) {
        entries[order[i]] = (i + 1) % 1000 == 0 ? kExfatEndOfChain : order[i + 1];
    }
    entries[order.back()] = kExfatEndOfChain;
    const auto fat = Fat(entries);
    std::vector<uint8_t> medium(size_t{b.clusterHeapOffset} * 512, 0);  // no heap needed
    std::copy(fat.begin(), fat.end(), medium.begin() + (b.fatOffset + b.fatLength) * 512);
    SectorReader reader;
    reader.Attach(std::make_unique<MemorySource>(medium));
    ExfatFatReader piecewise(reader, b, 0, 0);
    for (size_t start = 0; start < order.size(); start += 1000) {
        std::vector<uint32_t> whole, pieces;
        const auto end = WalkExfatChain(order[start], b.clusterCount, fat, 5000, whole);
        EXPECT_EQ(end, ExfatChainEnd::kEndOfChain);
        EXPECT_EQ(piecewise.Walk(order[start], 5000, pieces), end);
        ASSERT_EQ(pieces, whole);
        ASSERT_EQ(whole.size(), 1000u);
    }
    uint32_t value = 0;
    EXPECT_FALSE(piecewise.Entry(b.clusterCount + 2, value));
    // The FAT as a truncated image holds it: a piece that cannot be read ends the walk.
    medium.resize((b.fatOffset + b.fatLength) * 512 + 70000);
    SectorReader shortReader;
    shortReader.Attach(std::make_unique<MemorySource>(medium));
    ExfatFatReader cut(shortReader, b, 0, 0);
    EXPECT_TRUE(cut.Entry(100, value));
    EXPECT_FALSE(cut.Entry(b.clusterCount, value));
}

}  // namespace
}  // namespace norvale
