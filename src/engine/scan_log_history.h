#pragma once
// The scan-log history: which numbered folder under the ScanLog folder a scan writes into,
// which professional scans can be resumed, and which old logs are stale. Kept in the file
// "config" (a 64-bit scan counter, then 1120-byte records), rewritten through "config.tmp".

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "device/result.h"

namespace norvale {

#pragma pack(push, 1)
struct ScanLogRecord {
    int32_t diskNumber;
    int32_t reserved;
    uint64_t startLba;
    uint64_t sectorCount;
    uint32_t resumeState[10];  // saved and restored unchanged for the resuming engine
    uint64_t volumeFreeBytes;  // free bytes of the partition's volume (0 for an image)
    uint64_t imageWriteTime;   // FILETIME of the image's last write (0 for a partition)
    char16_t imagePath[260];   // UTF-16, NUL-terminated; empty for a partition
    char16_t logFolder[260];   // UTF-16, with a trailing "/"
};
#pragma pack(pop)
static_assert(sizeof(ScanLogRecord) == 1120);

// An empty file of this name in a saved scan's folder says its pass ran to its end (a stopped
// one can be continued). The records themselves keep their layout; log lookups skip names that
// begin with ".".
inline constexpr const char* kPassFinishedMark = ".pass-finished";

inline constexpr size_t kScanLogRecordBytes = sizeof(ScanLogRecord);
inline constexpr size_t kScanLogPathUnits = 260;  // UTF-16 units of a path field, NUL included

// The free space of the volume at (diskNumber, startLba); returns 0 when it cannot be told.
using VolumeFreeBytesFn = std::function<uint64_t(int diskNumber, uint64_t startLba)>;

// The "config" file: the scan counter, then records back to back. Parsing keeps every whole
// record and drops a cut-off tail; fewer than 8 bytes give 87 with nothing parsed.
Result ParseScanLogConfig(std::span<const uint8_t> bytes, uint64_t& scanCounter,
                          std::vector<ScanLogRecord>& records);
std::vector<uint8_t> FormatScanLogConfig(uint64_t scanCounter,
                                         const std::vector<ScanLogRecord>& records);
// A record's path field as UTF-8 (up to its first NUL), and back. Storing refuses a path that
// does not fit in 259 UTF-16 units with kErrFilenameTooLong rather than cut it.
std::string RecordPath(const char16_t (&field)[kScanLogPathUnits]);
Result SetRecordPath(char16_t (&field)[kScanLogPathUnits], const std::string& path);

class ScanLogHistory {
  public:
    // The process-wide history, loaded from ScanLogFolder() on first use.
    static ScanLogHistory& Instance();
    // Drops the process-wide history so the next Instance() loads again (tests).
    static void ResetInstance();

    // Partitions' free space is told by the mounted file system's own figure (0 when not
    // mounted) unless SetVolumeFreeBytesFn, or a call that takes its own, says otherwise.
    explicit ScanLogHistory(std::string scanLogFolder);

    // Reads "config" (repairing a save that stopped after "config" was gone but "config.tmp"
    // was complete). A missing or empty file leaves an empty history with counter 0 and
    // returns 87; a short read returns 30. Whole records are kept from a file of odd size.
    Result Load();
    // Writes "config.tmp" from scratch, flushes it to the disk and renames it over "config", so
    // "config" is always either the old or the new history. Creates the folder when missing.
    Result Save();
    // The folder the next store opens in, with a trailing "/": the resumed scan's folder, or the
    // numbered folder of the current scan counter.
    std::string CurrentFolder() const;
    // Drops the offer of the last successful Find (the user declined to resume); the saved
    // record and folder are left to DeleteScanLog.
    void DeclineResume() {
        resumeFound_ = false;
        resumeFinished_ = false;
        resumeFolder_.clear();
    }
    // Moves to the next scan number and removes whatever folder is left with that number.
    void NewScanFolder();
    // Forgets the record of `folder` (case-insensitive match; not saved here) and deletes the
    // folder with its content, never following symbolic links. 0 when the folder did not exist.
    // Only folders inside the ScanLog folder are deleted; any other path gives kErrAccessDenied
    // after the record is dropped.
    Result DeleteScanLog(const std::string& folder);
    // 1 and the record when a saved scan of this partition matches its current free space; a
    // saved scan whose free space differs is stale and deleted. 0 clears the resume state.
    int FindPartitionScan(int diskNumber, uint64_t startLba, uint64_t sectorCount,
                          ScanLogRecord& out);
    // The same with the free space told by `freeBytes` (the full scan's reading of the volume's
    // own allocation map).
    int FindPartitionScan(int diskNumber, uint64_t startLba, uint64_t sectorCount,
                          ScanLogRecord& out, const VolumeFreeBytesFn& freeBytes);
    // 1 and the record when a saved scan of this image (same path, case-sensitive) matches its
    // modification time; otherwise as FindPartitionScan.
    int FindImageScan(const std::string& imagePath, ScanLogRecord& out);
    // The same for the partition of an image that starts at `startLba` (never 0: the partition
    // table is there) and is `sectorCount` long; a record of the whole image does not match.
    int FindImageScan(const std::string& imagePath, uint64_t startLba, uint64_t sectorCount,
                      ScanLogRecord& out);
    // Records the resume state of a professional scan (an image when imagePath is not empty)
    // and saves the history; returns the first error of storing the paths or of Save.
    Result SaveScanState(int diskNumber, uint64_t startLba, uint64_t sectorCount,
                         const uint32_t (&resumeState)[10], const std::string& logFolder,
                         const std::string& imagePath);
    // `finished`: the scan ran to its end rather than being stopped (kPassFinishedMark).
    Result SaveScanState(int diskNumber, uint64_t startLba, uint64_t sectorCount,
                         const uint32_t (&resumeState)[10], const std::string& logFolder,
                         const std::string& imagePath, const VolumeFreeBytesFn& freeBytes,
                         bool finished = false);
    // First name (in byte order) in `folder` that does not begin with "." and contains `prefix`;
    // kErrFileNotFound when there is none.
    Result FindLogByPrefix(const std::string& prefix, std::string& name,
                           const std::string& folder) const;

    const std::vector<ScanLogRecord>& Records() const { return records_; }
    uint64_t ScanCounter() const { return scanCounter_; }
    bool ResumeFound() const { return resumeFound_; }
    // The saved scan the last successful Find offers ran to its end (nothing left to continue).
    bool ResumeFinished() const { return resumeFinished_; }
    // Whether the saved scan in `folder` ran to its end.
    static bool PassFinished(const std::string& folder);
    const std::string& ResumeFolder() const { return resumeFolder_; }
    const std::string& Folder() const { return scanLogFolder_; }
    void SetVolumeFreeBytesFn(VolumeFreeBytesFn fn) { freeBytes_ = std::move(fn); }

  private:
    enum class Match { None, Current, Stale };
    // The first record of the partition or image and whether it still matches its source.
    int TakeMatch(Match m, size_t index, ScanLogRecord& out);
    Match FindRecord(int diskNumber, uint64_t startLba, uint64_t sectorCount,
                     const std::string& imagePath, const VolumeFreeBytesFn& freeBytes,
                     size_t& index) const;
    bool IsInsideScanLogFolder(const std::string& path) const;
    // Creates or removes kPassFinishedMark in `folder` (ending in "/").
    static Result MarkPassFinished(const std::string& folder, bool finished);

    std::vector<ScanLogRecord> records_;
    std::string scanLogFolder_;
    uint64_t scanCounter_ = 0;
    bool resumeFound_ = false;
    bool resumeFinished_ = false;
    std::string resumeFolder_;
    VolumeFreeBytesFn freeBytes_;
};

// FILETIME (100 ns ticks since 1601-01-01 UTC) of a file's last write; 0 when it cannot be read.
uint64_t FileWriteTime(const std::string& path);

}  // namespace norvale
