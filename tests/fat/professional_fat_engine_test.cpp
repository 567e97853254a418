// The professional FAT scanner on small media laid out by hand, where every sector is known:
// layouts learnt from "." entries, files held until a layout places them, long names cut at a
// sector end, lost folders, damaged parent links, the caps on what a pass keeps, copying past
// the end of the medium, and a resumed scan.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "device/sector_source.h"
#include "engine/preview_target.h"
#include "engine/recovered_file_writer.h"
#include "engine/scan_log_history.h"
#include "fat/fast_fat_test_helpers.h"
#include "fat/professional_fat_recovery.h"
#include "fat/professional_fat_test_helpers.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::DotPairOf;
using testing::IsolatedHome;
using testing::LongNameOf;
using testing::MakeContent;
using testing::PutAt;
using testing::ShortEntryOf;
using testing::TempDir;

constexpr uint32_t kSpc = 16;
constexpr uint64_t kDataStart = 8400;  // cluster 2
constexpr uint64_t kSectors = 9000;
// The boot sector is that of a card of about 4 GiB whose first 9000 sectors the image holds: its
// FAT is sized for that many clusters.
constexpr uint32_t kStatedSectors = kDataStart + 535000u * kSpc;
constexpr uint64_t Lba(uint32_t cluster) {
    return kDataStart + uint64_t(cluster - 2) * kSpc;
}

const std::string kLongName = "Holiday notes from the trip.txt";

std::vector<uint8_t> Cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A volume of 8 KiB clusters whose cluster 2 lies at sector 8400 and whose root is gone.
// Folder 5 (its own entry lost) holds files, a long name whose 8.3 entry begins the next
// sector, and subfolder "SUB" at cluster 9 with a photo.
struct HandMadeVolume {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kSectors * 512, 0);
    std::map<std::string, std::vector<uint8_t>> files;  // expected path -> content

    explicit HandMadeVolume(bool withBootSector) {
        if (withBootSector) PutAt(bytes, 0, testing::Fat32BootSector(kSpc, kDataStart, kStatedSectors));
        files["LostFolder5/file1.txt"] = MakeContent("file1", 3000);
        files["LostFolder5/" + kLongName] = MakeContent("holiday", 600);
        files["LostFolder5/sub/file2.jpg"] = MakeContent("file2", 9000, true);
        // Sector 0 of folder 5: 13 entries, then the 3 pieces of the long name.
        std::vector<uint8_t> first =
            Cat({DotPairOf(5, 0), ShortEntryOf("FILE1   TXT", kAttrArchive, 6, 3000),
                 ShortEntryOf("SUB        ", kAttrDirectory, 9, 0),
                 ShortEntryOf("TAIL    BIN", kAttrArchive, 35, 1000000),
                 ShortEntryOf("NODATA  BIN", kAttrArchive, 0, 100)});
        for (int i = 0; i < 7; ++i) {
            const std::string name = "DATA0" + std::to_string(i) + "  BIN";
            first = Cat({first, ShortEntryOf(name.c_str(), kAttrArchive, 40 + i, 10)});
        }
        const auto pieces = LongNameOf(kLongName, "HOLIDA~1TXT");
        EXPECT_EQ(first.size() + pieces.size(), 512u);
        PutAt(bytes, Lba(5), Cat({first, pieces}));
        PutAt(bytes, Lba(5) + 1, ShortEntryOf("HOLIDA~1TXT", kAttrArchive, 7, 600));
        PutAt(bytes, Lba(6), files["LostFolder5/file1.txt"]);
        PutAt(bytes, Lba(7), files["LostFolder5/" + kLongName]);
        PutAt(bytes, Lba(9),
              Cat({DotPairOf(9, 5), ShortEntryOf("FILE2   JPG", kAttrArchive, 10, 9000)}));
        PutAt(bytes, Lba(10), files["LostFolder5/sub/file2.jpg"]);
        bytes.resize(kSectors * 512);
    }
};

struct Scanned {
    std::unique_ptr<CProfessionalFatRecovery> engine;
    testing::ProPass pass;
    std::map<std::string, RecoveredItem> tree;
};

Scanned ScanBytes(std::vector<uint8_t> bytes, const char* logName = nullptr, uint64_t firstLba = 0,
                  uint64_t endLba = UINT64_MAX, const ProfessionalFatLimits* limits = nullptr) {
    Scanned s;
    s.engine = std::make_unique<CProfessionalFatRecovery>();
    if (limits) s.engine->SetLimits(*limits);
    EXPECT_EQ(s.engine->OpenSource(std::make_unique<MemorySource>(bytes), 0, kSectors, 7), kOk);
    SectorReader source;
    source.Attach(std::make_unique<MemorySource>(std::move(bytes)));
    if (!logName) ScanLogHistory::Instance().NewScanFolder();
    s.pass = testing::RunProPass(*s.engine, source, logName, firstLba, endLba);
    s.tree = testing::ListTreeOf(*s.engine);
    return s;
}

std::set<std::string> Paths(const std::map<std::string, RecoveredItem>& tree) {
    std::set<std::string> out;
    for (const auto& [path, item] : tree) out.insert(path);
    return out;
}

class HandMadeVolumeScan : public ::testing::TestWithParam<bool> {
  protected:
    IsolatedHome home_;
};

// Without a boot sector the first folder is read before any layout is known: its files wait
// until the second folder's "." entry fixes the cluster size (16 sectors: clusters 5 and 9 lie
// 64 sectors apart) and where cluster 2 lies (sector 8400). With the boot sector the same
// layout is known from the start. Either way the tree is the same.
TEST_P(HandMadeVolumeScan, FilesComeBackUnderTheLayoutTheirFoldersImply) {
    const HandMadeVolume volume(GetParam());
    Scanned s = ScanBytes(volume.bytes);
    ASSERT_EQ(s.pass.finish, kOk);
    ASSERT_FALSE(s.engine->Guesses().empty());
    const FatLayoutGuess& g = s.engine->Guesses().back();
    EXPECT_EQ(g.sectorsPerCluster, kSpc);
    EXPECT_EQ(g.dataStartLba, kDataStart);

    std::set<std::string> expected = {"LostFolder5", "LostFolder5/sub", "LostFolder5/tail.bin",
                                      "LostFolder5/nodata.bin"};
    for (int i = 0; i < 7; ++i) expected.insert("LostFolder5/data0" + std::to_string(i) + ".bin");
    for (const auto& [path, bytes] : volume.files) expected.insert(path);
    ASSERT_EQ(Paths(s.tree), expected);

    TempDir out;
    for (const auto& [path, bytes] : volume.files) {
        SCOPED_TRACE(path);
        const RecoveredItem& item = s.tree.at(path);
        EXPECT_EQ(int(item.clusterBytes), int(kSpc * 512));
        EXPECT_EQ(uint64_t(item.partitionStart) + uint64_t(item.dataAreaStart), kDataStart);
        EXPECT_EQ(int(item.contentValid), 1);
        EXPECT_EQ(testing::RecoverItemBytes(*s.engine, item, out / std::string(item.Name())),
                  bytes);
    }
    // The folder's own entry was met (inside folder 5), so it keeps its name and its time.
    EXPECT_NE(uint64_t(s.tree.at("LostFolder5/sub").modifiedTime), 0u);
    EXPECT_EQ(s.engine->Counts().heldFiles, 0u);
}

INSTANTIATE_TEST_SUITE_P(BootSector, HandMadeVolumeScan, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Kept" : "Wiped"; });

TEST(ProfessionalFatEngine, CopyStopsAtTheEndOfTheMediumAndRefusesAFileWithoutCluster) {
    IsolatedHome home;
    const HandMadeVolume volume(true);
    Scanned s = ScanBytes(volume.bytes);
    TempDir out;

    testing::Reports reports;
    auto recover = [](void* self, int percent, int, int error, const char* name) -> int {
        static_cast<testing::Reports*>(self)->recovers.push_back({percent, error, name});
        return 0;
    };
    (void)s.engine->SetCallbacks(nullptr, recover, &reports, kFullProgressScale);
    // 1,000,000 bytes from cluster 35 (sector 8928): the medium ends 72 sectors later.
    Result r = kOk;
    EXPECT_TRUE(testing::RecoverItemBytes(*s.engine, s.tree.at("LostFolder5/tail.bin"),
                                          out / "tail.bin", &r)
                    .empty());
    EXPECT_EQ(r, kErrHandleEof);
    EXPECT_FALSE(std::filesystem::exists(out / "tail.bin"));
    {
        FileWriteOptions keep;
        keep.keepPartial = true;
        const FileWriteScope scope(keep);
        EXPECT_EQ(s.engine->RecoverItem(s.tree.at("LostFolder5/tail.bin"), out / "tail.bin", 0),
                  kErrHandleEof);
        EXPECT_EQ(testing::ReadFileBytes(out / "tail (incomplete).bin"),
                  std::vector<uint8_t>(volume.bytes.begin() + 8928 * 512, volume.bytes.end()));
    }
    EXPECT_EQ(testing::RecoverItemBytes(*s.engine, s.tree.at("LostFolder5/nodata.bin"),
                                        out / "nodata.bin", &r),
              std::vector<uint8_t>{});
    EXPECT_EQ(r, kErrReadFault);
    const auto finished = reports.Finished();
    ASSERT_EQ(finished.size(), 3u);
    EXPECT_EQ(finished[0].error, kErrHandleEof);
    EXPECT_EQ(finished[1].error, kErrHandleEof);
    EXPECT_EQ(finished[1].name, out / "tail (incomplete).bin");
    EXPECT_EQ(finished[2].error, kErrReadFault);

    // Preview: text goes to memory, at most what the caller's buffer holds.
    std::vector<uint8_t> memory(1000);
    uint64_t count = memory.size();
    std::string temp;
    EXPECT_EQ(s.engine->ExtractForPreview(s.tree.at("LostFolder5/file1.txt"), temp, memory.data(),
                                          count, nullptr, nullptr),
              kOk);
    EXPECT_TRUE(temp.empty());
    ASSERT_EQ(count, 1000u);
    EXPECT_EQ(memory,
              std::vector<uint8_t>(volume.files.at("LostFolder5/file1.txt").begin(),
                                   volume.files.at("LostFolder5/file1.txt").begin() + 1000));
    // A photo previews through the picture viewer's file.
    count = 0;
    EXPECT_EQ(s.engine->ExtractForPreview(s.tree.at("LostFolder5/sub/file2.jpg"), temp, nullptr,
                                          count, nullptr, nullptr),
              kOk);
    EXPECT_EQ(temp, ChoosePreviewTarget("x.jpg").path);
    EXPECT_EQ(testing::ReadFileBytes(temp), volume.files.at("LostFolder5/sub/file2.jpg"));
}

// A whole folder is written with its sub-folders, names kept.
TEST(ProfessionalFatEngine, FolderRecoveryWritesTheSubtree) {
    IsolatedHome home;
    const HandMadeVolume volume(false);
    Scanned s = ScanBytes(volume.bytes);
    TempDir out;
    EXPECT_EQ(s.engine->RecoverItem(s.tree.at("LostFolder5"), out / "F", 0),
              kErrHandleEof);  // tail.bin runs past the medium; the rest is written
    for (const auto& [path, bytes] : volume.files) {
        const std::string written = out / ("F" + path.substr(path.find('/')));
        if (path == "LostFolder5/tail.bin") {
            EXPECT_FALSE(std::filesystem::exists(written));  // a file cut short leaves nothing
            continue;
        }
        EXPECT_EQ(testing::ReadFileBytes(written), bytes) << path;
    }
}

// Two folders whose ".." entries name each other: every walk up the tree ends.
TEST(ProfessionalFatEngine, FoldersThatNameEachOtherAsParentEndTheScan) {
    IsolatedHome home;
    std::vector<uint8_t> bytes(kSectors * 512, 0);
    PutAt(bytes, 0, testing::Fat32BootSector(kSpc, kDataStart, kStatedSectors));
    PutAt(bytes, Lba(20),
          Cat({DotPairOf(20, 21), ShortEntryOf("X       TXT", kAttrArchive, 22, 5)}));
    PutAt(bytes, Lba(21),
          Cat({DotPairOf(21, 20), ShortEntryOf("Y       TXT", kAttrArchive, 23, 5),
               ShortEntryOf("LOOP       ", kAttrDirectory, 20, 0)}));
    EXPECT_TRUE(testing::RunInChild(20, [&] {
        Scanned s = ScanBytes(bytes);
        if (s.pass.finish != kOk) return 1;
        std::vector<RecoveredItem> txt;
        if (s.engine->ListByType("*.txt", txt) != 1 || txt.size() != 2) return 2;
        for (const RecoveredItem& item : txt) {
            std::string path;
            if (s.engine->GetItemPath(item, path) != kOk) return 3;
        }
        return 0;
    }));
}

// What a pass keeps while no layout places it stays within its caps, however many directory
// sectors the medium holds.
TEST(ProfessionalFatEngine, WaitingSectorsFilesAndAnchorsStayWithinTheirCaps) {
    IsolatedHome home;
    ProfessionalFatLimits limits;
    limits.maxOrphanBytes = 100 * 512;
    limits.maxHeldFiles = 50;
    limits.maxAnchors = 30;
    limits.maxGuesses = 4;
    CProfessionalFatRecovery engine;
    engine.SetLimits(limits);
    ASSERT_EQ(engine.OpenSource(std::make_unique<MemorySource>(std::vector<uint8_t>(1 << 20)), 0,
                                2048, 1),
              kOk);
    ScanLogHistory::Instance().NewScanFolder();
    ASSERT_EQ(engine.BeginScan(nullptr), kOk);
    ASSERT_EQ(engine.ProbeBootSector(), kOk);
    std::vector<uint8_t> dir = ShortEntryOf("A       TXT", kAttrArchive, 3, 10);
    dir.resize(512);
    for (uint64_t i = 0; i < 5000; ++i) engine.OnDirectorySector(dir, 1'000'000 + i);
    // "." entries whose distances never give a cluster size: none becomes a layout.
    std::vector<uint8_t> dot =
        Cat({DotPairOf(7, 0), ShortEntryOf("B       TXT", kAttrArchive, 8, 10),
             ShortEntryOf("C       TXT", kAttrArchive, 9, 10)});
    dot.resize(512);
    for (uint32_t i = 0; i < 500; ++i) {
        dot[26] = uint8_t(i);
        dot[27] = uint8_t((i >> 8) + 1);
        engine.OnDotSector(dot, 3'000'000 + uint64_t(i) * 3);
    }
    const auto c = engine.Counts();
    EXPECT_EQ(c.orphanSectors, 100u);
    EXPECT_EQ(c.heldFiles, 50u);
    EXPECT_EQ(c.anchors, 30u);
    EXPECT_LE(c.guesses, 4u);
    EXPECT_EQ(engine.FinishScan(), kOk);
    EXPECT_EQ(engine.Counts().orphanSectors, 0u);
    EXPECT_EQ(engine.Counts().heldFiles, 0u);
}

// A scan resumed under its log name adds to the records of its first run: indexes go on after
// them, and a folder the first run emitted is not emitted again.
TEST(ProfessionalFatEngine, ResumedScanAddsToTheSavedStore) {
    IsolatedHome home;
    const HandMadeVolume volume(true);
    ScanLogHistory::Instance().NewScanFolder();
    int32_t firstCount = 0;
    {
        Scanned first = ScanBytes(volume.bytes, "Pro_Fat_resume", 0, Lba(9));
        ASSERT_EQ(first.pass.begin, kOk);
        firstCount = int32_t(first.engine->GetItemCount());
        EXPECT_EQ(first.tree.count("LostFolder5/sub/file2.jpg"), 0u);
    }
    Scanned second = ScanBytes(volume.bytes, "Pro_Fat_resume", Lba(9), UINT64_MAX);
    ASSERT_EQ(second.pass.begin, kOk);
    ASSERT_EQ(second.pass.finish, kOk);
    const RecoveredItem& photo = second.tree.at("LostFolder5/LostFolder9/file2.jpg");
    EXPECT_GT(int32_t(photo.recordIndex), firstCount);
    std::string path;
    EXPECT_EQ(second.engine->GetItemPath(photo, path), kOk);
    EXPECT_EQ(path, "LostFolder5/LostFolder9/");
    EXPECT_EQ(second.tree.count("LostFolder5/file1.txt"), 1u);
    std::vector<RecoveredItem> root;
    ASSERT_EQ(second.engine->ListChildren(nullptr, 0, root), kOk);
    EXPECT_EQ(root.size(), 1u);
    TempDir out;
    EXPECT_EQ(testing::RecoverItemBytes(*second.engine, photo, out / "p.jpg"),
              volume.files.at("LostFolder5/sub/file2.jpg"));
}

TEST(ProfessionalFatEngine, CallsBeforeAnOpenOrAStoreDoNothing) {
    CProfessionalFatRecovery engine;
    std::vector<uint8_t> sector = DotPairOf(5, 0);
    sector.resize(512);
    engine.OnDotSector(sector, 10);
    engine.OnDirectorySector(sector, 11);
    EXPECT_NE(engine.FinishScan(), kOk);
    EXPECT_NE(engine.BeginScan(nullptr), kOk);
    std::vector<RecoveredItem> out;
    EXPECT_EQ(engine.ListChildren(nullptr, 0, out), kOk);
    EXPECT_EQ(engine.ListChildren(nullptr, 1, out), kErrInvalidParameter);
    EXPECT_EQ(engine.ListByType("*.jpg", out), 0);
    EXPECT_EQ(engine.GetItemCount(), 0u);
    uint64_t position = 5, length = 9;
    (void)engine.SkipUsedClusters(position, length);
    EXPECT_EQ(length, 0u);
}

}  // namespace
}  // namespace norvale
