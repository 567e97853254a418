#include "engine/recovered_file_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "device/chunked_io.h"

namespace norvale {
namespace {

thread_local const FileWriteOptions* tOptions = nullptr;
thread_local FileWriteOutcome tLastOutcome = FileWriteOutcome::kNone;
thread_local PublishBatch* tBatch = nullptr;

constexpr char kTempMarker[] = ".norvale-";
constexpr size_t kTempRandomChars = 6;
// "." + marker + random characters around the name in a temporary file's name.
constexpr size_t kTempExtraBytes = 1 + sizeof(kTempMarker) - 1 + kTempRandomChars;
constexpr char kIncompleteSuffix[] = " (incomplete)";
constexpr int kCreateAttempts = 100;
// Numbered names tried before giving up on a folder that is full of them.
constexpr unsigned kMaxNumberedNames = 100000;
// The smallest name limit tried when a file system turns out to take less than it says.
constexpr size_t kSmallestNameMax = 32;
constexpr size_t kCompareChunk = 0x10000;
constexpr int64_t kFiletimeTicksPerSecond = 10'000'000;
constexpr int64_t kFiletimeEpochSeconds = 11644473600;  // 1601-01-01 to 1970-01-01

const FileWriteOptions kDefaultOptions{};

timespec FileTimeToTimespec(uint64_t fileTime) {
    timespec ts{};
    if (fileTime == 0) {
        ts.tv_nsec = UTIME_OMIT;
        return ts;
    }
    ts.tv_sec = static_cast<time_t>(static_cast<int64_t>(fileTime / kFiletimeTicksPerSecond) -
                                    kFiletimeEpochSeconds);
    ts.tv_nsec = static_cast<long>((fileTime % kFiletimeTicksPerSecond) * 100);
    return ts;
}

std::string RandomChars() {
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937_64 random(
        std::random_device{}() ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<uint64_t>(::getpid()) << 32));
    std::string out;
    for (size_t i = 0; i < kTempRandomChars; ++i) out += kChars[random() % (sizeof(kChars) - 1)];
    return out;
}

// Reads exactly `n` bytes at `offset`; false on an error or a short file.
bool ReadExactly(int fd, uint8_t* buffer, size_t n, uint64_t offset) {
    size_t got = 0;
    return PreadUpTo(fd, offset, {buffer, n}, got) == kOk && got == n;
}

void CloseQuietly(int& fd) {
    if (fd >= 0) (void)::close(fd);
    fd = -1;
}

// An fsync or syncfs result; a file system that cannot flush (or is read-only) is no failure.
Result FlushResult(int rc) {
    if (rc == 0 || errno == EINVAL || errno == EROFS) return kOk;
    return FromErrno(errno);
}

// syncfs reports the write errors of the file system since Linux 5.8; before, it says nothing.
bool SyncfsReportsErrors() {
    static const bool reports = [] {
        utsname u{};
        if (::uname(&u) != 0) return false;
        unsigned major = 0, minor = 0;
        if (std::sscanf(u.release, "%u.%u", &major, &minor) != 2) return false;
        return major > 5 || (major == 5 && minor >= 8);
    }();
    return reports;
}

}  // namespace

const FileWriteOptions& CurrentFileWriteOptions() {
    return tOptions ? *tOptions : kDefaultOptions;
}

FileWriteOutcome TakeLastFileWriteOutcome() {
    return std::exchange(tLastOutcome, FileWriteOutcome::kNone);
}

FileWriteScope::FileWriteScope(const FileWriteOptions& options, PublishBatch* batch)
    : previous_(tOptions), previousBatch_(tBatch), options_(options) {
    tOptions = &options_;
    tBatch = batch;
    tLastOutcome = FileWriteOutcome::kNone;
}

FileWriteScope::~FileWriteScope() {
    tOptions = previous_;
    tBatch = previousBatch_;
}

std::string FitFileName(std::string_view name, std::string_view suffix, size_t maxBytes) {
    size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) dot = name.size();
    std::string_view stem = name.substr(0, dot);
    std::string_view ext = name.substr(dot);
    // An "extension" that takes half the room is part of the name, not a kind of file.
    if (ext.size() > maxBytes / 2) {
        stem = name;
        ext = {};
    }
    if (stem.size() + suffix.size() + ext.size() <= maxBytes) {
        return std::string(stem) + std::string(suffix) + std::string(ext);
    }
    const size_t fixed = suffix.size() + ext.size();
    size_t room = maxBytes > fixed ? maxBytes - fixed : 0;
    if (room == 0) {
        ext = {};
        room = maxBytes > suffix.size() ? maxBytes - suffix.size() : 1;
    }
    size_t cut = std::min(room, stem.size());
    // Back up to the first byte of a UTF-8 character, so no character is cut in half.
    while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
    std::string out(stem.substr(0, cut));
    if (out.empty()) out = "_";
    return out + std::string(suffix) + std::string(ext);
}

RecoveredFileWriter::RecoveredFileWriter(std::string path, const RecoveredItem& item)
    : path_(std::move(path)),
      accessed_(item.accessedTime),
      modified_(item.modifiedTime),
      options_(CurrentFileWriteOptions()) {
    const size_t slash = path_.rfind('/');
    if (slash == std::string::npos) {
        folder_ = ".";
        name_ = path_;
    } else {
        folder_ = slash == 0 ? "/" : path_.substr(0, slash);
        name_ = path_.substr(slash + 1);
    }
}

RecoveredFileWriter::RecoveredFileWriter(TakeOver, RecoveredFileWriter& other)
    : path_(other.path_),
      folder_(other.folder_),
      name_(other.name_),
      accessed_(other.accessed_),
      modified_(other.modified_),
      options_(other.options_),
      dirFd_(std::exchange(other.dirFd_, -1)),
      fd_(std::exchange(other.fd_, -1)),
      tempName_(std::move(other.tempName_)),
      written_(other.written_),
      writeFailed_(other.writeFailed_),
      nameMax_(other.nameMax_) {
    other.tempName_.clear();
    other.outcome_ = FileWriteOutcome::kHeld;
}

RecoveredFileWriter::~RecoveredFileWriter() {
    if (outcome_ == FileWriteOutcome::kNone) Discard();
    CloseQuietly(dirFd_);
}

Result RecoveredFileWriter::Open() {
    if (name_.empty()) return kErrInvalidName;
    dirFd_ = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd_ < 0) return FromErrno(errno);
    const long limit = ::fpathconf(dirFd_, _PC_NAME_MAX);
    nameMax_ = limit > 0 ? std::min<size_t>(static_cast<size_t>(limit), 255) : 255;
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        const size_t base = nameMax_ > kTempExtraBytes ? nameMax_ - kTempExtraBytes : 1;
        tempName_ = "." + FitFileName(name_, "", base) + kTempMarker + RandomChars();
        fd_ = ::openat(dirFd_, tempName_.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd_ >= 0) return kOk;
        const int error = errno;
        tempName_.clear();
        if (error == ENAMETOOLONG && nameMax_ > kSmallestNameMax) {
            nameMax_ = std::max(kSmallestNameMax, nameMax_ * 3 / 4);
            continue;
        }
        if (error != EEXIST) return FromErrno(error);
    }
    return kErrFileExists;
}

Result RecoveredFileWriter::Write(const void* bytes, size_t n) {
    if (fd_ < 0) return kErrInvalidHandle;
    const Result r = WriteAllBytes(fd_, bytes, n);
    if (r != kOk) {
        writeFailed_ = true;
        return r;
    }
    written_ += n;
    return kOk;
}

void RecoveredFileWriter::SetTimes() const {
    if (accessed_ == 0 && modified_ == 0) return;
    const timespec times[2] = {FileTimeToTimespec(accessed_), FileTimeToTimespec(modified_)};
    // Best effort: a destination that keeps no such times still holds a good file.
    (void)::futimens(fd_, times);
}

void RecoveredFileWriter::Discard() {
    CloseQuietly(fd_);
    if (!tempName_.empty() && dirFd_ >= 0) (void)::unlinkat(dirFd_, tempName_.c_str(), 0);
    tempName_.clear();
}

bool RecoveredFileWriter::SameAsTemp(const std::string& name) const {
    const int other =
        ::openat(dirFd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (other < 0) return false;
    const int mine = ::openat(dirFd_, tempName_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    bool same = mine >= 0;
    struct stat st {};
    if (same)
        same = ::fstat(other, &st) == 0 && S_ISREG(st.st_mode) &&
               static_cast<uint64_t>(st.st_size) == written_;
    if (same) {
        std::vector<uint8_t> a(static_cast<size_t>(std::min<uint64_t>(kCompareChunk, written_)));
        std::vector<uint8_t> b(a.size());
        for (uint64_t done = 0; same && done < written_;) {
            const auto n = static_cast<size_t>(std::min<uint64_t>(a.size(), written_ - done));
            same = ReadExactly(mine, a.data(), n, done) && ReadExactly(other, b.data(), n, done) &&
                   std::memcmp(a.data(), b.data(), n) == 0;
            done += n;
        }
    }
    int closeMine = mine, closeOther = other;
    CloseQuietly(closeMine);
    CloseQuietly(closeOther);
    return same;
}

Result RecoveredFileWriter::Publish(std::string_view suffixBase, bool compare) {
    for (unsigned n = 0; n < kMaxNumberedNames;) {
        std::string suffix(suffixBase);
        if (n > 0) suffix += "(" + std::to_string(n) + ")";
        const std::string candidate = FitFileName(name_, suffix, nameMax_);
        auto tooLong = [&] {
            if (nameMax_ <= kSmallestNameMax) return false;
            nameMax_ = std::max(kSmallestNameMax, nameMax_ * 3 / 4);
            return true;
        };
        struct stat st {};
        if (::fstatat(dirFd_, candidate.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (compare && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) == written_ &&
                SameAsTemp(candidate)) {
                Discard();
                path_ = folder_ + "/" + candidate;
                outcome_ = FileWriteOutcome::kAlreadyThere;
                return kOk;
            }
            ++n;
            continue;
        }
        if (errno == ENAMETOOLONG) {
            if (tooLong()) continue;
            return kErrFilenameTooLong;
        }
        int error = 0;
        if (::renameat2(dirFd_, tempName_.c_str(), dirFd_, candidate.c_str(), RENAME_NOREPLACE) ==
            0) {
            error = 0;
        } else if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) {
            // No exclusive rename here: a hard link is just as exclusive; where there are no
            // links either, an empty placeholder of our own takes the name first and the rename
            // replaces only that.
            if (::linkat(dirFd_, tempName_.c_str(), dirFd_, candidate.c_str(), 0) == 0) {
                (void)::unlinkat(dirFd_, tempName_.c_str(), 0);
            } else if (errno == EEXIST || errno == ENAMETOOLONG) {
                error = errno;
            } else {
                const int holder =
                    ::openat(dirFd_, candidate.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
                if (holder < 0) {
                    error = errno;
                } else {
                    (void)::close(holder);
                    if (::renameat(dirFd_, tempName_.c_str(), dirFd_, candidate.c_str()) != 0) {
                        error = errno;
                        (void)::unlinkat(dirFd_, candidate.c_str(), 0);
                    }
                }
            }
        } else {
            error = errno;
        }
        if (error == 0) {
            tempName_.clear();
            path_ = folder_ + "/" + candidate;
            return kOk;
        }
        if (error == EEXIST) {
            ++n;
            continue;
        }
        if (error == ENAMETOOLONG && tooLong()) continue;
        return FromErrno(error);
    }
    return kErrFileExists;
}

Result RecoveredFileWriter::Finish(Result copyResult, bool stopped) {
    auto end = [&](FileWriteOutcome outcome, Result r) {
        outcome_ = outcome;
        tLastOutcome = outcome;
        return r;
    };
    if (fd_ < 0) {
        Discard();
        return end(FileWriteOutcome::kDropped, copyResult == kOk ? kErrInvalidHandle : copyResult);
    }
    const bool whole = copyResult == kOk && !stopped && !writeFailed_;
    const bool keep = !whole && options_.keepPartial && !writeFailed_ && written_ > 0;
    if (!whole && !keep) {
        Discard();
        return end(FileWriteOutcome::kDropped, copyResult);
    }
    if (PublishBatch* batch = tBatch) {
        if (whole && batch->Enabled()) {
            SetTimes();
            batch->Hold(*this);
            return end(FileWriteOutcome::kHeld, kOk);
        }
        // The files held before this one take their names first, as they would have one by one.
        batch->Settle();
    }
    // The bytes must be on the destination before the file may carry its real name: a disk
    // that fills up or fails late says so here.
    const Result r = FlushResult(::fsync(fd_));
    if (r == kOk) SetTimes();
    const Result concluded = Conclude(r, keep, whole, copyResult);
    tLastOutcome = outcome_;
    return concluded;
}

Result RecoveredFileWriter::Conclude(Result synced, bool keep, bool whole, Result copyResult) {
    Result r = synced;
    if (r == kOk) {
        // The descriptor is gone after close() whatever it answers.
        if (::close(std::exchange(fd_, -1)) != 0) r = FromErrno(errno);
    }
    if (r == kOk) r = Publish(keep ? kIncompleteSuffix : "", whole && options_.skipExisting);
    if (r != kOk) {
        Discard();
        outcome_ = FileWriteOutcome::kDropped;
        return whole ? r : copyResult;
    }
    if (keep) {
        outcome_ = FileWriteOutcome::kKeptIncomplete;
        return copyResult;
    }
    if (outcome_ != FileWriteOutcome::kAlreadyThere) outcome_ = FileWriteOutcome::kWritten;
    return kOk;
}

PublishBatch::PublishBatch() : enabled_(SyncfsReportsErrors()) {}

PublishBatch::~PublishBatch() {
    Settle();
}

void PublishBatch::Hold(RecoveredFileWriter& writer) {
    Held h;
    h.writer.reset(new RecoveredFileWriter(RecoveredFileWriter::TakeOver{}, writer));
    struct stat st {};
    // Without its file system known the file is flushed on its own at Settle.
    h.device = ::fstat(h.writer->fd_, &st) == 0 ? st.st_dev : dev_t(-1);
    heldBytes_ += h.writer->written_;
    held_.push_back(std::move(h));
    if (held_.size() >= kMaxHeldFiles || heldBytes_ >= kMaxHeldBytes) Settle();
}

void PublishBatch::Settle() {
    if (held_.empty()) return;
    // One syncfs per file system, through the descriptor of its first held file: it was opened
    // before any of the held bytes were written, so every write error since then is reported.
    std::vector<std::pair<dev_t, Result>> synced;
    for (const Held& h : held_) {
        if (h.device == dev_t(-1)) continue;
        bool seen = false;
        for (const auto& d : synced) seen = seen || d.first == h.device;
        if (!seen) synced.emplace_back(h.device, FlushResult(::syncfs(h.writer->fd_)));
    }
    for (Held& h : held_) {
        Result r = kErrWriteFault;
        for (const auto& d : synced) {
            if (d.first == h.device) r = d.second;
        }
        // A failed flush may be another file's: each file's own fsync tells whether it is whole.
        if (r != kOk) r = FlushResult(::fsync(h.writer->fd_));
        RecoveredFileWriter& w = *h.writer;
        const Result result = w.Conclude(r, false, true, kOk);
        settled_.push_back({w.Path(), result, w.Outcome()});
    }
    held_.clear();
    heldBytes_ = 0;
}

std::vector<PublishBatch::Settled> PublishBatch::TakeSettled() {
    return std::exchange(settled_, {});
}

void SetFolderTimes(const std::string& path, const RecoveredItem& item) {
    if (item.accessedTime == 0 && item.modifiedTime == 0) return;
    const timespec times[2] = {FileTimeToTimespec(item.accessedTime),
                               FileTimeToTimespec(item.modifiedTime)};
    (void)::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

Result FreeSpaceOf(const std::string& folder, uint64_t& freeBytes) {
    freeBytes = 0;
    struct statvfs st {};
    if (::statvfs(folder.c_str(), &st) != 0) return FromErrno(errno);
    freeBytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    return kOk;
}

Result CheckFreeSpace(const std::string& folder, uint64_t needed, uint64_t& freeBytes) {
    if (Result r = FreeSpaceOf(folder, freeBytes); r != kOk) return r;
    return needed > freeBytes ? kErrDiskFull : kOk;
}

uint64_t SelectedBytes(const std::vector<RecoveredItem>& items) {
    uint64_t total = 0;
    for (const RecoveredItem& item : items) {
        if (!item.isFolder) total += item.fileSize;
    }
    return total;
}

}  // namespace norvale
