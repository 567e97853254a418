// Cluster chains: real fragmented files against what mtools reports, the recovery rule for
// cleared entries, FAT12 entries across sector and window edges, loops, read failures and a
// FAT that the medium only partly holds.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>

#include "device/bytes.h"
#include "fat/fat_table.h"
#include "fat/fat_test_media.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::HaveFatTools;
using testing::MakeFatImage;
using testing::Mtools;
using testing::MtoolsChain;
using testing::TempDir;
using testing::WalkChain;

void WriteRandomFile(const std::string& path, size_t size, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    testing::WriteFileBytes(path, bytes);
}

struct ChainCase {
    const char* name;
    const char* mkfsArgs;
    uint64_t sizeKiB;
    uint32_t windowBytes;
};

class FragmentedFileChain : public ::testing::TestWithParam<ChainCase> {};

// Files written, some deleted, then a large file that fills the holes: its chain jumps
// backwards and forwards, and every chain must come out exactly as mtools wrote it.
TEST_P(FragmentedFileChain, MatchesTheChainMtoolsWrote) {
    if (!HaveFatTools()) GTEST_SKIP() << "dosfstools/mtools not installed";
    TempDir dir;
    const std::string image = dir / "v.img";
    ASSERT_TRUE(MakeFatImage(image, GetParam().mkfsArgs, GetParam().sizeKiB));
    const size_t sizes[] = {3000, 5000, 3000, 1500, 9000, 700};
    for (size_t i = 0; i < std::size(sizes); ++i) {
        WriteRandomFile(dir / "f", sizes[i], static_cast<uint32_t>(i));
        ASSERT_TRUE(Mtools("mcopy -i " + image + " " + (dir / "f") + " ::/f" + std::to_string(i)));
    }
    ASSERT_TRUE(Mtools("mdel -i " + image + " ::/f1 ::/f3 ::/f5"));
    const FatGeometry formatted = LoadGeometry(testing::ReadBootBlock(image), 0, 0, 512);
    if (formatted.isFat32) {
        // Point the FSInfo hint back at the start so that mtools fills the holes on FAT32 too.
        testing::SetLe32(image, formatted.bytesPerSector + 0x1EC, 2);
    }
    ASSERT_TRUE(Mtools("mmd -i " + image + " ::/sub"));
    WriteRandomFile(dir / "big", 600000, 99);
    ASSERT_TRUE(Mtools("mcopy -i " + image + " " + (dir / "big") + " ::/sub/big.bin"));

    auto v = testing::OpenImage(image, GetParam().windowBytes);
    ASSERT_TRUE(v);
    const bool fat32 = v->geometry.isFat32;
    const auto root = testing::ListDirectory(testing::ReadDirectory(*v, v->geometry.rootCluster),
                                             fat32, false);
    ASSERT_EQ(root.size(), 4u);  // f0, f2, f4, sub
    for (const auto& entry : root) {
        if (entry.entry.IsDirectory()) continue;
        EXPECT_EQ(WalkChain(*v->table, entry.firstCluster), MtoolsChain(image, "/" + entry.name))
            << entry.name;
    }
    const auto sub = std::find_if(root.begin(), root.end(), [](auto& e) { return e.name == "sub"; });
    ASSERT_NE(sub, root.end());
    const auto inSub = testing::ListDirectory(testing::ReadDirectory(*v, sub->firstCluster), fat32,
                                              false);
    ASSERT_EQ(inSub.size(), 1u);
    const auto expected = MtoolsChain(image, "/sub/big.bin");
    ASSERT_EQ(expected.size(), (600000 + v->geometry.clusterBytes - 1) / v->geometry.clusterBytes);
    const bool contiguous = std::adjacent_find(expected.begin(), expected.end(), [](auto a, auto b) {
                                return b != a + 1;
                            }) == expected.end();
    ASSERT_FALSE(contiguous) << "the big file did not fill the holes";
    EXPECT_EQ(WalkChain(*v->table, inSub[0].firstCluster), expected);
    if (v->geometry.kind == FatKind::Fat12) {
        // The chain passes clusters whose 12-bit entries straddle a sector boundary (341) and,
        // with the 1 KiB window, the window's end (682).
        EXPECT_NE(std::find(expected.begin(), expected.end(), 341u), expected.end());
        EXPECT_NE(std::find(expected.begin(), expected.end(), 682u), expected.end());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Mtools, FragmentedFileChain,
    ::testing::Values(ChainCase{"Fat12", "-F 12 -s 1", 2000, FatTable::kWindowBytes},
                      ChainCase{"Fat12SmallWindow", "-F 12 -s 1", 2000, 1024},
                      ChainCase{"Fat16", "-F 16 -s 1", 16384, FatTable::kWindowBytes},
                      ChainCase{"Fat16SmallWindow", "-F 16 -s 1", 16384, 1024},
                      ChainCase{"Fat32", "-F 32 -s 1", 40000, FatTable::kWindowBytes},
                      ChainCase{"Fat32With4KSectors", "-F 32 -S 4096 -s 1", 300000, 8192}),
    [](const auto& info) { return std::string(info.param.name); });

// A freshly formatted volume held in memory, whose FAT entries a test sets by hand.
class HandMadeFat : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveFatTools()) GTEST_SKIP() << "dosfstools/mtools not installed";
    }
    void Format(const std::string& mkfsArgs, uint64_t sizeKiB) {
        std::filesystem::remove(dir_ / "v.img");
        ASSERT_TRUE(MakeFatImage(dir_ / "v.img", mkfsArgs, sizeKiB));
        bytes_ = testing::ReadFileBytes(dir_ / "v.img");
        geometry_ = LoadGeometry(bytes_, 0, bytes_.size() / 512, 512);
    }
    size_t FatByte(uint64_t offset) const {
        return geometry_.fatStartLba * geometry_.bytesPerSector + offset;
    }
    void Set(uint32_t cluster, uint32_t value) {
        switch (geometry_.kind) {
            case FatKind::Fat12: {
                uint8_t* p = &bytes_[FatByte(cluster + cluster / 2)];
                uint16_t pair = Le16(p);
                pair = (cluster & 1) ? static_cast<uint16_t>((pair & 0x000F) | (value << 4))
                                     : static_cast<uint16_t>((pair & 0xF000) | (value & 0x0FFF));
                p[0] = static_cast<uint8_t>(pair);
                p[1] = static_cast<uint8_t>(pair >> 8);
                break;
            }
            case FatKind::Fat16:
                bytes_[FatByte(cluster * 2)] = static_cast<uint8_t>(value);
                bytes_[FatByte(cluster * 2) + 1] = static_cast<uint8_t>(value >> 8);
                break;
            case FatKind::Fat32:
                for (int i = 0; i < 4; ++i) {
                    bytes_[FatByte(cluster * 4) + i] = static_cast<uint8_t>(value >> (8 * i));
                }
                break;
        }
    }
    std::unique_ptr<testing::OpenedVolume> Open(uint32_t windowBytes = FatTable::kWindowBytes) {
        return testing::OpenBytes(bytes_, windowBytes);
    }

    TempDir dir_;
    std::vector<uint8_t> bytes_;
    FatGeometry geometry_;
};

TEST_F(HandMadeFat, ClearedEntriesContinueOnlyIntoFreeClusters) {
    ASSERT_NO_FATAL_FAILURE(Format("-F 16 -s 1", 16384));
    Set(100, 0);  // cleared, next cleared too: the file went on contiguously
    Set(101, 0);
    Set(200, 0);  // cleared, next in use by another file: the chain ends
    Set(201, 0xFFFF);
    Set(300, 400);
    Set(400, 0xFFF8);
    auto v = Open();
    EXPECT_EQ(v->table->NextCluster(100), 101u);
    EXPECT_EQ(v->table->NextCluster(200), 0u);
    EXPECT_EQ(v->table->NextCluster(300), 400u);
    EXPECT_EQ(v->table->NextCluster(400), 0u);
    // The volume's last cluster has no next one, cleared or not.
    EXPECT_EQ(v->table->NextCluster(LastCluster(v->geometry)), 0u);
}

TEST_F(HandMadeFat, LinksOutOfTheDataAreaEndTheChain) {
    ASSERT_NO_FATAL_FAILURE(Format("-F 16 -s 1", 16384));
    Set(10, 0xFFF7);  // bad-cluster mark
    Set(11, 1);
    Set(12, LastCluster(geometry_) + 1);
    Set(13, LastCluster(geometry_));
    auto v = Open();
    EXPECT_EQ(v->table->NextCluster(10), 0u);
    EXPECT_EQ(v->table->NextCluster(11), 0u);
    EXPECT_EQ(v->table->NextCluster(12), 0u);
    EXPECT_EQ(v->table->NextCluster(13), LastCluster(geometry_));
    EXPECT_EQ(v->table->NextCluster(0), 0u);
    EXPECT_EQ(v->table->NextCluster(1), 0u);
}

TEST_F(HandMadeFat, Fat32IgnoresTheReservedTopBits) {
    ASSERT_NO_FATAL_FAILURE(Format("-F 32 -s 1", 40000));
    Set(50, 0xF0000064);
    Set(51, 0x1FFFFFF8);
    Set(52, 0x0FFFFFF7);
    auto v = Open();
    uint32_t raw = 0;
    ASSERT_EQ(v->table->ReadFatEntry(50, raw), kOk);
    EXPECT_EQ(raw, 0xF0000064u);
    EXPECT_EQ(v->table->NextCluster(50), 100u);
    EXPECT_EQ(v->table->NextCluster(51), 0u);
    EXPECT_EQ(v->table->NextCluster(52), 0u);
}

TEST_F(HandMadeFat, Fat12EntriesAcrossSectorAndWindowEdgesKeepTheirNeighbours) {
    ASSERT_NO_FATAL_FAILURE(Format("-F 12 -s 1", 2000));
    // 341 and 682 straddle the first sector boundary and the end of a two-sector window.
    const uint32_t values[][2] = {{340, 0xABC}, {341, 0x123}, {342, 0xFED},
                                  {681, 0x456}, {682, 0x789}, {683, 0xFF8}};
    for (const auto& [cluster, value] : values) Set(cluster, value);
    for (uint32_t window : {FatTable::kWindowBytes, 1024u}) {
        auto v = Open(window);
        for (const auto& [cluster, value] : values) {
            uint32_t got = 0;
            ASSERT_EQ(v->table->ReadFatEntry(cluster, got), kOk);
            EXPECT_EQ(got, value) << "cluster " << cluster << " window " << window;
        }
        EXPECT_EQ(v->table->NextCluster(683), 0u);  // 0xFF8 ends a FAT12 chain
    }
}

TEST_F(HandMadeFat, LoopsEndTheWalkWithEveryClusterOnce) {
    ASSERT_NO_FATAL_FAILURE(Format("-F 16 -s 1", 16384));
    Set(10, 11);
    Set(11, 12);
    Set(12, 10);
    Set(20, 20);
    auto v = Open();
    ChainWalk walk(*v->table, 10);
    std::vector<uint32_t> seen;
    for (; !walk.Done(); walk.Next()) seen.push_back(walk.Cluster());
    EXPECT_EQ(seen, (std::vector<uint32_t>{10, 11, 12}));
    EXPECT_TRUE(walk.LoopFound());
    EXPECT_EQ(WalkChain(*v->table, 20), (std::vector<uint32_t>{20}));
    EXPECT_EQ(WalkChain(*v->table, 10).size(), 3u);

    ChainWalk bounded(*v->table, 10, 2);
    bounded.Next();
    bounded.Next();
    EXPECT_TRUE(bounded.Done());
    EXPECT_FALSE(bounded.LoopFound());
}

TEST_F(HandMadeFat, RandomFatContentNeverTrapsAWalk) {
    for (const auto& [args, size] : {std::pair{"-F 12 -s 1", 2000}, {"-F 16 -s 1", 4096}}) {
        ASSERT_NO_FATAL_FAILURE(Format(args, size));
        std::mt19937 rng(11);
        const size_t fatBytes = size_t{geometry_.fatSectors} * geometry_.bytesPerSector;
        for (size_t i = 0; i < fatBytes; ++i) {
            // Many zero bytes, so the cleared-entry rule gets exercised too.
            bytes_[FatByte(i)] = rng() % 3 == 0 ? 0 : static_cast<uint8_t>(rng());
        }
        auto v = Open(1024);
        for (uint32_t first = 0; first <= LastCluster(geometry_) + 1; ++first) {
            const auto chain = WalkChain(*v->table, first);
            const std::set<uint32_t> distinct(chain.begin(), chain.end());
            ASSERT_EQ(distinct.size(), chain.size()) << args << " from " << first;
            for (uint32_t c : chain) ASSERT_TRUE(IsDataCluster(geometry_, c));
        }
    }
}

TEST_F(HandMadeFat, WithoutAWindowChainsRunContiguouslyToTheLastCluster) {
    ASSERT_NO_FATAL_FAILURE(Format("-F 16 -s 1", 16384));
    auto v = Open();
    FatTable unloaded(v->reader, v->geometry);  // never loaded: no window
    EXPECT_FALSE(unloaded.HasWindow());
    EXPECT_EQ(WalkChain(unloaded, 2).size(), v->geometry.clusterCount);
    EXPECT_EQ(WalkChain(unloaded, LastCluster(v->geometry)).size(), 1u);
}

TEST_F(HandMadeFat, UnreadableFatSectorFailsItsEntriesAndKeepsTheWindow) {
    ASSERT_NO_FATAL_FAILURE(Format("-F 16 -s 1", 16384));
    Set(10, 11);
    Set(11, 0xFFFF);
    const uint64_t badSector = geometry_.fatStartLba + 3;  // entries 768..1023
    auto faulty = std::make_unique<FaultySource>(std::make_unique<MemorySource>(bytes_),
                                                 std::set<uint64_t>{badSector});
    FaultySource* probe = faulty.get();
    auto v = testing::OpenVolume(std::move(faulty), 1024);
    ASSERT_TRUE(v->table->HasWindow());

    uint32_t value = 0;
    EXPECT_EQ(v->table->ReadFatEntry(900, value), kErrReadFault);
    const uint64_t callsAfterFailure = probe->ReadCalls();
    ASSERT_EQ(v->table->ReadFatEntry(10, value), kOk);  // still served by the old window
    EXPECT_EQ(value, 11u);
    EXPECT_EQ(probe->ReadCalls(), callsAfterFailure);
    // Unreadable entries count as cleared: the chain is taken to run on contiguously.
    EXPECT_EQ(v->table->NextCluster(900), 901u);
    EXPECT_EQ(WalkChain(*v->table, 10), (std::vector<uint32_t>{10, 11}));
}

TEST_F(HandMadeFat, FatCutShortByTheMediumIsReadAsFarAsItGoes) {
    ASSERT_NO_FATAL_FAILURE(Format("-F 16 -s 1", 16384));
    Set(5, 6);
    Set(6, 0xFFFF);
    Set(300, 301);  // in the FAT's second sector
    const FatGeometry whole = geometry_;
    std::vector<uint8_t> cut(bytes_.begin(),
                             bytes_.begin() + (whole.fatStartLba + 2) * whole.bytesPerSector);
    SectorReader reader;
    reader.Attach(std::make_unique<MemorySource>(cut));
    FatTable table(reader, whole);
    EXPECT_EQ(table.Load(), kOk);
    EXPECT_EQ(table.SectorsLoaded(), 2u);
    uint32_t value = 0;
    ASSERT_EQ(table.ReadFatEntry(300, value), kOk);
    EXPECT_EQ(value, 301u);
    EXPECT_EQ(WalkChain(table, 5), (std::vector<uint32_t>{5, 6}));
    EXPECT_NE(table.ReadFatEntry(2000, value), kOk);  // past what the medium holds
}

TEST(FatTableOnCorpus, LoopingDirectoryTreeIsWalkedToAnEnd) {
    NORVALE_REQUIRE_CORPUS();
    TempDir dir;
    const std::string image = testing::CorpusImage("fat32_loop.raw.gz", dir.Path());
    ASSERT_FALSE(image.empty());
    auto v = testing::OpenImage(image);
    ASSERT_TRUE(v);
    // Every folder entry, live or deleted, is entered once; the walk must come to an end.
    const auto tree = testing::ListTree(*v, true);
    EXPECT_TRUE(tree.count("/test_dir/1/11"));
    EXPECT_TRUE(tree.count("/test_dir/n80"));
    // A live folder entry that names the deleted folder "4" a second time.
    ASSERT_TRUE(tree.count("/test_dir/n40/4"));
    EXPECT_EQ(tree.at("/test_dir/n40/4").firstCluster, tree.at("/test_dir/4").firstCluster);
}

}  // namespace
}  // namespace norvale
