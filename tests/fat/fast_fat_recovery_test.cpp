// The deleted-file engine on volumes made by mkfs.fat and filled with mtools: what it lists,
// and that what it writes back is the deleted data, inside the destination, never over an
// existing file.

#include "fat/fast_fat_recovery.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "engine/data_paths.h"
#include "engine/preview_target.h"
#include "engine/recovered_file_writer.h"
#include "engine/recovery_driver.h"
#include "engine/result_store.h"
#include "fat/fast_fat_test_helpers.h"
#include "fat/fat_test_media.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::IsolatedHome;
using testing::MakeContent;
using testing::ReadFileBytes;
using testing::TempDir;
namespace fs = std::filesystem;

#define NORVALE_REQUIRE_FAT_TOOLS() \
    if (!testing::HaveFatTools()) GTEST_SKIP() << "mkfs.fat or mtools missing"

// A volume made by mkfs.fat, written and changed with mtools; remembers what it wrote.
class Card {
  public:
    Card(const std::string& mkfsArgs, uint64_t sizeKiB)
        : image(dir / "card.img"), ok(testing::MakeFatImage(image, mkfsArgs, sizeKiB)) {}

    bool Put(const std::string& path, std::vector<uint8_t> bytes) {
        const std::string local = dir / ("src" + std::to_string(written.size()));
        testing::WriteFileBytes(local, bytes);
        written[path] = std::move(bytes);
        return Tool("mcopy", "'" + local + "' '::" + path + "'");
    }
    bool Tool(const std::string& tool, const std::string& args) {
        return testing::Mtools("LC_ALL=C.UTF-8 " + tool + " -i '" + image + "' " + args);
    }
    bool Mkdir(const std::string& path) { return Tool("mmd", "'::" + path + "'"); }
    bool Del(const std::string& path) { return Tool("mdel", "'::" + path + "'"); }
    bool DelTree(const std::string& path) { return Tool("mdeltree", "'::" + path + "'"); }

    TempDir dir;
    std::string image;
    bool ok;
    std::map<std::string, std::vector<uint8_t>> written;
};

struct Format {
    const char* mkfs;
    uint64_t sizeKiB;
};

class DeletedFiles : public ::testing::TestWithParam<Format> {};

TEST_P(DeletedFiles, ComeBackByteExactWithTheirFoldersAndNames) {
    NORVALE_REQUIRE_FAT_TOOLS();
    IsolatedHome home;
    Card card(GetParam().mkfs, GetParam().sizeKiB);
    ASSERT_TRUE(card.ok);
    const std::string longName = "Fotos de España — año 2024.txt";
    ASSERT_TRUE(card.Put("/KEEP.TXT", MakeContent("keep", 700)));
    ASSERT_TRUE(card.Put("/GONE.BIN", MakeContent("gone", 5000)));
    ASSERT_TRUE(card.Put("/" + longName, MakeContent("long", 1800)));
    ASSERT_TRUE(card.Mkdir("/DCIM"));
    ASSERT_TRUE(card.Put("/DCIM/A.JPG", MakeContent("a", 3000, true)));
    ASSERT_TRUE(card.Put("/DCIM/IMG_0002.JPG", MakeContent("img2", 7000, true)));
    ASSERT_TRUE(card.Mkdir("/Old album"));
    ASSERT_TRUE(card.Mkdir("/Old album/Sub folder"));
    ASSERT_TRUE(card.Put("/Old album/photo 1.jpg", MakeContent("photo1", 4000, true)));
    ASSERT_TRUE(card.Put("/Old album/Sub folder/Deep notes.txt", MakeContent("deep", 2500)));
    ASSERT_TRUE(card.Del("/GONE.BIN"));
    ASSERT_TRUE(card.Del("/" + longName));
    ASSERT_TRUE(card.Del("/DCIM/IMG_0002.JPG"));
    ASSERT_TRUE(card.DelTree("/Old album"));

    Result scanned = kErrGenFailure;
    auto engine = testing::ScanImage(card.image, &scanned);
    ASSERT_TRUE(engine);
    ASSERT_EQ(scanned, kOk);
    auto all = testing::ListAll(*engine);

    // Deleted 8.3 names lose their first letter; long names survive whole.
    const std::map<std::string, std::string> deleted = {
        {"!one.bin", "/GONE.BIN"},
        {longName, "/" + longName},
        {"dcim/!mg_0002.jpg", "/DCIM/IMG_0002.JPG"},
        {"Old album/photo 1.jpg", "/Old album/photo 1.jpg"},
        {"Old album/Sub folder/Deep notes.txt", "/Old album/Sub folder/Deep notes.txt"}};
    std::set<std::string> expected = {"dcim", "Old album", "Old album/Sub folder"};
    for (const auto& [shown, written] : deleted) expected.insert(shown);
    std::set<std::string> listed;
    for (const auto& [path, item] : all) listed.insert(path);
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(int(all["dcim"].isDeleted), 0);
    EXPECT_EQ(int(all["Old album"].isDeleted), 1);
    EXPECT_EQ(int(all["Old album/Sub folder"].isDeleted), 1);

    TempDir out;
    for (const auto& [shown, written] : deleted) {
        SCOPED_TRACE(shown);
        const RecoveredItem& item = all[shown];
        EXPECT_EQ(int(item.isDeleted), 1);
        EXPECT_EQ(int(item.contentValid), 1);
        EXPECT_NE(uint64_t(item.modifiedTime), 0u);
        std::string path;
        EXPECT_EQ(engine->GetItemPath(item, path), kOk);
        EXPECT_EQ(path + std::string(item.Name()), shown);
        EXPECT_EQ(testing::RecoverBytes(*engine, item, out / fs::path(shown).filename().string()),
                  card.written[written]);
    }

    // The deleted folder comes back with its whole content.
    ASSERT_EQ(engine->RecoverItem(all["Old album"], out / "album", 0), kOk);
    EXPECT_EQ(ReadFileBytes(out / "album/photo 1.jpg"), card.written["/Old album/photo 1.jpg"]);
    EXPECT_EQ(ReadFileBytes(out / "album/Sub folder/Deep notes.txt"),
              card.written["/Old album/Sub folder/Deep notes.txt"]);

    // The usage map leaves out every cluster of a live file and keeps the deleted file's.
    ASSERT_EQ(engine->BuildClusterMap(), kOk);
    const FatGeometry& g = engine->Geometry();
    std::set<uint32_t> freeClusters;
    uint64_t position = 0, length = 0;
    for (int guard = 0; guard < 100000; ++guard, position += length) {
        (void)engine->SkipUsedClusters(position, length);
        if (length == 0) break;
        for (uint64_t s = position; s < position + length; s += g.sectorsPerCluster) {
            freeClusters.insert(uint32_t((s - g.dataStart) / g.sectorsPerCluster + 2));
        }
    }
    for (const char* live : {"/KEEP.TXT", "/DCIM/A.JPG"}) {
        for (uint32_t c : testing::MtoolsChain(card.image, live)) {
            EXPECT_EQ(freeClusters.count(c), 0u) << live << " cluster " << c;
        }
    }
    EXPECT_EQ(freeClusters.count(uint32_t(all["!one.bin"].objectKey)), 1u);

    // A finished scan reopens by name without reading the medium.
    CFastFatRecovery reopened;
    ASSERT_EQ(reopened.Scan(fs::path(engine->Store()->DataPath()).filename().c_str()), kOk);
    std::vector<RecoveredItem> photos;
    EXPECT_EQ(reopened.ListByType(kPhotoExtensions, photos), 1);
    EXPECT_EQ(photos.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Formats, DeletedFiles,
                         ::testing::Values(Format{"-F 12 -s 1", 2000}, Format{"-F 12 -s 4", 8000},
                                           Format{"-F 16 -s 2", 20000},
                                           Format{"-F 16 -s 8 -r 112", 40000},
                                           Format{"-F 32 -s 1", 40000},
                                           Format{"-F 32 -s 8", 300000},
                                           Format{"-F 32 -S 4096 -s 1", 300000}),
                         [](const auto& info) {
                             std::string name = info.param.mkfs;
                             for (char& c : name) {
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name;
                         });

// Photos that open with an Adobe segment (CMYK) or straight with their tables (no JFIF or Exif)
// are photos to the content check as well: a deleted one is listed with its content valid.
TEST(DeletedPhotos, JpegsWithoutJfifOrExifKeepValidContent) {
    NORVALE_REQUIRE_FAT_TOOLS();
    if (system("command -v convert >/dev/null 2>&1") != 0) GTEST_SKIP() << "ImageMagick missing";
    IsolatedHome home;
    Card card("-F 16 -s 2", 20000);
    ASSERT_TRUE(card.ok);
    const std::string cmyk = card.dir / "cmyk.jpg";
    const std::string plain = card.dir / "plain.jpg";
    ASSERT_EQ(system(("convert -seed 3 -size 120x90 plasma:fractal -colorspace CMYK -quality 85 '" +
                      cmyk + "' && convert -seed 4 -size 120x90 plasma:fractal -quality 85 '" +
                      plain + "'")
                         .c_str()),
              0);
    const std::vector<uint8_t> adobe = ReadFileBytes(cmyk);
    std::vector<uint8_t> bare = ReadFileBytes(plain);  // made bare below
    ASSERT_GT(bare.size(), 6u);
    ASSERT_EQ(bare[3], 0xE0);  // drop the JFIF segment: the tables come first
    bare.erase(bare.begin() + 2, bare.begin() + 4 + (bare[4] << 8 | bare[5]));
    ASSERT_TRUE(card.Mkdir("/DCIM"));
    ASSERT_TRUE(card.Put("/DCIM/CMYK.JPG", adobe));
    ASSERT_TRUE(card.Put("/DCIM/BARE.JPG", bare));
    ASSERT_TRUE(card.Del("/DCIM/CMYK.JPG"));
    ASSERT_TRUE(card.Del("/DCIM/BARE.JPG"));

    Result scanned = kErrGenFailure;
    auto engine = testing::ScanImage(card.image, &scanned);
    ASSERT_TRUE(engine);
    ASSERT_EQ(scanned, kOk);
    auto all = testing::ListAll(*engine);
    TempDir out;
    for (const auto& [shown, bytes] : {std::pair{"dcim/!myk.jpg", &adobe},
                                       std::pair{"dcim/!are.jpg", static_cast<const std::vector<uint8_t>*>(&bare)}}) {
        SCOPED_TRACE(shown);
        ASSERT_EQ(all.count(shown), 1u);
        EXPECT_EQ(int(all[shown].contentValid), 1);
        EXPECT_EQ(testing::RecoverBytes(*engine, all[shown], out / std::string(shown).substr(5)),
                  *bytes);
    }
}

// The chain of a deleted file is cleared. A file written into holes between live files comes
// back whole: the copy runs on past the clusters that live files hold.
TEST(FastFatRecovery, FileFragmentedAroundLiveFilesComesBackWhole) {
    NORVALE_REQUIRE_FAT_TOOLS();
    IsolatedHome home;
    Card card("-F 16 -s 1", 20000);
    ASSERT_TRUE(card.ok);
    for (int i = 1; i <= 6; ++i) {
        ASSERT_TRUE(card.Put("/A" + std::to_string(i) + ".BIN",
                             MakeContent("a" + std::to_string(i), 1024)));
    }
    ASSERT_TRUE(card.Del("/A2.BIN"));
    ASSERT_TRUE(card.Del("/A4.BIN"));
    ASSERT_TRUE(card.Put("/BIG.BIN", MakeContent("big", 5120)));
    const auto chain = testing::MtoolsChain(card.image, "/BIG.BIN");
    ASSERT_GE(chain.size(), 3u);
    ASSERT_EQ(chain[1], chain[0] + 1);  // the first fragment fills A2's two clusters
    ASSERT_NE(chain[2], chain[1] + 1);  // and A3 follows it
    ASSERT_TRUE(card.Del("/BIG.BIN"));

    auto engine = testing::ScanImage(card.image);
    ASSERT_TRUE(engine);
    auto all = testing::ListAll(*engine);
    ASSERT_TRUE(all.count("!ig.bin"));
    TempDir out;
    EXPECT_EQ(testing::RecoverBytes(*engine, all["!ig.bin"], out / "big"),
              card.written["/BIG.BIN"]);
}

// A file whose stated size runs past what the volume holds is reported as a failure, never as
// a success, and leaves nothing under its name; asked to, the bytes that exist are kept under a
// name that says the file is incomplete.
TEST(FastFatRecovery, CopyCutShortByTheVolumeIsAFailure) {
    NORVALE_REQUIRE_FAT_TOOLS();
    IsolatedHome home;
    Card card("-F 16 -s 1", 20000);
    ASSERT_TRUE(card.ok);
    ASSERT_TRUE(card.Put("/LAST.BIN", MakeContent("last", 2048)));
    ASSERT_TRUE(card.Del("/LAST.BIN"));
    auto engine = testing::ScanImage(card.image);
    ASSERT_TRUE(engine);
    auto all = testing::ListAll(*engine);
    ASSERT_TRUE(all.count("!ast.bin"));
    RecoveredItem item = all["!ast.bin"];
    item.fileSize = 64ull << 20;  // more than the whole volume
    TempDir out;
    EXPECT_EQ(engine->RecoverItem(item, out / "last.bin", 0), kErrHandleEof);
    EXPECT_TRUE(fs::is_empty(out.Path()));
    FileWriteOptions keep;
    keep.keepPartial = true;
    const FileWriteScope scope(keep);
    EXPECT_EQ(engine->RecoverItem(item, out / "last.bin", 0), kErrHandleEof);
    EXPECT_FALSE(fs::exists(out / "last.bin"));
    auto bytes = testing::ReadFileBytes(out / "last (incomplete).bin");
    ASSERT_GE(bytes.size(), 2048u);
    const auto& original = card.written["/LAST.BIN"];
    EXPECT_TRUE(std::equal(original.begin(), original.end(), bytes.begin()));
}

// A deleted file whose clusters a later file took: the photo's content check fails, so it is
// left out of listings but still counted, and the text file gives the newer file's bytes.
TEST(FastFatRecovery, ReusedClustersAreFlaggedAndGiveTheNewerContent) {
    NORVALE_REQUIRE_FAT_TOOLS();
    IsolatedHome home;
    Card card("-F 12 -s 1", 2000);
    ASSERT_TRUE(card.ok);
    ASSERT_TRUE(card.Put("/PHOTO.JPG", MakeContent("photo", 3000, true)));
    ASSERT_TRUE(card.Put("/NOTES.TXT", MakeContent("notes", 1000)));
    // Made before the deletions, so that no new entry takes a deleted one's slot.
    ASSERT_TRUE(card.Mkdir("/NEW"));
    ASSERT_TRUE(card.Put("/SAFE.JPG", MakeContent("safe", 3000, true)));
    ASSERT_TRUE(card.Del("/PHOTO.JPG"));
    ASSERT_TRUE(card.Del("/NOTES.TXT"));
    ASSERT_TRUE(card.Del("/SAFE.JPG"));
    // Exactly the clusters of the photo and the notes.
    ASSERT_TRUE(card.Put("/NEW/OTHER.DAT", MakeContent("other", 4096)));

    auto engine = testing::ScanImage(card.image);
    ASSERT_TRUE(engine);
    auto all = testing::ListAll(*engine);
    EXPECT_FALSE(all.count("!hoto.jpg"));
    ASSERT_TRUE(all.count("!otes.txt"));
    ASSERT_TRUE(all.count("!afe.jpg"));
    int count = 0;
    EXPECT_EQ(engine->CountFiles(nullptr, 0, count), kOk);
    EXPECT_EQ(count, 3);
    std::vector<RecoveredItem> photos;
    engine->ListByType(kPhotoExtensions, photos);
    ASSERT_EQ(photos.size(), 1u);
    EXPECT_EQ(photos[0].Name(), "!afe.jpg");

    TempDir out;
    const auto& other = card.written["/NEW/OTHER.DAT"];
    const auto notes = testing::RecoverBytes(*engine, all["!otes.txt"], out / "notes");
    ASSERT_EQ(notes.size(), 1000u);
    EXPECT_NE(notes, card.written["/NOTES.TXT"]);
    EXPECT_NE(std::search(other.begin(), other.end(), notes.begin(), notes.end()), other.end());
}

// Patches the 13 characters of the one-piece long name `from` into `to` in the image.
void RenameLongName(const std::string& image, const std::u16string& from,
                    const std::u16string& to) {
    auto bytes = ReadFileBytes(image);
    const auto* first = reinterpret_cast<const uint8_t*>(from.data());
    auto at = std::search(bytes.begin(), bytes.end(), first, first + 10);  // its first 5 units
    ASSERT_NE(at, bytes.end());
    const size_t entry = size_t(at - bytes.begin()) - 1;
    const size_t offsets[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (size_t k = 0; k < 13; ++k) {
        bytes[entry + offsets[k]] = uint8_t(to[k]);
        bytes[entry + offsets[k] + 1] = uint8_t(to[k] >> 8);
    }
    testing::WriteFileBytes(image, bytes);
}

TEST(FastFatRecovery, FolderRecoveryNeverOverwritesAndNeverLeavesTheDestination) {
    NORVALE_REQUIRE_FAT_TOOLS();
    IsolatedHome home;
    Card card("-F 16 -s 1", 20000);
    ASSERT_TRUE(card.ok);
    ASSERT_TRUE(card.Mkdir("/DCIM"));
    ASSERT_TRUE(card.Put("/DCIM/IMG_0001.JPG", MakeContent("one", 3000, true)));
    ASSERT_TRUE(card.Put("/DCIM/JMG_0001.JPG", MakeContent("two", 2000, true)));
    ASSERT_TRUE(card.Put("/DCIM/escapeme1.txt", MakeContent("escape", 900)));
    for (const char* name : {"IMG_0001.JPG", "JMG_0001.JPG", "escapeme1.txt"}) {
        ASSERT_TRUE(card.Del(std::string("/DCIM/") + name));
    }
    RenameLongName(card.image, u"escapeme1.txt", u"../../e/x.txt");

    auto engine = testing::ScanImage(card.image);
    ASSERT_TRUE(engine);
    auto all = testing::ListAll(*engine);
    ASSERT_TRUE(all.count("dcim"));

    TempDir out;
    const std::string dest = out / "dest/DCIM";
    fs::create_directories(dest);
    const std::vector<uint8_t> stale(10000, 'x');
    testing::WriteFileBytes(dest + "/!mg_0001.jpg", stale);
    testing::Reports reports;
    reports.Attach(*engine);
    ASSERT_EQ(engine->RecoverItem(all["dcim"], dest, 0), kOk);

    EXPECT_EQ(ReadFileBytes(dest + "/!mg_0001.jpg"), stale);
    const std::set<std::vector<uint8_t>> photos = {ReadFileBytes(dest + "/!mg_0001(1).jpg"),
                                                   ReadFileBytes(dest + "/!mg_0001(2).jpg")};
    EXPECT_EQ(photos, (std::set<std::vector<uint8_t>>{card.written["/DCIM/IMG_0001.JPG"],
                                                      card.written["/DCIM/JMG_0001.JPG"]}));
    EXPECT_EQ(ReadFileBytes(dest + "/.._.._e_x.txt"), card.written["/DCIM/escapeme1.txt"]);
    std::set<std::string> top;
    for (const auto& e : fs::directory_iterator(out.Path())) top.insert(e.path().filename());
    EXPECT_EQ(top, std::set<std::string>{"dest"});
    // One final report per file, each a success.
    ASSERT_EQ(reports.Finished().size(), 3u);
    for (const auto& r : reports.Finished()) EXPECT_EQ(r.error, kOk) << r.name;
}

// A destination that takes only part of a file (a full disk) fails that file with the write's
// error; the next file is still written.
TEST(FastFatRecovery, FailedWriteFailsTheFileAndTheNextOneIsWritten) {
    NORVALE_REQUIRE_FAT_TOOLS();
    IsolatedHome home;
    Card card("-F 12 -s 1", 2000);
    ASSERT_TRUE(card.ok);
    ASSERT_TRUE(card.Mkdir("/D"));
    ASSERT_TRUE(card.Put("/D/BIG.BIN", MakeContent("big", 50000)));
    ASSERT_TRUE(card.Put("/D/SMALL.BIN", MakeContent("small", 3000)));
    ASSERT_TRUE(card.Del("/D/BIG.BIN"));
    ASSERT_TRUE(card.Del("/D/SMALL.BIN"));
    auto engine = testing::ScanImage(card.image);
    ASSERT_TRUE(engine);
    auto all = testing::ListAll(*engine);
    ASSERT_TRUE(all.count("d"));
    TempDir out;

    EXPECT_TRUE(testing::RunInChild(60, [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{20000, 20000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        testing::Reports reports;
        reports.Attach(*engine);
        const Result r = engine->RecoverItem(all["d"], out / "D", 0);
        const auto done = reports.Finished();
        if (r != kErrDiskFull || done.size() != 2) return 1;
        for (const auto& d : done) {
            const bool big = d.name.find("!ig.bin") != std::string::npos;
            if (d.error != (big ? kErrDiskFull : kOk)) return 2;
        }
        return ReadFileBytes(out / "D/!mall.bin") == card.written["/D/SMALL.BIN"] ? 0 : 3;
    }));
}

// Stops a run when the file named `stopIn` first reports progress short of 100%.
class StoppingObserver : public IRecoveryObserver {
  public:
    RecoveryDriver* driver = nullptr;
    std::string stopIn;
    void OnProgress(const std::string& name, int percent, const RecoveryCounts&) override {
        if (!stopIn.empty() && percent < 100 && name.find(stopIn) != std::string::npos) {
            driver->RequestStop();
        }
    }
    void OnItemDone(const RecoveryDetailRow&, const RecoveryCounts&) override {}
    void OnFinished(RecoveryOutcome, const RecoveryCounts&) override {}
};

// Through the recovery driver: a stop in the middle of a file leaves nothing of it and says how
// many were not tried; written files carry the times the card stored; a second run writes the
// files once, and a third finds every file already there.
TEST(FastFatRecovery, StopTimesAndRerunsThroughTheDriver) {
    NORVALE_REQUIRE_FAT_TOOLS();
    IsolatedHome home;
    testing::ScopedEnv utc("TZ", "UTC");  // FAT keeps local time; the test machine's is UTC
    Card card("-F 16 -s 1", 20000);
    ASSERT_TRUE(card.ok);
    const std::map<std::string, std::vector<uint8_t>> files = {
        {"SMALL.TXT", MakeContent("small", 3000)},
        {"BIG.JPG", MakeContent("big", 3 << 20, true)},
        {"OTHER.TXT", MakeContent("other", 5000)}};
    for (const auto& [name, bytes] : files) {
        const std::string local = card.dir / name;
        testing::WriteFileBytes(local, bytes);
        ASSERT_EQ(testing::Run("touch -d '2021-06-15 10:20:30' '" + local + "'"), 0);
        ASSERT_TRUE(card.Tool("mcopy", "-m '" + local + "' '::/" + name + "'"));
    }
    // Deleted only once all are written, so that no new entry takes a deleted one's slot.
    for (const auto& entry : files) ASSERT_TRUE(card.Del("/" + entry.first));
    auto scanned = testing::ScanImage(card.image);
    ASSERT_TRUE(scanned);
    auto all = testing::ListAll(*scanned);
    ASSERT_TRUE(all.count("!mall.txt") && all.count("!ig.jpg") && all.count("!ther.txt"));
    const std::vector<RecoveredItem> items = {all["!mall.txt"], all["!ig.jpg"], all["!ther.txt"]};
    std::vector<SourceInfo> sources(1);
    sources[0].imagePath = card.image;
    sources[0].imageTag = items[0].sourceTag;
    sources[0].engine = std::move(scanned);
    TempDir out;
    auto regularFiles = [&] {
        std::set<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(out.Path())) {
            if (e.is_regular_file()) names.insert(fs::relative(e.path(), out.Path()).string());
        }
        return names;
    };

    StoppingObserver stopping;
    RecoveryDriver first(sources, stopping);
    stopping.driver = &first;
    stopping.stopIn = "!ig.jpg";
    EXPECT_EQ(first.RecoverItems(items, out.Path()), RecoveryOutcome::kStopped);
    EXPECT_EQ(first.Counts().processed, 1);
    EXPECT_EQ(first.Counts().failed, 0);
    EXPECT_EQ(first.Counts().notTried, 2);
    EXPECT_EQ(regularFiles(), std::set<std::string>{"document/!mall.txt"});
    struct stat st {};
    ASSERT_EQ(::stat((out / "document/!mall.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1623752430);  // 2021-06-15 10:20:30 UTC

    StoppingObserver plain;
    RecoveryDriver second(sources, plain);
    EXPECT_EQ(second.RecoverItems(items, out.Path()), RecoveryOutcome::kDone);
    EXPECT_EQ(second.Counts().Succeeded(), 3);
    EXPECT_EQ(second.Counts().alreadyRecovered, 1);
    EXPECT_EQ(second.Counts().notTried, 0);
    EXPECT_EQ(regularFiles(),
              (std::set<std::string>{"document/!mall.txt", "photo/!ig.jpg", "document/!ther.txt"}));
    EXPECT_EQ(ReadFileBytes(out / "photo/!ig.jpg"), files.at("BIG.JPG"));

    RecoveryDriver third(sources, plain);
    EXPECT_EQ(third.RecoverItems(items, out.Path()), RecoveryOutcome::kDone);
    EXPECT_EQ(third.Counts().alreadyRecovered, 3);
    for (const RecoveryDetailRow& row : third.DetailRows()) {
        EXPECT_EQ(row.status, kAlreadyRecoveredText) << row.name;
    }
    EXPECT_EQ(regularFiles().size(), 3u);
}

// Deletion on some systems clears the high word of a FAT32 entry's first cluster; the engine
// finds the high word under which the low word leads to content of the file's kind.
TEST(FastFatRecovery, LostHighClusterWordIsFoundByContent) {
    NORVALE_REQUIRE_FAT_TOOLS();
    IsolatedHome home;
    Card card("-F 32 -s 1", 120000);
    ASSERT_TRUE(card.ok);
    ASSERT_TRUE(card.Put("/LOST.JPG", MakeContent("lost", 2000, true)));
    ASSERT_TRUE(card.Del("/LOST.JPG"));
    CFastFatRecovery probe;
    ASSERT_EQ(probe.OpenImage(card.image, 1), kOk);
    const FatGeometry g = probe.Geometry();
    auto place = [&](uint32_t cluster, const std::vector<uint8_t>& bytes) {
        std::fstream f(card.image, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(std::streamoff(ClusterToLba(g, cluster) * g.bytesPerSector));
        f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    };
    auto first = testing::ListAll(*testing::ScanImage(card.image));
    ASSERT_TRUE(first.count("!ost.jpg"));
    const auto cluster = uint32_t(first["!ost.jpg"].objectKey);
    ASSERT_LT(cluster, 0x10000u);
    const uint32_t moved = (3u << 16) | cluster;
    ASSERT_LE(moved, LastCluster(g));
    // The data now lies at high word 3; the cluster the entry names holds something else.
    const auto photo = MakeContent("moved", 2000, true);
    place(moved, photo);
    place(cluster, MakeContent("other", 512));

    auto engine = testing::ScanImage(card.image);
    ASSERT_TRUE(engine);
    auto all = testing::ListAll(*engine);
    ASSERT_TRUE(all.count("!ost.jpg"));
    EXPECT_EQ(uint32_t(all["!ost.jpg"].objectKey), moved);
    TempDir out;
    EXPECT_EQ(testing::RecoverBytes(*engine, all["!ost.jpg"], out / "lost.jpg"), photo);
}

TEST(FastFatRecovery, PreviewGoesToMemoryOrToTheScanLogFolder) {
    NORVALE_REQUIRE_FAT_TOOLS();
    IsolatedHome home;
    Card card("-F 12 -s 1", 2000);
    ASSERT_TRUE(card.ok);
    ASSERT_TRUE(card.Put("/README.TXT", MakeContent("readme", 1500)));
    ASSERT_TRUE(card.Put("/PIC.JPG", MakeContent("pic", 2500, true)));
    ASSERT_TRUE(card.Put("/REPORT.PDF", MakeContent("report", 800)));
    for (const char* name : {"/README.TXT", "/PIC.JPG", "/REPORT.PDF"}) ASSERT_TRUE(card.Del(name));
    auto engine = testing::ScanImage(card.image);
    ASSERT_TRUE(engine);
    auto all = testing::ListAll(*engine);

    std::vector<uint8_t> memory(1000);
    uint64_t size = memory.size();
    std::string temp;
    ASSERT_EQ(
        engine->ExtractForPreview(all["!eadme.txt"], temp, memory.data(), size, nullptr, nullptr),
        kOk);
    EXPECT_TRUE(temp.empty());
    const auto& readme = card.written["/README.TXT"];
    EXPECT_EQ(memory, std::vector<uint8_t>(readme.begin(), readme.begin() + 1000));

    for (const auto& [name, file] :
         std::map<std::string, std::string>{{"!ic.jpg", "tmp.jpg"}, {"!eport.pdf", "!eport.pdf"}}) {
        size = 0;
        ASSERT_EQ(engine->ExtractForPreview(all[name], temp, nullptr, size, nullptr, nullptr), kOk);
        EXPECT_EQ(temp, ScanLogFolder() + "/" + file);
        EXPECT_EQ(ReadFileBytes(temp).size(), uint64_t(all[name].fileSize));
    }

    // A stopped preview leaves no partial file behind.
    auto stop = [](void*, int, int) { return int(kScanCancelled); };
    size = 0;
    EXPECT_EQ(engine->ExtractForPreview(all["!ic.jpg"], temp, nullptr, size, stop, nullptr),
              kScanCancelled);
    EXPECT_FALSE(fs::exists(temp));

    EXPECT_EQ(ChoosePreviewTarget("clip.rm").path, ScanLogFolder() + "/tmp.avi");
    EXPECT_EQ(ChoosePreviewTarget("../../a/b.pdf").path, ScanLogFolder() + "/.._.._a_b.pdf");
    EXPECT_EQ(ChoosePreviewTarget("noext").kind, PreviewTargetKind::kMemory);
}

}  // namespace
}  // namespace norvale
