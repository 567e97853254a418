#pragma once
// CCarveOnlyRecovery: a scan that looks for files by their signatures alone, ignoring whatever
// file system the source holds. Its pass offers every sector of the source to the carving
// engine and skips the sectors of each file found. Everything it finds lives in the carving
// engine's "File_Type_" store; listing, recovery and preview are the carving engine's.
//
// Not thread-safe: one thread calls the engine at a time. The carving context is its carver's,
// so scans of different sources run at once.

#include <cstdint>
#include <string>
#include <vector>

#include "carving/file_type_recovery.h"
#include "carving/sector_pass.h"
#include "device/sector_reader.h"

namespace norvale {

class CCarveOnlyRecovery final : public IFileRecoveryParse {
  public:
    CCarveOnlyRecovery();
    ~CCarveOnlyRecovery() override;

    // Open the source for reading; the store is made when the scan starts.
    Result OpenImage(const std::string& imagePath, uint16_t sourceTag) override;
    Result OpenDisk(int diskNumber, uint64_t partitionStartLba, uint64_t partitionSectorCount,
                    uint16_t driveLetter) override;
    Result SetCallbacks(ScanProgressFn scanProgress, RecoverProgressFn recoverProgress,
                        void* userData, int progressScale) override;
    // Without a name: a new "File_Type_" store in the scan-log history's current folder and one
    // pass over the whole source. Returns kOk, the callback's answer when it stopped the pass
    // (what was found so far stays listed), or an open error. With a name: reopens that store.
    Result Scan(const char* logName) override;
    Result ListChildren(const RecoveredItem* folder, int level,
                        std::vector<RecoveredItem>& out) override;
    Result CountFiles(const RecoveredItem* folder, int level, int& count) override;
    uint64_t GetItemCount() override;
    Result GetItemPath(const RecoveredItem& item, std::string& out) override;
    Result RecoverItem(const RecoveredItem& item, const std::string& destination,
                       int destinationFlag) override;
    Result SkipUsedClusters(uint64_t& position, uint64_t& freeLength) override;
    Result SetListCallback(ListProgressFn fn, void* userData) override;
    int ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) override;
    Result BuildClusterMap() override;
    Result ExtractForPreview(const RecoveredItem& item, std::string& tempPath, uint8_t* memory,
                             uint64_t& byteCount, PreviewProgressFn fn, void* userData) override;

    // An image counts 512-byte sectors; an image of a medium with larger sectors (a 4Kn disk)
    // is carved at its own size when told so before the scan.
    void SetImageSectorSize(uint32_t sectorSize) { imageSectorSize_ = sectorSize; }

    CFileTypeRecovery& Carver() { return carver_; }
    uint32_t SectorSize() const { return sectorSize_; }

  private:
    Result RunPass();

    CFileTypeRecovery carver_;
    SectorReader reader_;
    std::string imagePath_;
    int diskNumber_ = -1;
    uint16_t sourceTag_ = 0;
    uint64_t partitionStartLba_ = 0;
    uint64_t partitionSectors_ = 0;
    uint32_t sectorSize_ = 512;
    uint32_t imageSectorSize_ = 0;  // 0: the reader's

    ScanProgressFn scanProgress_ = nullptr;
    void* userData_ = nullptr;
};

// Offers every sector of `chunk` (the first at `firstLba`) to `carver`, skipping the sectors of
// each file found; `covered` receives how many sectors from the chunk's first the pass may skip
// (see ChunkClassifier). Stops at once with kScanCancelled when a sizer was stopped.
Result CarveChunk(CFileTypeRecovery& carver, SectorReader& reader, uint32_t sectorSize,
                  std::span<const uint8_t> chunk, uint64_t firstLba, uint64_t sectorsDone,
                  uint64_t sectorsTotal, int32_t secondsLeft, uint64_t& filesFound,
                  uint64_t& covered);

}  // namespace norvale
