// `recover` when things go wrong: a destination without room is refused before anything is
// written, a destination that fills up leaves no broken file under a real name and a later run
// writes the good files under their own names, a re-run writes nothing twice, and Ctrl-C stops
// the run with its own exit code, says how many files were not tried and leaves no partial file.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::CliPath;
using testing::ReadFileBytes;
using testing::RunShell;
using testing::TempDir;

// Every regular file below `dir` by its path relative to `dir`.
std::map<std::string, std::vector<uint8_t>> FilesBelow(const std::string& dir) {
    std::map<std::string, std::vector<uint8_t>> files;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file() || e.is_symlink()) {
            files[fs::relative(e.path(), dir).string()] = ReadFileBytes(e.path().string());
        }
    }
    return files;
}

bool NoHiddenFiles(const std::string& dir) {
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.path().filename().string().front() == '.') return false;
    }
    return true;
}

TEST(CliRecoveryFaults, FullDestinationIsRefusedOrLeavesNothingBrokenAndALaterRunIsClean) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    NORVALE_REQUIRE_TOOLS("mkfs.fat", "mcopy", "mmd", "mdel");
    testing::IsolatedHome home;
    TempDir dir;
    const std::string card = dir / "card.img";
    const std::string originals = dir / "originals";
    std::string out;
    ASSERT_EQ(RunShell(testing::SourceDir() + "/scripts/make-demo-card.sh '" + card + "' '" +
                           originals + "'",
                       &out),
              0)
        << out;
    const std::string dest = dir / "dest";
    fs::create_directories(dest);
    if (::mount("tmpfs", dest.c_str(), "tmpfs", 0, "size=48k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    }
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{dest};
    const std::string recover = "'" + CliPath() + "' recover '" + card + "' -q --to '" + dest + "'";
    const std::map<std::string, std::string> expected = {
        {"photo/Sommer am Fjord.png", "Sommer am Fjord.png"},
        {"photo/!mg_0002.png", "IMG_0002.png"},
        {"audio/voice memo.wav", "voice memo.wav"}};
    auto original = [&](const std::string& path) {
        return ReadFileBytes(originals + "/" + expected.at(path));
    };

    // The selection does not fit: refused before anything is written.
    EXPECT_EQ(RunShell(recover, &out), 2) << out;
    EXPECT_NE(out.find("free"), std::string::npos) << out;
    EXPECT_NE(out.find("--no-space-check"), std::string::npos) << out;
    EXPECT_TRUE(FilesBelow(dest).empty());

    // Started anyway: the files that do not fit fail, and whatever has a real name is whole.
    EXPECT_EQ(RunShell(recover + " --no-space-check", &out), 1) << out;
    EXPECT_NE(out.find("failed: "), std::string::npos) << out;
    for (const auto& [path, bytes] : FilesBelow(dest)) {
        ASSERT_TRUE(expected.count(path)) << path;
        EXPECT_EQ(bytes, original(path)) << path;
    }
    EXPECT_TRUE(NoHiddenFiles(dest));

    // With room, every file lands under its own name; nothing is written twice.
    ASSERT_EQ(::mount("tmpfs", dest.c_str(), "tmpfs", MS_REMOUNT, "size=8m"), 0);
    EXPECT_EQ(RunShell(recover, &out), 0) << out;
    auto files = FilesBelow(dest);
    ASSERT_EQ(files.size(), expected.size()) << out;
    for (const auto& [path, bytes] : files) EXPECT_EQ(bytes, original(path)) << path;
    EXPECT_EQ(RunShell(recover, &out), 0) << out;
    EXPECT_NE(out.find("(0 failed; 3 already there, not written again)"), std::string::npos) << out;
    EXPECT_EQ(FilesBelow(dest).size(), expected.size());
    EXPECT_TRUE(NoHiddenFiles(dest));
}

// Starts norvale-cli with `args`, output into `log`; returns its process id.
pid_t StartCli(const std::vector<std::string>& args, const std::string& log) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        std::vector<char*> argv;
        const std::string cli = CliPath();
        argv.push_back(const_cast<char*>(cli.c_str()));
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(cli.c_str(), argv.data());
        ::_exit(127);
    }
    return pid;
}

// Sends Ctrl-C to the norvale-cli `pid` once `ready()` (or after a minute), waits for it to end
// and returns what it wrote into `log`; `status` is its wait status.
template <typename Ready>
std::string InterruptWhen(pid_t pid, const std::string& log, Ready ready, int& status) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!ready() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    ::kill(pid, SIGINT);
    status = 0;
    if (::waitpid(pid, &status, 0) != pid) return "waitpid failed";
    const auto bytes = ReadFileBytes(log);
    return std::string(bytes.begin(), bytes.end());
}

TEST(CliRecoveryFaults, CtrlCStopsTheRecoveryWithItsOwnCodeAndLeavesNoPartialFile) {
    if (!testing::HaveTool("mkfs.fat") || !testing::HaveTool("mcopy")) {
        GTEST_SKIP() << "mkfs.fat or mtools missing";
    }
    testing::IsolatedHome home;
    TempDir dir;
    const std::string card = dir / "card.img";
    const std::string files = dir / "files";
    fs::create_directories(files);
    // Many deleted files of distinct content, so the run is still going when the signal comes.
    constexpr int kFiles = 600;
    for (int i = 0; i < kFiles; ++i) {
        std::vector<uint8_t> bytes(48 << 10);
        for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = uint8_t((k * 31 + i * 7) ^ (k >> 9));
        testing::WriteFileBytes(files + "/F" + std::to_string(i) + ".BIN", bytes);
    }
    ASSERT_EQ(RunShell("mkfs.fat -C -F 32 '" + card + "' 65536 >/dev/null"), 0);
    ASSERT_EQ(RunShell("cd '" + files + "' && MTOOLS_SKIP_CHECK=1 mcopy -i '" + card +
                       "' *.BIN ::/ && MTOOLS_SKIP_CHECK=1 mdel -i '" + card + "' '::/*.BIN'"),
              0);

    const std::string dest = dir / "dest";
    const std::string log = dir / "log";
    const pid_t pid = StartCli({"recover", card, "-q", "--to", dest}, log);
    ASSERT_GT(pid, 0);
    // The category folder appears when the first file is written.
    int status = 0;
    const std::string out = InterruptWhen(
        pid, log, [&] { return fs::exists(dest + "/others"); }, status);
    ASSERT_TRUE(WIFEXITED(status)) << out;
    if (WEXITSTATUS(status) == 0) GTEST_SKIP() << "the recovery ended before the signal came";
    EXPECT_EQ(WEXITSTATUS(status), 3) << out;
    EXPECT_NE(out.find("not tried"), std::string::npos) << out;

    // Every file written is whole; the one cut off left nothing, not even its temporary file.
    const auto written = FilesBelow(dest);
    EXPECT_LT(written.size(), size_t{kFiles});
    for (const auto& [path, content] : written) {
        const std::string name = fs::path(path).filename().string();
        ASSERT_EQ(name.front(), '!') << path;
        // The deleted entry lost its first letter: find the original by the rest of the name.
        std::vector<uint8_t> original;
        for (const auto& e : fs::directory_iterator(files)) {
            const std::string candidate = e.path().filename().string();
            std::string lower = candidate.substr(1);
            for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
            std::string mine = name.substr(1);
            for (char& c : mine) c = char(std::tolower(static_cast<unsigned char>(c)));
            if (lower == mine) original = ReadFileBytes(e.path().string());
        }
        EXPECT_EQ(content, original) << path;
    }
    const size_t notTried = std::stoul(out.substr(out.find("Stopped: ") + 9));
    EXPECT_EQ(written.size() + notTried, size_t{kFiles}) << out;
}

// A list of a stopped scan is printed, but it is not the whole medium: with -q and --json there
// is no other sign of that than the exit code and the line on stderr.
TEST(CliRecoveryFaults, CtrlCDuringAListedScanIsNoSuccess) {
    testing::IsolatedHome home;
    TempDir dir;
    const std::string image = dir / "blank.img";
    {
        const int fd = ::open(image.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, off_t{16} << 30), 0);  // sparse: read fast, but not at once
        ::close(fd);
    }
    const std::string log = dir / "log";
    const pid_t pid = StartCli({"list", image, "--mode", "carve", "-q", "--json"}, log);
    ASSERT_GT(pid, 0);
    // The scan's log folder appears once the scan runs, and with it the stop on Ctrl-C.
    const std::string logs = home.DataHome() + "/Kestrune/ScanLog";
    auto scanning = [&] {
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(logs, ec))
            if (e.is_directory()) return true;
        return false;
    };
    int status = 0;
    const std::string out = InterruptWhen(pid, log, scanning, status);
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), 3) << out;
    EXPECT_NE(out.find("Stopped: only what was found before the stop is shown."), std::string::npos)
        << out;
    EXPECT_NE(out.find('['), std::string::npos) << out;  // the list found so far is still printed
}

}  // namespace
}  // namespace norvale
