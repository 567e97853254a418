#include "device/rescue_map.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace norvale {
namespace {

using testing::RunShell;
using testing::TempDir;

// The map as one status character per byte, for comparing against a plain model.
std::string Expand(const RescueMap& map) {
    std::string bytes;
    for (const MapBlock& b : map.Blocks()) bytes.append(b.size, static_cast<char>(b.status));
    return bytes;
}

void ExpectWellFormed(const RescueMap& map) {
    uint64_t pos = 0;
    for (size_t i = 0; i < map.Blocks().size(); ++i) {
        const MapBlock& b = map.Blocks()[i];
        ASSERT_EQ(b.pos, pos) << "block " << i;
        ASSERT_GT(b.size, 0u) << "block " << i;
        if (i > 0) {
            ASSERT_NE(b.status, map.Blocks()[i - 1].status) << "block " << i;
        }
        pos = b.End();
    }
}

TEST(RescueMapText, ReadsWhatDdrescueWrites) {
    // The layout of a ddrescue run interrupted while trimming, with every block status, an
    // annotated line, CRLF endings and numbers in all three C notations.
    const std::string text =
        "# Mapfile. Created by GNU ddrescue version 1.27\r\n"
        "# Command line: ddrescue /dev/sdb card.img card.map\r\n"
        "# current_pos  current_status  current_pass\r\n"
        "0x00120000     *               3\r\n"
        "#      pos        size  status\r\n"
        "0x00000000  0x00117000  +\r\n"
        "0x00117000  0x00000200  -   # 1.14 MB  512 B\r\n"
        "1143296     05000       /\r\n"
        "0x00117C00  0x00000400  *\r\n"
        "\r\n"
        "0x00118000  0x00008000  ?\r\n";
    RescueMap map;
    MapParseError error;
    ASSERT_TRUE(ParseRescueMap(text, map, &error)) << error.line << ": " << error.message;
    EXPECT_EQ(map.currentPos, 0x120000u);
    EXPECT_EQ(map.currentStatus, '*');
    EXPECT_EQ(map.currentPass, 3);
    const std::vector<MapBlock> expected = {
        {0x000000, 0x117000, BlockStatus::kFinished}, {0x117000, 0x200, BlockStatus::kBadSector},
        {0x117200, 0xA00, BlockStatus::kNonScraped},  // 1143296 = 0x117200, 05000 = 0xA00
        {0x117C00, 0x400, BlockStatus::kNonTrimmed},  {0x118000, 0x8000, BlockStatus::kNonTried},
    };
    // Read as decimal, the octal size would leave a gap before the next block and fail.
    EXPECT_EQ(map.Blocks(), expected);
}

TEST(RescueMapText, ReadsTheMapOfARealDdrescueRun) {
    if (!testing::HaveTool("ddrescue")) GTEST_SKIP() << "ddrescue (package gddrescue) missing";
    TempDir dir;
    testing::WriteFileBytes(dir / "src.bin", std::vector<uint8_t>(70000, 0x5A));
    ASSERT_EQ(RunShell("ddrescue -q '" + dir / "src.bin" + "' '" + dir / "out.bin" + "' '" +
                       dir / "out.map" + "'"),
              0);
    const auto bytes = testing::ReadFileBytes(dir / "out.map");
    RescueMap map;
    ASSERT_TRUE(ParseRescueMap(std::string(bytes.begin(), bytes.end()), map));
    EXPECT_EQ(map.currentStatus, '+');
    ASSERT_EQ(map.Blocks().size(), 1u);
    EXPECT_EQ(map.Blocks()[0], (MapBlock{0, 70000, BlockStatus::kFinished}));
}

TEST(RescueMapText, RefusesDamagedMapsNamingTheLine) {
    struct Case {
        const char* text;
        size_t line;
    } cases[] = {
        {"", 0},                                // no status line at all
        {"# only comments\n", 0},               //
        {"0 x\n", 1},                           // unknown current status
        {"0 ? 0\n", 1},                         // pass 0
        {"0 ?\n0 10 +\n10 10 !\n", 3},          // unknown block status
        {"0 ?\n0 10 +\n5 10 -\n", 3},           // overlap
        {"0 ?\n0 10 +\n11 10 -\n", 3},          // gap
        {"0 ?\n0 0 +\n", 2},                    // empty block
        {"0 ?\n0 10\n", 2},                     // missing status
        {"0 ?\n0 10 + extra\n", 2},             // trailing field
        {"0 ?\n-1 10 +\n", 2},                  // negative
        {"0 ?\n0x 10 +\n", 2},                  // prefix without digits
        {"0 ?\n08 10 +\n", 2},                  // not octal
        {"0 ?\n0 0x10000000000000000 +\n", 2},  // overflows 64 bits
        {"0 ?\n0xFFFFFFFFFFFFFFFF 2 +\n", 2},   // end past 2^64
    };
    for (const Case& c : cases) {
        RescueMap map;
        MapParseError error;
        EXPECT_FALSE(ParseRescueMap(c.text, map, &error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_FALSE(error.message.empty()) << c.text;
    }
}

TEST(RescueMapText, FillsTheStartAndMergesEqualNeighbours) {
    RescueMap map;
    ASSERT_TRUE(ParseRescueMap("0 +\n100 50 +\n150 50 +\n200 10 ?\n", map));
    ASSERT_EQ(map.Blocks().size(), 3u);
    EXPECT_EQ(map.Blocks()[0], (MapBlock{0, 100, BlockStatus::kNonTried}));
    EXPECT_EQ(map.Blocks()[1], (MapBlock{100, 100, BlockStatus::kFinished}));
    EXPECT_EQ(map.Blocks()[2], (MapBlock{200, 10, BlockStatus::kNonTried}));
}

TEST(RescueMapText, WrittenMapReadsBackAndDdrescuelogAgrees) {
    RescueMap map(1 << 20);
    map.SetStatus(0, 4096, BlockStatus::kFinished);
    map.SetStatus(4096, 512, BlockStatus::kBadSector);
    map.SetStatus(4608, 8192, BlockStatus::kFinished);
    map.SetStatus(65536, 1024, BlockStatus::kBadSector);
    map.currentPos = 12800;
    map.currentStatus = '?';
    map.currentPass = 2;
    const std::string text = FormatRescueMap(map);
    RescueMap back;
    ASSERT_TRUE(ParseRescueMap(text, back)) << text;
    EXPECT_EQ(back.Blocks(), map.Blocks());
    EXPECT_EQ(back.currentPos, map.currentPos);
    EXPECT_EQ(back.currentPass, 2);

    if (!testing::HaveTool("ddrescuelog")) GTEST_SKIP() << "ddrescuelog (gddrescue) missing";
    TempDir dir;
    testing::WriteFileBytes(dir / "m.map", std::vector<uint8_t>(text.begin(), text.end()));
    std::string bad;
    ASSERT_EQ(RunShell("ddrescuelog -b512 -l- '" + dir / "m.map" + "'", &bad), 0) << bad;
    EXPECT_EQ(bad, "8\n128\n129\n");
}

// Random status changes on a small map, checked byte for byte against a plain array: catches
// any split or merge that loses, shifts or duplicates a range.
TEST(RescueMapEdit, RandomEditsMatchAByteModel) {
    constexpr uint64_t kSize = 2048;
    const BlockStatus statuses[] = {BlockStatus::kNonTried, BlockStatus::kFinished,
                                    BlockStatus::kBadSector, BlockStatus::kNonTrimmed};
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        RescueMap map(kSize);
        std::string model(kSize, '?');
        for (int step = 0; step < 300; ++step) {
            const uint64_t pos = rng() % kSize;
            // Mostly short ranges, some past the end (cut at it), some extending the previous
            // range as the copier does.
            uint64_t size = rng() % 5 == 0 ? rng() % (2 * kSize) : 1 + rng() % 64;
            const BlockStatus s = statuses[rng() % 4];
            map.SetStatus(pos, size, s);
            size = std::min(size, kSize - pos);
            model.replace(pos, size, size, static_cast<char>(s));
            ASSERT_NO_FATAL_FAILURE(ExpectWellFormed(map));
            ASSERT_EQ(Expand(map), model) << "round " << round << " step " << step;
        }
    }
}

}  // namespace
}  // namespace norvale
