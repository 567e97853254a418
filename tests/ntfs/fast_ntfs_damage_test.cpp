// The deleted-file engine on the committed card (no FUSE needed), on that card changed the way
// Windows deletes or the way damage leaves it, on unreadable MFT sectors, under a stop request,
// and on the NTFS volumes of the public corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "device/bytes.h"
#include "device/sector_source.h"
#include "engine/data_paths.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs/fast_ntfs_test_helpers.h"
#include "ntfs/ntfs_test_media.h"
#include "support/scoped_disk_opener.h"
#include "support/test_support.h"

namespace norvale::testing {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> Sparse(uint64_t hole, const std::string& tail) {
    std::vector<uint8_t> bytes(hole, 0);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

class FastNtfsCard : public ::testing::Test {
  protected:
    void SetUp() override {
        image_ = UnpackCard(dir_.Path());
        ASSERT_FALSE(image_.empty()) << "fixture ntfs_card.img.gz missing";
        for (const FixtureFile& f : ReadFixtureFacts(FixturePath("ntfs_card.txt"))) {
            inodes_[f.path] = f.inode;
        }
        auto v = OpenNtfsImage(image_);
        ASSERT_TRUE(v);
        for (const auto& [n, r] : ListMft(*v->volume)) {
            if (r.name.parentRecord == kMftRecordRoot || r.name.name == "f0" ||
                r.name.name == "f4") {
                inodes_[r.name.name] = n;
            }
        }
    }
    size_t Files(const std::map<std::string, RecoveredItem>& all) {
        return std::count_if(all.begin(), all.end(),
                             [](const auto& e) { return !e.second.isFolder; });
    }

    IsolatedHome home_;
    TempDir dir_;
    std::string image_;
    std::map<std::string, uint64_t> inodes_;  // by fixture path or by name
};

// A deleted record whose unnamed data attribute is damaged (here: it became a named stream)
// describes no content: recovering it fails, whatever size its name attribute states, and
// leaves no empty file that would pass for the recovered one.
TEST_F(FastNtfsCard, RecordWithoutItsDataIsAFailureNotAnEmptyFile) {
    {
        auto v = OpenNtfsImage(image_);
        ASSERT_TRUE(v);
        std::vector<uint8_t> record(v->volume->RecordBytes());
        AttributeRef data;
        ASSERT_EQ(v->volume->ReadRecord(inodes_.at("gone.txt"), record), kOk);
        ASSERT_TRUE(FindAttribute(record, kAttrData, u"", data));
        const uint64_t at = RecordOffset(image_, inodes_.at("gone.txt"));
        // A one-character name, read from the attribute's own value bytes.
        PatchBytes(image_, at + data.offset + 9, {1, 0x18, 0});
        // The name attribute's size is often left at 0: then nothing states a size at all.
        AttributeRef name;
        ASSERT_TRUE(FindAttribute(record, kAttrFileName, u"", name));
        const uint64_t value = name.offset + Le16(name.bytes.data() + 0x14);
        PatchBytes(image_, at + value + 0x30, std::vector<uint8_t>(8, 0));
    }
    auto engine = ScanNtfs(image_);
    ASSERT_TRUE(engine);
    auto all = ListAll(*engine);
    ASSERT_TRUE(all.count("gone.txt"));
    EXPECT_EQ(uint64_t(all["gone.txt"].fileSize), 0u);
    const std::string out = dir_ / "out";
    ASSERT_EQ(MakeFolders(out), kOk);
    EXPECT_NE(engine->RecoverItem(all["gone.txt"], out + "/gone.txt", 0), kOk);
    EXPECT_TRUE(fs::is_empty(out));
}

TEST_F(FastNtfsCard, DeletedFilesComeBackUnderTheirLiveFolders) {
    Result scanned = kErrGenFailure;
    auto engine = ScanNtfs(image_, &scanned);
    ASSERT_TRUE(engine);
    ASSERT_EQ(scanned, kOk);
    auto all = ListAll(*engine);
    ASSERT_TRUE(all.count("gone.txt"));
    EXPECT_EQ(RecoverBytes(*engine, all["gone.txt"], dir_ / "gone.txt"), Pattern("gone", 200));
    // The fill folder keeps its name in an extension record, reached through its list.
    ASSERT_TRUE(all.count("fill"));
    EXPECT_EQ(int(all["fill"].isDeleted), 0);
    ASSERT_TRUE(all.count("fill/f2"));
    EXPECT_EQ(RecoverBytes(*engine, all["fill/f2"], dir_ / "f2"), Pattern("fill block", 3000));
    // The deleted "photo" holds text: it is left out of listings but still counted.
    int files = 0;
    ASSERT_EQ(engine->CountFiles(nullptr, 0, files), kOk);
    EXPECT_EQ(size_t(files), Files(all) + 1);

    uint8_t memory[4096];
    uint64_t count = sizeof memory;
    std::string temp;
    EXPECT_EQ(engine->ExtractForPreview(all["gone.txt"], temp, memory, count, nullptr, nullptr),
              kOk);
    EXPECT_TRUE(temp.empty());
    EXPECT_EQ(std::vector<uint8_t>(memory, memory + count), Pattern("gone", 200));
}

// Windows leaves a deleted file's attributes in place and only clears the in-use flags.
TEST_F(FastNtfsCard, FilesDeletedTheWindowsWayComeBackThroughListsAndHoles) {
    ClearInUse(image_, inodes_.at("/big.bin"));
    ClearInUse(image_, inodes_.at("/sparse.bin"));
    auto engine = ScanNtfs(image_);
    ASSERT_TRUE(engine);
    auto all = ListAll(*engine);
    ASSERT_TRUE(all.count("big.bin") && all.count("sparse.bin"));
    EXPECT_EQ(uint64_t(all["big.bin"].fileSize), 2000000u);
    EXPECT_EQ(RecoverBytes(*engine, all["big.bin"], dir_ / "big"),
              Pattern("big file line", 2000000));
    EXPECT_EQ(RecoverBytes(*engine, all["sparse.bin"], dir_ / "sparse"), Sparse(3000000, "sparse"));
}

TEST_F(FastNtfsCard, HostileParentsAndNamesEndAndStayInside) {
    const uint64_t dcim = inodes_.at("DCIM"), arger = inodes_.at("Ärger");
    auto le64 = [](uint64_t v) {
        std::vector<uint8_t> b(8);
        for (int i = 0; i < 8; ++i) b[i] = uint8_t(v >> (8 * i));
        return b;
    };
    // Two folders that are each other's parent, a parent far outside the MFT, and a name that
    // would climb out of the folder it is written into.
    PatchBytes(image_, ParentReferenceOffset(image_, dcim), le64(arger));
    PatchBytes(image_, ParentReferenceOffset(image_, arger), le64(dcim));
    PatchBytes(image_, ParentReferenceOffset(image_, inodes_.at("gone.txt")), le64(0xFFFFFF));
    PatchBytes(image_, ParentReferenceOffset(image_, inodes_.at("f0")) + 0x42, {'.', 0, '.', 0});
    // f4's one run moved past the volume's last cluster: refused, never read.
    {
        auto v = OpenNtfsImage(image_);
        std::vector<uint8_t> record(v->volume->RecordBytes());
        AttributeRef data;
        ASSERT_EQ(v->volume->ReadRecord(inodes_.at("f4"), record), kOk);
        ASSERT_TRUE(FindAttribute(record, kAttrData, u"", data) && data.nonResident);
        const size_t pairs = data.offset + Le16(data.bytes.data() + 0x20);
        const uint8_t header = record[pairs];
        ASSERT_EQ(header >> 4, 2) << "a two-byte cluster field";
        PatchBytes(image_, RecordOffset(image_, inodes_.at("f4")) + pairs + 1 + (header & 0x0F),
                   {0xFF, 0x7F});
    }
    ASSERT_TRUE(RunInChild(60, [&] { return ScanNtfs(image_) ? 0 : 1; })) << "scan hung";

    auto engine = ScanNtfs(image_);
    ASSERT_TRUE(engine);
    auto all = ListAll(*engine);
    EXPECT_TRUE(all.count("Ärger/DCIM"));
    EXPECT_TRUE(all.count("LostFolder16777215/gone.txt"));
    ASSERT_TRUE(all.count("fill/..") && all.count("fill/f4"));
    EXPECT_EQ(engine->RecoverItem(all["fill/f4"], dir_ / "out/f4", 0), kErrHandleEof);
    EXPECT_TRUE(ReadFileBytes(dir_ / "out/f4").empty());
    const std::string out = dir_ / "out";
    // f4 runs past the volume and f3258 (created as the volume ran full) has no data: both
    // fail, and neither leaves a file.
    const Result folder = engine->RecoverItem(all["fill"], out + "/fill", 0);
    EXPECT_TRUE(folder == kErrHandleEof || folder == kErrUnsupportedLayout) << folder;
    EXPECT_FALSE(fs::exists(out + "/fill/f4"));
    EXPECT_FALSE(fs::exists(out + "/fill/f3258"));
    EXPECT_EQ(ReadFileBytes(out + "/fill/_"), Pattern("fill block", 3000));
    for (const auto& e : fs::recursive_directory_iterator(dir_.Path())) {
        EXPECT_TRUE(e.path().string().rfind(out, 0) == 0 || e.path() == image_) << e.path();
    }
}

TEST_F(FastNtfsCard, AStopEndsTheScanAndKeepsWhatWasFound) {
    CFastNtfsRecovery engine;
    ASSERT_EQ(engine.OpenImage(image_, 1), kOk);
    Reports full;
    full.Attach(engine);
    ASSERT_EQ(ScanInNewFolder(engine), kOk);
    ASSERT_GE(full.scanPercents.size(), 3u);  // one per batch, then the end
    EXPECT_TRUE(std::is_sorted(full.scanPercents.begin(), full.scanPercents.end()));
    EXPECT_EQ(full.scanPercents.back(), 100);

    Reports stopping;
    stopping.stopAtScanReport = 0;
    stopping.Attach(engine, kStageProgressScale);
    EXPECT_EQ(ScanInNewFolder(engine), kScanCancelled);
    ASSERT_EQ(stopping.scanPercents.size(), 1u);
    EXPECT_LT(stopping.scanPercents[0], 100);
    // The first batch held gone.txt's record.
    EXPECT_TRUE(ListAll(engine).count("gone.txt"));
}

TEST_F(FastNtfsCard, UnreadableMftSectorsCostOnlyTheirRecords) {
    const uint64_t bad = RecordOffset(image_, inodes_.at("gone.txt")) / 512;
    const size_t clean = Files(ListAll(*ScanNtfs(image_)));
    CFastNtfsRecovery engine;
    {
        testing::ScopedDiskOpener opener([&](int, std::unique_ptr<ISectorSource>& out) {
            out = std::make_unique<FaultySource>(
                std::make_unique<MemorySource>(ReadFileBytes(image_)), std::set<uint64_t>{bad});
            return kOk;
        });
        ASSERT_EQ(engine.OpenDisk(0, 0, 0, 'D'), kOk);
    }
    ASSERT_EQ(ScanInNewFolder(engine), kOk);
    auto all = ListAll(engine);
    EXPECT_FALSE(all.count("gone.txt"));
    EXPECT_EQ(Files(all), clean - 1);
    EXPECT_EQ(uint16_t(all["fill/f2"].sourceTag), uint16_t('D'));
}

TEST(FastNtfsCorpus, VolumesWithNothingDeletedListNothing) {
    NORVALE_REQUIRE_CORPUS();
    IsolatedHome home;
    TempDir dir;
    for (const char* name : {"ntfs3.raw.gz", "ntfs3_attrlist.raw.gz"}) {
        SCOPED_TRACE(name);
        Result r = kErrGenFailure;
        // Records 16..23 of these volumes are unused reserved records, not deleted files.
        auto engine = ScanNtfs(CorpusImage(name, dir.Path()), &r);
        ASSERT_TRUE(engine);
        EXPECT_EQ(r, kOk);
        EXPECT_EQ(engine->GetItemCount(), 0u);
        EXPECT_EQ(engine->BuildClusterMap(), kOk);
        uint64_t position = 0, length = 0;
        (void)engine->SkipUsedClusters(position, length);
        EXPECT_GT(length, 0u);
    }
}

}  // namespace
}  // namespace norvale::testing
