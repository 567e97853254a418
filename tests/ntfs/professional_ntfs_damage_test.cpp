// The professional NTFS engine on damaged and unusual sources: parent references that loop,
// folder records that cannot be read (during the pass, or only when the folders are recorded),
// a pass interrupted and resumed into the same store, the public corpus, and hostile records.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <set>

#include "device/bytes.h"
#include "device/sector_source.h"
#include "engine/scan_log_history.h"
#include "ntfs/fast_ntfs_test_helpers.h"
#include "ntfs/ntfs_test_media.h"
#include "ntfs/professional_ntfs_recovery.h"
#include "ntfs/professional_ntfs_test_helpers.h"
#include "support/scoped_disk_opener.h"
#include "support/test_support.h"

namespace norvale::testing {
namespace {

namespace fs = std::filesystem;

// A source over bytes whose chosen 512-byte sectors fail once `armed` is set.
class ArmedFaults final : public ISectorSource {
  public:
    ArmedFaults(std::vector<uint8_t> bytes, std::set<uint64_t> bad, std::shared_ptr<bool> armed)
        : inner_(std::move(bytes)), bad_(std::move(bad)), armed_(std::move(armed)) {}
    Result ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& got) override {
        got = 0;
        if (*armed_) {
            for (uint64_t s = offset / 512; s * 512 < offset + out.size(); ++s) {
                if (bad_.count(s)) return kErrCrc;
            }
        }
        return inner_.ReadAt(offset, out, got);
    }
    uint64_t SizeBytes() const override { return inner_.SizeBytes(); }

  private:
    MemorySource inner_;
    std::set<uint64_t> bad_;
    std::shared_ptr<bool> armed_;
};

// Opens the engine by disk number on `source` (the way the coordinator opens a partition).
Result OpenOn(CProfessionalNtfsRecovery& engine, std::unique_ptr<ISectorSource> source) {
    auto shared = std::make_shared<std::unique_ptr<ISectorSource>>(std::move(source));
    testing::ScopedDiskOpener opener([shared](int, std::unique_ptr<ISectorSource>& out) {
        out = std::move(*shared);
        return kOk;
    });
    return engine.OpenDisk(0, 0, 0, 'E');
}

// The sample volume, formatted over.
class FormattedCard : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveNtfsTools() || !HaveTool("ntfs-3g")) GTEST_SKIP() << "ntfs-3g tools missing";
        image_ = dir_ / "card.img";
        content_ = SampleContent("damage");
        std::string error;
        if (!MakeFilledVolume(image_, 64, "-c 4096", content_, dir_ / "mnt", error)) {
            GTEST_SKIP() << error;
        }
        for (const char* folder : {"Docs", "Docs/Deep", "Photos"}) {
            inodes_[folder] = NtfsInode(image_, std::string("/") + folder);
            ASSERT_NE(inodes_[folder], 0u) << folder;
        }
        inodes_["notes"] = NtfsInode(image_, "/Docs/notes.txt");
        ASSERT_NE(inodes_["notes"], 0u);
        BeforeFormat();
        ASSERT_EQ(RunShell("mkntfs -F -Q -q -c 4096 '" + image_ + "' >/dev/null 2>&1"), 0);
    }
    virtual void BeforeFormat() {}
    // The 512-byte sectors of the old record `inode` (found by its signature and number).
    std::set<uint64_t> RecordSectors(uint64_t inode) {
        const uint64_t at = FindRecord(image_, uint32_t(inode), 16 * 4096);
        EXPECT_NE(at, 0u);
        return {at / 512, at / 512 + 1};
    }

    IsolatedHome home_;
    TempDir dir_;
    std::string image_;
    VolumeContent content_;
    std::map<std::string, uint64_t> inodes_;
};

TEST_F(FormattedCard, UnreadableFolderBecomesALostFolderUnderTheRoot) {
    auto armed = std::make_shared<bool>(true);
    CProfessionalNtfsRecovery engine;
    ASSERT_EQ(OpenOn(engine, std::make_unique<ArmedFaults>(ReadFileBytes(image_),
                                                           RecordSectors(inodes_["Docs"]), armed)),
              kOk);
    ScanLogHistory::Instance().NewScanFolder();
    PassCounts counts;
    ASSERT_EQ(RunSectorPass(engine, image_, &counts), kOk);
    EXPECT_EQ(counts.finish, kOk);  // a lost folder is not read again
    const auto tree = ListTree(engine);
    const std::string lost = "LostFolder" + std::to_string(inodes_["Docs"]);
    ASSERT_TRUE(tree.count(lost));
    EXPECT_EQ(int32_t{tree.at(lost).isDeleted}, 1);
    EXPECT_FALSE(tree.count("Docs"));
    const std::string archive = lost + "/Deep/Deeper/archive.bin";
    ASSERT_TRUE(tree.count(archive));
    EXPECT_EQ(uint16_t(tree.at(archive).sourceTag), uint16_t('E'));
    EXPECT_EQ(RecoverTo(engine, tree.at(archive), dir_ / "archive"),
              content_.files.at("Docs/Deep/Deeper/archive.bin"));
    EXPECT_TRUE(tree.count("Photos/Trip 2023/beach.jpg"));
}

TEST_F(FormattedCard, FolderUnreadableOnlyWhenRecordedStaysWhereItsChildrenAre) {
    auto armed = std::make_shared<bool>(false);
    CProfessionalNtfsRecovery engine;
    ASSERT_EQ(
        OpenOn(engine, std::make_unique<ArmedFaults>(ReadFileBytes(image_),
                                                     RecordSectors(inodes_["Docs/Deep"]), armed)),
        kOk);
    ScanLogHistory::Instance().NewScanFolder();
    PassCounts counts;
    PassOptions options;
    options.beforeFinish = [&] { *armed = true; };
    ASSERT_EQ(RunSectorPass(engine, image_, &counts, options), kOk);
    // The read error is reported, and every other folder is still recorded.
    EXPECT_EQ(counts.finish, kErrReadFault);
    const auto tree = ListTree(engine);
    const std::string lost = "Docs/LostFolder" + std::to_string(inodes_["Docs/Deep"]);
    EXPECT_TRUE(tree.count(lost));
    EXPECT_TRUE(tree.count(lost + "/Deeper/archive.bin"));
    EXPECT_TRUE(tree.count("Docs/notes.txt"));
    EXPECT_TRUE(tree.count("Photos/Trip 2023/beach.jpg"));
}

TEST_F(FormattedCard, ResumedPassAppendsWithoutRepeatingFolders) {
    // The first part of the pass ends in the middle of the old records, after the folders.
    const uint64_t middle = FindRecord(image_, uint32_t(inodes_["notes"]), 16 * 4096) / 512;
    ASSERT_GT(middle, 0u);
    std::string logName;
    size_t firstItems = 0;
    {
        CProfessionalNtfsRecovery engine;
        ASSERT_EQ(engine.OpenImage(image_, 1), kOk);
        ScanLogHistory::Instance().NewScanFolder();
        PassOptions first;
        first.endSector = middle;
        ASSERT_EQ(RunSectorPass(engine, image_, nullptr, first), kOk);
        logName = fs::path(engine.Store()->DataPath()).filename();
        firstItems = engine.GetItemCount();
        ASSERT_GT(firstItems, 0u);
    }
    CProfessionalNtfsRecovery engine;
    ASSERT_EQ(engine.OpenImage(image_, 1), kOk);
    PassOptions rest;
    rest.logName = logName.c_str();
    rest.firstSector = middle;
    ASSERT_EQ(RunSectorPass(engine, image_, nullptr, rest), kOk);
    const auto tree = ListTree(engine);
    int n = 0;
    for (const auto& [path, bytes] : content_.files) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(tree.count(path));
        // The listing reads each item by its index: a wrong index would give another record.
        EXPECT_EQ(RecoverTo(engine, tree.at(path), dir_ / ("out" + std::to_string(n++))), bytes);
    }
    std::vector<RecoveredItem> root;
    ASSERT_EQ(engine.ListChildren(nullptr, 0, root), kOk);
    std::multiset<std::string> names;
    for (const RecoveredItem& item : root) names.insert(std::string(item.Name()));
    EXPECT_EQ(names.count("Docs"), 1u);
    EXPECT_EQ(names.count("Photos"), 1u);
}

// Two folders whose records name each other as parent (A holds B, and A's parent reference was
// bent to B): every walk ends, and both folders and their files stay reachable from the root.
class LoopedFolders : public FormattedCard {
  protected:
    void BeforeFormat() override {
        const uint64_t a = inodes_["Docs"];
        const uint64_t b = inodes_["Docs/Deep"];
        const uint64_t at = ParentReferenceOffset(image_, a);
        ASSERT_NE(at, 0u);
        std::vector<uint8_t> reference(6);
        for (int i = 0; i < 6; ++i) reference[i] = uint8_t(b >> (8 * i));
        PatchBytes(image_, at, reference);
    }
};

TEST_F(LoopedFolders, EveryWalkEndsAndTheFilesStayReachable) {
    ASSERT_TRUE(RunInChild(60, [&] {
        auto engine = ScanProfessional(image_);
        if (!engine) return 1;
        const auto files = FilesOf(ListTree(*engine));
        std::set<std::string> names;
        for (const auto& [path, item] : files) names.insert(fs::path(path).filename());
        for (const auto& [path, bytes] : content_.files) {
            if (!names.count(fs::path(path).filename())) return 2;
        }
        return 0;
    }));
}

// The Linux ntfs3 driver writes its own records with the older header layout (update sequence
// at 0x2A, no record number at 0x2C): they are numbered by where the boot sector's MFT keeps
// them. The records mkntfs-style tools wrote (the $Extend files 24..26) carry their number and
// lie where that MFT keeps them too.
TEST(ProfessionalNtfsCorpus, LiveVolumeRecordsArePlacedByItsBootSectorMft) {
    NORVALE_REQUIRE_CORPUS();
    IsolatedHome home;
    TempDir dir;
    const std::string image = CorpusImage("ntfs3.raw.gz", dir.Path());
    ASSERT_FALSE(image.empty());
    auto engine = ScanProfessional(image);
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->MftPlacementCount(), 2u);  // the MFT and its mirror's copy of record 0
    // The files of the volume's own $Extend folder ($Quota, $ObjId, $Reparse) are the file
    // system's and are not listed; the driver's records (folder `test` and its files) are,
    // each placed by the boot sector's MFT.
    std::vector<RecoveredItem> others;
    ASSERT_EQ(engine->ListByType(".other", others), 1);
    EXPECT_TRUE(others.empty());
    std::set<std::string> paths;
    for (const auto& [path, item] : ListTree(*engine)) {
        paths.insert(path);
        EXPECT_EQ(uint64_t{item.partitionStart}, 0u) << path;
        EXPECT_EQ(uint64_t{item.location}, 32 + 2 * uint64_t(uint32_t(item.objectKey))) << path;
        EXPECT_EQ(int32_t{item.clusterBytes}, 4096) << path;
    }
    EXPECT_EQ(paths, (std::set<std::string>{"test", "test/1.txt", "test/2.txt", "test/3.txt"}));
}

TEST(ProfessionalNtfsCorpus, MftExtractWithoutVolumeGivesItsNamedRecords) {
    NORVALE_REQUIRE_CORPUS();
    IsolatedHome home;
    const std::string extract = CorpusDir() + "/deleted.mft";
    PassCounts counts;
    auto engine = ScanProfessional(extract, &counts);
    ASSERT_TRUE(engine);
    EXPECT_EQ(counts.finish, kOk);
    EXPECT_GT(counts.handedOver, 20u);
    const auto files = FilesOf(ListTree(*engine));
    EXPECT_GT(files.size(), 0u);
    size_t deleted = 0;
    for (const auto& [path, item] : files) deleted += item.isDeleted != 0;
    EXPECT_GT(deleted, 0u);
}

// Candidates made of noise, and real records with bytes flipped: every one costs at most its
// own record, nothing is read outside the source, and the folder pass ends.
TEST(ProfessionalNtfsHostile, DamagedCandidatesCostOnlyThemselves) {
    IsolatedHome home;
    TempDir dir;
    std::vector<uint8_t> medium(4 << 20, 0);
    std::mt19937 random(7);
    for (auto& b : medium) b = uint8_t(random());
    const std::string image = dir / "noise.img";
    WriteFileBytes(image, medium);
    CProfessionalNtfsRecovery engine;
    ASSERT_EQ(engine.OpenImage(image, 1), kOk);
    ScanLogHistory::Instance().NewScanFolder();
    ASSERT_EQ(engine.BeginScan(nullptr), kOk);
    std::vector<uint8_t> record(1024);
    for (int i = 0; i < 20000; ++i) {
        for (auto& b : record) b = uint8_t(random());
        std::memcpy(record.data(), "FILE", 4);
        record[0x04] = 0x30;
        record[0x06] = 3;
        record[0x14] = uint8_t(0x38 + (random() % 64));
        record[0x15] = 0;
        record[0x16] = uint8_t(random() & 1);
        const uint32_t inUse = 0x100 + random() % 0x300;
        std::memcpy(&record[0x18], &inUse, 4);
        record[0x2C] = uint8_t(12 + random() % 200);
        record[0x2D] = record[0x2E] = record[0x2F] = 0;
        (void)engine.ParseCandidate(record, random() % (8 << 20));
    }
    EXPECT_EQ(engine.ParseCandidate(std::span(record).first(100), 0), kErrInvalidParameter);
    EXPECT_EQ(engine.FinishScan(), kOk);
    ListTree(engine);
}

TEST(ProfessionalNtfsHostile, AnEngineThatIsNotOpenRefusesWithoutReading) {
    IsolatedHome home;
    CProfessionalNtfsRecovery engine;
    std::vector<uint8_t> record(1024, 0);
    std::memcpy(record.data(), "FILE", 4);
    EXPECT_EQ(engine.ParseCandidate(record, 0), kErrInvalidHandle);  // no pass begun
    EXPECT_EQ(engine.FinishScan(), kErrInvalidHandle);
    ScanLogHistory::Instance().NewScanFolder();
    ASSERT_EQ(engine.BeginScan(nullptr), kOk);
    EXPECT_NE(engine.ParseCandidate(record, 0), kOk);
    EXPECT_EQ(engine.FinishScan(), kOk);
    RecoveredItem item{};
    item.clusterBytes = 4096;
    item.fileSize = 10;
    EXPECT_EQ(engine.RecoverItem(item, "/nonexistent/never", 0), kErrInvalidHandle);
    uint64_t lba = 0;
    EXPECT_NE(engine.FirstDataSector(item, lba), kOk);
}

TEST(ProfessionalNtfsHostile, ManyMftRecordsAreKeptUpToTheCap) {
    IsolatedHome home;
    TempDir dir;
    const std::string image = dir / "zeros.img";
    WriteFileBytes(image, std::vector<uint8_t>(1 << 20, 0));
    CProfessionalNtfsRecovery engine;
    ASSERT_EQ(engine.OpenImage(image, 1), kOk);
    ScanLogHistory::Instance().NewScanFolder();
    ASSERT_EQ(engine.BeginScan(nullptr), kOk);
    // Record 0 named "$MFT" with one run of 64 clusters at LCN 4.
    std::vector<uint8_t> record(1024, 0);
    auto put16 = [&](size_t at, uint16_t v) { record[at] = uint8_t(v), record[at + 1] = v >> 8; };
    auto put32 = [&](size_t at, uint32_t v) { put16(at, uint16_t(v)), put16(at + 2, v >> 16); };
    std::memcpy(record.data(), "FILE", 4);
    put16(0x04, 0x30);
    put16(0x06, 3);
    put16(0x14, 0x38);
    put16(0x16, 1);
    put32(0x1C, 1024);
    size_t at = 0x38;
    put32(at, 0x30);  // $FILE_NAME, resident
    put32(at + 4, 0x68);
    put32(at + 0x10, 0x4A);
    put16(at + 0x14, 0x18);
    record[at + 0x18 + 0x40] = 4;
    record[at + 0x18 + 0x41] = 3;
    for (int i = 0; i < 4; ++i) put16(at + 0x18 + 0x42 + 2 * i, u"$MFT"[i]);
    at += 0x68;
    put32(at, 0x80);  // $DATA, non-resident
    put32(at + 4, 0x48);
    record[at + 8] = 1;
    put16(at + 0x20, 0x40);
    put32(at + 0x28, 64 * 4096);
    put32(at + 0x30, 64 * 4096);
    record[at + 0x40] = 0x11;
    record[at + 0x41] = 64;
    record[at + 0x42] = 4;
    at += 0x48;
    put32(at, 0xFFFFFFFF);
    put32(0x18, uint32_t(at + 8));
    for (uint64_t lba = 0; lba < CProfessionalNtfsRecovery::kMaxMftPlacements + 100; ++lba) {
        ASSERT_EQ(engine.ParseCandidate(record, 1000 + 2 * lba), kOk);
    }
    EXPECT_EQ(engine.MftPlacementCount(), CProfessionalNtfsRecovery::kMaxMftPlacements);
}

}  // namespace
}  // namespace norvale::testing
