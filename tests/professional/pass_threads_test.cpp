// The whole-medium passes (carving alone, and the full scan with its file-system stages) leave
// the same stores, byte for byte, whether one thread or several look at the sectors: on the
// fixture volumes, on a card of real files laid back to back with one picture split around
// another file, on a quick-formatted card, on a medium with unreadable sectors, and on a block
// device read around the page cache.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "carving/carve_only_recovery.h"
#include "carving/sector_pass.h"
#include "exfat/exfat_file_system.h"
#include "fat/fat_file_system.h"
#include "ntfs/ntfs_file_system.h"
#include "professional/professional_recovery.h"
#include "support/scoped_disk_opener.h"
#include "support/scoped_file_systems.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::IsolatedHome;
using testing::RunShell;
using testing::TempDir;

using LogFiles = std::map<std::string, std::vector<uint8_t>>;

// Every file a scan left in the scan-log folders except the history itself, by path with the
// minute in the store names taken out.
LogFiles ScanLogFiles(const std::string& dataHome) {
    LogFiles files;
    const std::regex minute("_[0-9][0-9 ]*(_Relation|_DirInfo)?$");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dataHome)) {
        if (!entry.is_regular_file() || entry.path().filename() == "config") continue;
        const std::string relative = entry.path().lexically_relative(dataHome).string();
        files[std::regex_replace(relative, minute, "_*$1")] =
            testing::ReadFileBytes(entry.path().string());
    }
    return files;
}

enum class Pass { kCarve, kFull };

struct Outcome {
    Result result = kOk;
    LogFiles logs;
};

// Scans `image` (or disk 3 of the installed opener when `image` is empty) with `threads`,
// reading a block device around the page cache when `direct`.
Outcome ScanWith(const std::string& image, Pass pass, unsigned threads, bool direct = false) {
    IsolatedHome home;
    SetPassSettings(PassSettings{threads, direct});
    Outcome outcome;
    {
        std::unique_ptr<IFileRecoveryParse> engine;
        if (pass == Pass::kCarve) {
            engine = std::make_unique<CCarveOnlyRecovery>();
        } else {
            engine = std::make_unique<CProfessionalRecovery>();
        }
        const Result opened = image.empty() ? engine->OpenDisk(3, 0, UINT64_MAX, 0x8003)
                                            : engine->OpenImage(image, 0x8001);
        EXPECT_EQ(opened, kOk) << image;
        outcome.result = engine->Scan(nullptr);
    }
    SetPassSettings(PassSettings{});
    outcome.logs = ScanLogFiles(home.DataHome());
    return outcome;
}

// The stores of 2 and 4 threads against those of 1; unless `mayFindNothing`, the one-thread
// scan must have found something, or the comparison proves little.
void ExpectSameWithAnyThreads(const std::string& image, Pass pass, const std::string& what,
                              bool mayFindNothing = false) {
    const Outcome one = ScanWith(image, pass, 1);
    EXPECT_EQ(one.result, kOk) << what;
    size_t bytes = 0;
    for (const auto& [name, content] : one.logs) bytes += content.size();
    if (!mayFindNothing) {
        EXPECT_GT(bytes, 0u) << what << ": nothing found";
    }
    for (const unsigned threads : {2u, 4u}) {
        const Outcome many = ScanWith(image, pass, threads);
        EXPECT_EQ(many.result, one.result) << what << ", " << threads << " threads";
        ASSERT_EQ(many.logs.size(), one.logs.size()) << what << ", " << threads << " threads";
        for (const auto& [name, content] : one.logs) {
            const auto other = many.logs.find(name);
            ASSERT_NE(other, many.logs.end()) << what << ": " << name;
            EXPECT_TRUE(other->second == content)
                << what << ", " << threads << " threads: " << name << " differs";
        }
    }
}

class PassThreads : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterFileSystem(NtfsFileSystem());
        RegisterFileSystem(FatFileSystem());
        RegisterFileSystem(ExfatFileSystem());
    }
    std::string Fixture(const std::string& name) {
        const std::string path = dir_ / std::filesystem::path(name).stem().string();
        EXPECT_EQ(RunShell("gzip -dc '" + testing::SourceDir() + "/tests/fixtures/" + name +
                           "' > '" + path + "'"),
                  0);
        return path;
    }
    // The real files the carving tests' fixture made last in this build tree, or a fresh set.
    std::string RealFiles() {
        namespace fs = std::filesystem;
        fs::path newest;
        for (const auto& entry : fs::directory_iterator(NORVALE_BINARY_DIR)) {
            const std::string name = entry.path().filename().string();
            if (!entry.is_directory() || name.rfind("carving_real_files_", 0) != 0 ||
                name.find(".tmp") != std::string::npos)
                continue;
            if (newest.empty() || fs::last_write_time(entry) > fs::last_write_time(newest))
                newest = entry.path();
        }
        if (!newest.empty()) return newest.string();
        const std::string made = dir_ / "files";
        return RunShell("python3 '" + testing::SourceDir() +
                        "/tests/fixtures/carving/make_real_files.py' '" + made +
                        "' >/dev/null 2>&1") == 0
                   ? made
                   : std::string();
    }
    testing::ScopedFileSystems registry_;
    TempDir dir_;
};

TEST_F(PassThreads, FixtureVolumesGiveTheSameStores) {
    for (const char* name :
         {"fat/fat12_card.img.gz", "ntfs/ntfs_card.img.gz", "exfat/exfat_4k.img.gz",
          "exfat/exfat_128k_formatted.img.gz"}) {
        const std::string image = Fixture(name);
        ExpectSameWithAnyThreads(image, Pass::kFull, std::string(name) + " (full)");
        // Some hold only files no signature names (text): carving may find nothing there.
        ExpectSameWithAnyThreads(image, Pass::kCarve, std::string(name) + " (carve)", true);
    }
}

TEST_F(PassThreads, CardOfRealFilesGivesTheSameStores) {
    // Files of every family back to back across the pass's blocks, gaps of zeros and noise, a
    // picture in two pieces: what ends where is decided in order, whoever looked first.
    const std::string real = RealFiles();
    ASSERT_FALSE(real.empty()) << "the real files could not be made";
    const std::string image = dir_ / "card.img";
    ASSERT_EQ(RunShell("python3 '" + testing::SourceDir() +
                       "/scripts/make-carve-image.py' compare '" + real + "' '" + image + "' '" +
                       (dir_ / "manifest") + "' 2"),
              0);
    ExpectSameWithAnyThreads(image, Pass::kCarve, "real files (carve)");
    ExpectSameWithAnyThreads(image, Pass::kFull, "real files (full)");
}

TEST_F(PassThreads, DirectReadsOfABlockDeviceGiveTheSameStores) {
    // The card of real files as a loop device, read through the page cache and around it.
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a loop device";
    const std::string real = RealFiles();
    ASSERT_FALSE(real.empty());
    const std::string image = dir_ / "card.img";
    ASSERT_EQ(RunShell("python3 '" + testing::SourceDir() +
                       "/scripts/make-carve-image.py' compare '" + real + "' '" + image + "' '" +
                       (dir_ / "manifest") + "' 1"),
              0);
    std::string out;
    if (RunShell("losetup -r -f --show " + testing::ShellQuote(image), &out) != 0 ||
        out.rfind("/dev/loop", 0) != 0)
        GTEST_SKIP() << "this machine refuses a loop device: " << out;
    const std::string device = out.substr(0, out.find('\n'));
    const Outcome cached = ScanWith(device, Pass::kCarve, 2);
    const Outcome direct = ScanWith(device, Pass::kCarve, 2, true);
    const Outcome file = ScanWith(image, Pass::kCarve, 1);
    EXPECT_EQ(RunShell("losetup -d " + testing::ShellQuote(device)), 0);
    EXPECT_EQ(direct.result, kOk);
    EXPECT_FALSE(file.logs.empty());
    EXPECT_TRUE(direct.logs == cached.logs);
    EXPECT_TRUE(direct.logs == file.logs);
}

TEST_F(PassThreads, QuickFormattedCardGivesTheSameStores) {
    NORVALE_REQUIRE_TOOLS("mkfs.fat", "mcopy", "mdel");
    const std::string card = dir_ / "demo.img";
    ASSERT_EQ(RunShell(testing::SourceDir() + "/scripts/make-demo-card.sh '" + card + "' '" +
                       (dir_ / "originals") + "' >/dev/null 2>&1"),
              0);
    ASSERT_EQ(RunShell("mkfs.fat -F 32 -n NEWCARD '" + card + "' >/dev/null"), 0);
    ExpectSameWithAnyThreads(card, Pass::kFull, "quick-formatted card (full)");
}

TEST_F(PassThreads, UnreadableSectorsCostTheSameWithAnyThreads) {
    // The FAT card with a run of bad sectors in its data area and single ones scattered: the
    // pass reads around them the same way whoever reads.
    const std::vector<uint8_t> bytes = testing::ReadFileBytes(Fixture("fat/fat12_card.img.gz"));
    ASSERT_FALSE(bytes.empty());
    std::set<uint64_t> bad;
    for (uint64_t s = 600; s < 680; ++s) bad.insert(s);
    for (uint64_t s = 1000; s < bytes.size() / 512; s += 997) bad.insert(s);
    testing::ScopedDiskOpener opener([&](int, std::unique_ptr<ISectorSource>& out) {
        out = std::make_unique<FaultySource>(std::make_unique<MemorySource>(bytes), bad);
        return Result(kOk);
    });
    ExpectSameWithAnyThreads("", Pass::kCarve, "bad sectors (carve)", true);
    ExpectSameWithAnyThreads("", Pass::kFull, "bad sectors (full)");
}

}  // namespace
}  // namespace norvale
