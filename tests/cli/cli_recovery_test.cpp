#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::CliPath;
using testing::RunShell;
using testing::TempDir;

// The demo card: photos, a sound and a document in folders; two photos and the sound deleted.
class CliRecovery : public ::testing::Test {
  protected:
    void SetUp() override {
        NORVALE_REQUIRE_TOOLS("mkfs.fat", "mcopy", "mmd", "mdel");
        std::string out;
        ASSERT_EQ(RunShell(testing::SourceDir() + "/scripts/make-demo-card.sh '" + card_ + "' '" +
                               originals_ + "'",
                           &out),
                  0)
            << out;
    }
    int Cli(const std::string& args, std::string* out) {
        return RunShell("'" + CliPath() + "' " + args, out);
    }
    bool SameAsOriginal(const std::string& recovered, const std::string& original) {
        return testing::ReadFileBytes(recovered) ==
               testing::ReadFileBytes(originals_ + "/" + original);
    }

    testing::IsolatedHome home_;
    TempDir dir_;
    std::string card_ = dir_ / "card.img";
    std::string originals_ = dir_ / "originals";
};

TEST_F(CliRecovery, DeletedFilesComeBackByteExactIntoCategoryFolders) {
    std::string out;
    std::string dest = dir_ / "back";
    ASSERT_EQ(Cli("recover '" + card_ + "' --to '" + dest + "' -q", &out), 0) << out;
    EXPECT_NE(out.find("Recovered 3 of 3 files"), std::string::npos) << out;
    EXPECT_TRUE(SameAsOriginal(dest + "/photo/Sommer am Fjord.png", "Sommer am Fjord.png"));
    EXPECT_TRUE(SameAsOriginal(dest + "/photo/!mg_0002.png", "IMG_0002.png"));
    EXPECT_TRUE(SameAsOriginal(dest + "/audio/voice memo.wav", "voice memo.wav"));

    // A second run into the same folder never overwrites what the first one wrote, and does
    // not write again what is already there (unless asked to).
    ASSERT_EQ(Cli("recover '" + card_ + "' --to '" + dest + "' -q --type audio", &out), 0);
    EXPECT_NE(out.find("1 already there"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(dest + "/audio/voice memo(1).wav"));
    ASSERT_EQ(
        Cli("recover '" + card_ + "' --to '" + dest + "' -q --type audio --no-skip-existing", &out),
        0);
    EXPECT_TRUE(fs::exists(dest + "/audio/voice memo(1).wav"));
    EXPECT_FALSE(fs::exists(dest + "/photo/Sommer am Fjord(1).png"));
}

TEST_F(CliRecovery, ListShowsFoldersKindsAndJson) {
    std::string tree;
    ASSERT_EQ(Cli("list '" + card_ + "' -q --tree", &tree), 0) << tree;
    EXPECT_NE(tree.find("100CAMERA/"), std::string::npos) << tree;
    EXPECT_NE(tree.find("    Sommer am Fjord.png  (deleted)"), std::string::npos) << tree;

    std::string json;
    ASSERT_EQ(Cli("list '" + card_ + "' -q --json --type photo", &json), 0) << json;
    EXPECT_NE(json.find("\"name\":\"Sommer am Fjord.png\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"path\":\"dcim/100CAMERA/\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"category\":\"photo\""), std::string::npos);
    EXPECT_NE(json.find("\"engine\":\"fat-deleted\""), std::string::npos);
    EXPECT_EQ(json.find("voice memo"), std::string::npos);  // not a photo

    std::string byExt;
    ASSERT_EQ(Cli("list '" + card_ + "' -q --json --ext wav", &byExt), 0);
    EXPECT_NE(byExt.find("voice memo.wav"), std::string::npos);
    EXPECT_EQ(byExt.find(".png"), std::string::npos);
}

TEST_F(CliRecovery, FailuresAreListedAndGiveExitCodeOne) {
    std::string dest = dir_ / "back";
    fs::create_directories(dest);
    testing::WriteFileBytes(dest + "/photo", {1});  // a file where the photo folder must go
    std::string out;
    EXPECT_EQ(Cli("recover '" + card_ + "' --to '" + dest + "' -q", &out), 1) << out;
    EXPECT_NE(out.find("failed: Sommer am Fjord.png"), std::string::npos) << out;
    EXPECT_NE(out.find("(2 failed)"), std::string::npos) << out;
    EXPECT_TRUE(SameAsOriginal(dest + "/audio/voice memo.wav", "voice memo.wav"));
}

TEST_F(CliRecovery, UsageAndSourceErrorsGiveExitCodeTwo) {
    std::string out;
    EXPECT_EQ(Cli("recover '" + card_ + "' -q", &out), 2);  // no --to
    EXPECT_EQ(Cli("recover '" + card_ + "' --to '" + dir_ / "x" + "' --type pictures", &out), 2);
    EXPECT_NE(out.find("unknown kind"), std::string::npos) << out;
    EXPECT_EQ(Cli("scan '" + dir_ / "nothing.img" + "'", &out), 2);
    EXPECT_EQ(Cli("scan '" + card_ + "' --mode sideways", &out), 2);

    std::string blank = dir_ / "blank.img";
    ASSERT_EQ(RunShell("truncate -s 1M '" + blank + "'"), 0);
    EXPECT_EQ(Cli("scan '" + blank + "' -q", &out), 1);  // nothing FAT or NTFS on it
    EXPECT_NE(out.find("--mode full"), std::string::npos) << out;
}

// The listing of a full scan, its lines sorted.
std::vector<std::string> SortedLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST_F(CliRecovery, FullScanResumedAfterCtrlCCountsAndListsWhatAWholeScanDoes) {
    ASSERT_EQ(RunShell("mkfs.fat -F 32 -n NEWCARD '" + card_ + "' >/dev/null"), 0);
    std::string whole, again, out;
    ASSERT_EQ(Cli("scan --mode full --restart '" + card_ + "' -q", &whole), 0) << whole;
    // A finished scan loaded again counts what it found, not what it added.
    ASSERT_EQ(Cli("scan --mode full --resume '" + card_ + "' -q", &again), 0) << again;
    EXPECT_EQ(whole.substr(0, whole.find('\n')), again.substr(0, again.find('\n')));
    ASSERT_EQ(Cli("list --mode full --resume '" + card_ + "' -q", &out), 0) << out;
    const std::vector<std::string> reference = SortedLines(out);

    for (const char* delay : {"0.05", "0.2", "0.4"}) {
        SCOPED_TRACE(std::string("Ctrl-C after ") + delay + " s");
        std::string stop;
        const int rc = RunShell("'" + CliPath() + "' scan --mode full --restart '" + card_ +
                                    "' -q & p=$!; sleep " + delay + "; kill -INT $p; wait $p",
                                &stop);
        // 3 for a scan the signal stopped, 0 for one that ended before it came.
        const bool stopped = stop.find("before the scan was stopped") != std::string::npos;
        ASSERT_EQ(rc, stopped ? 3 : 0) << stop;
        std::string listed;  // the shell helper adds to what it is given
        ASSERT_EQ(Cli("list --mode full --resume '" + card_ + "' -q", &listed), 0) << listed;
        EXPECT_EQ(SortedLines(listed), reference);
    }
}

TEST_F(CliRecovery, EmptySourceIsASourceErrorInEveryMode) {
    const std::string empty = dir_ / "empty.img";
    testing::WriteFileBytes(empty, {});
    for (const char* mode : {"deleted", "full", "carve"}) {
        std::string out;
        EXPECT_EQ(Cli("scan --mode " + std::string(mode) + " '" + empty + "' -q", &out), 2) << mode;
        EXPECT_NE(out.find("empty"), std::string::npos) << out;
        EXPECT_NE(out.find(empty), std::string::npos) << out;
    }
}

TEST_F(CliRecovery, ScanReportsItsCountAndLogFolder) {
    std::string out;
    ASSERT_EQ(Cli("scan '" + card_ + "' -q", &out), 0) << out;
    EXPECT_NE(out.find("items found"), std::string::npos) << out;
    EXPECT_NE(out.find(home_.DataHome() + "/Kestrune/ScanLog/1/"), std::string::npos) << out;
}

}  // namespace
}  // namespace norvale

namespace norvale {
namespace {

// The committed NTFS card: deleted files of the live MFT come back through the same commands.
TEST_F(CliRecovery, CarvingFindsEveryPictureAndSoundWithoutTheFileSystem) {
    std::string out;
    const std::string dest = dir_ / "carved";
    ASSERT_EQ(Cli("recover --mode carve '" + card_ + "' --to '" + dest + "' -q", &out), 0) << out;
    std::vector<std::vector<uint8_t>> carved;
    for (const auto& e : fs::recursive_directory_iterator(dest)) {
        if (!e.is_regular_file()) continue;
        // Carved files are named by their first sector.
        const std::string stem = e.path().stem().string();
        EXPECT_EQ(stem.find_first_not_of("0123456789"), std::string::npos) << e.path();
        carved.push_back(testing::ReadFileBytes(e.path().string()));
    }
    // Deleted or not, every picture and the sound come back whole (the text has no signature).
    for (const char* name :
         {"IMG_0001.png", "IMG_0002.png", "Sommer am Fjord.png", "scan.bmp", "voice memo.wav"}) {
        const std::vector<uint8_t> original = testing::ReadFileBytes(originals_ + "/" + name);
        ASSERT_FALSE(original.empty()) << name;
        EXPECT_NE(std::find(carved.begin(), carved.end(), original), carved.end()) << name;
    }

    ASSERT_EQ(Cli("list --mode carve '" + card_ + "' -q --json", &out), 0) << out;
    EXPECT_NE(out.find(".wav"), std::string::npos) << out;
}

// A carved find whose structure does not check out (a sound file whose header states far more
// than the card holds) is left out of list, scan and recover, counts included, unless
// --damaged asks for it; the file system's own finds are listed alike either way.
TEST_F(CliRecovery, CarvedFindsThatDoNotCheckOutAreLeftOutUnlessDamagedIsGiven) {
    std::vector<uint8_t> card = testing::ReadFileBytes(card_);
    ASSERT_EQ(card.size() % 512, 0u);
    const uint64_t brokenLba = card.size() / 512;
    std::vector<uint8_t> wave(8 * 512, 0);
    const auto le32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) wave[at + i] = uint8_t(v >> (8 * i));
    };
    std::memcpy(wave.data(), "RIFF....WAVEfmt ", 16);
    le32(4, 100u << 20);  // 100 MiB stated, 4 KiB there
    le32(16, 16);
    const uint8_t format[16] = {1, 0, 1, 0, 0x40, 0x1f, 0, 0, 0x80, 0x3e, 0, 0, 2, 0, 16, 0};
    std::memcpy(wave.data() + 20, format, 16);
    std::memcpy(wave.data() + 36, "data", 4);
    le32(40, (100u << 20) - 36);
    card.insert(card.end(), wave.begin(), wave.end());
    testing::WriteFileBytes(card_, card);
    const std::string broken = std::to_string(brokenLba) + ".wav";

    // Each command's own output (the shell helper adds to what it is given).
    const auto run = [&](const std::string& args) {
        std::string out;
        EXPECT_EQ(Cli(args, &out), 0) << args << ": " << out;
        return out;
    };
    const auto items = [](const std::string& json) {
        size_t n = 0;
        for (size_t p = json.find("\"name\""); p != std::string::npos;
             p = json.find("\"name\"", p + 1))
            ++n;
        return n;
    };
    const std::string source = " --mode carve '" + card_ + "' -q";
    std::string plain = run("list" + source + " --json");
    std::string damaged = run("list" + source + " --json --damaged");
    EXPECT_EQ(plain.find(broken), std::string::npos) << plain;
    EXPECT_NE(plain.find(".wav"), std::string::npos) << plain;  // the sound that checks out
    const size_t at = damaged.find("\"" + broken + "\"");
    ASSERT_NE(at, std::string::npos) << damaged;
    EXPECT_NE(damaged.find("\"contentValid\":false", at), std::string::npos) << damaged;
    const size_t listed = items(plain);
    ASSERT_GT(listed, 0u);
    EXPECT_EQ(items(damaged), listed + 1);

    plain = run("scan" + source);
    EXPECT_NE(plain.find(": " + std::to_string(listed) + " item"), std::string::npos) << plain;
    damaged = run("scan" + source + " --damaged");
    EXPECT_NE(damaged.find(": " + std::to_string(listed + 1) + " item"), std::string::npos)
        << damaged;

    std::string out = run("recover" + source + " --to '" + dir_ / "plain" + "'");
    EXPECT_NE(out.find("Recovered " + std::to_string(listed) + " of " + std::to_string(listed)),
              std::string::npos)
        << out;
    EXPECT_FALSE(fs::exists(dir_ / ("plain/audio/" + broken)));
    out = run("recover" + source + " --damaged --to '" + dir_ / "all" + "'");
    EXPECT_TRUE(fs::exists(dir_ / ("all/audio/" + broken))) << out;

    // The file system's finds do not depend on the flag.
    plain = run("list '" + card_ + "' -q");
    EXPECT_EQ(run("list '" + card_ + "' -q --damaged"), plain);
    EXPECT_NE(plain.find("voice memo.wav"), std::string::npos) << plain;
}

TEST_F(CliRecovery, FullScanOfAFormattedCardAndItsSavedState) {
    ASSERT_EQ(RunShell("mkfs.fat -F 32 -n NEWCARD '" + card_ + "' >/dev/null"), 0);
    std::string out;
    const std::string dest = dir_ / "full";
    ASSERT_EQ(Cli("recover --mode full --restart '" + card_ + "' --to '" + dest + "' -q", &out), 0)
        << out;
    EXPECT_NE(out.find("Recovered 6 of 6 files"), std::string::npos) << out;
    EXPECT_TRUE(SameAsOriginal(dest + "/photo/Sommer am Fjord.png", "Sommer am Fjord.png"));
    EXPECT_TRUE(SameAsOriginal(dest + "/document/notes.txt", "notes.txt"));

    // The finished scan is kept: --resume lists it again without reading the card.
    ASSERT_EQ(Cli("list --mode full --resume '" + card_ + "' -q", &out), 0) << out;
    EXPECT_NE(out.find("Sommer am Fjord.png"), std::string::npos) << out;
}

TEST(CliRecoveryNtfs, DeletedFilesOfAnNtfsCardAreRecovered) {
    testing::IsolatedHome home;
    TempDir dir;
    std::string card = dir / "ntfs.img";
    ASSERT_EQ(RunShell("gzip -dc '" + testing::SourceDir() +
                       "/tests/fixtures/ntfs/ntfs_card.img.gz' > '" + card + "'"),
              0);
    std::string out;
    ASSERT_EQ(RunShell("'" + CliPath() + "' detect '" + card + "'", &out), 0);
    EXPECT_EQ(out, "NTFS\n");
    out.clear();
    // One record of the card lost its data attribute (its creation failed on a full volume):
    // it fails instead of coming back as an empty file that passes for a recovered one.
    ASSERT_EQ(
        RunShell("'" + CliPath() + "' recover '" + card + "' -q --to '" + dir / "back" + "'", &out),
        1)
        << out;
    EXPECT_NE(out.find("(1 failed)"), std::string::npos) << out;
    EXPECT_NE(out.find("failed: " + dir / "back/others/f3258"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists(dir / "back/others/f3258"));
    EXPECT_TRUE(fs::exists(dir / "back/document/gone.txt"));
}

}  // namespace
}  // namespace norvale
