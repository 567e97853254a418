// The professional FAT scanner on cards made by mkfs.fat and filled with mtools, then formatted
// again, stripped of their boot sector, or reformatted as another FAT type: the sector pass the
// coordinator runs brings the files back byte-exact, with their names and folders.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "fat/fast_fat_test_helpers.h"
#include "fat/fat_test_media.h"
#include "fat/professional_fat_recovery.h"
#include "fat/professional_fat_test_helpers.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::FatCard;
using testing::IsolatedHome;
using testing::Lower;
using testing::MakeContent;
using testing::TempDir;

#define NORVALE_REQUIRE_FAT_TOOLS() \
    if (!testing::HaveFatTools()) GTEST_SKIP() << "mkfs.fat or mtools missing"

constexpr int kBigFolderFiles = 40;

std::string BigName(int i) {
    return "Photo from the summer holiday at the lake number " + std::to_string(100 + i) + ".jpg";
}

// Folders with 8.3 and long names three levels deep, a folder whose entries fill more than one
// cluster, photos that open like JPEGs, and a deleted file.
bool FillCard(FatCard& card, size_t fillerBytes = 0) {
    bool ok = (fillerBytes == 0 || card.Put("/FILLER.BIN", MakeContent("filler", fillerBytes))) &&
              card.Put("/ROOT.TXT", MakeContent("root", 900)) && card.Mkdir("/DCIM") &&
              card.Mkdir("/DCIM/100CANON");
    for (int i = 1; ok && i <= 8; ++i) {
        const std::string name = "/DCIM/100CANON/IMG_000" + std::to_string(i) + ".JPG";
        ok = card.Put(name, MakeContent(name, 2500 + 4100 * size_t(i), true));
    }
    ok = ok && card.Mkdir("/Documents") && card.Mkdir("/Documents/Notes") &&
         card.Mkdir("/Documents/Notes/Deep") &&
         card.Put("/Documents/Report for the board — final version.txt",
                  MakeContent("report", 12345)) &&
         card.Put("/Documents/OLD.TXT", MakeContent("old", 3000)) &&
         card.Put("/Documents/Notes/Deep/deeper notes.txt", MakeContent("deep", 777)) &&
         card.Put("/Documents/Notes/todo.txt", MakeContent("todo", 5000)) &&
         card.Mkdir("/Big folder");
    for (int i = 0; ok && i < kBigFolderFiles; ++i) {
        ok = card.Put("/Big folder/" + BigName(i), MakeContent(BigName(i), 1500, true));
    }
    return ok && card.Del("/Documents/OLD.TXT");
}

// The first cluster of each top-level folder of the card, as the card's own FAT tells.
std::map<std::string, uint32_t> TopFolders(const std::string& image) {
    std::map<std::string, uint32_t> out;
    auto v = testing::OpenImage(image);
    if (!v) return out;
    for (const auto& [path, e] : testing::ListTree(*v, false)) {
        if (e.entry.IsDirectory() && path.find('/', 1) == std::string::npos) {
            out[Lower(path)] = e.firstCluster;
        }
    }
    return out;
}

struct Outcome {
    std::map<std::string, RecoveredItem> tree;   // by path as listed
    std::map<std::string, std::string> byLower;  // lower-cased path -> listed path
};

Outcome ListEngine(CProfessionalFatRecovery& engine) {
    Outcome o;
    o.tree = testing::ListTreeOf(engine);
    for (const auto& [path, item] : o.tree) o.byLower[Lower(path)] = path;
    return o;
}

// Where a file of the card is expected: the same path, except that a top-level folder whose
// entry went with the root is named after its first cluster.
std::string Expected(const std::string& written, const std::map<std::string, uint32_t>& top,
                     bool rootLost) {
    const std::string rel = written.substr(1);
    if (!rootLost) return rel;
    const size_t slash = rel.find('/');
    if (slash == std::string::npos) return "";
    const auto it = top.find("/" + rel.substr(0, slash));
    if (it == top.end()) return "";
    return Lower("LostFolder" + std::to_string(it->second)) + rel.substr(slash);
}

// Scans the image, then checks every file of the card below the root (and the root's own
// files unless the root was lost): listed where expected, recovered byte-exact.
void ScanAndCheck(const std::string& image, const FatCard& card,
                  const std::map<std::string, uint32_t>& top, bool rootLost) {
    testing::ProPass pass;
    auto engine = testing::ProScanImage(image, &pass);
    ASSERT_TRUE(engine);
    ASSERT_EQ(pass.begin, kOk);
    ASSERT_EQ(pass.probe, kOk);
    ASSERT_EQ(pass.finish, kOk);
    const Outcome o = ListEngine(*engine);
    TempDir out;
    int n = 0;
    for (const auto& [written, bytes] : card.written) {
        SCOPED_TRACE(written);
        const std::string expected = Expected(written, top, rootLost);
        if (expected.empty()) continue;  // a root file of a formatted card is gone
        const auto it = o.byLower.find(Lower(expected));
        ASSERT_NE(it, o.byLower.end()) << "missing " << expected;
        const RecoveredItem& item = o.tree.at(it->second);
        EXPECT_EQ(int(item.engineKind), int(kEngineProfessionalFat));
        EXPECT_EQ(int(item.contentValid), 1);
        EXPECT_EQ(uint64_t(item.fileSize), bytes.size());
        EXPECT_NE(uint64_t(item.modifiedTime), 0u);
        std::string path;
        EXPECT_EQ(engine->GetItemPath(item, path), kOk);
        EXPECT_EQ(path + std::string(item.Name()), it->second);
        Result r = kErrGenFailure;
        EXPECT_EQ(testing::RecoverItemBytes(*engine, item, out / std::to_string(n++), &r), bytes);
        EXPECT_EQ(r, kOk);
    }
    // The deleted file comes back under its 8.3 name with the first letter lost.
    const std::string old = Expected("/documents/!ld.txt", top, rootLost);
    const auto deleted = o.byLower.find(old);
    ASSERT_NE(deleted, o.byLower.end());
    EXPECT_EQ(testing::RecoverItemBytes(*engine, o.tree.at(deleted->second), out / "old"),
              MakeContent("old", 3000));
    // Everything listed is a file of the card, a folder above one, or the deleted file.
    std::set<std::string> allowed = {Lower(old)};
    for (const auto& [written, bytes] : card.written) {
        std::string e = Lower(Expected(written, top, rootLost));
        while (!e.empty()) {
            allowed.insert(e);
            const size_t slash = e.find_last_of('/');
            e.resize(slash == std::string::npos ? 0 : slash);
        }
    }
    for (const auto& [lower, listed] : o.byLower) {
        EXPECT_TRUE(allowed.count(lower)) << "unexpected " << listed;
    }
}

class FormattedFat32Card : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!testing::HaveFatTools()) return;
        card_ = std::make_unique<FatCard>("-F 32 -s 8", 300 * 1024);
        built_ = card_->ok && FillCard(*card_);
        if (built_) top_ = TopFolders(card_->image);
    }
    static void TearDownTestSuite() { card_.reset(); }

    void SetUp() override {
        NORVALE_REQUIRE_FAT_TOOLS();
        ASSERT_TRUE(built_);
        ASSERT_TRUE(card_->CopyTo(image_));
    }

    void ScanAndCheck(bool rootLost) { norvale::ScanAndCheck(image_, *card_, top_, rootLost); }

    static inline std::unique_ptr<FatCard> card_;
    static inline bool built_ = false;
    static inline std::map<std::string, uint32_t> top_;
    IsolatedHome home_;
    TempDir work_;
    std::string image_ = work_ / "card.img";
};

TEST_F(FormattedFat32Card, QuickFormatWithTheSameLayoutKeepsEverythingBelowTheRoot) {
    ASSERT_TRUE(testing::RunShell("mkfs.fat -F 32 -s 8 '" + image_ + "' >/dev/null 2>&1") == 0);
    ScanAndCheck(true);
}

// The new file system starts its data area, and with it its empty root, before the old one:
// the old root survives, and the old layout, learnt from the old folders, reads all of it.
TEST_F(FormattedFat32Card, QuickFormatWithAnotherClusterSizeIsReadWithTheOldLayout) {
    ASSERT_TRUE(testing::RunShell("mkfs.fat -F 32 -s 16 '" + image_ + "' >/dev/null 2>&1") == 0);
    ScanAndCheck(false);
}

TEST_F(FormattedFat32Card, WipedBootSectorsStillGiveTheWholeTree) {
    testing::WipeSectors(image_, 0, 1);
    testing::WipeSectors(image_, 6, 1);  // the FAT32 backup boot sector
    ScanAndCheck(false);
}

// FAT32 put over a FAT16 card: the new FATs cover the old root and the start of the old data
// area; the old folders further on come back under the old layout, which the new boot sector
// does not describe.
TEST(ProfessionalFatMedia, Fat16CardReformattedAsFat32ComesBackUnderItsOldLayout) {
    NORVALE_REQUIRE_FAT_TOOLS();
    IsolatedHome home;
    FatCard card("-F 16 -s 4", 64 * 1024);
    ASSERT_TRUE(card.ok);
    ASSERT_TRUE(FillCard(card, 1536 * 1024));
    const auto top = TopFolders(card.image);
    ASSERT_TRUE(card.Reformat("-F 32"));
    card.written.erase("/filler.bin");
    ScanAndCheck(card.image, card, top, true);
}

// Reformatted with smaller clusters, the new FATs cover the first cluster of a big folder; its
// later clusters are still there, and the new boot sector's layout puts a cluster start on
// each of their sectors as well. Only the old layout reads the files they list from their
// own first sectors: the folder's files come back under their names byte-exact, never a name
// on another file's content.
TEST(ProfessionalFatMedia, FolderBeyondNewFatsKeepsItsOldLayoutAfterASmallerClusterFormat) {
    NORVALE_REQUIRE_FAT_TOOLS();
    IsolatedHome home;
    FatCard card("-F 32 -s 4", 160 * 1024);
    ASSERT_TRUE(card.ok);
    ASSERT_TRUE(card.Mkdir("/Holiday"));
    std::vector<std::string> names;
    for (int i = 0; i < 36; ++i) {
        names.push_back("Holiday photo number " + std::to_string(100 + i) + " at the lake.jpg");
        ASSERT_TRUE(card.Put("/Holiday/" + names.back(),
                             MakeContent(names.back(), 300 * 1024 + 700 * size_t(i), true)));
    }
    // Folders made later open with "." entries beyond the new FATs: the old layout is learnt
    // from them.
    for (const char* folder : {"/Later one", "/Later two", "/Later three"}) {
        ASSERT_TRUE(card.Mkdir(folder));
        ASSERT_TRUE(card.Put(std::string(folder) + "/notes.txt", MakeContent(folder, 3000)));
    }
    ASSERT_TRUE(card.Reformat("-F 32 -s 1"));
    auto engine = testing::ProScanImage(card.image);
    ASSERT_TRUE(engine);
    TempDir out;
    int exact = 0, n = 0;
    for (const auto& [path, item] : testing::ListTreeOf(*engine)) {
        if (item.isFolder) continue;
        const std::string name(item.Name());
        const auto it = card.written.find("/holiday/" + Lower(name));
        if (it == card.written.end()) continue;
        SCOPED_TRACE(path);
        EXPECT_EQ(int(item.contentValid), 1);
        EXPECT_EQ(testing::RecoverItemBytes(*engine, item, out / std::to_string(n++)), it->second);
        ++exact;
    }
    // Those listed in the folder's first cluster went with it (and so did their data); the
    // entries of its later clusters are what is left.
    EXPECT_GE(exact, 20);
}

// Without its boot sector a FAT16 card still has its fixed root right before the data area:
// the layout learnt from the folders finds it there, with the files and folder names it holds.
TEST(ProfessionalFatMedia, Fat16CardWithoutBootSectorKeepsItsFixedRoot) {
    NORVALE_REQUIRE_FAT_TOOLS();
    IsolatedHome home;
    FatCard card("-F 16 -s 4", 64 * 1024);
    ASSERT_TRUE(card.ok);
    ASSERT_TRUE(FillCard(card));
    const auto top = TopFolders(card.image);
    testing::WipeSectors(card.image, 0, 1);
    ScanAndCheck(card.image, card, top, false);
}

}  // namespace
}  // namespace norvale
