// The pure parts of the professional FAT scanner: layouts inferred from "." entries, where a
// sector lies under a layout, and what one loose directory sector says.

#include <gtest/gtest.h>

#include "fat/directory_scan.h"
#include "fat/layout_guess.h"
#include "fat/professional_fat_test_helpers.h"

namespace norvale {
namespace {

using testing::DotPairOf;
using testing::LongNameOf;
using testing::ShortEntryOf;

std::vector<uint8_t> Sector(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    out.resize(512, 0);
    return out;
}

TEST(LayoutGuess, TwoFoldersAtConsistentDistancesGiveClusterSizeAndDataStart) {
    const DotAnchor earlier[] = {{5, 8448}};
    const auto g = DeriveLayoutGuess(earlier, {9, 8512});
    ASSERT_TRUE(g);
    EXPECT_EQ(g->sectorsPerCluster, 16u);
    EXPECT_EQ(g->dataStartLba, 8400u);
    EXPECT_EQ(GuessClusterLba(*g, 5), 8448u);
    // The newer anchor may name the smaller cluster.
    const DotAnchor later[] = {{9, 8512}};
    EXPECT_EQ(DeriveLayoutGuess(later, {5, 8448}), g);
}

TEST(LayoutGuess, InconsistentAnchorsGiveNoLayout) {
    const struct {
        DotAnchor a, b;
        const char* why;
    } cases[] = {
        {{5, 8448}, {9, 8510}, "distance not a multiple of the cluster distance"},
        {{5, 8448}, {9, 8460}, "3 sectors per cluster"},
        {{5, 8448}, {9, 8448 + 4 * 256}, "256 sectors per cluster"},
        {{5, 8448}, {9, 8000}, "the larger cluster at the smaller sector"},
        {{5, 8448}, {5, 9000}, "the same cluster twice"},
        {{300, 100}, {301, 228}, "cluster 2 before sector 0"},
        {{1, 100}, {9, 228}, "cluster 1 names no folder"},
    };
    for (const auto& c : cases) {
        const DotAnchor earlier[] = {c.a};
        EXPECT_FALSE(DeriveLayoutGuess(earlier, c.b)) << c.why;
    }
    // The first consistent earlier anchor wins.
    const DotAnchor several[] = {{7, 5000}, {5, 8448}, {6, 8456}};
    const auto g = DeriveLayoutGuess(several, {9, 8512});
    ASSERT_TRUE(g);
    EXPECT_EQ(g->sectorsPerCluster, 16u);
}

// The fixed root of FAT12/16 lies right before cluster 2 and counts as cluster 0; the FATs
// before it belong to no cluster, and neither does anything past the last cluster.
TEST(LayoutGuess, TheFixedRootIsClusterZeroAndTheFatsNoCluster) {
    const FatLayoutGuess g{4, 1000, 32};
    EXPECT_EQ(GuessClusterStartingAt(g, 968), 0u);
    EXPECT_FALSE(GuessClusterStartingAt(g, 992));  // inside the root, not its start
    EXPECT_EQ(GuessClusterContaining(g, 990), 0u);
    EXPECT_FALSE(GuessClusterContaining(g, 900));
    EXPECT_EQ(GuessClusterSpan(g, 0), 32u);
    const FatLayoutGuess fat32{8, 1000, 0};
    EXPECT_FALSE(GuessClusterLba(fat32, 0));
    EXPECT_FALSE(GuessClusterContaining(fat32, 999));
    EXPECT_FALSE(GuessClusterStartingAt(fat32, 1000 + uint64_t{kHighestFatCluster} * 8));
}

TEST(LayoutGuess, NearestLayoutSkipsTheBootSectorOnlyWhenOthersExist) {
    const FatLayoutGuess boot{8, 5000, 0}, a{4, 1000, 32}, b{16, 3000, 32};
    const FatLayoutGuess all[] = {boot, a, b};
    EXPECT_EQ(NearestGuess(all, true, 6000), 2u);   // b is below and closest; boot ignored
    EXPECT_EQ(NearestGuess(all, false, 6000), 0u);  // counted: the boot layout is closest
    EXPECT_EQ(NearestGuess(all, true, 2000), 1u);
    EXPECT_EQ(NearestGuess(all, true, 500), 0u);  // nothing below: the first
    const FatLayoutGuess onlyBoot[] = {boot};
    EXPECT_EQ(NearestGuess(onlyBoot, true, 6000), 0u);
    EXPECT_FALSE(NearestGuess(std::span<const FatLayoutGuess>(), false, 6000));
}

TEST(DirectoryScan, BlockListsFilesAndFoldersAndWhereALongNameRunsOff) {
    const auto pieces = LongNameOf("A rather long file name.txt", "ARATHE~1TXT");
    const auto sector = Sector({DotPairOf(12, 3), ShortEntryOf("FILE    TXT", kAttrArchive, 13, 10),
                                ShortEntryOf("DIR        ", kAttrDirectory, 14, 0), pieces});
    const DirectoryBlockScan scan = ScanDirectoryBlock(sector);
    EXPECT_TRUE(scan.opensFolder);
    EXPECT_EQ(scan.selfCluster, 12u);
    ASSERT_EQ(scan.entries.size(), 2u);
    EXPECT_EQ(scan.entries[0].name, "file.txt");
    EXPECT_FALSE(scan.entries[0].isFolder);
    EXPECT_EQ(scan.entries[1].name, "dir");
    EXPECT_TRUE(scan.entries[1].isFolder);
    // The pieces are followed by an end marker, not by their 8.3 entry: no tail.
    EXPECT_TRUE(scan.endMarker);
    EXPECT_FALSE(scan.hasTail);

    // Pieces that fill the sector to its end wait for the next sector.
    std::vector<uint8_t> full = Sector({DotPairOf(12, 3)});
    const size_t at = 512 - pieces.size();
    std::copy(pieces.begin(), pieces.end(), full.begin() + std::ptrdiff_t(at));
    for (size_t i = 64; i < at; i += 32) {
        const auto e = ShortEntryOf("FILE    TXT", kAttrArchive, 13, 10);
        std::copy(e.begin(), e.end(), full.begin() + std::ptrdiff_t(i));
    }
    const DirectoryBlockScan cut = ScanDirectoryBlock(full);
    ASSERT_TRUE(cut.hasTail);
    EXPECT_EQ(cut.tailOffset, at);
    EXPECT_FALSE(cut.endMarker);
    const auto next = Sector({ShortEntryOf("ARATHE~1TXT", kAttrArchive, 20, 99)});
    EXPECT_TRUE(ContinuesLongName(next, cut.tailChecksum, false));
    EXPECT_FALSE(ContinuesLongName(next, uint8_t(cut.tailChecksum + 1), false));
    // A deleted 8.3 entry has lost its checksum: only a sector right after the pieces may
    // carry the name on with it.
    auto deleted = next;
    deleted[0] = kEntryDeleted;
    EXPECT_FALSE(ContinuesLongName(deleted, cut.tailChecksum, false));
    EXPECT_TRUE(ContinuesLongName(deleted, cut.tailChecksum, true));
    // Joined, the pieces and their entry give one file with the whole name.
    std::vector<uint8_t> joined(full.begin() + std::ptrdiff_t(at), full.end());
    joined.insert(joined.end(), next.begin(), next.end());
    const DirectoryBlockScan whole = ScanDirectoryBlock(joined);
    ASSERT_EQ(whole.entries.size(), 1u);
    EXPECT_EQ(whole.entries[0].name, "A rather long file name.txt");
}

// A directory that went on in another cluster may start with the lower pieces of a name whose
// upper pieces were in a cluster since overwritten; pieces of another entry's name do not
// name a live entry either. The 8.3 name stands then; a deleted entry keeps what it has.
TEST(DirectoryScan, LiveEntriesTakeOnlyWholeLongNamesWithTheirChecksum) {
    const auto pieces = LongNameOf("Holiday photo from the lake.jpg", "HOLIDA~1JPG");
    ASSERT_EQ(pieces.size(), 3u * 32);
    const auto entry = ShortEntryOf("HOLIDA~1JPG", kAttrArchive, 40, 5000);
    const auto names = [](const std::vector<uint8_t>& block) {
        std::vector<std::string> out;
        for (const FoundDirEntry& f : ScanDirectoryBlock(block).entries) out.push_back(f.name);
        return out;
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(names(Sector({pieces, entry})), Names{"Holiday photo from the lake.jpg"});
    // The lower two pieces only: the piece with the end of the name is missing.
    const std::vector<uint8_t> lower(pieces.begin() + 32, pieces.end());
    EXPECT_EQ(names(Sector({lower, entry})), Names{"holida~1.jpg"});
    // Whole, but of another 8.3 entry.
    const auto other = ShortEntryOf("OTHER   JPG", kAttrArchive, 41, 5000);
    EXPECT_EQ(names(Sector({pieces, other})), Names{"other.jpg"});
    // Deleted: the sequence bytes are gone, the pieces are taken as they come.
    auto deletedLower = lower;
    deletedLower[0] = deletedLower[32] = kEntryDeleted;
    auto deletedEntry = entry;
    deletedEntry[0] = kEntryDeleted;
    EXPECT_EQ(names(Sector({deletedLower, deletedEntry})), Names{"Holiday photo from the lak"});
}

TEST(DirectoryScan, RootSectorsAndSubfolderStartsAreToldApart) {
    const auto root = Sector({ShortEntryOf("MY CARD    ", kAttrVolumeLabel, 0, 0),
                              ShortEntryOf("DCIM       ", kAttrDirectory, 3, 0)});
    EXPECT_TRUE(ScanDirectoryBlock(root).startsWithVolumeLabel);
    EXPECT_TRUE(ReadDotSector(root).volumeLabelFirst);
    EXPECT_FALSE(ReadDotSector(root).opensFolder);

    auto sub = Sector({DotPairOf(0x12345, 0x2)});
    const DotSectorInfo info = ReadDotSector(sub);
    EXPECT_TRUE(info.opensFolder);
    EXPECT_EQ(info.selfCluster, 0x12345u);
    EXPECT_EQ(info.parentCluster, 2u);
    sub[1] = 'X';  // ".X" is a name, not the "." entry
    EXPECT_FALSE(ReadDotSector(sub).opensFolder);
    EXPECT_FALSE(ReadDotSector(std::vector<uint8_t>(40, '.')).opensFolder);
}

}  // namespace
}  // namespace norvale
