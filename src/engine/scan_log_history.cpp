#include "engine/scan_log_history.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>

#include "device/bytes.h"
#include "device/chunked_io.h"
#include "device/disk_enumerator.h"
#include "engine/data_paths.h"
#include "engine/text_codec.h"

namespace norvale {

namespace {

constexpr size_t kCounterBytes = 8;
constexpr size_t kImagePathOffset = 80;
constexpr size_t kLogFolderOffset = 600;
constexpr int64_t kFiletimeEpochOffset = 11644473600;  // seconds from 1601-01-01 to 1970-01-01

void PutLe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void PutLe64(uint8_t* p, uint64_t v) {
    PutLe32(p, static_cast<uint32_t>(v));
    PutLe32(p + 4, static_cast<uint32_t>(v >> 32));
}

void DecodeRecord(const uint8_t* p, ScanLogRecord& r) {
    r.diskNumber = static_cast<int32_t>(Le32(p));
    r.reserved = static_cast<int32_t>(Le32(p + 4));
    r.startLba = Le64(p + 8);
    r.sectorCount = Le64(p + 16);
    for (size_t k = 0; k < 10; ++k) r.resumeState[k] = Le32(p + 24 + 4 * k);
    r.volumeFreeBytes = Le64(p + 64);
    r.imageWriteTime = Le64(p + 72);
    for (size_t k = 0; k < kScanLogPathUnits; ++k) {
        r.imagePath[k] = static_cast<char16_t>(Le16(p + kImagePathOffset + 2 * k));
        r.logFolder[k] = static_cast<char16_t>(Le16(p + kLogFolderOffset + 2 * k));
    }
}

void EncodeRecord(const ScanLogRecord& r, uint8_t* p) {
    PutLe32(p, static_cast<uint32_t>(r.diskNumber));
    PutLe32(p + 4, static_cast<uint32_t>(r.reserved));
    PutLe64(p + 8, r.startLba);
    PutLe64(p + 16, r.sectorCount);
    for (size_t k = 0; k < 10; ++k) PutLe32(p + 24 + 4 * k, r.resumeState[k]);
    PutLe64(p + 64, r.volumeFreeBytes);
    PutLe64(p + 72, r.imageWriteTime);
    for (size_t k = 0; k < kScanLogPathUnits; ++k) {
        PutLe16(p + kImagePathOffset + 2 * k, r.imagePath[k]);
        PutLe16(p + kLogFolderOffset + 2 * k, r.logFolder[k]);
    }
}

std::string WithoutTrailingSlashes(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

uint64_t DefaultVolumeFreeBytes(int diskNumber, uint64_t startLba) {
    uint64_t bytes = 0;
    return GetVolumeFreeBytesAt(diskNumber, startLba, bytes) == kOk ? bytes : 0;
}

std::mutex gInstanceMutex;
std::unique_ptr<ScanLogHistory> gInstance;

}  // namespace

Result ParseScanLogConfig(std::span<const uint8_t> bytes, uint64_t& scanCounter,
                          std::vector<ScanLogRecord>& records) {
    scanCounter = 0;
    records.clear();
    if (bytes.size() < kCounterBytes) return kErrInvalidParameter;
    scanCounter = Le64(bytes.data());
    const size_t count = (bytes.size() - kCounterBytes) / kScanLogRecordBytes;
    records.resize(count);
    for (size_t k = 0; k < count; ++k)
        DecodeRecord(bytes.data() + kCounterBytes + k * kScanLogRecordBytes, records[k]);
    return kOk;
}

std::vector<uint8_t> FormatScanLogConfig(uint64_t scanCounter,
                                         const std::vector<ScanLogRecord>& records) {
    std::vector<uint8_t> out(kCounterBytes + records.size() * kScanLogRecordBytes);
    PutLe64(out.data(), scanCounter);
    for (size_t k = 0; k < records.size(); ++k)
        EncodeRecord(records[k], out.data() + kCounterBytes + k * kScanLogRecordBytes);
    return out;
}

std::string RecordPath(const char16_t (&field)[kScanLogPathUnits]) {
    size_t n = 0;
    while (n < kScanLogPathUnits && field[n] != 0) ++n;
    return Utf16ToUtf8(std::u16string_view(field, n));
}

Result SetRecordPath(char16_t (&field)[kScanLogPathUnits], const std::string& path) {
    const std::u16string wide = Utf8ToUtf16(path);
    // A cut path would name some other file or folder, which a later delete could then hit.
    if (wide.size() > kScanLogPathUnits - 1) return kErrFilenameTooLong;
    std::fill(std::begin(field), std::end(field), u'\0');
    std::copy(wide.begin(), wide.end(), field);
    return kOk;
}

uint64_t FileWriteTime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0;
    const int64_t seconds = int64_t(st.st_mtim.tv_sec) + kFiletimeEpochOffset;
    if (seconds < 0) return 0;
    return uint64_t(seconds) * 10000000u + uint64_t(st.st_mtim.tv_nsec) / 100u;
}

ScanLogHistory& ScanLogHistory::Instance() {
    std::lock_guard lock(gInstanceMutex);
    if (!gInstance) {
        gInstance = std::make_unique<ScanLogHistory>(ScanLogFolder());
        // An unreadable history is started afresh: scans still run, only resuming is lost.
        (void)gInstance->Load();
    }
    return *gInstance;
}

void ScanLogHistory::ResetInstance() {
    std::lock_guard lock(gInstanceMutex);
    gInstance.reset();
}

ScanLogHistory::ScanLogHistory(std::string scanLogFolder)
    : scanLogFolder_(WithoutTrailingSlashes(std::move(scanLogFolder))),
      freeBytes_(DefaultVolumeFreeBytes) {}

Result ScanLogHistory::Load() {
    records_.clear();
    scanCounter_ = 0;
    resumeFound_ = false;
    resumeFolder_.clear();
    const std::string configPath = scanLogFolder_ + "/config";
    const std::string tmpPath = scanLogFolder_ + "/config.tmp";
    struct stat st {};
    if (::lstat(configPath.c_str(), &st) != 0 && errno == ENOENT &&
        ::lstat(tmpPath.c_str(), &st) == 0)
        ::rename(tmpPath.c_str(), configPath.c_str());

    const int fd = ::open(configPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return kErrInvalidParameter;
    std::vector<uint8_t> bytes;
    uint8_t chunk[16384];
    Result result = kOk;
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result = kErrReadFault;
            break;
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    ::close(fd);
    if (result != kOk) return result;
    return ParseScanLogConfig(bytes, scanCounter_, records_);
}

Result ScanLogHistory::Save() {
    if (Result r = MakeFolders(scanLogFolder_); r != kOk) return r;
    const std::string configPath = scanLogFolder_ + "/config";
    const std::string tmpPath = scanLogFolder_ + "/config.tmp";
    const std::vector<uint8_t> bytes = FormatScanLogConfig(scanCounter_, records_);

    // Truncated: a shorter history must not leave the tail of a longer one behind.
    const int fd = ::open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return FromErrno(errno);
    Result result = WriteAllBytes(fd, bytes.data(), bytes.size());
    if (result == kOk && ::fsync(fd) != 0) result = FromErrno(errno);
    if (::close(fd) != 0 && result == kOk) result = FromErrno(errno);
    if (result != kOk) {
        ::unlink(tmpPath.c_str());
        return result;
    }
    // rename() replaces "config" in one step: there is no moment without a complete history.
    if (::rename(tmpPath.c_str(), configPath.c_str()) != 0) return FromErrno(errno);
    if (const int dirFd = ::open(scanLogFolder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return kOk;
}

std::string ScanLogHistory::CurrentFolder() const {
    if (resumeFound_) return resumeFolder_;
    return scanLogFolder_ + "/" + std::to_string(scanCounter_) + "/";
}

void ScanLogHistory::NewScanFolder() {
    ++scanCounter_;
    resumeFound_ = false;
    // Leftovers that cannot be removed are overwritten by the new scan's logs.
    (void)DeleteScanLog(scanLogFolder_ + "/" + std::to_string(scanCounter_) + "/");
}

bool ScanLogHistory::IsInsideScanLogFolder(const std::string& path) const {
    const std::string prefix = scanLogFolder_ + "/";
    const std::string p = WithoutTrailingSlashes(path);
    if (p.size() <= prefix.size() || p.compare(0, prefix.size(), prefix) != 0) return false;
    size_t start = prefix.size();
    while (start <= p.size()) {
        size_t end = p.find('/', start);
        if (end == std::string::npos) end = p.size();
        const std::string_view part(p.data() + start, end - start);
        if (part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

Result ScanLogHistory::DeleteScanLog(const std::string& folder) {
    const auto it = std::find_if(records_.begin(), records_.end(), [&](const ScanLogRecord& r) {
        return EqualsNoCase(RecordPath(r.logFolder), folder);
    });
    if (it != records_.end()) records_.erase(it);

    const std::string path = WithoutTrailingSlashes(folder);
    struct stat st {};
    if (path.empty() || ::lstat(path.c_str(), &st) != 0) return kOk;
    // Folder paths come from the history file too; a damaged one must never reach outside the
    // scan logs.
    if (!IsInsideScanLogFolder(path)) return kErrAccessDenied;
    return RemoveTree(path);
}

ScanLogHistory::Match ScanLogHistory::FindRecord(int diskNumber, uint64_t startLba,
                                                 uint64_t sectorCount, const std::string& imagePath,
                                                 const VolumeFreeBytesFn& freeBytes,
                                                 size_t& index) const {
    for (index = 0; index < records_.size(); ++index) {
        const ScanLogRecord& r = records_[index];
        if (!imagePath.empty()) {
            // Records of an image's partitions carry their start; the whole image's start at 0.
            if (RecordPath(r.imagePath) != imagePath || r.startLba != startLba ||
                (startLba != 0 && r.sectorCount != sectorCount))
                continue;
            return r.imageWriteTime == FileWriteTime(imagePath) ? Match::Current : Match::Stale;
        }
        // An image's record never stands for a partition, whatever numbers it carries.
        if (r.imagePath[0] != 0 || r.diskNumber != diskNumber || r.startLba != startLba ||
            r.sectorCount != sectorCount)
            continue;
        return r.volumeFreeBytes == freeBytes(diskNumber, startLba) ? Match::Current : Match::Stale;
    }
    return Match::None;
}

int ScanLogHistory::FindPartitionScan(int diskNumber, uint64_t startLba, uint64_t sectorCount,
                                      ScanLogRecord& out) {
    return FindPartitionScan(diskNumber, startLba, sectorCount, out, freeBytes_);
}

int ScanLogHistory::FindPartitionScan(int diskNumber, uint64_t startLba, uint64_t sectorCount,
                                      ScanLogRecord& out, const VolumeFreeBytesFn& freeBytes) {
    size_t index = 0;
    const Match m = FindRecord(diskNumber, startLba, sectorCount, "", freeBytes, index);
    return TakeMatch(m, index, out);
}

// A current record becomes the scan to resume; a stale one is deleted with its folder.
int ScanLogHistory::TakeMatch(Match m, size_t index, ScanLogRecord& out) {
    if (m == Match::Current) {
        out = records_[index];
        resumeFound_ = true;
        resumeFolder_ = RecordPath(out.logFolder);
        resumeFinished_ = PassFinished(resumeFolder_);
        return 1;
    }
    if (m == Match::Stale) (void)DeleteScanLog(RecordPath(records_[index].logFolder));
    resumeFound_ = false;
    resumeFinished_ = false;
    resumeFolder_.clear();
    return 0;
}

int ScanLogHistory::FindImageScan(const std::string& imagePath, ScanLogRecord& out) {
    return FindImageScan(imagePath, 0, 0, out);
}

int ScanLogHistory::FindImageScan(const std::string& imagePath, uint64_t startLba,
                                  uint64_t sectorCount, ScanLogRecord& out) {
    size_t index = 0;
    const Match m = imagePath.empty()
                        ? Match::None
                        : FindRecord(0, startLba, sectorCount, imagePath, freeBytes_, index);
    return TakeMatch(m, index, out);
}

Result ScanLogHistory::SaveScanState(int diskNumber, uint64_t startLba, uint64_t sectorCount,
                                     const uint32_t (&resumeState)[10],
                                     const std::string& logFolder, const std::string& imagePath) {
    return SaveScanState(diskNumber, startLba, sectorCount, resumeState, logFolder, imagePath,
                         freeBytes_);
}

Result ScanLogHistory::SaveScanState(int diskNumber, uint64_t startLba, uint64_t sectorCount,
                                     const uint32_t (&resumeState)[10],
                                     const std::string& logFolder, const std::string& imagePath,
                                     const VolumeFreeBytesFn& freeBytes, bool finished) {
    ScanLogRecord fresh{};
    const std::string folder =
        logFolder.empty() || logFolder.back() == '/' ? logFolder : logFolder + "/";
    if (Result r = SetRecordPath(fresh.logFolder, folder); r != kOk) return r;
    if (Result r = SetRecordPath(fresh.imagePath, imagePath); r != kOk) return r;
    // The mark goes before the record is saved: a crash in between leaves at worst a finished
    // mark beside an older record, and a finished scan is scanned again rather than continued.
    // It only decides whether the scan is offered for continuing, so a mark that cannot be
    // written or removed does not fail the save.
    (void)MarkPassFinished(folder, finished);

    size_t index = 0;
    const Match m = FindRecord(diskNumber, startLba, sectorCount, imagePath, freeBytes, index);
    if (m == Match::Current) {
        std::copy(std::begin(resumeState), std::end(resumeState), records_[index].resumeState);
        return Save();
    }
    if (m == Match::Stale) {
        const std::string staleFolder = RecordPath(records_[index].logFolder);
        // The running scan writes into its own folder; a source that changed under it makes
        // the record stale, but its folder holds this very scan's logs and must stay.
        if (EqualsNoCase(staleFolder, folder))
            records_.erase(records_.begin() + std::ptrdiff_t(index));
        else
            (void)DeleteScanLog(staleFolder);
    }
    fresh.diskNumber = diskNumber;
    fresh.startLba = startLba;
    fresh.sectorCount = sectorCount;
    std::copy(std::begin(resumeState), std::end(resumeState), fresh.resumeState);
    if (!imagePath.empty())
        fresh.imageWriteTime = FileWriteTime(imagePath);
    else
        fresh.volumeFreeBytes = freeBytes(diskNumber, startLba);
    records_.push_back(fresh);
    return Save();
}

bool ScanLogHistory::PassFinished(const std::string& folder) {
    struct stat st {};
    return !folder.empty() && ::lstat((folder + "/" + kPassFinishedMark).c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
}

Result ScanLogHistory::MarkPassFinished(const std::string& folder, bool finished) {
    if (folder.empty()) return kOk;
    const std::string mark = folder + kPassFinishedMark;
    if (!finished) {
        if (::unlink(mark.c_str()) != 0 && errno != ENOENT) return FromErrno(errno);
        return kOk;
    }
    const int fd = ::open(mark.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return FromErrno(errno);
    ::close(fd);
    return kOk;
}

Result ScanLogHistory::FindLogByPrefix(const std::string& prefix, std::string& name,
                                       const std::string& folder) const {
    name.clear();
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return FromErrno(errno);
    std::vector<std::string> matches;
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view n = e->d_name;
        if (!n.empty() && n[0] != '.' && n.find(prefix) != std::string_view::npos)
            matches.emplace_back(n);
    }
    ::closedir(dir);
    if (matches.empty()) return kErrFileNotFound;
    // Directory order is whatever the file system keeps; the smallest name makes the answer
    // repeatable, and a store's data file sorts before its "_Relation" and "_DirInfo" files.
    name = *std::min_element(matches.begin(), matches.end());
    return kOk;
}

}  // namespace norvale
