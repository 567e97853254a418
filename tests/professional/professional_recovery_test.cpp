// The full scan on real media made with mkfs.fat, mtools, mkntfs and mke2fs: formatted cards,
// a wiped boot sector, duplicates between the engines, stopping and resuming, and the free
// space by which a saved scan recognises its partition.
#include "professional/professional_recovery.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device/sector_source.h"
#include "engine/engine_factory.h"
#include "engine/scan_log_history.h"
#include "engine/search.h"
#include "fat/fast_fat_recovery.h"
#include "fat/fat_file_system.h"
#include "fat/free_space.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs/ntfs_file_system.h"
#include "professional/volume_free_space.h"
#include "support/scoped_disk_opener.h"
#include "support/scoped_file_systems.h"
#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::IsolatedHome;
using testing::ReadFileBytes;
using testing::RunShell;
using testing::TempDir;

struct Report {
    int percent;
    int scale;
    uint64_t sector;
    uint64_t total;
    uint64_t found;
};

// Records every report; answers kScanCancelled once the pass reached `stopAt` sectors.
struct Watcher {
    std::vector<Report> reports;
    uint64_t stopAt = UINT64_MAX;
    static int Thunk(void* userData, int percent, int scale, int, uint64_t sector, uint64_t total,
                     uint64_t found, int) {
        auto* self = static_cast<Watcher*>(userData);
        self->reports.push_back({percent, scale, sector, total, found});
        return scale == kPassProgressScale && sector >= self->stopAt ? int(kScanCancelled) : 0;
    }
};

// Scans the open engine with `watcher` hearing every progress report.
Result WatchedScan(CProfessionalRecovery& engine, Watcher& watcher) {
    EXPECT_EQ(engine.SetCallbacks(&Watcher::Thunk, nullptr, &watcher, kFullProgressScale), kOk);
    return engine.Scan(nullptr);
}

class FullScan : public ::testing::Test {
  protected:
    void SetUp() override {
        // The cards are made by scripts/make-demo-card.sh and the tools themselves.
        NORVALE_REQUIRE_TOOLS("mkfs.fat", "mcopy", "mdel", "mkntfs", "ntfscat", "mke2fs");
        RegisterFileSystem(NtfsFileSystem());
        RegisterFileSystem(FatFileSystem());
    }
    testing::ScopedFileSystems registry_;
    // The demo card: photos, a picture, a text and a sound in folders, three of them deleted.
    void MakeCard() {
        std::string out;
        ASSERT_EQ(RunShell(testing::SourceDir() + "/scripts/make-demo-card.sh '" + card_ + "' '" +
                               originals_ + "'",
                           &out),
                  0)
            << out;
    }
    Result ScanCard(CProfessionalRecovery& engine, Watcher& watcher) {
        EXPECT_EQ(engine.OpenImage(card_, 0x8001), kOk);
        return WatchedScan(engine, watcher);
    }
    // Recovers every file of the engine into `dest`; name -> bytes.
    std::map<std::string, std::vector<uint8_t>> RecoverAll(CProfessionalRecovery& engine,
                                                           const std::string& dest) {
        std::vector<RecoveredItem> items;
        engine.ListByType(BuildCategoryFilter(kAllCategories), items);
        std::map<std::string, std::vector<uint8_t>> files;
        int n = 0;
        for (const RecoveredItem& item : items) {
            if (item.isFolder) continue;
            const std::string path =
                dest + "/" + std::to_string(n++) + "_" + std::string(item.Name());
            // Some records of a reformatted volume cannot be followed: those are skipped.
            if (engine.RecoverItem(item, path, 0) == kOk) {
                files[std::string(item.Name())] = ReadFileBytes(path);
            }
        }
        return files;
    }
    // True when some recovered file holds exactly the original's bytes.
    bool Found(const std::map<std::string, std::vector<uint8_t>>& files, const std::string& name) {
        const std::vector<uint8_t> original = ReadFileBytes(originals_ + "/" + name);
        if (original.empty()) return false;
        return std::any_of(files.begin(), files.end(),
                           [&](const auto& f) { return f.second == original; });
    }

    IsolatedHome home_;
    TempDir dir_;
    std::string card_ = dir_ / "card.img";
    std::string originals_ = dir_ / "originals";
    const std::vector<std::string> allFiles_ = {"IMG_0001.png",        "IMG_0002.png",
                                                "Sommer am Fjord.png", "scan.bmp",
                                                "notes.txt",           "voice memo.wav"};
};

TEST_F(FullScan, QuickFormattedCardGivesBackFilesWithTheirNames) {
    MakeCard();
    ASSERT_EQ(RunShell("mkfs.fat -F 32 -n NEWCARD '" + card_ + "' >/dev/null"), 0);
    CProfessionalRecovery engine;
    Watcher watcher;
    ASSERT_EQ(ScanCard(engine, watcher), kOk);
    ASSERT_FALSE(watcher.reports.empty());
    EXPECT_EQ(watcher.reports.back().percent, 100);
    // The pass reports on the 9-99 % band.
    for (const Report& r : watcher.reports) {
        if (r.scale == kPassProgressScale) {
            EXPECT_GE(r.percent, 10);
        }
    }

    const auto files = RecoverAll(engine, dir_.Path());
    for (const std::string& name : allFiles_) EXPECT_TRUE(Found(files, name)) << name;
    // The directories survived the format: names come back, in their folders.
    std::vector<RecoveredItem> root;
    ASSERT_EQ(engine.ListChildren(nullptr, 0, root), kOk);
    std::set<std::string> names;
    for (const auto& [name, bytes] : files) names.insert(name);
    EXPECT_TRUE(names.count("Sommer am Fjord.png")) << ::testing::PrintToString(names);
    EXPECT_TRUE(names.count("scan.bmp"));
    EXPECT_TRUE(names.count("notes.txt"));
}

TEST_F(FullScan, CardWithoutBootSectorIsReadWhole) {
    MakeCard();
    // Both boot sectors of FAT32 (the backup at sector 6) are gone: no file system is known.
    ASSERT_EQ(
        RunShell("dd if=/dev/zero of='" + card_ + "' bs=512 count=16 conv=notrunc 2>/dev/null"), 0);
    CProfessionalRecovery engine;
    Watcher watcher;
    ASSERT_EQ(ScanCard(engine, watcher), kOk);
    EXPECT_EQ(engine.InnerEngine(), nullptr);
    const auto files = RecoverAll(engine, dir_.Path());
    for (const std::string& name : allFiles_) EXPECT_TRUE(Found(files, name)) << name;
    // The whole card was read.
    uint64_t last = 0;
    for (const Report& r : watcher.reports) last = std::max(last, r.sector);
    EXPECT_EQ(last, fs::file_size(card_) / 512);
}

TEST_F(FullScan, FilesFoundThroughTheFileSystemAreNotListedAgainAsCarved) {
    MakeCard();
    CProfessionalRecovery engine;
    Watcher watcher;
    ASSERT_EQ(ScanCard(engine, watcher), kOk);
    ASSERT_NE(engine.InnerEngine(), nullptr);
    // The carver saw the deleted pictures in the free space too.
    EXPECT_GT(engine.Carver().GetItemCount(), 0u);
    std::vector<RecoveredItem> pictures;
    engine.ListByType("*.png", pictures);
    std::vector<std::string> names;
    for (const RecoveredItem& item : pictures) names.emplace_back(item.Name());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"!mg_0002.png", "Sommer am Fjord.png"}));
    // Nor in the folder tree: the carved files at its top leave out the same copies.
    std::vector<RecoveredItem> root;
    ASSERT_EQ(engine.ListChildren(nullptr, 0, root), kOk);
    size_t carvedPngs = 0;
    for (const RecoveredItem& item : root) {
        const bool png = std::string(item.Name()).ends_with(".png");
        if (item.engineKind == kEngineFileType && png) ++carvedPngs;
    }
    EXPECT_EQ(carvedPngs, 0u) << root.size() << " items at the top";
    // And the count of found items says what the listings show.
    const std::string everything = BuildFilter({}) + "|*.other";
    std::vector<RecoveredItem> carved, listed;
    engine.Carver().ListByType(everything, carved);
    engine.ListByType(everything, listed);
    const auto carvedListed = static_cast<size_t>(std::count_if(
        listed.begin(), listed.end(),
        [](const RecoveredItem& item) { return item.engineKind == kEngineFileType; }));
    const uint64_t raw = engine.InnerEngine()->GetItemCount() + engine.FatScanner().GetItemCount() +
                         engine.NtfsScanner().GetItemCount() + engine.Carver().GetItemCount();
    EXPECT_LT(carvedListed, carved.size());
    EXPECT_EQ(engine.GetItemCount(), raw - (carved.size() - carvedListed));
    // Only free space was read: the live files' clusters were skipped.
    uint64_t total = 0;
    for (const Report& r : watcher.reports) total = std::max(total, r.total);
    EXPECT_GT(total, 0u);
    EXPECT_LT(total, fs::file_size(card_) / 512);
}

TEST_F(FullScan, ACarvedCopyUnderAnotherNameOfTheSameKindIsNotListedAgain) {
    MakeCard();
    // A deleted bitmap named ".dib": the carver names the same file ".bmp".
    const std::string card = dir_ / "dib.img";
    ASSERT_EQ(RunShell("mkfs.fat -C -F 32 '" + card +
                       "' 65536 >/dev/null && MTOOLS_SKIP_CHECK=1 "
                       "mcopy -i '" +
                       card + "' '" + originals_ +
                       "/scan.bmp' ::/scan.dib && "
                       "MTOOLS_SKIP_CHECK=1 mdel -i '" +
                       card + "' ::/scan.dib"),
              0);
    CProfessionalRecovery engine;
    ASSERT_EQ(engine.OpenImage(card, 0x8004), kOk);
    ASSERT_EQ(engine.Scan(nullptr), kOk);
    EXPECT_GT(engine.Carver().GetItemCount(), 0u);
    std::vector<RecoveredItem> items;
    engine.ListByType(BuildCategoryFilter(kAllCategories), items);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].Name(), "!can.dib");
}

TEST_F(FullScan, StoppedScanGoesOnWhereItStoppedUntilTheSourceChanges) {
    MakeCard();
    ASSERT_EQ(RunShell("mkfs.fat -F 32 -n NEWCARD '" + card_ + "' >/dev/null"), 0);
    uint64_t stoppedAt = 0;
    {
        CProfessionalRecovery engine;
        Watcher watcher;
        watcher.stopAt = 30000;
        ASSERT_EQ(ScanCard(engine, watcher), kScanCancelled);
        stoppedAt = watcher.reports.back().sector;
        EXPECT_GE(stoppedAt, 30000u);
        // An image is saved as disk 128.
        ASSERT_EQ(ScanLogHistory::Instance().Records().size(), 1u);
        EXPECT_EQ(int32_t{ScanLogHistory::Instance().Records()[0].diskNumber}, kImageDiskNumber);
    }
    {
        CProfessionalRecovery engine;
        ASSERT_EQ(engine.OpenImage(card_, 0x8001), kOk);
        ASSERT_TRUE(engine.ResumePending());
        EXPECT_TRUE(ScanLogHistory::Instance().ResumeFound());
        EXPECT_EQ(engine.SavedState().position.sectorsDone, stoppedAt);
        Watcher watcher;
        ASSERT_EQ(WatchedScan(engine, watcher), kOk);
        // The pass started where the first one stopped.
        const auto first =
            std::find_if(watcher.reports.begin(), watcher.reports.end(),
                         [](const Report& r) { return r.scale == kPassProgressScale; });
        ASSERT_NE(first, watcher.reports.end());
        EXPECT_GE(first->sector, stoppedAt);
        EXPECT_LE(first->sector, stoppedAt + kPassBlockBytes / 512);
        // What was found before the stop is still listed.
        const auto files = RecoverAll(engine, dir_.Path());
        for (const std::string& name : allFiles_) EXPECT_TRUE(Found(files, name)) << name;
    }
    // A write to the image makes the saved scan stale: the next scan starts afresh.
    ASSERT_EQ(
        RunShell("printf x | dd of='" + card_ + "' bs=1 seek=20000000 conv=notrunc 2>/dev/null"),
        0);
    struct utimbuf later {};
    later.actime = later.modtime = time(nullptr) + 100;
    ASSERT_EQ(::utime(card_.c_str(), &later), 0);
    CProfessionalRecovery engine;
    ASSERT_EQ(engine.OpenImage(card_, 0x8001), kOk);
    EXPECT_FALSE(engine.ResumePending());
}

TEST_F(FullScan, ReformattedNtfsVolumeGivesBackNamedFiles) {
    const std::string image = dir_ / "ntfs.img";
    ASSERT_EQ(RunShell("zcat '" + testing::SourceDir() +
                       "/tests/fixtures/ntfs/ntfs_card.img.gz' > '" + image + "'"),
              0);
    const std::string readme = dir_ / "readme.txt";
    ASSERT_EQ(RunShell("ntfscat '" + image + "' /readme.txt > '" + readme + "'"), 0);
    ASSERT_EQ(RunShell("mkntfs -Q -F '" + image + "' >/dev/null 2>&1"), 0);
    CProfessionalRecovery engine;
    ASSERT_EQ(engine.OpenImage(image, 0x8003), kOk);
    Watcher watcher;
    ASSERT_EQ(WatchedScan(engine, watcher), kOk);
    const auto files = RecoverAll(engine, dir_.Path());
    ASSERT_TRUE(files.count("readme.txt"));
    EXPECT_EQ(files.at("readme.txt"), ReadFileBytes(readme));
    // Names in any script survive.
    EXPECT_TRUE(files.count("naïve ☃.txt"));
}

// A volume found inside the medium rather than at its start: the files under the volume's own
// folders ($Extend's $ObjId, $Quota, $Reparse) are the file system's, never listed as found.
TEST_F(FullScan, NtfsVolumeInsideTheMediumListsNoneOfItsOwnSystemFiles) {
    const std::string volume = dir_ / "volume.img";
    const std::string image = dir_ / "shifted.img";
    ASSERT_EQ(RunShell("zcat '" + testing::SourceDir() +
                       "/tests/fixtures/ntfs/ntfs_card.img.gz' > '" + volume + "' && truncate -s 1M '" +
                       image + "' && cat '" + volume + "' >> '" + image + "'"),
              0);
    CProfessionalRecovery engine;
    ASSERT_EQ(engine.OpenImage(image, 0x8005), kOk);
    Watcher watcher;
    ASSERT_EQ(WatchedScan(engine, watcher), kOk);
    std::vector<RecoveredItem> items;
    engine.ListByType(BuildCategoryFilter(kAllCategories), items);
    EXPECT_TRUE(RecoverAll(engine, dir_.Path()).count("readme.txt"));
    for (const RecoveredItem& item : items) EXPECT_NE(item.Name()[0], '$') << item.Name();
}

// The Linux ntfs3 driver writes its records with the update sequence array at 0x2A and no
// record number in the header; with the boot sector gone they are numbered by where the
// volume's own $MFT record places them.
TEST_F(FullScan, Ntfs3DriverVolumeWithoutBootSectorGivesBackItsFiles) {
    if (testing::CorpusDir().empty()) GTEST_SKIP() << "public test corpus not present";
    const std::string image = testing::CorpusImage("ntfs3.raw.gz", dir_.Path());
    ASSERT_FALSE(image.empty());
    const std::string first = dir_ / "1.txt.icat";
    const bool haveIcat =
        testing::HaveTool("icat") && RunShell("icat '" + image + "' 28 > '" + first + "'") == 0;
    ASSERT_EQ(
        RunShell("dd if=/dev/zero of='" + image + "' bs=512 count=1 conv=notrunc 2>/dev/null"), 0);
    CProfessionalRecovery engine;
    Watcher watcher;
    ASSERT_EQ(engine.OpenImage(image, 0x8004), kOk);
    ASSERT_EQ(WatchedScan(engine, watcher), kOk);
    const auto files = RecoverAll(engine, dir_.Path());
    for (const char* name : {"1.txt", "2.txt", "3.txt"}) EXPECT_TRUE(files.count(name)) << name;
    if (haveIcat && files.count("1.txt")) {
        EXPECT_EQ(files.at("1.txt"), ReadFileBytes(first));
    }
}

// A volume made for 4 KiB sectors keeps 4 KiB records; its image is read in 512-byte sectors.
TEST_F(FullScan, LargeRecordNtfsVolumeFormattedOverGivesBackNamedFiles) {
    if (!testing::HaveTool("mkntfs") || !testing::HaveTool("ntfs-3g")) {
        GTEST_SKIP() << "mkntfs or ntfs-3g missing";
    }
    const std::string tree = dir_ / "tree";
    fs::create_directories(tree + "/Docs");
    std::vector<uint8_t> notes(1800);
    std::vector<uint8_t> blob(150000);
    for (size_t i = 0; i < notes.size(); ++i) notes[i] = uint8_t('a' + i % 26);
    for (size_t i = 0; i < blob.size(); ++i) blob[i] = uint8_t((i * 2654435761u) >> 13);
    testing::WriteFileBytes(tree + "/Docs/notes.txt", notes);  // resident in a 4 KiB record
    testing::WriteFileBytes(tree + "/Docs/blob.bin", blob);
    const std::string image = dir_ / "large-records.img";
    std::string out;
    if (RunShell(testing::SourceDir() + "/scripts/make-formatted-media.sh ntfs '" + image +
                     "' 32 '" + tree + "' '-s 4096 -c 4096' '-s 4096 -c 4096' 2>&1",
                 &out) != 0) {
        GTEST_SKIP() << "cannot make the volume (FUSE?): " << out;
    }
    for (const bool wipeBoot : {false, true}) {
        SCOPED_TRACE(wipeBoot ? "boot sector wiped" : "formatted over");
        if (wipeBoot) {
            ASSERT_EQ(RunShell("dd if=/dev/zero of='" + image +
                               "' bs=512 count=1 conv=notrunc 2>/dev/null"),
                      0);
        }
        CProfessionalRecovery engine;
        Watcher watcher;
        ASSERT_EQ(engine.OpenImage(image, 0x8005), kOk);
        ASSERT_EQ(WatchedScan(engine, watcher), kOk);
        const std::string dest = dir_ / (wipeBoot ? "out-wiped" : "out-formatted");
        fs::create_directories(dest);
        const auto files = RecoverAll(engine, dest);
        ASSERT_TRUE(files.count("notes.txt") && files.count("blob.bin"));
        EXPECT_EQ(files.at("notes.txt"), notes);
        EXPECT_EQ(files.at("blob.bin"), blob);
    }
}

TEST_F(FullScan, ExtVolumeIsReadWholeAndEnds) {
    const std::string tree = dir_ / "tree";
    fs::create_directories(tree);
    MakeCard();
    fs::copy_file(originals_ + "/IMG_0001.png", tree + "/photo.png");
    const std::string ext = dir_ / "ext.img";
    ASSERT_EQ(RunShell("mke2fs -q -t ext4 -d '" + tree + "' '" + ext + "' 8M"), 0);
    CProfessionalRecovery engine;
    ASSERT_EQ(engine.OpenImage(ext, 0x8002), kOk);
    ASSERT_NE(engine.InnerEngine(), nullptr);
    Watcher watcher;
    ASSERT_EQ(WatchedScan(engine, watcher), kOk);
    const auto files = RecoverAll(engine, dir_.Path());
    EXPECT_TRUE(Found(files, "IMG_0001.png"));
}

// What a scan lists, one line per file: folder path, name, size and the engine that found it.
std::vector<std::string> Listing(CProfessionalRecovery& engine) {
    std::vector<RecoveredItem> items;
    engine.ListByType(BuildFilter({}) + "|*.other", items);
    std::vector<std::string> lines;
    for (const RecoveredItem& item : items) {
        std::string path;
        EXPECT_EQ(engine.GetItemPath(item, path), kOk);
        lines.push_back(path + std::string(item.Name()) + " " + std::to_string(item.fileSize) +
                        " " + std::to_string(int32_t{item.engineKind}));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

// A formatted card whose folders lie far apart, with random data between them, so that a stop
// can fall between the folders a pass finds.
class ResumedScan : public FullScan {
  protected:
    void MakeSpreadCard() {
        MakeCard();
        std::string script = "set -e\nexport MTOOLS_SKIP_CHECK=1\nc='" + card_ + "'\no='" +
                             originals_ + "'\nf='" + dir_ / "filler.bin" +
                             "'\nhead -c 6M /dev/urandom > \"$f\"\nrm -f \"$c\"\n"
                             "mkfs.fat -C -F 32 -n CARD \"$c\" 65536 >/dev/null\n"
                             "mmd -i \"$c\" ::/DCIM\n"
                             "for d in A B C; do\n"
                             "  mmd -i \"$c\" ::/DCIM/$d\n"
                             "  mcopy -i \"$c\" \"$o\"/* ::/DCIM/$d/\n"
                             "  mcopy -i \"$c\" \"$f\" ::/fill$d.bin\n"
                             "done\n"
                             "mkfs.fat -F 32 -n NEW \"$c\" >/dev/null\n";
        testing::WriteFileBytes(dir_ / "spread.sh",
                                std::vector<uint8_t>(script.begin(), script.end()));
        std::string out;
        ASSERT_EQ(RunShell("bash '" + dir_ / "spread.sh" + "'", &out), 0) << out;
    }
};

// Scans `image` whole, then stopped at each tenth of the pass and resumed (and loaded once more
// when finished): every run lists and counts what the whole scan did. Returns the whole listing.
std::vector<std::string> ExpectResumedScansMatchTheWholeScan(const std::string& image,
                                                             std::initializer_list<int> tenths) {
    std::vector<std::string> whole;
    uint64_t wholeCount = 0;
    uint64_t total = 0;
    {
        CProfessionalRecovery engine;
        Watcher watcher;
        EXPECT_EQ(engine.OpenImage(image, 0x8001), kOk);
        EXPECT_EQ(WatchedScan(engine, watcher), kOk);
        whole = Listing(engine);
        wholeCount = engine.GetItemCount();
        for (const Report& r : watcher.reports) total = std::max(total, r.total);
        // The last count the progress showed is what the result holds.
        const auto last = std::find_if(watcher.reports.rbegin(), watcher.reports.rend(),
                                       [](const Report& r) { return r.total != 0; });
        EXPECT_NE(last, watcher.reports.rend());
        if (last != watcher.reports.rend()) {
            EXPECT_EQ(last->found, wholeCount);
        }
    }
    EXPECT_GT(total, 0u);
    for (const int tenth : tenths) {
        SCOPED_TRACE("stopped at " + std::to_string(tenth * 10) + " %");
        IsolatedHome home;  // a history of its own for each stop
        {
            CProfessionalRecovery engine;
            Watcher watcher;
            watcher.stopAt = total * tenth / 10;
            EXPECT_EQ(engine.OpenImage(image, 0x8001), kOk);
            EXPECT_EQ(WatchedScan(engine, watcher), kScanCancelled);
        }
        for (int run = 0; run < 2; ++run) {  // resumed, then loaded once more when finished
            CProfessionalRecovery engine;
            EXPECT_EQ(engine.OpenImage(image, 0x8001), kOk);
            EXPECT_TRUE(engine.ResumePending());
            Watcher watcher;
            EXPECT_EQ(WatchedScan(engine, watcher), kOk);
            EXPECT_EQ(Listing(engine), whole) << "run " << run;
            EXPECT_EQ(engine.GetItemCount(), wholeCount) << "run " << run;
        }
    }
    return whole;
}

TEST_F(ResumedScan, FatCardStoppedAnywhereAndResumedListsWhatAnUninterruptedScanLists) {
    MakeSpreadCard();
    const std::vector<std::string> whole = ExpectResumedScansMatchTheWholeScan(card_, {1, 3, 5, 7, 9});
    // The three folders were found by the folder rebuilder, with their names.
    for (const char* folder : {"/a/", "/b/", "/c/"}) {
        EXPECT_TRUE(std::any_of(whole.begin(), whole.end(), [&](const std::string& line) {
            return line.find(std::string(folder) + "scan.bmp") != std::string::npos;
        })) << folder << "\n" << ::testing::PrintToString(whole);
    }
}

TEST_F(ResumedScan, ReformattedNtfsCardStoppedAndResumedListsWhatAnUninterruptedScanLists) {
    const std::string image = dir_ / "ntfs.img";
    ASSERT_EQ(RunShell("zcat '" + testing::SourceDir() +
                       "/tests/fixtures/ntfs/ntfs_card.img.gz' > '" + image +
                       "' && mkntfs -Q -F '" + image + "' >/dev/null 2>&1"),
              0);
    const std::vector<std::string> whole = ExpectResumedScansMatchTheWholeScan(image, {2, 6});
    EXPECT_GT(whole.size(), 100u);
}

// A deleted folder whose directory grew past its first cluster: the deleted-file scan reads
// the part that follows its first cluster, the folder rebuilder finds all of it in the free
// space. Each file is listed once, under the folder's own path, in the flat list and the tree.
TEST_F(FullScan, DeletedFolderIsListedOnceUnderItsOwnPath) {
    const std::string script = dir_ / "trip.sh";
    const std::string text = "set -e\nexport MTOOLS_SKIP_CHECK=1\nc='" + card_ + "'\nt='" +
                             dir_.Path() +
                             "'\nmkfs.fat -C -F 32 -n CARD \"$c\" 65536 >/dev/null\n"
                             "mmd -i \"$c\" ::/DCIM ::/DCIM/Trip\n"
                             "for i in $(seq 10 29); do\n"
                             "  printf 'note %s\\n%01000d\\n' $i 0 > \"$t/n.txt\"\n"
                             "  mcopy -i \"$c\" \"$t/n.txt\" ::/DCIM/Trip/Note_$i.txt\n"
                             "done\n"
                             "mdeltree -i \"$c\" ::/DCIM/Trip\n";
    testing::WriteFileBytes(script, std::vector<uint8_t>(text.begin(), text.end()));
    std::string out;
    ASSERT_EQ(RunShell("bash '" + script + "'", &out), 0) << out;

    CProfessionalRecovery engine;
    Watcher watcher;
    ASSERT_EQ(ScanCard(engine, watcher), kOk);
    ASSERT_NE(engine.InnerEngine(), nullptr);
    // Both engines saw the folder's first files.
    ASSERT_GT(engine.FatScanner().GetItemCount(), 0u);

    std::set<std::string> names, paths;
    size_t notes = 0;
    std::vector<RecoveredItem> items;
    engine.ListByType(BuildFilter({}) + "|*.other", items);
    for (const RecoveredItem& item : items) {
        const std::string name(item.Name());
        if (name.find("ote_") == std::string::npos) continue;
        ++notes;
        names.insert(name.substr(1));
        std::string path;
        ASSERT_EQ(engine.GetItemPath(item, path), kOk);
        paths.insert(path);
    }
    EXPECT_EQ(notes, 20u);
    EXPECT_EQ(names.size(), 20u);
    ASSERT_EQ(paths.size(), 1u) << ::testing::PrintToString(paths);
    EXPECT_EQ(paths.begin()->find("LostFolder"), std::string::npos) << *paths.begin();
    EXPECT_EQ(paths.begin()->rfind("dcim/", 0), 0u) << *paths.begin();
    EXPECT_EQ(engine.GetItemCount(), 2u + notes);  // dcim, the deleted folder and its files

    // The tree: the folder under dcim holds all twenty; no lost folder stands beside it.
    std::vector<RecoveredItem> root, dcim, trip;
    ASSERT_EQ(engine.ListChildren(nullptr, 0, root), kOk);
    for (const RecoveredItem& item : root) {
        EXPECT_EQ(std::string(item.Name()).find("LostFolder"), std::string::npos) << item.Name();
    }
    ASSERT_EQ(root.size(), 1u);
    ASSERT_EQ(engine.ListChildren(&root[0], 1, dcim), kOk);
    ASSERT_EQ(dcim.size(), 1u);
    ASSERT_EQ(engine.ListChildren(&dcim[0], 2, trip), kOk);
    EXPECT_EQ(trip.size(), 20u);
}

TEST_F(FullScan, ItemOfNoKnownEngineIsAFailureNotAnEmptySuccess) {
    MakeCard();
    CProfessionalRecovery engine;
    Watcher watcher;
    ASSERT_EQ(ScanCard(engine, watcher), kOk);
    std::vector<RecoveredItem> items;
    engine.ListByType(BuildCategoryFilter(kAllCategories), items);
    ASSERT_FALSE(items.empty());
    RecoveredItem stranger = items[0];
    stranger.engineKind = 77;
    const std::string out = dir_ / "stranger.bin";
    EXPECT_NE(engine.RecoverItem(stranger, out, 0), kOk);
    EXPECT_FALSE(fs::exists(out));
    std::string path = "x";
    EXPECT_NE(engine.GetItemPath(stranger, path), kOk);
    EXPECT_TRUE(path.empty());
}

// Logs that cannot be written (a file-size limit stands in for a full disk) make the scan a
// failure, and leave nothing to resume from.
TEST_F(FullScan, ScanWhoseLogsCannotBeWrittenIsNoSuccess) {
    MakeCard();
    ASSERT_EQ(RunShell("mkfs.fat -F 32 -n NEWCARD '" + card_ + "' >/dev/null"), 0);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 1024;  // three records
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    Result r = kOk;
    {
        CProfessionalRecovery engine;
        Watcher watcher;
        r = ScanCard(engine, watcher);
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_NE(r, kOk);
    EXPECT_NE(r, kScanCancelled);
    CProfessionalRecovery engine;
    ASSERT_EQ(engine.OpenImage(card_, 0x8001), kOk);
    EXPECT_FALSE(engine.ResumePending());
}

// Boot sectors with fields that look plausible but no volume on the medium can have.
struct AbsurdField {
    const char* name;
    const char* fixture;  // "fat": the demo card; "ntfs": the NTFS fixture card
    void (*damage)(const std::string& image);
};

void PrintTo(const AbsurdField& f, std::ostream* os) {
    *os << f.name;
}

class AbsurdBootSector : public FullScan, public ::testing::WithParamInterface<AbsurdField> {};

TEST_P(AbsurdBootSector, FullScanStillSearchesTheWholeMedium) {
    const AbsurdField& field = GetParam();
    std::string image;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> expected;
    if (std::string(field.fixture) == "fat") {
        MakeCard();
        image = card_;
        for (const std::string& name : allFiles_)
            expected.emplace_back(name, ReadFileBytes(originals_ + "/" + name));
    } else {
        image = dir_ / "ntfs.img";
        ASSERT_EQ(RunShell("zcat '" + testing::SourceDir() +
                           "/tests/fixtures/ntfs/ntfs_card.img.gz' > '" + image + "'"),
                  0);
        const std::string readme = dir_ / "readme.txt";
        ASSERT_EQ(RunShell("ntfscat '" + image + "' /readme.txt > '" + readme + "'"), 0);
        expected.emplace_back("readme.txt", ReadFileBytes(readme));
    }
    field.damage(image);

    // The deleted-file mode has no engine for such a volume, rather than one that cannot read.
    EXPECT_EQ(CreateRecoveryEngine(image, 0x8006, false), nullptr);
    CProfessionalRecovery engine;
    ASSERT_EQ(engine.OpenImage(image, 0x8006), kOk);
    EXPECT_EQ(engine.InnerEngine(), nullptr);
    Watcher watcher;
    ASSERT_EQ(WatchedScan(engine, watcher), kOk);
    uint64_t last = 0;
    for (const Report& r : watcher.reports) last = std::max(last, r.sector);
    EXPECT_EQ(last, fs::file_size(image) / 512) << "the whole medium is read";
    const auto files = RecoverAll(engine, dir_.Path());
    for (const auto& [name, bytes] : expected) {
        EXPECT_TRUE(std::any_of(files.begin(), files.end(), [&](const auto& f) {
            return f.second == bytes;
        })) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, AbsurdBootSector,
    ::testing::Values(
        AbsurdField{"FatOf0xFFFFFFFFSectors", "fat",
                    [](const std::string& p) { testing::SetLe32(p, 0x24, 0xFFFFFFFFu); }},
        AbsurdField{"TwoHundredFiftyFiveFats", "fat",
                    [](const std::string& p) { testing::SetByte(p, 0x10, 255); }},
        AbsurdField{"HalfMegabyteClusters", "fat",
                    [](const std::string& p) {
                        testing::SetLe16(p, 0x0B, 4096);
                        testing::SetByte(p, 0x0D, 0x80);
                    }},
        AbsurdField{"ClustersOf0x80SectorsOverOneSector", "fat",
                    [](const std::string& p) { testing::SetByte(p, 0x0D, 0x80); }},
        AbsurdField{"MftClusterTwoToTheSixtySecond", "ntfs",
                    [](const std::string& p) { testing::SetLe64(p, 0x30, uint64_t{1} << 62); }},
        AbsurdField{"NtfsVolumeLargerThanItsMediumWithMftPastIt", "ntfs",
                    [](const std::string& p) {
                        testing::SetLe64(p, 0x28, uint64_t{1} << 40);
                        testing::SetLe64(p, 0x30, uint64_t{1} << 30);
                    }}),
    [](const ::testing::TestParamInfo<AbsurdField>& info) { return std::string(info.param.name); });

TEST_F(FullScan, SavedPartitionScanGoesStaleWhenTheUnmountedCardChanges) {
    MakeCard();
    // Disk 7 is the card image: nothing mounts it, so only its FAT can tell its free space.
    testing::ScopedDiskOpener opener([&](int n, std::unique_ptr<ISectorSource>& out) {
        if (n != 7) return kErrFileNotFound;
        std::unique_ptr<FileSource> file;
        const Result r = FileSource::Open(card_, file);
        out = std::move(file);
        return r;
    });
    const uint64_t before = VolumeFreeBytesOnMedium(7, 0);
    EXPECT_GT(before, 0u);
    ScanLogHistory& history = ScanLogHistory::Instance();
    const uint32_t state[10] = {1, 2, 3};
    history.NewScanFolder();
    ASSERT_EQ(history.SaveScanState(7, 0, 65536, state, history.CurrentFolder(), "",
                                    VolumeFreeBytesOnMedium),
              kOk);
    ScanLogRecord record{};
    EXPECT_EQ(history.FindPartitionScan(7, 0, 65536, record, VolumeFreeBytesOnMedium), 1);

    ASSERT_EQ(RunShell("MTOOLS_SKIP_CHECK=1 mcopy -i '" + card_ + "' '" + originals_ +
                       "/scan.bmp' ::/copy.bmp"),
              0);
    EXPECT_LT(VolumeFreeBytesOnMedium(7, 0), before);
    EXPECT_EQ(history.FindPartitionScan(7, 0, 65536, record, VolumeFreeBytesOnMedium), 0);
}

// ---------------------------------------------------------------------------------------------
// A third file system's stage, registered where exFAT's goes (between NTFS and FAT): it claims
// sectors that begin "MARKSTAGE" with the kind byte that follows.

std::vector<std::pair<uint64_t, uint8_t>> gMarksTaken;
int gMarkRecoveries = 0;

class MarkStage final : public IFullScanStage {
  public:
    int32_t StageEngineKind() const override { return kEngineProfessionalExfat; }
    const char* LogPrefix() const override { return "Pro_Mark_"; }
    void UseCarvingContext(CarvingContext&) override {}
    Result BeginScan(const char*) override { return kOk; }
    size_t ClaimSector(std::span<const uint8_t> sector, uint32_t, uint8_t& kind) override {
        if (sector.size() < 10 || std::memcmp(sector.data(), "MARKSTAGE", 9) != 0) return 0;
        kind = sector[9];
        return sector.size();
    }
    bool OwnsSectorKind(uint8_t kind) const override { return kind == 5 || kind == 200; }
    void TakeSector(uint8_t kind, std::span<const uint8_t>, uint64_t lba) override {
        gMarksTaken.emplace_back(lba, kind);
    }
    Result FinishScan() override { return kOk; }
    ResultStore* Store() override { return nullptr; }
    Result FirstDataSector(const RecoveredItem&, uint64_t&) override { return kErrInvalidParameter; }
    Result OpenImage(const std::string&, uint16_t) override { return kOk; }
    Result OpenDisk(int, uint64_t, uint64_t, uint16_t) override { return kOk; }
    Result SetCallbacks(ScanProgressFn, RecoverProgressFn, void*, int) override { return kOk; }
    Result Scan(const char*) override { return kOk; }
    Result ListChildren(const RecoveredItem*, int, std::vector<RecoveredItem>&) override {
        return kOk;
    }
    Result CountFiles(const RecoveredItem*, int, int& count) override {
        count = 0;
        return kOk;
    }
    uint64_t GetItemCount() override { return 0; }
    Result GetItemPath(const RecoveredItem&, std::string& out) override {
        out.clear();
        return kOk;
    }
    Result RecoverItem(const RecoveredItem&, const std::string&, int) override {
        ++gMarkRecoveries;
        return kErrHandleEof;
    }
    Result SkipUsedClusters(uint64_t&, uint64_t& freeLength) override {
        freeLength = 0;
        return kOk;
    }
    Result SetListCallback(ListProgressFn, void*) override { return kOk; }
    int ListByType(const std::string&, std::vector<RecoveredItem>&) override { return 0; }
    Result BuildClusterMap() override { return kOk; }
    Result ExtractForPreview(const RecoveredItem&, std::string&, uint8_t*, uint64_t& count,
                             PreviewProgressFn, void*) override {
        count = 0;
        return kErrInvalidParameter;
    }
};

class ThirdFileSystem : public FullScan {
  protected:
    void SetUp() override {
        FullScan::SetUp();
        if (IsSkipped()) return;
        gMarksTaken.clear();
        gMarkRecoveries = 0;
        FileSystemDescriptor mark{.kind = FileSystemKind::Exfat,
                                  .name = "Mark",
                                  .makeFullScan = []() -> std::unique_ptr<IFileRecoveryParse> {
                                      return std::make_unique<MarkStage>();
                                  },
                                  .deletedEngineKind = kEngineFastExfat,
                                  .fullEngineKind = kEngineProfessionalExfat};
        ReplaceRegisteredFileSystems({NtfsFileSystem(), mark, FatFileSystem()});
        // Marks of both kinds on an otherwise empty medium of 16384 sectors.
        std::vector<uint8_t> image(size_t{16384} * 512, 0);
        for (const auto& [lba, kind] : kMarks) {
            std::memcpy(image.data() + lba * 512, "MARKSTAGE", 9);
            image[lba * 512 + 9] = kind;
        }
        testing::WriteFileBytes(image_, image);
    }
    const std::vector<std::pair<uint64_t, uint8_t>> kMarks = {{100, 5}, {6000, 200}, {12000, 5}};
    std::string image_ = dir_ / "marks.img";
};

TEST_F(ThirdFileSystem, ItsSectorsReachItsStageOnceAlsoAcrossAStopAndItsItemsReachIt) {
    {
        CProfessionalRecovery engine;
        Watcher watcher;
        ASSERT_EQ(engine.OpenImage(image_, 0x8001), kOk);
        ASSERT_NE(engine.StageOf(FileSystemKind::Exfat), nullptr);
        ASSERT_EQ(WatchedScan(engine, watcher), kOk);
        EXPECT_EQ(gMarksTaken, kMarks);
        EXPECT_EQ(engine.Carver().GetItemCount(), 0u);
        // An item of the stage's engine kind goes to the stage.
        RecoveredItem item{};
        item.engineKind = kEngineProfessionalExfat;
        EXPECT_EQ(engine.RecoverItem(item, dir_ / "out.bin", 0), kErrHandleEof);
        EXPECT_EQ(gMarkRecoveries, 1);
    }
    // Stopped half-way, the stage is handed the sectors of the first run again (kinds that need
    // more than the two bits the first saved format had), then the rest.
    IsolatedHome home;
    {
        gMarksTaken.clear();
        CProfessionalRecovery engine;
        Watcher watcher;
        watcher.stopAt = 8192;
        ASSERT_EQ(engine.OpenImage(image_, 0x8001), kOk);
        ASSERT_EQ(WatchedScan(engine, watcher), kScanCancelled);
        const std::vector<std::pair<uint64_t, uint8_t>> firstHalf(kMarks.begin(),
                                                                  kMarks.begin() + 2);
        ASSERT_EQ(gMarksTaken, firstHalf);
    }
    gMarksTaken.clear();
    CProfessionalRecovery engine;
    ASSERT_EQ(engine.OpenImage(image_, 0x8001), kOk);
    ASSERT_TRUE(engine.ResumePending());
    Watcher watcher;
    ASSERT_EQ(WatchedScan(engine, watcher), kOk);
    EXPECT_EQ(gMarksTaken, kMarks);
}

}  // namespace
}  // namespace norvale
