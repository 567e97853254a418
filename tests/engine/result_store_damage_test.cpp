// Damaged and failing logs: whatever is left of a store is read without crashing or hanging,
// every whole record survives, and write failures are reported rather than lost.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "engine/result_store.h"
#include "engine/store_test_helpers.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::AddRecord;
using testing::FileSize;
using testing::NamesOf;
using testing::TempDir;
using testing::TruncateAt;
using Names = std::vector<std::string>;
using ChildMap = std::map<ChildKey, std::vector<int32_t>>;

void WriteText(const std::string& path, const std::string& text) {
    testing::WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// ---- Relation text ----

ChildMap Parse(std::string_view text) {
    ChildMap m;
    ParseRelationText(text, m);
    return m;
}

TEST(RelationText, GarbageBetweenEntriesKeepsEveryWholeEntry) {
    const ChildMap m = Parse(" | 5 - [1,2] | garbage | 4294967297 - [3] |||| 7 - [4,x] | 8 - [");
    EXPECT_EQ(m, (ChildMap{{ChildKey{5, 0}, {1, 2}}, {ChildKey{1, 1}, {3}}}));
}

TEST(RelationText, CutOffTailDropsOnlyTheLastEntry) {
    const std::string full = " | 1 - [10,11] | 2 - [12,13]";
    for (size_t cut = 14; cut < full.size(); ++cut) {
        const ChildMap m = Parse(full.substr(0, cut));
        EXPECT_EQ(m, (ChildMap{{ChildKey{1, 0}, {10, 11}}})) << "cut at " << cut;
    }
    EXPECT_EQ(Parse(full).size(), 2u);
}

TEST(RelationText, NumbersOutOfRangeRejectTheirEntry) {
    EXPECT_TRUE(Parse(" | 18446744073709551616 - [1]").empty());  // 2^64
    EXPECT_TRUE(Parse(" | 1 - [2147483648]").empty());            // past int32
    EXPECT_TRUE(Parse(" | 1 - []").empty());
    EXPECT_EQ(Parse(" | 18446744073709551615 - [-1]"),
              (ChildMap{{ChildKey{0xFFFFFFFF, 0xFFFFFFFF}, {-1}}}));
}

TEST(RelationText, RepeatedKeyKeepsBothLists) {
    EXPECT_EQ(Parse(" | 3 - [1] | 3 - [2]"), (ChildMap{{ChildKey{3, 0}, {1, 2}}}));
}

TEST(RelationText, FormattedTextParsesBackToTheSameMap) {
    const ChildMap m{{ChildKey{0, 0}, {1}},
                     {ChildKey{0xFFFFFFFF, 7}, {2, -3, 2147483647}},
                     {ChildKey{9, 1}, {4, 5, 6}}};
    EXPECT_EQ(Parse(FormatRelationText(m)), m);
}

// ---- Damaged files under a reopened store ----

class DamagedLog : public ::testing::Test {
  protected:
    // Root (key 2): five files; folder "F" (key 9) holds two more.
    void SetUp() override {
        ResultStore store;
        ASSERT_EQ(store.Open(dir.Path(), "S"), kOk);
        for (const char* n : {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt"})
            store.LinkChild(2, 0, AddRecord(store, n, false, 0), 0, nullptr);
        store.LinkChild(2, 0, AddRecord(store, "F", true, 9), 9, "F");
        store.LinkChild(9, 1, AddRecord(store, "g.txt", false, 0), 0, nullptr);
        store.LinkChild(9, 1, AddRecord(store, "h.txt", false, 0), 0, nullptr);
        ASSERT_EQ(store.Close(), kOk);
    }
    std::string Data() const { return dir / "S"; }
    TempDir dir;
};

TEST_F(DamagedLog, ShortDataFileEndsListingAndKeepsRecordsBeforeTheCut) {
    TruncateAt(Data(), 2 * 346 + 100);
    ResultStore store;
    ASSERT_EQ(store.Open(dir.Path(), "S"), kOk);
    std::vector<RecoveredItem> out;
    EXPECT_EQ(store.ListChildren(0, 0, out), kErrRecordPastEnd);
    EXPECT_EQ(NamesOf(out), (Names{"a.txt", "b.txt"}));
    int32_t count = -1;
    EXPECT_EQ(store.CountFiles(0, 0, count), kErrRecordPastEnd);
    EXPECT_EQ(count, 2);
    out.clear();
    EXPECT_EQ(store.ListByType(".other|*.txt", out), 1);
    EXPECT_EQ(NamesOf(out), (Names{"a.txt", "b.txt"}));
}

TEST_F(DamagedLog, EmptyDataFileListsNothingWithoutFault) {
    TruncateAt(Data(), 0);
    ResultStore store;
    ASSERT_EQ(store.Open(dir.Path(), "S"), kOk);
    std::vector<RecoveredItem> out;
    EXPECT_EQ(store.ListChildren(9, 1, out), kErrRecordPastEnd);
    EXPECT_TRUE(out.empty());
    RecoveredItem folder{};
    EXPECT_EQ(store.FindFolderRecord(9, folder), kErrInvalidParameter);
}

TEST_F(DamagedLog, ZeroAndNegativeRecordNumbersAreSkipped) {
    WriteText(dir / "S_Relation", " | 2 - [0,-4,3,-2147483648,1]");
    ResultStore store;
    ASSERT_EQ(store.Open(dir.Path(), "S"), kOk);
    std::vector<RecoveredItem> out;
    EXPECT_EQ(store.ListChildren(0, 0, out), kOk);
    EXPECT_EQ(NamesOf(out), (Names{"a.txt", "c.txt"}));
}

TEST_F(DamagedLog, GarbageRelationFileOpensWithTheEntriesThatParse) {
    WriteText(dir / "S_Relation", "\x01\xff | 2 - [1,2] | 4294967305 - [7,oops] | zz");
    ResultStore store;
    ASSERT_EQ(store.Open(dir.Path(), "S"), kOk);
    std::vector<RecoveredItem> out;
    EXPECT_EQ(store.ListChildren(0, 0, out), kOk);
    EXPECT_EQ(NamesOf(out), (Names{"a.txt", "b.txt"}));
    out.clear();
    EXPECT_EQ(store.ListChildren(9, 1, out), kOk);  // the damaged list is simply absent
    EXPECT_TRUE(out.empty());
}

TEST_F(DamagedLog, TruncatedDirInfoKeepsWholeEntries) {
    TruncateAt(dir / "S_DirInfo", 100);
    ResultStore store;
    ASSERT_EQ(store.Open(dir.Path(), "S"), kOk);
    EXPECT_TRUE(store.DirInfo().empty());
    // The folder's name is then found in the data file.
    RecoveredItem item{};
    item.recordIndex = 7;
    std::string path;
    ASSERT_EQ(store.GetItemPath(item, path), kOk);
    EXPECT_EQ(path, "F/");
}

TEST_F(DamagedLog, UnterminatedNamesAreCutAtTheirField) {
    // Overwrite the name of record 1 and of the DirInfo entry with 260 non-NUL bytes.
    const std::string junk(260, 'Q');
    {
        auto data = testing::ReadFileBytes(Data());
        std::copy(junk.begin(), junk.end(), data.begin() + 86);
        testing::WriteFileBytes(Data(), data);
        auto info = testing::ReadFileBytes(dir / "S_DirInfo");
        std::copy(junk.begin(), junk.end(), info.begin() + 8);
        testing::WriteFileBytes(dir / "S_DirInfo", info);
    }
    ResultStore store;
    ASSERT_EQ(store.Open(dir.Path(), "S"), kOk);
    ASSERT_EQ(store.DirInfo().size(), 1u);
    EXPECT_EQ(std::string(store.DirInfo()[0].name), std::string(259, 'Q'));
    std::vector<RecoveredItem> out;
    ASSERT_EQ(store.ListChildren(0, 0, out), kOk);
    EXPECT_EQ(std::string(out[4].name), std::string(259, 'Q'));
    RecoveredItem item{};
    item.recordIndex = 8;
    std::string path;
    ASSERT_EQ(store.GetItemPath(item, path), kOk);
    EXPECT_EQ(path, std::string(259, 'Q') + "/");
}

TEST_F(DamagedLog, ShorterRewriteLeavesNoOldTail) {
    WriteText(dir / "S_Relation", " | 2 - [1] | 9 - [x] junk junk junk junk junk junk junk");
    {
        auto info = testing::ReadFileBytes(dir / "S_DirInfo");
        info.resize(info.size() + 2 * 268, 'Z');  // two bogus whole entries
        testing::WriteFileBytes(dir / "S_DirInfo", info);
    }
    ResultStore store;
    ASSERT_EQ(store.Open(dir.Path(), "S"), kOk);
    ASSERT_EQ(store.DirInfo().size(), 3u);
    store.LinkChild(2, 0, 2, 0, nullptr);
    ASSERT_EQ(store.Flush(), kOk);
    const auto rel = testing::ReadFileBytes(dir / "S_Relation");
    EXPECT_EQ(std::string(rel.begin(), rel.end()), " | 2 - [1,2]");
}

// ---- Cycles and blow-ups in the parent/child links ----

TEST(DamagedLinks, CyclicFolderParentsEndTheAncestorWalk) {
    TempDir dir;
    for (bool withNames : {true, false}) {
        ResultStore store;
        ASSERT_EQ(store.Open(dir.Path(), withNames ? "named" : "bare"), kOk);
        const int32_t a = AddRecord(store, "A", true, 10);
        const int32_t b = AddRecord(store, "B", true, 20);
        const int32_t x = AddRecord(store, "x.txt", false, 0);
        const int32_t r = AddRecord(store, "r.txt", false, 0);
        store.LinkChild(1, 0, r, 0, nullptr);                      // the root list
        store.LinkChild(20, 1, a, 10, withNames ? "A" : nullptr);  // A lives in B
        store.LinkChild(10, 1, b, 20, withNames ? "B" : nullptr);  // B lives in A
        store.LinkChild(10, 2, x, 0, nullptr);
        ASSERT_EQ(store.Flush(), kOk);
        RecoveredItem item{};
        item.recordIndex = x;
        std::vector<RecoveredItem> up;
        ASSERT_EQ(store.CollectAncestors(item, up), kOk);
        EXPECT_EQ(NamesOf(up), (Names{"A", "B"})) << (withNames ? "named" : "bare");
    }
}

TEST(DamagedLinks, FolderItsOwnParentEndsTheWalk) {
    TempDir dir;
    ResultStore store;
    ASSERT_EQ(store.Open(dir.Path(), "S"), kOk);
    store.LinkChild(1, 0, AddRecord(store, "r.txt", false, 0), 0, nullptr);
    const int32_t self = AddRecord(store, "Self", true, 30);
    store.LinkChild(30, 1, self, 30, "Self");
    ASSERT_EQ(store.Flush(), kOk);
    RecoveredItem item{};
    item.recordIndex = self;
    std::string path = "x";
    ASSERT_EQ(store.GetItemPath(item, path), kOk);
    EXPECT_EQ(path, "");
}

TEST(DamagedLinks, FolderLinkedTwicePerLevelIsCountedOnceNotExponentially) {
    TempDir dir;
    ResultStore store;
    ASSERT_EQ(store.Open(dir.Path(), "S"), kOk);
    // Each level's list holds the same folder (key 5) twice and one file. Followed naively the
    // walk doubles at every level: 2^60 visits.
    const int32_t folder = AddRecord(store, "Loop", true, 5);
    const int32_t file = AddRecord(store, "f.txt", false, 0);
    for (uint32_t level = 0; level < 60; ++level) {
        store.LinkChild(5, level, folder, 5, nullptr);
        store.LinkChild(5, level, folder, 5, nullptr);
        store.LinkChild(5, level, file, 0, nullptr);
    }
    ASSERT_EQ(store.Flush(), kOk);
    const auto start = std::chrono::steady_clock::now();
    int32_t count = 0;
    ASSERT_EQ(store.CountFiles(5, 0, count), kOk);
    EXPECT_EQ(count, 60);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(DamagedLinks, LevelWrapAroundCannotLoop) {
    TempDir dir;
    ResultStore store;
    ASSERT_EQ(store.Open(dir.Path(), "S"), kOk);
    const int32_t folder = AddRecord(store, "Wrap", true, 0);
    const int32_t file = AddRecord(store, "f.txt", false, 0);
    // (0, 2^32-1) leads to (0, 0), which names the first list: the same list again.
    store.LinkChild(0, 0xFFFFFFFF, folder, 0, nullptr);
    store.LinkChild(0, 0xFFFFFFFF, file, 0, nullptr);
    ASSERT_EQ(store.Flush(), kOk);
    int32_t count = 0;
    ASSERT_EQ(store.CountFiles(0, 0xFFFFFFFF, count), kOk);
    EXPECT_EQ(count, 1);
}

// ---- Write failures are reported ----

class FullDisk : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "/dev/full not writable here";
    }
    TempDir dir;
};

TEST_F(FullDisk, LostBufferWriteIsReportedByTheNextFlush) {
    ASSERT_EQ(::symlink("/dev/full", (dir / "S").c_str()), 0);
    ResultStore store;
    ASSERT_EQ(store.Open(dir.Path(), "S"), kOk);
    for (int i = 0; i < 201; ++i) AddRecord(store, "f", false, 0);  // 201st writes 200
    EXPECT_EQ(store.Flush(), kErrDiskFull);
}

TEST_F(FullDisk, FailedRelationRewriteIsReported) {
    ASSERT_EQ(::symlink("/dev/full", (dir / "S_Relation").c_str()), 0);
    ResultStore store;
    ASSERT_EQ(store.Open(dir.Path(), "S"), kOk);
    store.LinkChild(2, 0, AddRecord(store, "f", false, 0), 0, nullptr);
    EXPECT_EQ(store.Flush(), kErrDiskFull);
}

TEST(StoreOpen, FolderBlockedByAFileIsAnError) {
    TempDir dir;
    testing::WriteFileBytes(dir / "blocker", {1});
    ResultStore store;
    EXPECT_NE(store.Open(dir / "blocker/sub/", "S"), kOk);
    EXPECT_FALSE(store.IsOpen());
    EXPECT_EQ(store.AppendRecord(), nullptr);
}

}  // namespace
}  // namespace norvale
