#pragma once
// The scan-log history: which numbered folder under the ScanLog folder a scan writes into,
// which professional scans can be resumed, and which old logs are stale. Kept in the file
// "config" (a 64-bit scan counter, then 1120-byte records), rewritten through "config.tmp".

#include <cstdint>
#include <functional>
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
    uint32_t resumeState[10];   // saved and restored unchanged for the resuming engine
    uint64_t volumeFreeBytes;   // free bytes of the partition's volume (0 for an image)
    uint64_t imageWriteTime;    // FILETIME of the image's last write (0 for a partition)
    char16_t imagePath[260];    // UTF-16, NUL-terminated; empty for a partition
    char16_t logFolder[260];    // UTF-16, with a trailing "/"
};
#pragma pack(pop)
static_assert(sizeof(ScanLogRecord) == 1120);

// The free space of the volume at (diskNumber, startLba); returns 0 when it cannot be told.
using VolumeFreeBytesFn = std::function<uint64_t(int diskNumber, uint64_t startLba)>;

class ScanLogHistory {
public:
    // The process-wide history, loaded from ScanLogFolder() on first use.
    static ScanLogHistory& Instance();
    // Drops the process-wide history so the next Instance() loads again (tests).
    static void ResetInstance();

    explicit ScanLogHistory(std::string scanLogFolder);

    Result Load();
    Result Save();
    // The folder the next store opens in, with a trailing "/".
    std::string CurrentFolder() const;
    void NewScanFolder();
    Result DeleteScanLog(const std::string& folder);
    // 1 and the record when a saved scan of this partition matches its current free space.
    int FindPartitionScan(int diskNumber, uint64_t startLba, uint64_t sectorCount,
                          ScanLogRecord& out);
    // 1 and the record when a saved scan of this image matches its modification time.
    int FindImageScan(const std::string& imagePath, ScanLogRecord& out);
    Result SaveScanState(int diskNumber, uint64_t startLba, uint64_t sectorCount,
                         const uint32_t (&resumeState)[10], const std::string& logFolder,
                         const std::string& imagePath);
    // First file name in `folder` that does not begin with "." and contains `prefix`.
    Result FindLogByPrefix(const std::string& prefix, std::string& name,
                           const std::string& folder) const;

    const std::vector<ScanLogRecord>& Records() const { return records_; }
    uint64_t ScanCounter() const { return scanCounter_; }
    bool ResumeFound() const { return resumeFound_; }
    const std::string& ResumeFolder() const { return resumeFolder_; }
    const std::string& Folder() const { return scanLogFolder_; }
    void SetVolumeFreeBytesFn(VolumeFreeBytesFn fn) { freeBytes_ = std::move(fn); }

private:
    std::vector<ScanLogRecord> records_;
    std::string scanLogFolder_;
    uint64_t scanCounter_ = 0;
    bool resumeFound_ = false;
    std::string resumeFolder_;
    VolumeFreeBytesFn freeBytes_;
};

// FILETIME (100 ns ticks since 1601-01-01 UTC) of a file's last write; 0 when it cannot be read.
uint64_t FileWriteTime(const std::string& path);

}  // namespace norvale
