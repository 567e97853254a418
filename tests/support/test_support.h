#pragma once
// Helpers shared by the test programs: temporary folders, environment overrides, running the
// real tools that make media, the public corpus, and corruption helpers for valid fixtures.

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace norvale::testing {

// A fresh folder under $TMPDIR (or under `base` when it is not empty), removed with its
// content when the object goes.
class TempDir {
  public:
    explicit TempDir(const std::string& base = "");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// "/dev/shm" when that memory-backed folder has `bytes` free, else "" (the usual $TMPDIR):
// for tests that write gigabytes.
std::string TempDirFor(uint64_t bytes);

// Sets an environment variable for the lifetime of the object, restoring the old value.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// Points XDG_DATA_HOME and XDG_CONFIG_HOME at a private temporary folder and drops the
// process-wide scan-log history, so nothing of the user's own files is read or written.
class IsolatedHome {
  public:
    IsolatedHome();
    ~IsolatedHome();
    const std::string& Path() const { return dir_.Path(); }
    std::string DataHome() const { return dir_.Path() + "/data"; }
    std::string ConfigHome() const { return dir_.Path() + "/config"; }

  private:
    TempDir dir_;
    ScopedEnv data_;
    ScopedEnv config_;
};

// `s` as one word of a /bin/sh command line, whatever it holds.
std::string ShellQuote(const std::string& s);
// Runs `command` through /bin/sh with the system folders (/usr/sbin, /sbin) on the PATH, where
// mkfs, sfdisk, losetup and mount live; returns its exit status (-1 when it could not run) and,
// when `output` is given, what it printed on stdout and stderr.
int Run(const std::string& command, std::string* output = nullptr);
// The same, under a name that gtest fixtures do not hide (Test::Run).
inline int RunShell(const std::string& command, std::string* output = nullptr) {
    return Run(command, output);
}
// The same; kept for the callers that name the system folders' tools.
inline int RunSystemTool(const std::string& command, std::string* output = nullptr) {
    return Run(command, output);
}
// Whether `name` is a program on the PATH Run uses.
bool HaveTool(const std::string& name);
// The first of `names` that HaveTool does not find, or "" when all are there.
std::string MissingTool(std::initializer_list<const char*> names);

std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// The folder of public real-world test images next to this workplace, or "" when absent.
std::string CorpusDir();
// Decompresses corpus file `name` (a .gz) into `dir`; returns the path, or "" when absent.
std::string CorpusImage(const std::string& name, const std::string& dir);

// Corruption helpers on a file.
void TruncateAt(const std::string& path, uint64_t size);
void FlipByte(const std::string& path, uint64_t offset);
void SetLe32(const std::string& path, uint64_t offset, uint32_t value);
void SetByte(const std::string& path, uint64_t offset, uint8_t value);
void SetLe16(const std::string& path, uint64_t offset, uint16_t value);
void SetLe64(const std::string& path, uint64_t offset, uint64_t value);

std::string SourceDir();  // the repository root
std::string CliPath();    // the norvale-cli binary under test

}  // namespace norvale::testing

// Skips the current test with a message naming the first of the given programs that is not
// installed: NORVALE_REQUIRE_TOOLS("mkfs.fat", "mcopy").
#define NORVALE_REQUIRE_TOOLS(...)                                                          \
    do {                                                                                    \
        const std::string norvale_missing_ = ::norvale::testing::MissingTool({__VA_ARGS__}); \
        if (!norvale_missing_.empty())                                                      \
            GTEST_SKIP() << norvale_missing_ << " is not installed; skipped";               \
    } while (0)

// Skips the current test with a message when the corpus is absent.
#define NORVALE_REQUIRE_CORPUS()                                                        \
    do {                                                                                \
        if (::norvale::testing::CorpusDir().empty())                                    \
            GTEST_SKIP() << "public test corpus ../shared/corpus not present; skipped"; \
    } while (0)
