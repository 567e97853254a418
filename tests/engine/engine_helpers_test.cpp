// The pieces the store-backed engines share: the listing slots over a ResultStore, the kept
// callbacks with their reports, and the target of a preview extraction.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/engine_progress.h"
#include "engine/preview_output.h"
#include "engine/store_listing.h"
#include "engine/store_test_helpers.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::AddRecord;
using testing::FileSize;
using testing::IsolatedHome;
using testing::NamesOf;
using testing::TempDir;

// ---- Listing slots ----

class StoreListing : public ::testing::Test {
  protected:
    static constexpr uint32_t kRoot = 5;
    void SetUp() override {
        ASSERT_EQ(store.Open(dir.Path() + "/logs/", "Fast_0_1"), kOk);
        const int32_t folder = AddRecord(store, "DCIM", true, 40);
        store.LinkChild(kRoot, 0, folder, 40, nullptr);
        const int32_t a = AddRecord(store, "a.jpg", false, 41);
        store.LinkChild(40, 1, a, 41, nullptr);
        const int32_t b = AddRecord(store, "b.jpg", false, 42);
        store.LinkChild(40, 1, b, 42, nullptr);
        // Left unflushed on purpose: the slots must see what the scan has just added.
    }
    RecoveredItem FolderItem() {
        RecoveredItem f{};
        f.objectKey = 40;
        f.isFolder = 1;
        return f;
    }
    TempDir dir;
    ResultStore store;
};

TEST_F(StoreListing, RootAndFolderAreListedFromTheirKeysIncludingUnflushedRecords) {
    std::vector<RecoveredItem> out;
    ASSERT_EQ(ListStoreChildren(&store, nullptr, 0, kRoot, out), kOk);
    EXPECT_EQ(NamesOf(out), std::vector<std::string>{"DCIM"});
    out.clear();
    const RecoveredItem folder = FolderItem();
    ASSERT_EQ(ListStoreChildren(&store, &folder, 1, kRoot, out), kOk);
    EXPECT_EQ(NamesOf(out), (std::vector<std::string>{"a.jpg", "b.jpg"}));

    int count = -1;
    ASSERT_EQ(CountStoreFiles(&store, &folder, 1, kRoot, RootLevelCheck::kNone, count), kOk);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(StoreItemCount(&store), 3u);
    out.clear();
    EXPECT_NE(ListStoreByType(&store, "*.jpg", out), 0);
    EXPECT_EQ(out.size(), 2u);
}

TEST_F(StoreListing, RootAtAnotherLevelIsRefusedOnlyWhereTheEngineRefusesIt) {
    std::vector<RecoveredItem> out;
    EXPECT_EQ(ListStoreChildren(&store, nullptr, 1, kRoot, out), kErrInvalidParameter);
    EXPECT_EQ(ListStoreChildren(nullptr, nullptr, 1, kRoot, out), kErrInvalidParameter);
    int count = -1;
    EXPECT_EQ(CountStoreFiles(&store, nullptr, 1, kRoot, RootLevelCheck::kRefuseOtherLevels, count),
              kErrInvalidParameter);
    EXPECT_EQ(count, 0);
    count = -1;
    EXPECT_EQ(CountStoreFiles(&store, nullptr, 1, kRoot, RootLevelCheck::kNone, count), kOk);
    EXPECT_EQ(count, 0);
}

TEST(StoreListingWithoutStore, SlotsAnswerEmptyWithTheEnginesOwnResult) {
    std::vector<RecoveredItem> out;
    EXPECT_EQ(ListStoreChildren(nullptr, nullptr, 0, 2, out), kOk);
    EXPECT_TRUE(out.empty());
    int count = -1;
    EXPECT_EQ(CountStoreFiles(nullptr, nullptr, 0, 2, RootLevelCheck::kNone, count), kOk);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(StoreItemCount(nullptr), 0u);
    std::string path = "stale";
    RecoveredItem item{};
    EXPECT_EQ(StoreItemPath(nullptr, item, path, kOk), kOk);
    EXPECT_TRUE(path.empty());
    ResultStore closed;  // never opened: counts as no store
    path = "stale";
    EXPECT_EQ(StoreItemPath(&closed, item, path, kErrInvalidParameter), kErrInvalidParameter);
    EXPECT_TRUE(path.empty());
    EXPECT_EQ(ListStoreByType(&closed, "*", out), 0);
}

// ---- Kept callbacks and their reports ----

struct Calls {
    std::vector<std::vector<long long>> scan;
    std::vector<std::pair<int, int>> recover;  // percent, error
    int answer = 0;
};

int OnScan(void* u, int percent, int scale, int secondsLeft, uint64_t done, uint64_t total,
           uint64_t found, int reserved) {
    auto* c = static_cast<Calls*>(u);
    c->scan.push_back({percent, scale, secondsLeft, static_cast<long long>(done),
                       static_cast<long long>(total), static_cast<long long>(found), reserved});
    return c->answer;
}

int OnRecover(void* u, int percent, int scale, int error, const char* path) {
    auto* c = static_cast<Calls*>(u);
    EXPECT_EQ(scale, kFullProgressScale);
    EXPECT_STREQ(path, "/out/a.jpg");
    c->recover.emplace_back(percent, error);
    return c->answer;
}

class Progress : public EngineProgress {
  public:
    using EngineProgress::FinishFile;
    using EngineProgress::KeepCallbacks;
    using EngineProgress::KeepListCallback;
    using EngineProgress::ReportFileProgress;
    using EngineProgress::ReportScan;
};

TEST(EngineProgressReports, WithoutCallbacksEveryReportGoesOn) {
    Progress p;
    bool stopped = false;
    EXPECT_EQ(p.ReportScan(50, 3), 0);
    EXPECT_EQ(p.ReportFileProgress(1, 2, "/out/a.jpg", stopped), 0);
    EXPECT_EQ(p.FinishFile(kErrReadFault, "/out/a.jpg", stopped), kErrReadFault);
    EXPECT_FALSE(stopped);
}

TEST(EngineProgressReports, ScanReportsCarryTheKeptScaleAndNoCounts) {
    Progress p;
    Calls c;
    (void)p.KeepCallbacks(OnScan, OnRecover, &c, kStageProgressScale);
    EXPECT_EQ(p.ReportScan(20, -1), 0);
    ASSERT_EQ(c.scan.size(), 1u);
    EXPECT_EQ(c.scan[0], (std::vector<long long>{20, kStageProgressScale, -1, 0, 0, 0, 0}));
}

TEST(EngineProgressReports, FileReportsStopAtTheCallersAnswerAndLeave100ToTheFinish) {
    Progress p;
    Calls c;
    (void)p.KeepCallbacks(OnScan, OnRecover, &c, kFullProgressScale);
    bool stopped = false;
    EXPECT_EQ(p.ReportFileProgress(1, 4, "/out/a.jpg", stopped), 0);
    EXPECT_EQ(p.ReportFileProgress(4, 4, "/out/a.jpg", stopped), 0);  // no report at 100%
    EXPECT_EQ(p.FinishFile(kOk, "/out/a.jpg", stopped), kOk);
    EXPECT_FALSE(stopped);
    EXPECT_EQ(c.recover, (std::vector<std::pair<int, int>>{{25, 0}, {100, 0}}));

    c.answer = kScanCancelled;
    EXPECT_EQ(p.ReportFileProgress(2, 4, "/out/a.jpg", stopped), kScanCancelled);
    EXPECT_TRUE(stopped);
    stopped = false;
    EXPECT_EQ(p.FinishFile(kErrWriteFault, "/out/a.jpg", stopped), kScanCancelled);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(c.recover.back(), std::make_pair(100, static_cast<int>(kErrWriteFault)));
}

TEST(EngineProgressReports, ListCallbackWithoutStoreGivesTheEnginesAnswer) {
    Progress p;
    EXPECT_EQ(p.KeepListCallback(nullptr, nullptr, nullptr, kErrInvalidParameter),
              kErrInvalidParameter);
    EXPECT_EQ(p.KeepListCallback(nullptr, nullptr, nullptr, kOk), kOk);
    ResultStore store;
    EXPECT_EQ(p.KeepListCallback(nullptr, nullptr, &store, kErrInvalidParameter), kOk);
}

// ---- Preview target ----

RecoveredItem Named(const std::string& name) {
    RecoveredItem item{};
    item.SetName(name);
    return item;
}

TEST(PreviewOutputTarget, MemoryTakesAtMostTheCapacityAndReportsTheBytesCopied) {
    uint8_t memory[8] = {};
    uint64_t byteCount = sizeof memory;
    std::string tempPath = "stale";
    PreviewOutput out(Named("readme"), memory, byteCount, tempPath, nullptr, nullptr);
    EXPECT_EQ(byteCount, 0u);
    EXPECT_TRUE(tempPath.empty());
    ASSERT_FALSE(out.ToFile());
    EXPECT_FALSE(out.LacksMemory());
    EXPECT_EQ(out.Total(100), 8u);
    EXPECT_EQ(out.Total(3), 3u);
    ASSERT_EQ(out.Open(), kOk);
    EXPECT_TRUE(tempPath.empty());
    ASSERT_EQ(out.Put(reinterpret_cast<const uint8_t*>("abc"), 3, 0), kOk);
    ASSERT_EQ(out.Put(reinterpret_cast<const uint8_t*>("de"), 2, 3), kOk);
    EXPECT_EQ(std::memcmp(memory, "abcde", 5), 0);
    EXPECT_EQ(out.Finish(kOk, 5, true), kOk);
    EXPECT_EQ(byteCount, 5u);

    uint64_t some = 8;
    PreviewOutput none(Named("readme"), nullptr, some, tempPath, nullptr, nullptr);
    EXPECT_TRUE(none.LacksMemory());
    uint64_t zero = 0;
    PreviewOutput empty(Named("readme"), nullptr, zero, tempPath, nullptr, nullptr);
    EXPECT_FALSE(empty.LacksMemory());
}

TEST(PreviewOutputTarget, FailedFilePreviewIsRemovedAndItsPathClearedWhenAsked) {
    IsolatedHome home;
    for (const bool clear : {true, false}) {
        uint64_t byteCount = 0;
        std::string tempPath;
        PreviewOutput out(Named("photo.jpg"), nullptr, byteCount, tempPath, nullptr, nullptr);
        ASSERT_TRUE(out.ToFile());
        EXPECT_EQ(out.Total(1000), 1000u);
        ASSERT_EQ(out.Open(), kOk);
        ASSERT_FALSE(tempPath.empty());
        const std::string written = tempPath;
        ASSERT_EQ(out.Put(reinterpret_cast<const uint8_t*>("xyz"), 3, 0), kOk);
        EXPECT_EQ(out.Finish(kErrReadFault, 3, clear), kErrReadFault);
        EXPECT_EQ(::access(written.c_str(), F_OK), -1);
        EXPECT_EQ(tempPath.empty(), clear);
        EXPECT_EQ(byteCount, 0u);  // a file target leaves the count alone
    }
    uint64_t byteCount = 0;
    std::string tempPath;
    PreviewOutput out(Named("photo.jpg"), nullptr, byteCount, tempPath, nullptr, nullptr);
    ASSERT_EQ(out.Open(), kOk);
    ASSERT_EQ(out.Put(reinterpret_cast<const uint8_t*>("xyz"), 3, 0), kOk);
    EXPECT_EQ(out.Finish(kOk, 3, true), kOk);
    EXPECT_EQ(FileSize(tempPath), 3u);
}

}  // namespace
}  // namespace norvale
