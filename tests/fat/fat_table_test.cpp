// Cluster chains: real fragmented files against what mtools reports (FAT12 entries across
// sector and window edges included), the recovery rule for cleared entries, loops, random
// FAT content, read failures and a FAT that the medium only partly holds.

#include "fat/fat_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>

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

// Files written, some deleted, then a large file that fills the holes: every chain, the
// fragmented one included, must come out exactly as mtools wrote it.
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
    const auto tree = testing::ListTree(*v, false);
    ASSERT_EQ(tree.size(), 5u);  // f0, f2, f4, sub, sub/big.bin
    for (const auto& [path, e] : tree) {
        if (!e.entry.IsDirectory()) {
            EXPECT_EQ(WalkChain(*v->table, e.firstCluster), MtoolsChain(image, path)) << path;
        }
    }
    const auto expected = MtoolsChain(image, "/sub/big.bin");
    ASSERT_EQ(expected.size(), (600000 + v->geometry.clusterBytes - 1) / v->geometry.clusterBytes);
    ASSERT_NE(std::adjacent_find(expected.begin(), expected.end(),
                                 [](auto a, auto b) { return b != a + 1; }),
              expected.end())
        << "the big file did not fill the holes";
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
    void Set(uint32_t cluster, uint32_t value) {  // FAT16 and FAT32 volumes
        const uint32_t width = geometry_.kind == FatKind::Fat32 ? 4 : 2;
        for (uint32_t i = 0; i < width; ++i) {
            bytes_[FatByte(uint64_t{cluster} * width) + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    }
    std::unique_ptr<testing::OpenedVolume> Open(uint32_t windowBytes = FatTable::kWindowBytes) {
        return testing::OpenBytes(bytes_, windowBytes);
    }

    TempDir dir_;
    std::vector<uint8_t> bytes_;
    FatGeometry geometry_;
};

TEST_F(HandMadeFat, ClearedEntriesContinueIntoFreeClustersAndStrayLinksEndTheChain) {
    ASSERT_NO_FATAL_FAILURE(Format("-F 16 -s 1", 16384));
    const uint32_t last = LastCluster(geometry_);
    const std::pair<uint32_t, uint32_t> entries[] = {
        {100, 0},   {101, 0},       // cleared, next cleared too: the file went on contiguously
        {200, 0},   {201, 0xFFFF},  // cleared, next in use by another file: the chain ends
        {300, 400}, {400, 0xFFF8},  {10, 0xFFF7} /* bad-cluster mark */,
        {11, 1},    {12, last + 1}, {13, last},
        {20, 21},   {21, 22},       {22, 20} /* a loop */};
    for (const auto& [cluster, value] : entries) Set(cluster, value);
    auto v = Open();
    const std::pair<uint32_t, uint32_t> next[] = {{100, 101}, {200, 0}, {300, 400}, {400, 0},
                                                  {10, 0},    {11, 0},  {12, 0},    {13, last},
                                                  {last, 0},  {0, 0},   {1, 0}};
    for (const auto& [cluster, expected] : next) {
        EXPECT_EQ(v->table->NextCluster(cluster), expected) << "after " << cluster;
    }
    ChainWalk walk(*v->table, 20);
    std::vector<uint32_t> seen;
    for (; !walk.Done(); walk.Next()) seen.push_back(walk.Cluster());
    EXPECT_EQ(seen, (std::vector<uint32_t>{20, 21, 22}));
    EXPECT_TRUE(walk.LoopFound());
    EXPECT_EQ(WalkChain(*v->table, 13), (std::vector<uint32_t>{13, last}));
}

TEST_F(HandMadeFat, Fat32IgnoresTheReservedTopBits) {
    ASSERT_NO_FATAL_FAILURE(Format("-F 32 -s 1", 40000));
    Set(50, 0xF0000064);
    Set(51, 0x1FFFFFF8);
    auto v = Open();
    uint32_t raw = 0;
    ASSERT_EQ(v->table->ReadFatEntry(50, raw), kOk);
    EXPECT_EQ(raw, 0xF0000064u);
    EXPECT_EQ(v->table->NextCluster(50), 100u);
    EXPECT_EQ(v->table->NextCluster(51), 0u);
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
