// The exFAT full-scan stage, driven as the coordinator drives it (every sector offered to
// ClaimSector, the claimed ones handed to TakeSector, then FinishScan), on cards made with
// mkfs.exfat and filled through the FUSE driver, then quick-formatted, stripped of their boot
// region, reformatted with another cluster size or placed at an offset; and on hostile media.

#include "exfat/professional_exfat_recovery.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <ranges>
#include <regex>
#include <set>

#include "device/sector_reader.h"
#include "engine/scan_log_history.h"
#include "exfat/entry_set.h"
#include "exfat/exfat_test_media.h"
#include "support/list_tree.h"
#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::IsolatedHome;
using testing::ShellQuote;
using testing::TempDir;

std::vector<uint8_t> Content(const std::string& seed, size_t size, bool jpeg = false) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = 2166136261u;
    for (char c : seed) x = (x ^ uint8_t(c)) * 16777619u;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
    static const uint8_t kJfif[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0};
    if (jpeg && size >= sizeof kJfif) std::memcpy(bytes.data(), kJfif, sizeof kJfif);
    return bytes;
}

// ---- The pass, as the coordinator runs it ----

struct PassResult {
    Result begin = kErrGenFailure, finish = kErrGenFailure;
    uint64_t claimed = 0;
    CProfessionalExfatRecovery::PassCounts kept;  // what the stage held before FinishScan
};

// Offers every sector of `image` in order. With `skipClaimed` the pass goes on after what a
// claim spans (as a coordinator that consumes it), else at the next sector.
PassResult RunPass(CProfessionalExfatRecovery& stage, const std::string& image,
                   bool skipClaimed = false) {
    PassResult p;
    SectorReader source;
    if (source.OpenImageFile(image) != kOk) return p;
    ScanLogHistory::Instance().NewScanFolder();
    p.begin = stage.BeginScan(nullptr);
    constexpr uint32_t kChunk = 128;
    std::vector<uint8_t> chunk(kChunk * 512), claim;
    const uint64_t total = source.TotalSectors();
    for (uint64_t first = 0; first < total; first += kChunk) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(kChunk, total - first));
        uint32_t got = 0;
        if (source.ReadSectors(n, chunk.data(), first, 512, got) != kOk) break;
        for (uint64_t i = 0; i < n;) {
            const uint64_t lba = first + i;
            uint8_t kind = 0;
            const size_t bytes =
                stage.ClaimSector(std::span<const uint8_t>(chunk).subspan(i * 512, 512), 512, kind);
            if (bytes == 0) {
                ++i;
                continue;
            }
            EXPECT_TRUE(stage.OwnsSectorKind(kind));
            ++p.claimed;
            const auto want = static_cast<uint32_t>((bytes + 511) / 512);
            claim.assign(size_t{want} * 512, 0);
            uint32_t read = 0;
            (void)source.ReadSectors(std::min<uint32_t>(want, uint32_t(total - lba)), claim.data(),
                                     lba, 512, read);
            stage.TakeSector(kind, claim, lba);
            i += skipClaimed ? want : 1;
        }
    }
    p.kept = stage.Counts();
    p.finish = stage.FinishScan();
    return p;
}

using testing::ListTree;

std::vector<uint8_t> Recover(IFileRecoveryParse& engine, const RecoveredItem& item,
                             const std::string& path, Result* result = nullptr) {
    const Result r = engine.RecoverItem(item, path, 0);
    if (result) *result = r;
    return r == kOk ? testing::ReadFileBytes(path) : std::vector<uint8_t>{};
}

// ---- Cards made by the tools ----

// An exFAT card image filled through the FUSE driver: folders four levels deep, a folder whose
// entries fill more than one 4 KiB cluster, files of many clusters, photos, and one file
// deleted before the card was formatted.
struct ExfatCard {
    TempDir dir;
    std::string image;
    std::string skip;                                     // why the card could not be made
    std::map<std::string, std::vector<uint8_t>> written;  // live files, by path
    std::map<std::string, std::vector<uint8_t>> deleted;
    std::set<std::string> overwritten;  // deleted, then written over: may be listed
    std::set<std::string> fragmented;   // only a FAT tells where their clusters went
};

std::unique_ptr<ExfatCard> MakeCard(const std::string& cluster) {
    auto card = std::make_unique<ExfatCard>();
    if (::geteuid() != 0) {
        card->skip = "attaching a loop device and mounting through FUSE needs root";
        return card;
    }
    if (const std::string m = testing::MissingTool({"mkfs.exfat", "mount.exfat-fuse", "losetup"});
        !m.empty()) {
        card->skip = m + " is not installed";
        return card;
    }
    card->image = card->dir / "card.img";
    std::string out;
    if (testing::Run("truncate -s 64M " + ShellQuote(card->image) + " && mkfs.exfat -c " + cluster +
                         " " + ShellQuote(card->image),
                     &out) != 0) {
        card->skip = "mkfs.exfat failed: " + out;
        return card;
    }
    out.clear();  // Run adds to what the string holds
    if (testing::Run("losetup -f --show " + ShellQuote(card->image), &out) != 0 ||
        out.rfind("/dev/loop", 0) != 0) {
        card->skip = "this machine refuses to attach a loop device: " + out;
        return card;
    }
    // Unmounted and detached however the filling ends.
    struct Attached {
        std::string loop, mnt;
        ~Attached() {
            if (!mnt.empty()) (void)testing::Run("umount " + ShellQuote(mnt));
            (void)testing::Run("losetup -d " + ShellQuote(loop));
        }
    } attached{out.substr(0, out.find('\n')), ""};
    out.clear();
    const std::string mnt = card->dir / "mnt";
    fs::create_directories(mnt);
    if (testing::Run("mount.exfat-fuse " + attached.loop + " " + ShellQuote(mnt), &out) != 0) {
        card->skip = "this machine refuses a FUSE mount: " + out;
        return card;
    }
    attached.mnt = mnt;
    auto put = [&](const std::string& path, std::vector<uint8_t> bytes) {
        fs::create_directories(fs::path(mnt + path).parent_path());
        testing::WriteFileBytes(mnt + path, bytes);
        card->written[path] = std::move(bytes);
    };
    // The old directories lie past what a new format of any cluster size writes over.
    put("/FILLER.BIN", Content("filler", 3 << 20));
    put("/ROOT.TXT", Content("root", 900));
    for (int i = 1; i <= 6; ++i) {
        const std::string name = "/DCIM/100CANON/IMG_000" + std::to_string(i) + ".JPG";
        put(name, Content(name, 2500 + 41000 * size_t(i), true));
    }
    put("/Documents/Report for the board — final version.txt", Content("report", 12345));
    put("/Documents/old draft.doc.bak", Content("old", 30000));
    put("/Documents/Notes/todo.txt", Content("todo", 5000));
    put("/Documents/Notes/Deep/deeper notes.txt", Content("deep", 777));
    put("/Documents/Notes/Deep/Deeper/deepest.bin", Content("deepest", 300000));
    for (int i = 0; i < 40; ++i) {
        const std::string name = "/Big folder/Photo from the summer holiday at the lake number " +
                                 std::to_string(100 + i) + ".jpg";
        put(name, Content(name, 1500, true));
    }
    put("/Documents/empty.txt", {});
    // A file written into the hole a deleted one left, going on after the next file.
    put("/Documents/hole a.bin", Content("hole a", 20000));
    put("/Documents/hole b.bin", Content("hole b", 20000));
    fs::remove(mnt + "/Documents/hole a.bin");
    card->written.erase("/Documents/hole a.bin");
    card->overwritten.insert("/Documents/hole a.bin");
    put("/Documents/into the hole.bin", Content("into the hole", 300000));
    card->fragmented.insert("/Documents/into the hole.bin");
    put("/Documents/Trash me/inside.txt", Content("inside", 9000));
    // Deleted last, so that nothing written after them takes their clusters: a file and a
    // folder with its file.
    for (const char* gone : {"/Documents/old draft.doc.bak", "/Documents/Trash me/inside.txt"}) {
        card->deleted[gone] = card->written[gone];
        card->written.erase(gone);
    }
    fs::remove(mnt + "/Documents/old draft.doc.bak");
    fs::remove_all(mnt + "/Documents/Trash me");
    out.clear();
    if (testing::Run("umount " + ShellQuote(mnt), &out) != 0) {
        card->skip = "umount failed: " + out;
    } else {
        attached.mnt.clear();
    }
    return card;
}

enum class Damage {
    kNone,
    kMainBootSectorZeroed,
    kQuickFormat,
    kBootRegionZeroed,
    kReformattedOtherCluster,
    kFormattedAtOffset
};

struct CardCase {
    const char* name;
    const char* cluster;
    Damage damage;
    uint32_t sectorsPerCluster;  // of the old volume, which the stage must find
};

class DamagedExfatCard : public ::testing::TestWithParam<CardCase> {
  protected:
    static void SetUpTestSuite() {
        for (const char* c : {"4K", "128K"}) cards_[c] = MakeCard(c);
    }
    static void TearDownTestSuite() { cards_.clear(); }
    static std::map<std::string, std::unique_ptr<ExfatCard>> cards_;
    IsolatedHome home_;
};
std::map<std::string, std::unique_ptr<ExfatCard>> DamagedExfatCard::cards_;

// Every file comes back byte-exact under its own path; where the root went (a format writes a
// new one in its place) the top folders are lost folders, one per folder, and the root's own
// files are gone. Nothing is listed that the card did not hold.
TEST_P(DamagedExfatCard, EveryFileComesBackByteExactWhereItsFolderSurvived) {
    const CardCase& c = GetParam();
    const ExfatCard& card = *cards_.at(c.cluster);
    if (!card.skip.empty()) GTEST_SKIP() << card.skip;
    TempDir work;
    std::string image = work / "damaged.img";
    ASSERT_TRUE(fs::copy_file(card.image, image));
    std::string out;
    // The backup boot region still tells where the FAT is; without both, the FAT is found by
    // its first sector before the heap the links placed.
    const bool fatKnown = c.damage == Damage::kNone || c.damage == Damage::kMainBootSectorZeroed ||
                          c.damage == Damage::kBootRegionZeroed;
    const bool rootLost = c.damage != Damage::kBootRegionZeroed && !fatKnown;
    switch (c.damage) {
        case Damage::kNone:
            break;
        case Damage::kMainBootSectorZeroed:
            ASSERT_EQ(testing::Run("dd if=/dev/zero of=" + ShellQuote(image) +
                                       " bs=512 count=1 conv=notrunc status=none",
                                   &out),
                      0);
            break;
        case Damage::kQuickFormat:
            ASSERT_EQ(
                testing::Run("mkfs.exfat -c " + std::string(c.cluster) + " " + ShellQuote(image),
                             &out),
                0)
                << out;
            break;
        case Damage::kBootRegionZeroed:
            ASSERT_EQ(testing::Run("dd if=/dev/zero of=" + ShellQuote(image) +
                                       " bs=512 count=24 conv=notrunc status=none",
                                   &out),
                      0);
            break;
        case Damage::kReformattedOtherCluster:
            ASSERT_EQ(testing::Run("mkfs.exfat -c 32K " + ShellQuote(image), &out), 0) << out;
            break;
        case Damage::kFormattedAtOffset: {
            ASSERT_EQ(
                testing::Run("mkfs.exfat -c " + std::string(c.cluster) + " " + ShellQuote(image),
                             &out),
                0)
                << out;
            const std::string disk = work / "disk.img";
            ASSERT_EQ(testing::Run("truncate -s 3M " + ShellQuote(disk) + " && cat " +
                                       ShellQuote(image) + " >> " + ShellQuote(disk),
                                   &out),
                      0);
            image = disk;
            break;
        }
    }
    CProfessionalExfatRecovery stage;
    ASSERT_EQ(stage.OpenImage(image, 1), kOk);
    const PassResult pass = RunPass(stage, image, c.damage == Damage::kFormattedAtOffset);
    ASSERT_EQ(pass.begin, kOk);
    ASSERT_EQ(pass.finish, kOk);
    ASSERT_FALSE(stage.Layouts().empty());
    EXPECT_EQ(stage.Layouts().front().sectorsPerCluster, c.sectorsPerCluster);

    const auto tree = ListTree(stage);
    std::map<std::string, std::string> lostOf;  // top folder -> the lost folder it became
    std::set<std::string> expected;
    auto check = [&](const std::string& written, const std::vector<uint8_t>& bytes, bool deleted) {
        SCOPED_TRACE(written);
        std::string want = written.substr(1);
        std::string listed = want;
        const size_t slash = want.find('/');
        if (rootLost) {
            if (slash == std::string::npos) return;  // a file of the old root
            const std::string top = want.substr(0, slash);
            const std::string rest = want.substr(slash);
            const auto hit = std::find_if(tree.begin(), tree.end(), [&](const auto& kv) {
                static const std::regex lost("LostFolder[0-9]+");
                const size_t s = kv.first.find('/');
                return s != std::string::npos && kv.first.substr(s) == rest &&
                       std::regex_match(kv.first.substr(0, s), lost);
            });
            ASSERT_NE(hit, tree.end()) << "missing under a lost folder";
            listed = hit->first;
            const std::string lost = listed.substr(0, listed.find('/'));
            const auto [it, inserted] = lostOf.emplace(top, lost);
            EXPECT_EQ(it->second, lost) << "one folder became two lost folders";
        }
        const auto it = tree.find(listed);
        ASSERT_NE(it, tree.end()) << "missing " << listed;
        const RecoveredItem& item = it->second;
        for (std::string p = listed; !p.empty();
             p.resize(p.find_last_of('/') == std::string::npos ? 0 : p.find_last_of('/'))) {
            expected.insert(p);
        }
        EXPECT_EQ(int(item.engineKind), int(kEngineProfessionalExfat));
        EXPECT_EQ(int(item.isDeleted), deleted ? 1 : 0);
        EXPECT_EQ(int(item.contentValid), 1);
        EXPECT_EQ(uint64_t(item.fileSize), bytes.size());
        EXPECT_NE(uint64_t(item.modifiedTime), 0u);
        std::string path;
        EXPECT_EQ(stage.GetItemPath(item, path), kOk);
        EXPECT_EQ(path + std::string(item.Name()), listed);
        // Without the card's own FAT a fragmented file cannot be put together.
        if (!fatKnown && card.fragmented.count(written)) return;
        Result r = kErrGenFailure;
        EXPECT_EQ(Recover(stage, item, work / ("out" + std::to_string(expected.size())), &r),
                  bytes);
        EXPECT_EQ(r, kOk);
        if (!bytes.empty()) {
            uint64_t lba = 0;
            EXPECT_EQ(stage.FirstDataSector(item, lba), kOk);
        }
    };
    for (const auto& [path, bytes] : card.written) check(path, bytes, false);
    for (const auto& [path, bytes] : card.deleted) check(path, bytes, true);
    std::set<std::string> lostNames;
    for (const auto& [top, lost] : lostOf) lostNames.insert(lost);
    EXPECT_EQ(lostNames.size(), lostOf.size()) << "two folders became one lost folder";
    for (const auto& [path, item] : tree) {
        const size_t slash = path.find('/');
        const bool overwritten = std::any_of(
            card.overwritten.begin(), card.overwritten.end(), [&](const std::string& o) {
                return path == o.substr(1) || (rootLost && slash != std::string::npos &&
                                               path.substr(slash) == o.substr(o.find('/', 1)));
            });
        EXPECT_TRUE(expected.count(path) || overwritten) << "unexpected " << path;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cards, DamagedExfatCard,
    ::testing::Values(CardCase{"Live4K", "4K", Damage::kNone, 8},
                      CardCase{"MainBootSectorZeroed4K", "4K", Damage::kMainBootSectorZeroed, 8},
                      CardCase{"QuickFormat4K", "4K", Damage::kQuickFormat, 8},
                      CardCase{"QuickFormat128K", "128K", Damage::kQuickFormat, 256},
                      CardCase{"BootRegionZeroed4K", "4K", Damage::kBootRegionZeroed, 8},
                      CardCase{"BootRegionZeroed128K", "128K", Damage::kBootRegionZeroed, 256},
                      CardCase{"Reformatted32KOver4K", "4K", Damage::kReformattedOtherCluster, 8},
                      CardCase{"FormattedAtOffset128K", "128K", Damage::kFormattedAtOffset, 256}),
    [](const ::testing::TestParamInfo<CardCase>& info) { return std::string(info.param.name); });

// ---- The committed cards, quick-formatted: no root and no tools needed ----

class FormattedExfatFixture : public ::testing::TestWithParam<const char*> {
  protected:
    IsolatedHome home_;
    TempDir dir_;
};

// Every file below a top folder comes back under LostFolder<n> (one per top folder) with its
// name, its deleted state (a deleted folder's files too) and, unless it was fragmented or
// written over, its exact content; the old root's own files are gone; nothing else is listed.
TEST_P(FormattedExfatFixture, FilesComeBackUnderTheirFoldersWithTheirContent) {
    const std::string card = GetParam();
    const std::string image = testing::UnpackCard(dir_, card + "_formatted");
    ASSERT_FALSE(image.empty());
    CProfessionalExfatRecovery stage;
    ASSERT_EQ(stage.OpenImage(image, 1), kOk);
    ASSERT_EQ(RunPass(stage, image).finish, kOk);
    const auto tree = ListTree(stage);
    std::map<std::string, std::string> lostOf;
    size_t files = 0;
    for (const testing::ManifestFile& f : testing::ReadManifest(card)) {
        SCOPED_TRACE(f.path);
        const size_t slash = f.path.find('/', 1);
        if (slash == std::string::npos || f.state == "overwritten") continue;
        const std::string top = f.path.substr(1, slash - 1), rest = f.path.substr(slash);
        const auto hit = std::find_if(tree.begin(), tree.end(), [&](const auto& kv) {
            const size_t s = kv.first.find('/');
            return kv.first.rfind("LostFolder", 0) == 0 && s != std::string::npos &&
                   kv.first.substr(s) == rest;
        });
        ASSERT_NE(hit, tree.end());
        ++files;
        const std::string lost = hit->first.substr(0, hit->first.find('/'));
        EXPECT_EQ(lostOf.emplace(top, lost).first->second, lost);
        EXPECT_EQ(int(hit->second.isDeleted), f.state == "deleted" ? 1 : 0);
        EXPECT_EQ(uint64_t(hit->second.fileSize), f.size);
        if (f.note == "fragmented") continue;
        EXPECT_EQ(testing::Sha256(Recover(stage, hit->second, dir_ / std::to_string(files))),
                  f.sha256);
    }
    size_t listedFiles = 0;
    for (const auto& [path, item] : tree) listedFiles += item.isFolder ? 0 : 1;
    EXPECT_EQ(listedFiles, files);
    EXPECT_EQ(
        std::set<std::string>(std::views::values(lostOf).begin(), std::views::values(lostOf).end())
            .size(),
        lostOf.size());
}

INSTANTIATE_TEST_SUITE_P(Cards, FormattedExfatFixture, ::testing::Values("exfat_4k", "exfat_128k"));

// ---- Hostile media, made by hand ----

void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void PutLe32(uint8_t* p, uint32_t v) {
    PutLe16(p, uint16_t(v));
    PutLe16(p + 2, uint16_t(v >> 16));
}
void PutLe64(uint8_t* p, uint64_t v) {
    PutLe32(p, uint32_t(v));
    PutLe32(p + 4, uint32_t(v >> 32));
}

// A file entry set with an ASCII name and a valid checksum.
std::vector<uint8_t> EntrySet(const std::string& name, bool folder, uint32_t cluster,
                              uint64_t length, uint8_t extraSecondaries = 0) {
    const size_t nameEntries = (name.size() + 14) / 15;
    const size_t count = 2 + nameEntries + extraSecondaries;
    std::vector<uint8_t> set(count * 32, 0);
    set[0] = kExfatTypeFile;
    set[1] = uint8_t(count - 1);
    PutLe16(&set[4], folder ? kExfatAttrDirectory : kExfatAttrArchive);
    const uint32_t stamp = (uint32_t(2021 - 1980) << 25) | (6u << 21) | (7u << 16) | (12u << 11);
    PutLe32(&set[8], stamp);
    PutLe32(&set[12], stamp);
    PutLe32(&set[16], stamp);
    uint8_t* s = &set[32];
    s[0] = kExfatTypeStream;
    s[1] = kExfatFlagAllocationPossible | kExfatFlagNoFatChain;
    s[3] = uint8_t(name.size());
    PutLe64(&s[8], length);
    PutLe32(&s[20], cluster);
    PutLe64(&s[24], length);
    for (size_t e = 0; e < nameEntries; ++e) {
        uint8_t* n = &set[(2 + e) * 32];
        n[0] = kExfatTypeName;
        for (size_t k = 0; k < 15 && e * 15 + k < name.size(); ++k)
            PutLe16(&n[2 + 2 * k], uint8_t(name[e * 15 + k]));
    }
    for (size_t e = 0; e < extraSecondaries; ++e) set[(2 + nameEntries + e) * 32] = 0xE0;
    PutLe16(&set[2], EntrySetChecksum(set));
    return set;
}

void Place(std::vector<uint8_t>& medium, uint64_t lba, const std::vector<uint8_t>& bytes) {
    const size_t at = size_t(lba) * 512;
    if (medium.size() < at + bytes.size()) medium.resize(at + bytes.size());
    std::memcpy(medium.data() + at, bytes.data(), bytes.size());
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

class HostileExfat : public ::testing::Test {
  protected:
    IsolatedHome home_;
    TempDir dir_;
};

// Directories of one-sector clusters (heap at 100): A and B hold each other, C holds itself,
// and every one of them holds a file; one more holds a file whose 250-character name fills
// more than its sector. The pass ends, the listing ends, every file is listed once, and
// recovering a folder of the loop ends.
TEST_F(HostileExfat, FoldersInALoopOrInsideThemselvesEndAndKeepTheirFiles) {
    std::vector<uint8_t> medium(4096 * 512, 0);
    const uint64_t heap = 100;
    auto at = [&](uint32_t cluster) { return heap + cluster - 2; };
    Place(medium, at(10),
          Concat({EntrySet("A", true, 11, 512), EntrySet("a.bin", false, 40, 600)}));
    Place(medium, at(11),
          Concat({EntrySet("B", true, 10, 512), EntrySet("b.bin", false, 42, 600)}));
    Place(medium, at(12),
          Concat({EntrySet("C", true, 12, 512), EntrySet("c.bin", false, 44, 600)}));
    Place(medium, at(13),
          Concat({EntrySet("D", true, 12, 512), EntrySet("E", true, 10, 512),
                  EntrySet("L", true, 14, 1024)}));
    // A name of 250 characters: its set fills more than the first sector of its directory.
    const std::string longName = std::string(246, 'n') + ".bin";
    Place(medium, at(14), EntrySet(longName, false, 46, 600));
    for (uint32_t c : {40u, 42u, 44u, 46u}) {
        Place(medium, at(c), Content(std::to_string(c), 1024));
    }
    const std::string image = dir_ / "loop.img";
    testing::WriteFileBytes(image, medium);
    CProfessionalExfatRecovery stage;
    ASSERT_EQ(stage.OpenImage(image, 1), kOk);
    const PassResult pass = RunPass(stage, image);
    ASSERT_EQ(pass.finish, kOk);
    ASSERT_FALSE(stage.Layouts().empty());
    EXPECT_EQ(stage.Layouts().front().heapLba, heap);
    EXPECT_EQ(stage.Layouts().front().sectorsPerCluster, 1u);
    const auto tree = ListTree(stage);
    std::map<std::string, int> files;
    for (const auto& [path, item] : tree) {
        if (!item.isFolder) ++files[std::string(item.Name())];
        std::string p;
        EXPECT_EQ(stage.GetItemPath(item, p), kOk);
        EXPECT_LT(p.size(), 200u);
    }
    EXPECT_EQ(files, (std::map<std::string, int>{
                         {"a.bin", 1}, {"b.bin", 1}, {"c.bin", 1}, {longName, 1}}));
    for (const auto& [path, item] : tree) {
        if (!item.isFolder || path.find('/') != std::string::npos) continue;
        const std::string to = dir_ / ("out_" + std::string(item.Name()));
        EXPECT_EQ(stage.RecoverItem(item, to, 0), kOk);
    }
    const auto b = std::find_if(tree.begin(), tree.end(),
                                [](const auto& kv) { return kv.second.Name() == "b.bin"; });
    ASSERT_NE(b, tree.end());
    EXPECT_EQ(Recover(stage, b->second, dir_ / "b.bin"), Content("42", 600));

    // The saved store, loaded again, answers the same: nothing is emitted twice.
    const std::string name = fs::path(stage.Store()->DataPath()).filename();
    CProfessionalExfatRecovery again;
    ASSERT_EQ(again.OpenImage(image, 1), kOk);
    ASSERT_EQ(again.BeginScan(name.c_str()), kOk);
    ASSERT_EQ(again.FinishScan(), kOk);
    EXPECT_EQ(ListTree(again).size(), tree.size());
}

// Random data claims nothing; entry sets with absurd fields among it (a cluster past the
// medium, a length of 2^62, secondary counts past the set) are survived, and the pass keeps no
// more than its limits however many sets it meets.
TEST_F(HostileExfat, RandomDataAndAbsurdFieldsStayWithinTheLimits) {
    std::vector<uint8_t> medium = Content("noise", 2048 * 512);
    const std::string noise = dir_ / "noise.img";
    testing::WriteFileBytes(noise, medium);
    {
        CProfessionalExfatRecovery stage;
        ASSERT_EQ(stage.OpenImage(noise, 1), kOk);
        const PassResult pass = RunPass(stage, noise);
        EXPECT_EQ(pass.claimed, 0u);
        EXPECT_EQ(pass.finish, kOk);
        EXPECT_TRUE(ListTree(stage).empty());
    }
    for (uint64_t lba = 0; lba < 1500; lba += 3) {
        Place(medium, lba,
              Concat({EntrySet("far.bin", false, 0xFFFFFFF0u, uint64_t{1} << 62),
                      EntrySet("dir" + std::to_string(lba), true, uint32_t(lba + 7),
                               uint64_t{1} << 40, 16),
                      std::vector<uint8_t>(32, 0)}));
    }
    const std::string absurd = dir_ / "absurd.img";
    testing::WriteFileBytes(absurd, medium);
    CProfessionalExfatRecovery stage;
    ProfessionalExfatLimits limits;
    limits.maxSets = 64;
    limits.maxStarts = 32;
    limits.maxRuns = 16;
    limits.maxOwnedClusters = 1000;
    stage.SetLimits(limits);
    ASSERT_EQ(stage.OpenImage(absurd, 1), kOk);
    const PassResult pass = RunPass(stage, absurd);
    EXPECT_GT(pass.claimed, 400u);
    EXPECT_EQ(pass.finish, kOk);
    EXPECT_EQ(pass.kept.sets, limits.maxSets);
    EXPECT_LE(pass.kept.starts, limits.maxStarts);
    EXPECT_LE(pass.kept.runs, limits.maxRuns);
    for (const auto& [path, item] : ListTree(stage)) {
        if (item.isFolder) continue;
        Result r = kOk;
        EXPECT_TRUE(Recover(stage, item, dir_ / "x.bin", &r).empty());
        EXPECT_NE(r, kOk) << path;
    }
}

}  // namespace
}  // namespace norvale
