// The exFAT deleted-file engine on cards the FUSE exFAT driver wrote (as root, through a loop
// device), on a card Windows wrote, and on damaged cards: what was deleted comes back whole,
// named and in its folder; damage ends in time and never crashes.

#include "exfat/fast_exfat_recovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>

#include "engine/scan_log_history.h"
#include "exfat/entry_set.h"
#include "exfat/exfat_test_media.h"
#include "exfat/exfat_volume.h"
#include "exfat/free_space.h"
#include "support/list_tree.h"
#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::IsolatedHome;
using testing::ReadFileBytes;
using testing::RunShell;
using testing::ShellQuote;
using testing::TempDir;

std::unique_ptr<CFastExfatRecovery> ScanImage(const std::string& image, Result* result = nullptr) {
    auto engine = std::make_unique<CFastExfatRecovery>();
    if (engine->OpenImage(image, 1) != kOk) return nullptr;
    ScanLogHistory::Instance().NewScanFolder();
    const Result r = engine->Scan(nullptr);
    if (result) *result = r;
    return engine;
}

// Every item the engine lists, by its path from the root.
std::map<std::string, RecoveredItem> ListAll(CFastExfatRecovery& engine) {
    return testing::ListTree(engine);
}

// Files under `root`, by their path relative to it.
std::map<std::string, std::vector<uint8_t>> FilesUnder(const std::string& root) {
    std::map<std::string, std::vector<uint8_t>> files;
    if (!fs::exists(root)) return files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_regular_file()) {
            files[fs::relative(e.path(), root).string()] = ReadFileBytes(e.path().string());
        }
    }
    return files;
}

// One card made by scripts/make-exfat-deleted-card.sh, made once for the whole program.
struct Card {
    std::string image;
    std::string expected;  // the deleted files as they were, by path; live.txt: the live ones
};

const Card* MakeCard(const std::string& cluster, bool keepChains, std::string& why) {
    static TempDir dir;
    static std::map<std::string, std::unique_ptr<Card>> made;
    const std::string key = cluster + (keepChains ? "-chains" : "");
    if (auto it = made.find(key); it != made.end()) return it->second.get();
    if (::geteuid() != 0) {
        why = "needs root for a loop device and a FUSE mount";
        return nullptr;
    }
    const std::string missing =
        testing::MissingTool({"mkfs.exfat", "mount.exfat-fuse", "losetup", "mountpoint"});
    if (!missing.empty()) {
        why = missing + " is not installed";
        return nullptr;
    }
    auto card = std::make_unique<Card>();
    card->image = dir / (key + ".img");
    card->expected = dir / (key + "-expected");
    std::string output;
    const std::string script = testing::SourceDir() + "/scripts/make-exfat-deleted-card.sh";
    if (RunShell(ShellQuote(script) + " " + ShellQuote(card->image) + " " + cluster + " " +
                     ShellQuote(card->expected) + (keepChains ? " keep-chains" : ""),
                 &output) != 0) {
        why = "the FUSE exFAT driver could not make the card here: " + output;
        return nullptr;
    }
    return (made[key] = std::move(card)).get();
}

#define REQUIRE_CARD(card, cluster, chains)             \
    std::string why_;                                   \
    const Card* card = MakeCard(cluster, chains, why_); \
    if (!card) GTEST_SKIP() << why_ << "; skipped"

struct CardCase {
    const char* name;
    const char* cluster;
    bool keepChains;
};
void PrintTo(const CardCase& c, std::ostream* os) {
    *os << c.name;
}

class DeletedExfatCard : public ::testing::TestWithParam<CardCase> {};

// Every deleted file, also those of the deleted folder three levels deep, the fragmented one
// and the one with an unwritten middle, comes back byte-exact under its whole name and folder
// path; live files are not listed; what TSK gives back we give back too.
TEST_P(DeletedExfatCard, EveryDeletedFileComesBackByteExactInItsFolder) {
    REQUIRE_CARD(card, GetParam().cluster, GetParam().keepChains);
    IsolatedHome home;
    TempDir out;
    Result scanned = kErrGenFailure;
    const time_t before = ::time(nullptr);
    auto engine = ScanImage(card->image, &scanned);
    ASSERT_TRUE(engine);
    ASSERT_EQ(scanned, kOk);
    const auto all = ListAll(*engine);
    auto expected = FilesUnder(card->expected);
    std::istringstream live(std::string(expected["live.txt"].begin(), expected["live.txt"].end()));
    expected.erase("live.txt");
    ASSERT_GE(expected.size(), 10u);

    for (const auto& [path, bytes] : expected) {
        SCOPED_TRACE(path);
        const auto it = all.find(path);
        ASSERT_NE(it, all.end()) << "not listed";
        const RecoveredItem item = it->second;
        EXPECT_EQ(int32_t(item.engineKind), kEngineFastExfat);
        EXPECT_EQ(int(item.isDeleted), 1);
        EXPECT_EQ(uint64_t(item.fileSize), bytes.size());
        std::string above;
        ASSERT_EQ(engine->GetItemPath(item, above), kOk);
        EXPECT_EQ(above + std::string(item.Name()), path);
        const std::string target = out / std::to_string(int32_t(item.recordIndex));
        ASSERT_EQ(engine->RecoverItem(item, target, 0), kOk);
        EXPECT_TRUE(ReadFileBytes(target) == bytes) << "content differs";
        // The card was written moments ago: its times, 10 ms parts and UTC offset included,
        // put the file within the last minutes.
        struct stat st {};
        ASSERT_EQ(::stat(target.c_str(), &st), 0);
        EXPECT_LE(std::abs(double(st.st_mtime) - double(before)), 600.0);
    }
    for (std::string line; std::getline(live, line);) {
        const auto it = all.find(line);
        EXPECT_TRUE(it == all.end() || it->second.isFolder) << line << " is live";
    }
    // The deleted folder comes back whole, sub-folders included.
    const auto doomed = all.find("Doomed");
    ASSERT_NE(doomed, all.end());
    EXPECT_EQ(int(doomed->second.isDeleted), 1);
    ASSERT_EQ(engine->RecoverItem(doomed->second, out / "Doomed", 0), kOk);
    EXPECT_TRUE(ReadFileBytes(out / "Doomed/Inner/Innermost/c.jpg") ==
                expected["Doomed/Inner/Innermost/c.jpg"]);

    // The Sleuth Kit on the same card: every file it recovers whole, we do too.
    if (!testing::HaveTool("tsk_recover")) return;
    const std::string tskDir = out / "tsk";
    ASSERT_EQ(RunShell("tsk_recover -e " + ShellQuote(card->image) + " " + ShellQuote(tskDir)), 0);
    const auto tsk = FilesUnder(tskDir);
    for (const auto& [path, bytes] : expected) {
        const auto it = tsk.find(path);
        if (it != tsk.end() && it->second == bytes) {
            EXPECT_TRUE(all.count(path)) << path << " TSK recovers it";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Clusters, DeletedExfatCard,
                         ::testing::Values(CardCase{"fuse_4k", "4K", false},
                                           CardCase{"fuse_128k", "128K", false},
                                           CardCase{"chains_kept_4k", "4K", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The free extents the full scan carves are the bitmap's free clusters: as many as the volume
// counts free, and the deleted files' first clusters lie in them.
TEST(DeletedExfatCardFreeSpace, FreeExtentsAreTheBitmapsFreeClusters) {
    REQUIRE_CARD(card, "4K", false);
    IsolatedHome home;
    auto engine = ScanImage(card->image);
    ASSERT_TRUE(engine);
    ASSERT_EQ(engine->BuildClusterMap(), kOk);
    SectorReader reader;
    ASSERT_EQ(reader.OpenImageFile(card->image), kOk);
    uint64_t freeBytes = 0;
    ASSERT_EQ(CountExfatFreeBytes(reader, 0, 0, freeBytes), kOk);
    ExfatVolume volume;
    ASSERT_EQ(volume.Open(reader, 0, 0), kOk);
    const uint32_t bps = volume.Boot().BytesPerSector();

    std::vector<std::pair<uint64_t, uint64_t>> extents;
    uint64_t at = 0;
    uint64_t total = 0;
    for (int guard = 0; guard < 100000; ++guard) {
        uint64_t length = 0;
        (void)engine->SkipUsedClusters(at, length);
        if (length == 0) break;
        extents.emplace_back(at, length);
        total += length;
        at += length;
    }
    EXPECT_EQ(total * bps, freeBytes);
    for (const auto& [path, item] : ListAll(*engine)) {
        const int32_t key = item.objectKey;
        if (item.isFolder || item.fileSize == 0 || path.rfind("Fill/f", 0) == 0) continue;
        const uint64_t lba = volume.Boot().ClusterToSector(uint32_t(key));
        bool inside = false;
        for (const auto& [start, length] : extents) inside |= lba >= start && lba < start + length;
        EXPECT_TRUE(inside) << path;
    }
}

// A stop asked for at the first report ends the scan with the stop's answer.
TEST(DeletedExfatCardFreeSpace, StopAtTheFirstReportEndsTheScan) {
    REQUIRE_CARD(card, "4K", false);
    IsolatedHome home;
    CFastExfatRecovery engine;
    ASSERT_EQ(engine.OpenImage(card->image, 1), kOk);
    auto stop = [](void*, int, int, int, uint64_t, uint64_t, uint64_t, int) -> int {
        return int(kScanCancelled);
    };
    ASSERT_EQ(engine.SetCallbacks(stop, nullptr, nullptr, kFullProgressScale), kOk);
    ScanLogHistory::Instance().NewScanFolder();
    EXPECT_EQ(engine.Scan(nullptr), kScanCancelled);
}

// The committed cards (no root needed): every file their manifest says was deleted comes back
// whole in its folder, every file `fls -rd` showed deleted is listed, no live file is.
class ExfatFixtureCardEngine : public ::testing::TestWithParam<const char*> {};

TEST_P(ExfatFixtureCardEngine, EveryDeletedFileComesBackAsTheManifestSays) {
    IsolatedHome home;
    TempDir dir;
    const std::string image = testing::UnpackCard(dir, GetParam());
    ASSERT_FALSE(image.empty());
    auto engine = ScanImage(image);
    ASSERT_TRUE(engine);
    const auto all = ListAll(*engine);
    int deleted = 0;
    for (const testing::ManifestFile& f : testing::ReadManifest(GetParam())) {
        SCOPED_TRACE(f.path);
        const auto it = all.find(f.path.substr(1));
        if (f.state == "live") {
            EXPECT_TRUE(it == all.end()) << "a live file is listed";
        } else if (f.state == "deleted") {
            ++deleted;
            ASSERT_NE(it, all.end()) << "not listed";
            const std::string target = dir / ("out" + std::to_string(deleted));
            ASSERT_EQ(engine->RecoverItem(it->second, target, 0), kOk);
            EXPECT_EQ(testing::Sha256(ReadFileBytes(target)), f.sha256);
            // The preview gives the same bytes: a photo through its temporary file, anything
            // else into memory, at most as much as the memory holds.
            std::vector<uint8_t> memory(1000);
            uint64_t size = memory.size();
            std::string temp;
            ASSERT_EQ(
                engine->ExtractForPreview(it->second, temp, memory.data(), size, nullptr, nullptr),
                kOk);
            std::vector<uint8_t> shown =
                temp.empty() ? std::vector<uint8_t>(memory.begin(), memory.begin() + long(size))
                             : ReadFileBytes(temp);
            std::vector<uint8_t> whole = ReadFileBytes(target);
            whole.resize(std::min(whole.size(), temp.empty() ? memory.size() : whole.size()));
            EXPECT_TRUE(shown == whole) << "preview differs";
        }
    }
    EXPECT_GE(deleted, 8);
    for (const auto& [path, isDeleted] : testing::ReadFlsListing(GetParam())) {
        if (isDeleted) {
            EXPECT_TRUE(all.count(path.substr(1))) << path << " TSK lists it deleted";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cards, ExfatFixtureCardEngine,
                         ::testing::Values("exfat_4k", "exfat_128k"));

// The card Windows formatted and wrote, with a deleted folder: what `fls -rd` names as
// deleted, we list, and the files TSK recovers come back the same.
TEST(ExfatCorpus, WindowsCardListsWhatTskListsDeleted) {
    NORVALE_REQUIRE_CORPUS();
    IsolatedHome home;
    TempDir dir;
    const std::string image = testing::CorpusImage("exfat_win.raw.gz", dir.Path());
    ASSERT_FALSE(image.empty());
    auto engine = ScanImage(image);
    ASSERT_TRUE(engine);
    const auto all = ListAll(*engine);
    for (const char* path : {"1.bin", "333.bin", "555.bin", "Текстовый документ.txt"}) {
        EXPECT_TRUE(all.count(path)) << path;
    }
    if (!testing::HaveTool("tsk_recover")) return;
    ASSERT_EQ(RunShell("tsk_recover -e " + ShellQuote(image) + " " + ShellQuote(dir / "tsk")), 0);
    for (const auto& [path, bytes] : FilesUnder(dir / "tsk")) {
        const auto it = all.find(path);
        if (it == all.end() || it->second.isDeleted == 0) continue;
        const std::string target =
            dir / ("ours-" + std::to_string(int32_t(it->second.recordIndex)));
        ASSERT_EQ(engine->RecoverItem(it->second, target, 0), kOk) << path;
        EXPECT_TRUE(ReadFileBytes(target) == bytes) << path;
    }
}

// Damage done to a real card, each in a child process that must end within seconds.
struct DamageCase {
    const char* name;
    // Changes the image; `sets` are the byte offsets of the card's entry sets (the file entry)
    // with their decoded entries.
    std::function<void(const std::string& image,
                       const std::vector<std::pair<uint64_t, ExfatFileEntry>>& sets,
                       const ExfatBootRegion& boot)>
        damage;
};
void PrintTo(const DamageCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<uint8_t> Slice(const std::string& path, uint64_t at, size_t n) {
    std::vector<uint8_t> bytes(n);
    std::ifstream in(path, std::ios::binary);
    in.seekg(std::streamoff(at));
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(n));
    bytes.resize(size_t(in.gcount()));
    return bytes;
}

void Put(const std::string& path, uint64_t at, const std::vector<uint8_t>& bytes) {
    std::fstream io(path, std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(std::streamoff(at));
    io.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Rewrites a field of the stream entry of the set at `at` and seals the set's checksum again.
void SetStreamField(const std::string& image, uint64_t at, const ExfatFileEntry& e, size_t field,
                    uint64_t value, size_t width) {
    const size_t n = (size_t{e.secondaryCount} + 1) * kExfatEntryBytes;
    std::vector<uint8_t> set = Slice(image, at, n);
    for (size_t i = 0; i < width; ++i)
        set[kExfatEntryBytes + field + i] = uint8_t(value >> (8 * i));
    const uint16_t sum = EntrySetChecksum(set);
    set[2] = uint8_t(sum);
    set[3] = uint8_t(sum >> 8);
    Put(image, at, set);
}

const ExfatFileEntry* Named(const std::vector<std::pair<uint64_t, ExfatFileEntry>>& sets,
                            const std::string& name, uint64_t& at) {
    for (const auto& [offset, e] : sets) {
        if (e.name == name) {
            at = offset;
            return &e;
        }
    }
    ADD_FAILURE() << "no entry set named " << name << " to damage";
    return nullptr;
}

// The entry sets of the card that decode whole, by the byte offset of their file entry.
std::vector<std::pair<uint64_t, ExfatFileEntry>> EntrySets(const std::string& image,
                                                           ExfatBootRegion& boot) {
    std::vector<std::pair<uint64_t, ExfatFileEntry>> sets;
    SectorReader reader;
    ExfatVolume volume;
    if (reader.OpenImageFile(image) != kOk || volume.Open(reader, 0, 0) != kOk) return sets;
    boot = volume.Boot();
    const std::vector<uint8_t> bytes = ReadFileBytes(image);
    for (uint64_t at = uint64_t{boot.clusterHeapOffset} * boot.BytesPerSector();
         at + kExfatEntryBytes <= bytes.size(); at += kExfatEntryBytes) {
        if ((bytes[at] | kExfatInUseBit) != kExfatTypeFile) continue;
        ExfatFileEntry e;
        size_t used = 0;
        if (DecodeEntrySet({bytes.data() + at, bytes.size() - at}, e, used) ==
            EntrySetStatus::kOk) {
            sets.emplace_back(at, e);
        }
    }
    return sets;
}

class DamagedExfatCard : public ::testing::TestWithParam<DamageCase> {};

TEST_P(DamagedExfatCard, ScanListAndRecoveryEndWithoutCrashing) {
    REQUIRE_CARD(card, "4K", false);
    IsolatedHome home;
    TempDir dir;
    const std::string image = dir / "damaged.img";
    ASSERT_EQ(RunShell("cp " + ShellQuote(card->image) + " " + ShellQuote(image)), 0);

    ExfatBootRegion boot;
    const auto sets = EntrySets(image, boot);
    ASSERT_GE(sets.size(), 20u);
    GetParam().damage(image, sets, boot);

    const std::string out = dir / "out";
    const bool ended = [&] {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(20);
            auto engine = ScanImage(image);
            if (!engine) ::_exit(0);  // refusing the volume is a sound answer
            // A loop read over and over would list the same files again and again.
            if (engine->GetItemCount() > 200) ::_exit(3);
            for (const auto& [path, item] : ListAll(*engine)) {
                (void)engine->RecoverItem(item,
                                          out + "/" + std::to_string(int32_t(item.recordIndex)), 0);
            }
            ::_exit(0);
        }
        int status = 0;
        return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }();
    EXPECT_TRUE(ended) << "crashed, did not end or listed files many times";
    // Nothing was written outside the destination.
    if (fs::exists(out)) {
        for (const auto& e : fs::recursive_directory_iterator(out)) {
            EXPECT_EQ(e.path().string().rfind(out, 0), 0u);
        }
    }
}

uint64_t ClusterByte(const ExfatBootRegion& b, uint32_t cluster) {
    return b.ClusterToSector(cluster) * b.BytesPerSector();
}

INSTANTIATE_TEST_SUITE_P(
    Damage, DamagedExfatCard,
    ::testing::Values(
        DamageCase{"random_directory_clusters",
                   [](const std::string& image, const auto& sets, const ExfatBootRegion& b) {
                       std::mt19937 rng(7);
                       std::vector<uint8_t> noise(b.ClusterBytes());
                       for (auto& x : noise) x = uint8_t(rng());
                       uint64_t at = 0;
                       if (const auto* e = Named(sets, "Summer", at)) {
                           Put(image, ClusterByte(b, e->firstCluster), noise);
                       }
                       Put(image, ClusterByte(b, b.rootCluster) + 512, noise);
                   }},
        DamageCase{"looping_chains",
                   [](const std::string& image, const auto& sets, const ExfatBootRegion& b) {
                       const uint64_t fat = uint64_t{b.fatOffset} * b.BytesPerSector();
                       // The root links to itself and has no end mark, so only the loop
                       // guard ends its walk; a deleted file's chain runs in a circle.
                       testing::SetLe32(image, fat + 4 * uint64_t{b.rootCluster}, b.rootCluster);
                       const uint64_t root = ClusterByte(b, b.rootCluster);
                       std::vector<uint8_t> cluster = Slice(image, root, b.ClusterBytes());
                       for (size_t i = 0; i < cluster.size(); i += kExfatEntryBytes) {
                           if (cluster[i] == kExfatEndOfDirectory) cluster[i] = 0x01;
                       }
                       Put(image, root, cluster);
                       uint64_t at = 0;
                       if (const auto* e = Named(sets, "beach.jpg", at)) {
                           SetStreamField(image, at, *e, 1, 0x01, 1);  // chained, not contiguous
                           testing::SetLe32(image, fat + 4 * uint64_t{e->firstCluster},
                                            e->firstCluster + 1);
                           testing::SetLe32(image, fat + 4 * uint64_t{e->firstCluster + 1},
                                            e->firstCluster);
                       }
                   }},
        DamageCase{"folder_contains_itself_and_its_parent",
                   [](const std::string& image, const auto& sets, const ExfatBootRegion& b) {
                       uint64_t deep = 0, deeper = 0;
                       const auto* d = Named(sets, "Deep", deep);
                       const auto* dd = Named(sets, "Deeper", deeper);
                       if (!d || !dd) return;
                       // "Deeper" now names Deep's own cluster, and "Deep" the root.
                       SetStreamField(image, deeper, *dd, 20, d->firstCluster, 4);
                       SetStreamField(image, deep, *d, 20, b.rootCluster, 4);
                   }},
        DamageCase{"first_cluster_and_sizes_outside_the_heap",
                   [](const std::string& image, const auto& sets, const ExfatBootRegion& b) {
                       uint64_t at = 0;
                       if (const auto* e = Named(sets, "gone in root.bin", at)) {
                           SetStreamField(image, at, *e, 20, b.clusterCount + 2, 4);
                       }
                       if (const auto* e = Named(sets, "a.txt", at)) {
                           SetStreamField(image, at, *e, 24, ~uint64_t{0} >> 1, 8);
                           SetStreamField(image, at, *e, 8, ~uint64_t{0}, 8);
                       }
                       if (const auto* e = Named(sets, "Inner", at)) {
                           SetStreamField(image, at, *e, 24, ~uint64_t{0}, 8);
                       }
                       if (const auto* e = Named(sets, "Doomed", at)) {
                           SetStreamField(image, at, *e, 20, 0xFFFFFFFF, 4);
                       }
                   }}),
    [](const auto& info) { return std::string(info.param.name); });

// Bytes past the valid data length were never written: they come back as zeros, whatever the
// clusters hold.
TEST(DeletedExfatCardFreeSpace, BytesPastTheValidLengthComeBackAsZeros) {
    REQUIRE_CARD(card, "4K", false);
    IsolatedHome home;
    TempDir dir;
    const std::string image = dir / "short-valid.img";
    ASSERT_EQ(RunShell("cp " + ShellQuote(card->image) + " " + ShellQuote(image)), 0);
    ExfatBootRegion boot;
    const auto sets = EntrySets(image, boot);
    uint64_t at = 0;
    const ExfatFileEntry* e = Named(sets, "gone in root.bin", at);
    ASSERT_TRUE(e);
    SetStreamField(image, at, *e, 8, 5000, 8);

    auto engine = ScanImage(image);
    ASSERT_TRUE(engine);
    const auto all = ListAll(*engine);
    ASSERT_TRUE(all.count("gone in root.bin"));
    std::vector<uint8_t> want = ReadFileBytes(card->expected + "/gone in root.bin");
    ASSERT_GT(want.size(), 5000u);
    std::fill(want.begin() + 5000, want.end(), 0);
    ASSERT_EQ(engine->RecoverItem(all.at("gone in root.bin"), dir / "out.bin", 0), kOk);
    EXPECT_TRUE(ReadFileBytes(dir / "out.bin") == want);
}

}  // namespace
}  // namespace norvale
