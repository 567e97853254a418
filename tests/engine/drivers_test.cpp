#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/engine_factory.h"
#include "engine/file_system_registry.h"
#include "engine/output_naming.h"
#include "engine/recovered_file_writer.h"
#include "engine/recovery_driver.h"
#include "engine/scan_driver.h"
#include "engine/scan_log_history.h"
#include "engine/search.h"
#include "fat/boot_sector.h"
#include "ntfs/boot_sector.h"
#include "support/fake_engine.h"
#include "support/scoped_file_systems.h"
#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::FakeEngine;
using testing::RunShell;
using testing::TempDir;

TEST(OutputNaming, CategoryFollowsTheListsInOrder) {
    EXPECT_EQ(CategoryOf("IMG_1.JPG"), "photo");
    EXPECT_EQ(CategoryOf("song.RM"), "audio");  // audio is tested before video, which has .rm too
    EXPECT_EQ(CategoryOf("clip.mkv"), "video");
    EXPECT_EQ(CategoryOf("letter.docx"), "document");
    EXPECT_EQ(CategoryOf("backup.7z"), "archive");
    EXPECT_EQ(CategoryOf("notes"), "others");
    EXPECT_EQ(CategoryOf("trailing."), "others");
    EXPECT_EQ(CategoryOf("a.xyz"), "others");
}

TEST(OutputNaming, NamesFromTheMediumCannotLeaveTheirFolder) {
    EXPECT_EQ(SafeFileName("../../etc/passwd"), ".._.._etc_passwd");
    EXPECT_EQ(SafeFileName(".."), "_");
    EXPECT_EQ(SafeFileName("."), "_");
    EXPECT_EQ(SafeFileName(""), "_");
    EXPECT_EQ(SafeFileName(std::string("a\0b", 3)), "a_b");
    EXPECT_EQ(SafeFileName("Sommer am Fjord.png"), "Sommer am Fjord.png");
    EXPECT_EQ(SafeFileName("Ærø ñ.jpg"), "Ærø ñ.jpg");
}

TEST(OutputNaming, ExistingFilesAreNeverReused) {
    TempDir dir;
    std::string p = dir / "IMG_1.JPG";
    EXPECT_EQ(MakeUniquePath(p), p);
    testing::WriteFileBytes(p, {1});
    EXPECT_EQ(MakeUniquePath(p), dir / "IMG_1(1).JPG");
    testing::WriteFileBytes(dir / "IMG_1(1).JPG", {1});
    EXPECT_EQ(MakeUniquePath(p), dir / "IMG_1(2).JPG");
    testing::WriteFileBytes(dir / "notes", {1});
    EXPECT_EQ(MakeUniquePath(dir / "notes"), dir / "notes(1)");
    EXPECT_EQ(DestinationDepth("/home/me/out"), 3);
    EXPECT_EQ(DestinationDepth("/home/me/out/"), 3);
}

// ---------------------------------------------------------------------------------------------

std::vector<FakeEngine*> gEngines;
std::unique_ptr<IFileRecoveryParse> MakeFake() {
    auto e = std::make_unique<FakeEngine>();
    gEngines.push_back(e.get());
    return e;
}

struct RecordingScanObserver : IScanObserver {
    std::vector<ScanStage> stages;
    std::vector<ScanProgress> progress;
    std::vector<Result> results;
    ScanOutcome outcome{};
    size_t failedIndex = 99;
    ScanDriver* driver = nullptr;
    size_t stopAtStage = 99;
    bool resumeAnswer = true;
    int resumeQuestions = 0;
    void OnStage(const ScanStage& s) override { stages.push_back(s); }
    void OnProgress(const ScanProgress& p) override {
        progress.push_back(p);
        if (driver && stages.size() - 1 == stopAtStage && p.shownPercent >= 40) {
            driver->RequestStop();
        }
    }
    void OnSourceDone(const ScanStage&, Result r, uint64_t) override { results.push_back(r); }
    bool AskResume(const ScanStage&) override {
        ++resumeQuestions;
        return resumeAnswer;
    }
    void OnFinished(ScanOutcome o, size_t failed) override {
        outcome = o;
        failedIndex = failed;
    }
};

class ScanDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gEngines.clear();
        RegisterFileSystem({.kind = FileSystemKind::Ntfs,
                            .name = "NTFS",
                            .probe = IsNtfsBootSector,
                            .makeDeletedScan = MakeFake});
        RegisterFileSystem({.kind = FileSystemKind::Fat,
                            .name = "FAT",
                            .probe = IsFatBootSector,
                            .makeDeletedScan = MakeFake});
        SetFullScanCoordinatorMaker(MakeFake);
        fat_ = dir_ / "card.img";
        NORVALE_REQUIRE_TOOLS("mkfs.fat");
        ASSERT_EQ(RunShell("mkfs.fat -C -F 16 " + fat_ + " 32768 >/dev/null"), 0);
        for (int i = 0; i < 3; ++i) {
            sources_[i].imagePath = fat_;
            sources_[i].imageTag = uint16_t(kImageTagBase + 1 + i);
        }
    }
    testing::ScopedFileSystems registry_;
    std::vector<SourceInfo*> All() { return {&sources_[0], &sources_[1], &sources_[2]}; }

    testing::IsolatedHome home_;
    TempDir dir_;
    std::string fat_;
    SourceInfo sources_[3];
};

TEST_F(ScanDriverTest, ScansEverySourceAndStartsANewLogFolderForEachFastScan) {
    RecordingScanObserver obs;
    ScanDriver driver(All(), false, obs);
    uint64_t before = ScanLogHistory::Instance().ScanCounter();
    EXPECT_EQ(driver.Run(), ScanOutcome::kCompleted);
    EXPECT_EQ(obs.outcome, ScanOutcome::kCompleted);
    EXPECT_EQ(ScanLogHistory::Instance().ScanCounter(), before + 3);
    ASSERT_EQ(obs.stages.size(), 3u);
    EXPECT_TRUE(obs.stages[1].isImage);
    EXPECT_EQ(obs.stages[1].imageName, "card.img");
    for (auto& s : sources_) EXPECT_NE(s.engine, nullptr);
    EXPECT_EQ(gEngines[0]->tag, kImageTagBase + 1);
    EXPECT_EQ(gEngines[0]->scale, 100);
    EXPECT_EQ(obs.progress.back().shownPercent, 100);
}

TEST_F(ScanDriverTest, StopDuringTheSecondSourceEndsThePass) {
    RecordingScanObserver obs;
    ScanDriver driver(All(), false, obs);
    obs.driver = &driver;
    obs.stopAtStage = 1;
    EXPECT_EQ(driver.Run(), ScanOutcome::kStopped);
    EXPECT_EQ(obs.outcome, ScanOutcome::kStopped);
    ASSERT_EQ(obs.results.size(), 2u);
    EXPECT_EQ(obs.results[1], kScanCancelled);
    EXPECT_NE(sources_[1].engine, nullptr);  // what it found stays listed
    EXPECT_EQ(sources_[2].engine, nullptr);
}

TEST_F(ScanDriverTest, UnreadableSourceStopsThePassAndNamesIt) {
    sources_[1].imagePath = dir_ / "gone.img";
    RecordingScanObserver obs;
    ScanDriver driver(All(), false, obs);
    EXPECT_EQ(driver.Run(), ScanOutcome::kEngineFailed);
    EXPECT_EQ(obs.failedIndex, 1u);
    EXPECT_NE(sources_[0].engine, nullptr);
    EXPECT_EQ(sources_[2].engine, nullptr);
}

// The partitions of one disk: one that no engine can read is passed over and named, the others
// are scanned; only a disk where none can be read fails.
TEST_F(ScanDriverTest, SkippingUnreadablePartitionsScansTheRestAndFailsOnlyWhenNoneIsRead) {
    struct SkipObserver : RecordingScanObserver {
        std::vector<size_t> skipped;
        void OnSourceSkipped(const ScanStage& s) override { skipped.push_back(s.index); }
    };
    sources_[1].imagePath = dir_ / "gone.img";
    SkipObserver obs;
    ScanDriver driver(All(), false, obs);
    driver.SetSkipUnreadable(true);
    EXPECT_EQ(driver.Run(), ScanOutcome::kCompleted);
    EXPECT_EQ(obs.skipped, std::vector<size_t>{1});
    EXPECT_NE(sources_[0].engine, nullptr);
    EXPECT_EQ(sources_[1].engine, nullptr);
    EXPECT_NE(sources_[2].engine, nullptr);
    EXPECT_EQ(obs.results.size(), 2u);

    for (auto& s : sources_) s.imagePath = dir_ / "gone.img";
    SkipObserver none;
    ScanDriver nothing(All(), false, none);
    nothing.SetSkipUnreadable(true);
    EXPECT_EQ(nothing.Run(), ScanOutcome::kEngineFailed);
    EXPECT_EQ(none.outcome, ScanOutcome::kEngineFailed);
    EXPECT_EQ(none.skipped.size(), 3u);
}

TEST_F(ScanDriverTest, RescanReplacesTheEarlierEngine) {
    RecordingScanObserver obs;
    {
        ScanDriver driver({&sources_[0]}, false, obs);
        driver.Run();
    }
    int aliveAfterFirst = FakeEngine::alive;
    ScanDriver again({&sources_[0]}, false, obs);
    again.Run();
    EXPECT_EQ(gEngines.size(), 2u);                 // a new engine was built ...
    EXPECT_EQ(FakeEngine::alive, aliveAfterFirst);  // ... and the first one destroyed
}

TEST_F(ScanDriverTest, EmptyListFinishesAtOnce) {
    RecordingScanObserver obs;
    ScanDriver driver({}, false, obs);
    EXPECT_EQ(driver.Run(), ScanOutcome::kNothingToDo);
    EXPECT_EQ(obs.outcome, ScanOutcome::kNothingToDo);
}

TEST(RemainingTime, Thresholds) {
    EXPECT_EQ(RemainingTimeText(59), "59 Sec");
    EXPECT_EQ(RemainingTimeText(60), "1 Min 0 Sec");
    EXPECT_EQ(RemainingTimeText(3600), "1 Hour 0 Min");
}

// ---------------------------------------------------------------------------------------------

struct RecordingRecoveryObserver : IRecoveryObserver {
    RecoveryDriver* driver = nullptr;
    int stopAfter = -1;
    int done = 0;
    RecoveryOutcome outcome{};
    void OnProgress(const std::string&, int, const RecoveryCounts&) override {}
    void OnItemDone(const RecoveryDetailRow&, const RecoveryCounts&) override {
        if (++done == stopAfter) driver->RequestStop();
    }
    void OnFinished(RecoveryOutcome o, const RecoveryCounts&) override { outcome = o; }
};

class RecoveryDriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sources_.resize(1);
        sources_[0].imagePath = "/images/card.img";
        sources_[0].imageTag = kImageTagBase + 7;
        auto engine = std::make_unique<FakeEngine>();
        engine_ = engine.get();
        sources_[0].engine = std::move(engine);
    }
    RecoveredItem Item(const std::string& name) {
        return FakeEngine::Item(name, sources_[0].imageTag);
    }
    std::vector<SourceInfo> sources_;
    FakeEngine* engine_ = nullptr;
    TempDir out_;
};

TEST_F(RecoveryDriverTest, FilesLandInCategoryFoldersWithoutOverwriting) {
    fs::create_directories(out_ / "photo");
    testing::WriteFileBytes(out_ / "photo/IMG_1.JPG", {'o', 'l', 'd'});
    RecordingRecoveryObserver obs;
    RecoveryDriver driver(sources_, obs);
    auto outcome = driver.RecoverItems(
        {Item("IMG_1.JPG"), Item("IMG_1.JPG"), Item("notes"), Item("../escape.mp3")}, out_.Path());
    EXPECT_EQ(outcome, RecoveryOutcome::kDone);
    EXPECT_EQ(testing::ReadFileBytes(out_ / "photo/IMG_1.JPG").size(), 3u);  // untouched
    EXPECT_TRUE(fs::exists(out_ / "photo/IMG_1(1).JPG"));
    EXPECT_TRUE(fs::exists(out_ / "photo/IMG_1(2).JPG"));
    EXPECT_TRUE(fs::exists(out_ / "others/notes"));
    EXPECT_TRUE(fs::exists(out_ / "audio/.._escape.mp3"));
    EXPECT_EQ(driver.Counts().processed, 4);
    EXPECT_EQ(driver.Counts().failed, 0);
}

// Two partitions of a disk may hold files of the same name: each goes to its own folder, and a
// source without a folder keeps the plain layout.
TEST_F(RecoveryDriverTest, SourceFoldersSeparateThePartitionsOfADisk) {
    sources_.resize(3);
    for (int i = 1; i < 3; ++i) {
        sources_[i].imagePath = "/images/card.img";
        sources_[i].imageTag = uint16_t(kImageTagBase + 7 + i);
        sources_[i].engine = std::make_unique<FakeEngine>();
    }
    RecordingRecoveryObserver obs;
    RecoveryDriver driver(sources_, obs);
    driver.SetSourceFolders({{sources_[1].imageTag, "Partition 1 (CARD, FAT32)"},
                             {sources_[2].imageTag, "Partition 2 (NTFS)"}});
    const RecoveredItem items[] = {FakeEngine::Item("a.jpg", sources_[1].imageTag),
                                   FakeEngine::Item("a.jpg", sources_[2].imageTag),
                                   FakeEngine::Item("a.jpg", sources_[0].imageTag)};
    EXPECT_EQ(driver.RecoverItems({items[0], items[1], items[2]}, out_.Path()),
              RecoveryOutcome::kDone);
    EXPECT_TRUE(fs::exists(out_ / "Partition 1 (CARD, FAT32)/photo/a.jpg"));
    EXPECT_TRUE(fs::exists(out_ / "Partition 2 (NTFS)/photo/a.jpg"));
    EXPECT_TRUE(fs::exists(out_ / "photo/a.jpg"));
    EXPECT_EQ(driver.Counts().failed, 0);
}

TEST_F(RecoveryDriverTest, FailuresComeFirstWithTheirTextAndAreCounted) {
    engine_->failures["b.jpg"] = kErrDiskFull;
    RecordingRecoveryObserver obs;
    RecoveryDriver driver(sources_, obs);
    RecoveredItem orphan = Item("orphan.jpg");
    orphan.sourceTag = 0x1234;  // no source has this tag
    driver.RecoverItems({Item("a.jpg"), Item("b.jpg"), Item("c.jpg"), orphan}, out_.Path());
    const auto& rows = driver.DetailRows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].name, "orphan.jpg");
    EXPECT_NE(rows[0].status, "Success");
    EXPECT_EQ(rows[1].name, "b.jpg");
    EXPECT_EQ(rows[1].status, ResultText(kErrDiskFull));
    EXPECT_EQ(rows[2].name, "a.jpg");
    EXPECT_EQ(rows[3].name, "c.jpg");
    EXPECT_EQ(driver.Counts().processed, 4);
    EXPECT_EQ(driver.Counts().failed, 2);
    EXPECT_EQ(driver.Counts().Succeeded(), 2);
    EXPECT_FALSE(fs::exists(out_ / "photo/orphan.jpg"));
}

TEST_F(RecoveryDriverTest, StopKeepsWhatWasWritten) {
    RecordingRecoveryObserver obs;
    RecoveryDriver driver(sources_, obs);
    obs.driver = &driver;
    obs.stopAfter = 1;
    auto outcome = driver.RecoverItems({Item("a.jpg"), Item("b.jpg"), Item("c.jpg")}, out_.Path());
    EXPECT_EQ(outcome, RecoveryOutcome::kStopped);
    EXPECT_EQ(obs.outcome, RecoveryOutcome::kStopped);
    EXPECT_TRUE(fs::exists(out_ / "photo/a.jpg"));
    EXPECT_FALSE(fs::exists(out_ / "photo/c.jpg"));
}

// An engine that writes like the real ones, through RecoveredFileWriter: an item's content is
// its `content` entry (its name when it has none). It asks the driver to stop after
// `stopAfter` files.
class WritingEngine : public FakeEngine {
  public:
    RecoveryDriver* driver = nullptr;
    int stopAfter = -1;
    int written = 0;
    std::map<std::string, std::string> content;
    Result RecoverItem(const RecoveredItem& item, const std::string& path, int) override {
        const std::string name(item.Name());
        const std::string bytes = content.count(name) ? content[name] : name;
        RecoveredFileWriter writer(path, item);
        Result r = writer.Open();
        if (r == kOk) r = writer.Write(bytes.data(), bytes.size());
        r = writer.Finish(r);
        if (++written == stopAfter) driver->RequestStop();
        const int answer = recoverFn(userData, 100, 100, r, writer.Path().c_str());
        return answer != 0 ? Result(answer) : r;
    }
};

// Files written whole may wait to be flushed to disk together; whether the run ends or is
// stopped, each of them ends up under its own name, with its row and in the counts.
TEST_F(RecoveryDriverTest, FilesWrittenBeforeTheEndOrAStopAreNamedAndCounted) {
    auto writing = std::make_unique<WritingEngine>();
    WritingEngine& engine = *writing;
    sources_[0].engine = std::move(writing);
    engine.content["b.jpg"] = "a.jpg";  // the same bytes as a.jpg under another name
    RecordingRecoveryObserver obs;
    RecoveryDriver driver(sources_, obs);
    engine.driver = &driver;
    std::vector<RecoveredItem> items{Item("a.jpg"), Item("a.jpg"), Item("x.mp3"), Item("b.jpg")};
    EXPECT_EQ(driver.RecoverItems(items, out_.Path()), RecoveryOutcome::kDone);
    EXPECT_EQ(driver.Counts().processed, 4);
    EXPECT_EQ(driver.Counts().alreadyRecovered, 1);  // the second a.jpg
    EXPECT_EQ(driver.Counts().failed, 0);
    ASSERT_EQ(driver.DetailRows().size(), 4u);
    EXPECT_EQ(driver.DetailRows()[0].name, out_ / "photo/a.jpg");
    EXPECT_EQ(driver.DetailRows()[1].status, kAlreadyRecoveredText);
    EXPECT_EQ(driver.DetailRows()[2].name, out_ / "audio/x.mp3");
    EXPECT_EQ(driver.DetailRows()[3].name, out_ / "photo/b.jpg");
    EXPECT_EQ(testing::ReadFileBytes(out_ / "photo/b.jpg").size(), 5u);

    // A stop after the second of five new files: both are there under their names, counted,
    // and no hidden temporary file is left.
    TempDir again;
    engine.written = 0;
    engine.stopAfter = 2;
    engine.content.clear();
    for (const char* n : {"c.jpg", "d.jpg", "e.jpg", "f.jpg", "g.jpg"}) items.push_back(Item(n));
    items.erase(items.begin(), items.begin() + 4);
    EXPECT_EQ(driver.RecoverItems(items, again.Path()), RecoveryOutcome::kStopped);
    EXPECT_EQ(obs.outcome, RecoveryOutcome::kStopped);
    EXPECT_EQ(driver.Counts().processed, 2);
    EXPECT_EQ(driver.Counts().notTried, 3);
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(again / "photo"))
        names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"c.jpg", "d.jpg"}));
    EXPECT_EQ(testing::ReadFileBytes(again / "photo/d.jpg").size(), 5u);
}

// ---------------------------------------------------------------------------------------------

struct NullSearchObserver : ISearchObserver {
    int listings = 0;
    void OnSourceListing(const SourceInfo&) override { ++listings; }
    void OnProgress(int) override {}
};

TEST(SearchFilter, KeysOrTheFiveListsOrCategories) {
    EXPECT_EQ(BuildFilter({"jpg", "png"}), "*.jpg|*.png");
    std::string all = BuildFilter({});
    EXPECT_NE(all.find("*.jpg"), std::string::npos);
    EXPECT_NE(all.find("*.zip"), std::string::npos);
    EXPECT_EQ(all.find(".other"), std::string::npos);
    EXPECT_EQ(BuildCategoryFilter(kAllCategories), all + "|*.other");
    unsigned cats = 0;
    std::string bad;
    EXPECT_TRUE(ParseCategoryList("Photo,others", cats, bad));
    EXPECT_EQ(cats, kCategoryPhoto | kCategoryOthers);
    EXPECT_FALSE(ParseCategoryList("photo,pictures", cats, bad));
    EXPECT_EQ(bad, "pictures");
}

TEST(SearchRun, CollectsFromEveryScannedSource) {
    std::vector<SourceInfo> sources(3);
    for (int i = 0; i < 3; ++i) sources[i].imageTag = uint16_t(kImageTagBase + i);
    auto a = std::make_unique<FakeEngine>();
    a->items = {FakeEngine::Item("x.jpg", kImageTagBase), FakeEngine::Item("y.txt", kImageTagBase)};
    auto c = std::make_unique<FakeEngine>();
    c->items = {FakeEngine::Item("z.png", kImageTagBase + 2)};
    sources[0].engine = std::move(a);
    sources[2].engine = std::move(c);  // sources[1] was never scanned
    NullSearchObserver obs;
    Search search(obs);
    std::vector<RecoveredItem> out;
    search.Run({&sources[0], &sources[1], &sources[2]}, "*.jpg|*.png", out);
    EXPECT_EQ(obs.listings, 2);
    ASSERT_EQ(out.size(), 2u);
}

}  // namespace
}  // namespace norvale
