// The deleted-file engine on media made by other people's tools, on damaged and unreadable
// media, and under a stop request.

#include <gtest/gtest.h>

#include <set>

#include "device/sector_source.h"
#include "engine/scan_log_history.h"
#include "fat/fast_fat_recovery.h"
#include "fat/fast_fat_test_helpers.h"
#include "fat/fat_test_media.h"
#include "support/scoped_disk_opener.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::IsolatedHome;
using testing::TempDir;

TEST(FastFatCorpus, LiveVolumesScanCleanly) {
    NORVALE_REQUIRE_CORPUS();
    IsolatedHome home;
    TempDir dir;
    for (const char* name : {"fat12.raw.gz", "fat16.raw.gz"}) {
        SCOPED_TRACE(name);
        Result r = kErrGenFailure;
        auto engine = testing::ScanImage(testing::CorpusImage(name, dir.Path()), &r);
        ASSERT_TRUE(engine);
        EXPECT_EQ(r, kOk);
        EXPECT_EQ(engine->GetItemCount(), 0u);  // nothing was deleted there
    }
}

TEST(FastFatCorpus, DeletedFolderIsFoundWithItsFiles) {
    NORVALE_REQUIRE_CORPUS();
    IsolatedHome home;
    TempDir dir;
    auto engine = testing::ScanImage(testing::CorpusImage("fat_deleted_dir.raw.gz", dir.Path()));
    ASSERT_TRUE(engine);
    auto all = testing::ListAll(*engine);
    ASSERT_TRUE(all.count("test"));
    const RecoveredItem folder = all["test"];
    EXPECT_EQ(int(folder.isFolder), 1);
    EXPECT_EQ(int(folder.isDeleted), 1);
    int files = 0;
    ASSERT_EQ(engine->CountFiles(&folder, 1, files), kOk);
    EXPECT_GE(files, 11);
    for (const auto& [path, item] : all) {
        if (path.rfind("test/", 0) == 0) {
            EXPECT_EQ(int(item.isDeleted), 1) << path;
        }
    }
    EXPECT_EQ(engine->RecoverItem(folder, dir / "out", 0), kOk);
}

TEST(FastFatCorpus, LoopedDirectoriesEndTheWalk) {
    NORVALE_REQUIRE_CORPUS();
    IsolatedHome home;
    TempDir dir;
    const std::string image = testing::CorpusImage("fat32_loop.raw.gz", dir.Path());
    // In a child process, so that a hang fails the test instead of blocking the run.
    EXPECT_TRUE(testing::RunInChild(60, [&] {
        Result r = kErrGenFailure;
        auto engine = testing::ScanImage(image, &r);
        if (!engine || r != kOk) return 1;
        for (const auto& [path, item] : testing::ListAll(*engine)) {
            if (engine->RecoverItem(item, dir / ("out/" + path), 0) == kScanCancelled) return 2;
        }
        return 0;
    }));
}

TEST(FastFatCorpus, OtherVolumesAreRefusedOrSurvived) {
    NORVALE_REQUIRE_CORPUS();
    IsolatedHome home;
    TempDir dir;
    CFastFatRecovery exfat;
    EXPECT_EQ(exfat.OpenImage(testing::CorpusImage("exfat_win.raw.gz", dir.Path()), 1),
              kErrUnsupportedLayout);
    EXPECT_EQ(exfat.Scan(nullptr), kErrUnsupportedLayout);

    Result r = kErrGenFailure;
    auto small = testing::ScanImage(testing::CorpusImage("fat32_small.raw.gz", dir.Path()), &r);
    if (small) {
        EXPECT_EQ(r, kOk);
        EXPECT_EQ(small->BuildClusterMap(), kOk);
    }
}

class FastFatMedia : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testing::HaveFatTools()) GTEST_SKIP() << "mkfs.fat or mtools missing";
        image_ = dir_ / "card.img";
        ASSERT_TRUE(testing::MakeFatImage(image_, "-F 16 -s 4", 20000));
        testing::WriteFileBytes(dir_ / "f", testing::MakeContent("f", 100));
        ASSERT_TRUE(testing::Mtools("mmd -i '" + image_ + "' ::/MANY"));
        std::string copy = "mcopy -i '" + image_ + "' '" + (dir_ / "f") + "' ::/ROOT.TXT";
        for (int i = 0; i < 40; ++i) {
            copy += " && mcopy -i '" + image_ + "' '" + (dir_ / "f") + "' ::/MANY/F" +
                    std::to_string(100 + i) + ".TXT";
        }
        ASSERT_TRUE(testing::Mtools(copy));
        ASSERT_TRUE(testing::Mtools("mdel -i '" + image_ + "' ::/ROOT.TXT '::/MANY/*.TXT'"));
    }
    IsolatedHome home_;
    TempDir dir_;
    std::string image_;
};

TEST_F(FastFatMedia, ProgressRunsFromStartToEndAndAStopIsHonoured) {
    CFastFatRecovery engine;
    ASSERT_EQ(engine.OpenImage(image_, 1), kOk);
    testing::Reports reports;
    reports.Attach(engine);
    ScanLogHistory::Instance().NewScanFolder();
    ASSERT_EQ(engine.Scan(nullptr), kOk);
    ASSERT_EQ(reports.scans.size(), 3u);
    EXPECT_EQ(reports.scans[0].percent, 1);
    EXPECT_EQ(reports.scans[1].percent, 80);
    EXPECT_EQ(reports.scans[2].percent, 100);
    EXPECT_EQ(engine.GetItemCount(), 42u);  // 41 files and their folder

    testing::Reports stopping;
    stopping.stopAtScanReport = 0;
    stopping.Attach(engine, kStageProgressScale);
    ScanLogHistory::Instance().NewScanFolder();
    EXPECT_EQ(engine.Scan(nullptr), kScanCancelled);
    ASSERT_EQ(stopping.scans.size(), 1u);
    EXPECT_EQ(stopping.scans[0].scale, kStageProgressScale);
}

// A bad sector inside a directory cluster: the entries before it are found, the rest of the
// volume is scanned as usual.
TEST_F(FastFatMedia, UnreadableDirectorySectorKeepsWhatCouldBeRead) {
    CFastFatRecovery probe;
    ASSERT_EQ(probe.OpenImage(image_, 1), kOk);
    const FatGeometry g = probe.Geometry();
    const auto chain = testing::MtoolsChain(image_, "/MANY");
    ASSERT_FALSE(chain.empty());
    // Sector 1 of the folder's cluster holds entries 16 to 31: "." and ".." come first, so
    // F100 to F113 lie before it.
    const uint64_t bad = ClusterToLba(g, chain[0]) + 1;

    auto bytes = testing::ReadFileBytes(image_);
    CFastFatRecovery engine;
    {
        testing::ScopedDiskOpener opener([&](int, std::unique_ptr<ISectorSource>& out) {
            out = std::make_unique<FaultySource>(std::make_unique<MemorySource>(bytes),
                                                 std::set<uint64_t>{bad});
            return kOk;
        });
        ASSERT_EQ(engine.OpenDisk(3, 0, bytes.size() / 512, 'E'), kOk);
    }
    ScanLogHistory::Instance().NewScanFolder();
    ASSERT_EQ(engine.Scan(nullptr), kOk);
    auto all = testing::ListAll(engine);
    EXPECT_TRUE(all.count("!oot.txt"));
    std::set<std::string> inside;
    for (const auto& [path, item] : all) {
        if (path.rfind("many/", 0) == 0) inside.insert(path.substr(5));
    }
    ASSERT_EQ(inside.size(), 14u);
    EXPECT_EQ(*inside.begin(), "!100.txt");
    EXPECT_EQ(*inside.rbegin(), "!113.txt");
    EXPECT_EQ(int(all["many"].sourceTag), int('E'));
}

}  // namespace
}  // namespace norvale
