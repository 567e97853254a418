// The committed FAT12 card: chains and deleted entries against what mtools reported when the
// card was made (scripts/make-fat-fixtures.sh). Needs no formatting tools.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "engine/text_codec.h"
#include "fat/fat_test_media.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::TempDir;

struct Fact {
    std::string kind;  // "live" or "deleted"
    std::string path;
    uint32_t size = 0;
    std::vector<uint32_t> clusters;  // the chain, or only the first cluster of a deleted file
};

std::vector<Fact> ReadFacts(const std::string& path) {
    std::vector<Fact> facts;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        Fact f;
        std::string size, clusters;
        std::getline(fields, f.kind, '\t');
        std::getline(fields, f.path, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, clusters);
        f.size = static_cast<uint32_t>(std::stoul(size));
        std::istringstream numbers(clusters);
        for (uint32_t c; numbers >> c;) f.clusters.push_back(c);
        facts.push_back(f);
    }
    return facts;
}

// Window sizes: the whole FAT at once, and two sectors, so that entries 341 and 682 straddle
// a sector boundary and the window's end.
class FixtureCard : public ::testing::TestWithParam<uint32_t> {};

TEST_P(FixtureCard, ChainsAndDeletedEntriesMatchWhatMtoolsWrote) {
    const std::string fixtures = testing::SourceDir() + "/tests/fixtures/fat/";
    TempDir dir;
    ASSERT_EQ(
        testing::Run("gzip -dc '" + fixtures + "fat12_card.img.gz' > '" + (dir / "card.img") + "'"),
        0);
    const auto facts = ReadFacts(fixtures + "fat12_card.txt");
    ASSERT_EQ(facts.size(), 11u);

    auto v = testing::OpenImage(dir / "card.img", GetParam());
    ASSERT_TRUE(v);
    ASSERT_TRUE(IsFatBootSector(testing::ReadBootBlock(dir / "card.img")));
    ASSERT_EQ(v->geometry.kind, FatKind::Fat12);
    const auto tree = testing::ListTree(*v, true);

    for (const Fact& f : facts) {
        SCOPED_TRACE(f.path);
        // 8.3 names show lowered; long names as written.
        const auto it = std::find_if(tree.begin(), tree.end(), [&](const auto& kv) {
            return EqualsNoCase(kv.first, f.path);
        });
        ASSERT_NE(it, tree.end());
        const auto& e = it->second;
        EXPECT_EQ(e.entry.fileSize, f.size);
        if (f.kind == "live") {
            EXPECT_FALSE(e.entry.IsDeleted());
            EXPECT_EQ(testing::WalkChain(*v->table, e.firstCluster), f.clusters);
        } else {
            EXPECT_TRUE(e.entry.IsDeleted());
            ASSERT_EQ(f.clusters.size(), 1u);
            EXPECT_EQ(e.firstCluster, f.clusters[0]);
        }
    }
    // Real directory sectors pass the block tests the formatted-media scan routes by: the
    // root (volume label, long names, deleted entries) as a block, subfolders by their "."
    // and ".." pair and by the entries after it.
    const auto root = testing::ReadDirectory(*v, 0);
    EXPECT_TRUE(IsDirectoryBlock(std::span(root).first(512)));
    for (const char* folder : {"/dcim", "/dcim/100card", "/Old album"}) {
        ASSERT_TRUE(tree.count(folder)) << folder;
        const auto sector = testing::ReadDirectory(*v, tree.at(folder).firstCluster);
        EXPECT_TRUE(IsDotEntryPair(sector)) << folder;
        EXPECT_TRUE(IsPlausibleEntry(sector)) << folder;
        EXPECT_TRUE(IsDirectoryBlock(std::span(sector).subspan(64, 512 - 64))) << folder;
    }
    // The deleted folder shows with its long name and its content.
    ASSERT_TRUE(tree.count("/Old album"));
    EXPECT_TRUE(tree.at("/Old album").entry.IsDeleted());
    const auto& video = facts[5].clusters;
    ASSERT_EQ(facts[5].path, "/video.mp4");
    EXPECT_NE(std::find(video.begin(), video.end(), 341u), video.end());
    EXPECT_NE(std::find(video.begin(), video.end(), 682u), video.end());
}

INSTANTIATE_TEST_SUITE_P(Windows, FixtureCard, ::testing::Values(FatTable::kWindowBytes, 1024u));

}  // namespace
}  // namespace norvale
