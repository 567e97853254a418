// Writing recovered files: a file reaches its real name only whole and with its times, never over
// anything that exists (a symlink included); failures, stops and a full disk leave nothing under
// a real name; identical files already there are not written twice; long names are shortened
// with their extension kept.

#include "engine/recovered_file_writer.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

constexpr uint64_t kFiletimeEpoch = 116444736000000000ULL;  // 1970-01-01 in FILETIME ticks

RecoveredItem ItemWithTimes(uint64_t accessedUnix, uint64_t modifiedUnix) {
    RecoveredItem item{};
    item.accessedTime = accessedUnix ? kFiletimeEpoch + accessedUnix * 10'000'000 + 1234 : 0;
    item.modifiedTime = modifiedUnix ? kFiletimeEpoch + modifiedUnix * 10'000'000 + 5678 : 0;
    return item;
}

std::vector<uint8_t> Bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// Writes `content` through a writer for `path` and finishes it with `copyResult`.
Result WriteThrough(const std::string& path, const std::string& content, Result copyResult,
                    std::string* finalPath = nullptr, FileWriteOutcome* outcome = nullptr,
                    const RecoveredItem& item = RecoveredItem{}) {
    RecoveredFileWriter writer(path, item);
    if (Result r = writer.Open(); r != kOk) return r;
    if (Result r = writer.Write(content.data(), content.size()); r != kOk) {
        copyResult = r;
    }
    const Result r = writer.Finish(copyResult, copyResult == kScanCancelled);
    if (finalPath) *finalPath = writer.Path();
    if (outcome) *outcome = writer.Outcome();
    return r;
}

std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
}

bool ValidUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const size_t n = c < 0x80         ? 1
                         : (c >> 5) == 6  ? 2
                         : (c >> 4) == 14 ? 3
                         : (c >> 3) == 30 ? 4
                                          : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        i += n;
    }
    return true;
}

TEST(RecoveredFileWriter, WholeFileGetsItsTimesAndAFreeNameAndIsNotWrittenTwice) {
    TempDir dir;
    TempDir outside;
    WriteFileBytes(dir / "a.jpg", Bytes("old"));
    WriteFileBytes(outside / "precious", Bytes("keep me"));
    ASSERT_EQ(::symlink((outside / "precious").c_str(), (dir / "a(1).jpg").c_str()), 0);

    std::string path;
    FileWriteOutcome outcome{};
    const RecoveredItem item = ItemWithTimes(1'000'000'000, 1'500'000'000);
    ASSERT_EQ(WriteThrough(dir / "a.jpg", "new photo", kOk, &path, &outcome, item), kOk);
    EXPECT_EQ(path, dir / "a(2).jpg");
    EXPECT_EQ(outcome, FileWriteOutcome::kWritten);
    struct stat st {};  // before any read, which may move the access time
    ASSERT_EQ(::stat((dir / "a(2).jpg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1'500'000'000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 567'800);
    EXPECT_EQ(st.st_atim.tv_sec, 1'000'000'000);
    EXPECT_EQ(ReadFileBytes(dir / "a(2).jpg"), Bytes("new photo"));
    EXPECT_EQ(ReadFileBytes(dir / "a.jpg"), Bytes("old"));
    EXPECT_EQ(ReadFileBytes(outside / "precious"), Bytes("keep me"));

    // The same bytes again: found under the numbered name, nothing new is written.
    ASSERT_EQ(WriteThrough(dir / "a.jpg", "new photo", kOk, &path, &outcome), kOk);
    EXPECT_EQ(outcome, FileWriteOutcome::kAlreadyThere);
    EXPECT_EQ(path, dir / "a(2).jpg");
    // Same size, other bytes: a file of its own.
    ASSERT_EQ(WriteThrough(dir / "a.jpg", "NEW PHOTO", kOk, &path, &outcome), kOk);
    EXPECT_EQ(path, dir / "a(3).jpg");
    EXPECT_EQ(TakeLastFileWriteOutcome(), FileWriteOutcome::kWritten);
    EXPECT_EQ(TakeLastFileWriteOutcome(), FileWriteOutcome::kNone);
    {
        FileWriteOptions options;
        options.skipExisting = false;
        const FileWriteScope scope(options);
        ASSERT_EQ(WriteThrough(dir / "a.jpg", "new photo", kOk, &path, &outcome), kOk);
        EXPECT_EQ(path, dir / "a(4).jpg");
    }
    EXPECT_EQ(Names(dir.Path()),
              (std::set<std::string>{"a.jpg", "a(1).jpg", "a(2).jpg", "a(3).jpg", "a(4).jpg"}));
}

TEST(RecoveredFileWriter, FailedOrStoppedFilesLeaveNothingUnlessPartialFilesAreKept) {
    TempDir dir;
    EXPECT_EQ(WriteThrough(dir / "photo2.jpg", "half", kErrHandleEof), kErrHandleEof);
    EXPECT_EQ(WriteThrough(dir / "photo2.jpg", "half", kScanCancelled), kScanCancelled);
    {
        // Left without Finish (an exception on the way): the temporary file goes too.
        RecoveredFileWriter writer(dir / "photo3.jpg", RecoveredItem{});
        ASSERT_EQ(writer.Open(), kOk);
        ASSERT_EQ(writer.Write("abc", 3), kOk);
        EXPECT_EQ(Names(dir.Path()).size(), 1u);
    }
    EXPECT_TRUE(Names(dir.Path()).empty());

    FileWriteOptions options;
    options.keepPartial = true;
    const FileWriteScope scope(options);
    std::string path;
    EXPECT_EQ(WriteThrough(dir / "photo2.jpg", "half", kErrHandleEof, &path), kErrHandleEof);
    EXPECT_EQ(path, dir / "photo2 (incomplete).jpg");
    EXPECT_EQ(ReadFileBytes(path), Bytes("half"));
    EXPECT_EQ(WriteThrough(dir / "photo2.jpg", "ha", kScanCancelled, &path), kScanCancelled);
    EXPECT_EQ(path, dir / "photo2 (incomplete)(1).jpg");
    // Nothing read: nothing to keep.
    EXPECT_EQ(WriteThrough(dir / "empty.jpg", "", kErrReadFault), kErrReadFault);
    EXPECT_EQ(Names(dir.Path()),
              (std::set<std::string>{"photo2 (incomplete).jpg", "photo2 (incomplete)(1).jpg"}));
}

TEST(RecoveredFileWriter, LongNamesAreCutAtCharactersKeepingTheExtension) {
    TempDir dir;
    std::string name;
    for (int i = 0; i < 100; ++i) name += "\xC3\xBC\xE2\x98\x83";  // "ü☃", 5 bytes
    name += ".jpeg";                                               // 505 bytes in all
    std::string first, second;
    ASSERT_EQ(WriteThrough(dir / name, "one", kOk, &first), kOk);
    ASSERT_EQ(WriteThrough(dir / name, "two", kOk, &second), kOk);
    for (const std::string& p : {first, second}) {
        const std::string leaf = fs::path(p).filename().string();
        EXPECT_LE(leaf.size(), 255u);
        EXPECT_GE(leaf.size(), 240u);
        EXPECT_TRUE(ValidUtf8(leaf)) << leaf;
        EXPECT_EQ(leaf.substr(leaf.size() - 5), ".jpeg");
    }
    EXPECT_NE(first, second);
    EXPECT_EQ(fs::path(second).filename().string().substr(
                  fs::path(second).filename().string().size() - 8),
              "(1).jpeg");
    EXPECT_EQ(ReadFileBytes(first), Bytes("one"));

    // An "extension" too long to be one is cut like the rest; a name that fits is kept.
    const std::string odd = "x." + std::string(300, 'e');
    EXPECT_EQ(FitFileName(odd, "", 255), odd.substr(0, 255));
    EXPECT_EQ(FitFileName("photo.jpg", " (incomplete)", 255), "photo (incomplete).jpg");
    EXPECT_EQ(FitFileName(".hidden", "(1)", 255), ".hidden(1)");
}

// Names of the folder that are not hidden temporary files.
std::set<std::string> Visible(const std::string& dir) {
    std::set<std::string> out;
    for (const std::string& n : Names(dir))
        if (n[0] != '.') out.insert(n);
    return out;
}

// Files held for one flush together stay under hidden names until the batch settles, then take
// the names they would have taken one by one: an identical copy is still found, a file that
// cannot wait (kept incomplete) is named after those held before it, and a batch that fills up
// or is dropped settles by itself.
TEST(RecoveredFileWriter, HeldFilesAreNamedInTheirOrderOnlyOnceFlushed) {
    TempDir dir;
    FileWriteOptions options;
    options.keepPartial = true;
    PublishBatch batch;
    {
        const FileWriteScope scope(options, &batch);
        FileWriteOutcome outcome{};
        std::string path;
        ASSERT_EQ(WriteThrough(dir / "a.jpg", "one", kOk, &path, &outcome), kOk);
        if (outcome != FileWriteOutcome::kHeld) GTEST_SKIP() << "syncfs reports no errors here";
        EXPECT_EQ(path, dir / "a.jpg");
        ASSERT_EQ(WriteThrough(dir / "a.jpg", "one", kOk), kOk);
        ASSERT_EQ(WriteThrough(dir / "a.jpg", "two", kOk), kOk);
        EXPECT_TRUE(batch.Holds());
        EXPECT_TRUE(Visible(dir.Path()).empty());
        EXPECT_EQ(Names(dir.Path()).size(), 3u);
        EXPECT_EQ(WriteThrough(dir / "a.jpg", "tw", kErrReadFault, &path, &outcome),
                  kErrReadFault);
        EXPECT_EQ(outcome, FileWriteOutcome::kKeptIncomplete);
        EXPECT_EQ(path, dir / "a (incomplete).jpg");
    }
    EXPECT_FALSE(batch.Holds());
    const std::vector<PublishBatch::Settled> settled = batch.TakeSettled();
    ASSERT_EQ(settled.size(), 3u);
    EXPECT_EQ(settled[0].path, dir / "a.jpg");
    EXPECT_EQ(settled[0].outcome, FileWriteOutcome::kWritten);
    EXPECT_EQ(settled[1].path, dir / "a.jpg");
    EXPECT_EQ(settled[1].outcome, FileWriteOutcome::kAlreadyThere);
    EXPECT_EQ(settled[2].path, dir / "a(1).jpg");
    for (const auto& s : settled) EXPECT_EQ(s.result, kOk);
    EXPECT_EQ(ReadFileBytes(dir / "a.jpg"), Bytes("one"));
    EXPECT_EQ(ReadFileBytes(dir / "a(1).jpg"), Bytes("two"));
    EXPECT_EQ(Names(dir.Path()),
              (std::set<std::string>{"a.jpg", "a(1).jpg", "a (incomplete).jpg"}));

    // More files than a batch holds: never more than that many wait, and dropping the batch
    // names the rest.
    TempDir many;
    {
        PublishBatch big;
        const FileWriteScope scope(FileWriteOptions{}, &big);
        for (size_t i = 0; i < PublishBatch::kMaxHeldFiles + 5; ++i) {
            ASSERT_EQ(WriteThrough(many / ("f" + std::to_string(i)), std::to_string(i), kOk), kOk);
            EXPECT_LT(Names(many.Path()).size() - Visible(many.Path()).size(),
                      PublishBatch::kMaxHeldFiles);
        }
        EXPECT_EQ(Visible(many.Path()).size(), PublishBatch::kMaxHeldFiles);
        EXPECT_EQ(big.TakeSettled().size(), PublishBatch::kMaxHeldFiles);
    }
    EXPECT_EQ(Names(many.Path()).size(), PublishBatch::kMaxHeldFiles + 5);
    EXPECT_EQ(ReadFileBytes(many / "f130"), Bytes("130"));
}

// A small tmpfs as the destination: a file that does not fit fails and leaves nothing behind,
// and the same file recovered later with room lands under its real name.
TEST(RecoveredFileWriter, FullDestinationLeavesNoBrokenFileAndLaterRunUsesTheRealName) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    TempDir dir;
    if (::mount("tmpfs", dir.Path().c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    }
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{dir.Path()};

    uint64_t freeBytes = 0;
    EXPECT_EQ(CheckFreeSpace(dir.Path(), 1 << 20, freeBytes), kErrDiskFull);
    EXPECT_LE(freeBytes, 64u << 10);
    EXPECT_EQ(CheckFreeSpace(dir.Path(), 1 << 10, freeBytes), kOk);

    const std::string big(200 << 10, 'x');
    const Result full = WriteThrough(dir / "photo2.jpg", big, kOk);
    EXPECT_EQ(full, kErrDiskFull) << ResultText(full);
    EXPECT_TRUE(Names(dir.Path()).empty());
    {
        FileWriteOptions options;
        options.keepPartial = true;  // a destination that failed is not a partial source read
        const FileWriteScope scope(options);
        EXPECT_NE(WriteThrough(dir / "photo2.jpg", big, kOk), kOk);
        EXPECT_TRUE(Names(dir.Path()).empty());
    }

    ASSERT_EQ(::mount("tmpfs", dir.Path().c_str(), "tmpfs", MS_REMOUNT, "size=1m"), 0);
    std::string path;
    ASSERT_EQ(WriteThrough(dir / "photo2.jpg", big, kOk, &path), kOk);
    EXPECT_EQ(path, dir / "photo2.jpg");
    EXPECT_EQ(ReadFileBytes(path).size(), big.size());
}

}  // namespace
}  // namespace norvale
