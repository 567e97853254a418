#include "engine/result_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "device/bytes.h"
#include "engine/store_test_helpers.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::AddRecord;
using testing::FileSize;
using testing::NamesOf;
using testing::ReadFileBytes;
using testing::SameBytes;
using testing::TempDir;

std::string FileText(const std::string& path) {
    const auto bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

// ---- The three files, byte for byte ----

class StoreFiles : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(store.Open(dir.Path() + "/logs/7/", "Fast_2048_2024"), kOk); }
    TempDir dir;
    ResultStore store;
};

TEST_F(StoreFiles, OpenCreatesFolderAndThreeNamedFiles) {
    EXPECT_EQ(store.DataPath(), dir.Path() + "/logs/7/Fast_2048_2024");
    EXPECT_EQ(FileSize(store.DataPath()), 0u);
    EXPECT_EQ(FileSize(store.RelationPath()), 0u);
    EXPECT_EQ(FileSize(store.DirInfoPath()), 0u);
    EXPECT_EQ(store.RelationPath(), store.DataPath() + "_Relation");
    EXPECT_EQ(store.DirInfoPath(), store.DataPath() + "_DirInfo");
}

TEST_F(StoreFiles, WrittenRecordHoldsEveryFieldAtItsOffset) {
    RecoveredItem* r = store.AppendRecord();
    std::memset(r, 0xEE, sizeof *r);
    r->sourceTag = 0x0102;
    r->engineKind = kEngineProfessionalNtfs;
    r->isFolder = 1;
    r->isDeleted = 1;
    r->contentValid = 0;
    r->recordIndex = store.RecordCount();
    r->objectKey = 0x11223344;
    r->clusterBytes = -1;
    r->createdTime = 0x0102030405060708;
    r->accessedTime = 0x1112131415161718;
    r->modifiedTime = 0x2122232425262728;
    r->fileSize = 0x3132333435363738;
    r->dataAreaStart = 0x4142434445464748;
    r->location = 0x5152535455565758;
    r->partitionStart = 0x6162636465666768;
    r->SetName("DCIM");
    ASSERT_EQ(store.Flush(), kOk);

    const auto b = ReadFileBytes(store.DataPath());
    ASSERT_EQ(b.size(), 346u);
    const uint8_t* p = b.data();
    EXPECT_EQ(Le16(p + 0), 0x0102);
    EXPECT_EQ(Le32(p + 2), 2u);
    EXPECT_EQ(Le32(p + 6), 1u);
    EXPECT_EQ(Le32(p + 10), 1u);
    EXPECT_EQ(Le32(p + 14), 0u);
    EXPECT_EQ(Le32(p + 18), 1u);
    EXPECT_EQ(Le32(p + 22), 0x11223344u);
    EXPECT_EQ(Le32(p + 26), 0xFFFFFFFFu);
    EXPECT_EQ(Le64(p + 30), 0x0102030405060708u);
    EXPECT_EQ(Le64(p + 38), 0x1112131415161718u);
    EXPECT_EQ(Le64(p + 46), 0x2122232425262728u);
    EXPECT_EQ(Le64(p + 54), 0x3132333435363738u);
    EXPECT_EQ(Le64(p + 62), 0x4142434445464748u);
    EXPECT_EQ(Le64(p + 70), 0x5152535455565758u);
    EXPECT_EQ(Le64(p + 78), 0x6162636465666768u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 86)), "DCIM");
    // The rest of the name field is zero, not the stale bytes the slot held.
    EXPECT_TRUE(std::all_of(p + 91, p + 346, [](uint8_t c) { return c == 0; }));
}

TEST_F(StoreFiles, RelationTextListsEveryKeyInLevelThenParentOrder) {
    store.LinkChild(2, 2, 3, 0, nullptr);
    store.LinkChild(7, 0, 1, 0, nullptr);
    store.LinkChild(5, 1, 9, 0, nullptr);
    store.LinkChild(2, 2, 4, 0, nullptr);
    store.LinkChild(0xFFFFFFFF, 0, 6, 0, nullptr);
    ASSERT_EQ(store.Flush(), kOk);
    EXPECT_EQ(FileText(store.RelationPath()),
              " | 7 - [1] | 4294967295 - [6] | 4294967301 - [9] | 8589934594 - [3,4]");
}

TEST_F(StoreFiles, DirInfoHoldsKeyIndexAndZeroPaddedNamePerFolder) {
    store.LinkChild(2, 0, 1, 40, "Photos");
    store.LinkChild(40, 1, 2, 0, nullptr);
    store.LinkChild(40, 1, 3, -5, "Sub");
    ASSERT_EQ(store.Flush(), kOk);
    const auto b = ReadFileBytes(store.DirInfoPath());
    ASSERT_EQ(b.size(), 2u * 268);
    EXPECT_EQ(Le32(b.data()), 40u);
    EXPECT_EQ(Le32(b.data() + 4), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data() + 8)), "Photos");
    EXPECT_EQ(Le32(b.data() + 268), uint32_t(-5));
    EXPECT_EQ(Le32(b.data() + 272), 3u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.data() + 276)), "Sub");
    EXPECT_TRUE(std::all_of(b.data() + 276 + 3, b.data() + 536, [](uint8_t c) { return c == 0; }));
}

TEST_F(StoreFiles, TwoHundredFirstAppendWritesTheFirstTwoHundredInOneGo) {
    for (int i = 0; i < 200; ++i) AddRecord(store, "f" + std::to_string(i), false, 0);
    EXPECT_EQ(FileSize(store.DataPath()), 0u);
    AddRecord(store, "f200", false, 0);
    EXPECT_EQ(FileSize(store.DataPath()), 69200u);
    EXPECT_EQ(store.RecordCount(), 201);
    ASSERT_EQ(store.Flush(), kOk);
    const auto b = ReadFileBytes(store.DataPath());
    ASSERT_EQ(b.size(), 201u * 346);
    // Each record sits where its index says.
    for (uint32_t n : {1u, 200u, 201u}) EXPECT_EQ(Le32(b.data() + (n - 1) * 346 + 18), n);
}

TEST_F(StoreFiles, LongNameIsCutAtACharacterBoundary) {
    std::string name(258, 'a');
    name += "\xC3\xA9";  // "é" straddles the last byte of the field
    AddRecord(store, name, false, 0);
    store.LinkChild(1, 0, 1, 0, nullptr);
    ASSERT_EQ(store.Flush(), kOk);
    std::vector<RecoveredItem> out;
    ASSERT_EQ(store.ListChildren(0, 0, out), kOk);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].Name(), std::string(258, 'a'));
}

TEST(StoreReopen, RelationKeyAboveFourBillionLinksUnderParentAndLevel) {
    TempDir dir;
    const std::string text = " | 8589934594 - [3,4]";
    testing::WriteFileBytes(dir / "S_Relation", std::vector<uint8_t>(text.begin(), text.end()));
    ResultStore store;
    ASSERT_EQ(store.Open(dir.Path(), "S"), kOk);
    const auto it = store.ChildMap().find(ChildKey{2, 2});
    ASSERT_NE(it, store.ChildMap().end());
    EXPECT_EQ(it->second, (std::vector<int32_t>{3, 4}));
    EXPECT_EQ(store.RecordCount(), 0);
}

// ---- Queries over a small tree ----

class SmallTree : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(store.Open(dir.Path(), "Pro_Fat_0_2024"), kOk);
        Link(2, 0, AddRecord(store, "b.txt", false, 0));
        Link(2, 0, AddRecord(store, "A.JPG", false, 0));
        sub = AddRecord(store, "Sub", true, 200);
        Link(2, 0, sub, 200, "Sub");
        Link(2, 0, AddRecord(store, "bad.jpg", false, 0, /*contentValid=*/0));
        Link(2, 0, AddRecord(store, "noext", false, 0));
        Link(2, 0, AddRecord(store, "Alpha", true, 201), 201, "Alpha");
        Link(200, 1, AddRecord(store, "c.mp3", false, 0));
        deep = AddRecord(store, "Deep", true, 300);
        Link(200, 1, deep, 300, "Deep");
        doc = AddRecord(store, "d.doc", false, 0);
        Link(300, 2, doc);
        Link(300, 2, AddRecord(store, "e.qqq", false, 0));
        Link(300, 2, AddRecord(store, "y.do", false, 0));
        Link(300, 2, AddRecord(store, "x.tar.gz", false, 0));
        Link(300, 2, AddRecord(store, "odd.b", false, 0, /*contentValid=*/0));
        ASSERT_EQ(store.Flush(), kOk);
    }
    void Link(uint32_t parent, uint32_t level, int32_t index, int32_t key = 0,
              const char* name = nullptr) {
        store.LinkChild(parent, level, index, key, name);
    }
    RecoveredItem Record(int32_t index) {
        RecoveredItem out{};
        const auto b = ReadFileBytes(store.DataPath());
        std::memcpy(&out, b.data() + (index - 1) * 346, 346);
        return out;
    }
    std::vector<std::string> ByType(std::string_view pattern) {
        std::vector<RecoveredItem> out;
        EXPECT_EQ(store.ListByType(pattern, out), 1);
        return NamesOf(out);
    }

    TempDir dir;
    ResultStore store;
    int32_t sub = 0, deep = 0, doc = 0;
};

using Names = std::vector<std::string>;

TEST_F(SmallTree, RootListingPutsFilesFirstSortsByNameAndHidesMismatchedPhotos) {
    std::vector<RecoveredItem> out;
    ASSERT_EQ(store.ListChildren(0, 0, out), kOk);
    EXPECT_EQ(NamesOf(out), (Names{"A.JPG", "b.txt", "noext", "Alpha", "Sub"}));
}

TEST_F(SmallTree, MissingListGivesNothingAndCreatesNoEntry) {
    const size_t before = store.ChildMap().size();
    std::vector<RecoveredItem> out;
    EXPECT_EQ(store.ListChildren(0, 1, out), kOk);
    EXPECT_EQ(store.ListChildren(12345, 0, out), kOk);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(store.ChildMap().size(), before);
}

TEST_F(SmallTree, CountFilesCountsEveryFileBelowIncludingHiddenPhotos) {
    int32_t count = -1;
    ASSERT_EQ(store.CountFiles(0, 0, count), kOk);
    EXPECT_EQ(count, 10);
    ASSERT_EQ(store.CountFiles(200, 1, count), kOk);
    EXPECT_EQ(count, 6);
}

TEST_F(SmallTree, PathNamesFoldersFromTheTopAndRootItemsHaveNone) {
    std::string path = "x";
    ASSERT_EQ(store.GetItemPath(Record(doc), path), kOk);
    EXPECT_EQ(path, "Sub/Deep/");
    ASSERT_EQ(store.GetItemPath(Record(sub), path), kOk);
    EXPECT_EQ(path, "");
}

TEST_F(SmallTree, PathFallsBackToFolderRecordsWhenNamesAreMissing) {
    TempDir other;
    ResultStore bare;
    ASSERT_EQ(bare.Open(other.Path(), "S"), kOk);
    const int32_t top = AddRecord(bare, "Top", true, 10);
    bare.LinkChild(2, 0, top, 10, nullptr);
    const int32_t mid = AddRecord(bare, "Mid", true, 11);
    bare.LinkChild(10, 1, mid, 11, nullptr);
    const int32_t leaf = AddRecord(bare, "leaf.txt", false, 0);
    bare.LinkChild(11, 2, leaf, 0, nullptr);
    ASSERT_EQ(bare.Flush(), kOk);
    RecoveredItem item{};
    item.recordIndex = leaf;
    std::string path;
    ASSERT_EQ(bare.GetItemPath(item, path), kOk);
    EXPECT_EQ(path, "Top/Mid/");
}

TEST_F(SmallTree, FindFolderRecordFindsFoldersOnly) {
    RecoveredItem out{};
    ASSERT_EQ(store.FindFolderRecord(300, out), kOk);
    EXPECT_EQ(out.Name(), "Deep");
    EXPECT_EQ(int32_t(out.recordIndex), deep);
    EXPECT_EQ(store.FindFolderRecord(0, out), kErrInvalidParameter);  // only files have key 0
    EXPECT_EQ(store.FindFolderRecord(999, out), kErrInvalidParameter);
}

TEST_F(SmallTree, CategoryListsSelectByExtensionSubstring) {
    EXPECT_EQ(ByType(kPhotoExtensions), (Names{"A.JPG"}));
    EXPECT_EQ(ByType(kAudioExtensions), (Names{"c.mp3"}));
    // "do" is a prefix of "doc", so it counts as a document.
    EXPECT_EQ(ByType(kDocumentExtensions), (Names{"b.txt", "d.doc", "y.do"}));
    EXPECT_EQ(ByType(kArchiveExtensions), (Names{"x.tar.gz"}));
    EXPECT_EQ(ByType(kVideoExtensions), (Names{}));
}

TEST_F(SmallTree, OthersSelectUnknownExtensionsAndNamesWithoutOne) {
    // "odd.b" is hidden: "b" occurs in the photo list and its content did not match.
    EXPECT_EQ(ByType("*.other"), (Names{"e.qqq", "noext"}));
}

TEST_F(SmallTree, UnflushedRecordsAreListedByType) {
    store.LinkChild(2, 0, AddRecord(store, "late.png", false, 0), 0, nullptr);
    EXPECT_EQ(ByType(kPhotoExtensions), (Names{"A.JPG", "late.png"}));
}

int StopAfterFirst(void* user, int percent, int) {
    static_cast<std::vector<int>*>(user)->push_back(percent);
    return kScanCancelled;
}

int Collect(void* user, int percent, int) {
    static_cast<std::vector<int>*>(user)->push_back(percent);
    return 0;
}

TEST(StoreListByType, ReportsProgressPerChunkAndStopsWhenAsked) {
    TempDir dir;
    ResultStore store;
    ASSERT_EQ(store.Open(dir.Path(), "S"), kOk);
    for (int i = 0; i < 1000; ++i) AddRecord(store, "n" + std::to_string(i) + ".qqq", false, 0);
    std::vector<int> seen;
    std::vector<RecoveredItem> out;
    store.SetListCallback(&Collect, &seen);
    EXPECT_EQ(store.ListByType(".other", out), 1);
    EXPECT_EQ(seen, (std::vector<int>{20, 40, 60, 80, 100}));
    EXPECT_EQ(out.size(), 1000u);

    seen.clear();
    out.clear();
    store.SetListCallback(&StopAfterFirst, &seen);
    EXPECT_EQ(store.ListByType(".other", out), 1);
    EXPECT_EQ(seen, (std::vector<int>{20}));
    EXPECT_EQ(out.size(), 200u);
}

TEST(StoreListByType, ClosedStoreListsNothing) {
    ResultStore store;
    std::vector<RecoveredItem> out;
    EXPECT_EQ(store.ListByType(kPhotoExtensions, out), 0);
    EXPECT_TRUE(out.empty());
}

TEST(StoreListByType, OthersAreSwitchedOffFromOneHundredTwentyEightMiB) {
    TempDir dir;
    ResultStore store;
    ASSERT_EQ(store.Open(dir.Path(), "S"), kOk);
    AddRecord(store, "a.jpg", false, 0);
    AddRecord(store, "noext", false, 0);
    AddRecord(store, "b.qqq", false, 0);
    ASSERT_EQ(store.Flush(), kOk);
    std::vector<RecoveredItem> out;
    ASSERT_EQ(store.ListByType("*.other", out), 1);
    EXPECT_EQ(NamesOf(out), (Names{"b.qqq", "noext"}));

    // Grown sparsely: the zero-filled tail reads as nameless files, which "others" would take.
    testing::TruncateAt(store.DataPath(), 0x8000000);
    out.clear();
    ASSERT_EQ(store.ListByType("*.other", out), 1);
    EXPECT_TRUE(out.empty());
    ASSERT_EQ(store.ListByType(kPhotoExtensions, out), 1);
    EXPECT_EQ(NamesOf(out), (Names{"a.jpg"}));
}

// ---- A large store answers the same after reopening ----

struct Built {
    std::map<int32_t, std::string> pathOf;               // recordIndex -> expected path
    std::vector<std::pair<uint32_t, uint32_t>> folders;  // (key, level), root first
    int files = 0, visiblePhotos = 0, others = 0;
};

Built BuildTree(ResultStore& store, int records) {
    Built b;
    std::mt19937 rng(20240611);
    const char* exts[] = {".jpg", ".PNG", ".mp3", ".doc", ".zip", ".mkv", ".qqq", "", ".tar.gz"};
    struct Folder {
        uint32_t key, level;
        std::string path;
    };
    std::vector<Folder> folders{{2, 0, ""}};
    b.folders.emplace_back(2, 0);
    uint32_t nextKey = 1000;
    for (int i = 0; i < records; ++i) {
        const Folder parent = folders[rng() % folders.size()];
        if (rng() % 12 == 0) {
            const std::string name = "Dir" + std::to_string(i);
            const int32_t index = AddRecord(store, name, true, int32_t(nextKey));
            store.LinkChild(parent.key, parent.level, index, int32_t(nextKey), name.c_str());
            folders.push_back({nextKey, parent.level + 1, parent.path + name + "/"});
            b.folders.emplace_back(nextKey, parent.level + 1);
            b.pathOf[index] = parent.path;
            ++nextKey;
            continue;
        }
        const std::string ext = exts[rng() % std::size(exts)];
        const bool photo = ext == ".jpg" || ext == ".PNG";
        const int32_t valid = photo && rng() % 10 == 0 ? 0 : 1;
        const std::string name = (rng() % 2 ? "IMG_" : "file") + std::to_string(i) + ext;
        const int32_t index = AddRecord(store, name, false, 0, valid);
        store.LinkChild(parent.key, parent.level, index, 0, nullptr);
        b.pathOf[index] = parent.path;
        ++b.files;
        if (photo && valid) ++b.visiblePhotos;
        if (ext == ".qqq" || ext.empty()) ++b.others;
    }
    return b;
}

struct Answers {
    std::vector<std::vector<RecoveredItem>> listings;
    std::vector<int32_t> counts;
    std::vector<std::string> paths;
    std::vector<std::vector<RecoveredItem>> byType;
    std::vector<RecoveredItem> folderRecords;
};

Answers Ask(ResultStore& store, const Built& b) {
    Answers a;
    for (const auto& [key, level] : b.folders) {
        std::vector<RecoveredItem> out;
        EXPECT_EQ(store.ListChildren(key, level, out), kOk);
        a.listings.push_back(out);
        int32_t count = 0;
        EXPECT_EQ(store.CountFiles(key, level, count), kOk);
        a.counts.push_back(count);
        for (const RecoveredItem& item : out) {
            std::string path;
            EXPECT_EQ(store.GetItemPath(item, path), kOk);
            a.paths.push_back(path);
        }
        RecoveredItem folder{};
        if (level > 0) {
            EXPECT_EQ(store.FindFolderRecord(int32_t(key), folder), kOk);
        }
        a.folderRecords.push_back(folder);
    }
    for (const char* pattern : {kPhotoExtensions, kAudioExtensions, kDocumentExtensions,
                                kVideoExtensions, kArchiveExtensions, "*.other"}) {
        std::vector<RecoveredItem> out;
        EXPECT_EQ(store.ListByType(pattern, out), 1);
        a.byType.push_back(out);
    }
    return a;
}

TEST(StoreReopen, TenThousandRecordsAnswerEveryQueryTheSameFromTheFiles) {
    TempDir dir;
    Built built;
    Answers before;
    {
        ResultStore store;
        ASSERT_EQ(store.Open(dir.Path() + "/5/", "Pro_Ntfs_63_2024"), kOk);
        built = BuildTree(store, 10000);
        ASSERT_EQ(store.Flush(), kOk);
        before = Ask(store, built);
        EXPECT_EQ(store.Close(), kOk);
    }
    // What the answers say, checked against how the tree was built.
    EXPECT_EQ(before.counts[0], built.files);
    EXPECT_EQ(before.byType[0].size(), size_t(built.visiblePhotos));
    EXPECT_EQ(before.byType[5].size(), size_t(built.others));
    size_t pathIndex = 0;
    for (const auto& listing : before.listings)
        for (const RecoveredItem& item : listing)
            ASSERT_EQ(before.paths[pathIndex++], built.pathOf.at(int32_t(item.recordIndex)))
                << item.Name();

    ResultStore reopened;
    ASSERT_EQ(reopened.Open(dir.Path() + "/5/", "Pro_Ntfs_63_2024"), kOk);
    const Answers after = Ask(reopened, built);
    ASSERT_EQ(after.listings.size(), before.listings.size());
    for (size_t k = 0; k < before.listings.size(); ++k) {
        EXPECT_TRUE(SameBytes(after.listings[k], before.listings[k])) << "folder " << k;
        EXPECT_EQ(std::memcmp(&after.folderRecords[k], &before.folderRecords[k], 346), 0);
    }
    EXPECT_EQ(after.counts, before.counts);
    EXPECT_EQ(after.paths, before.paths);
    for (size_t k = 0; k < before.byType.size(); ++k)
        EXPECT_TRUE(SameBytes(after.byType[k], before.byType[k])) << "pattern " << k;
}

}  // namespace
}  // namespace norvale
