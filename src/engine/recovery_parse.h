#pragma once
// IFileRecoveryParse: the one interface every recovery engine presents. Scan, search, preview
// and recovery talk to engines only through it. Results are result numbers (device/result.h);
// every progress callback returns 0 to go on and non-zero (kScanCancelled) to stop, and an
// engine stopped by a callback returns the callback's value.

#include <cstdint>
#include <string>
#include <vector>

#include "device/result.h"

namespace norvale {

struct RecoveredItem;

// Receivers show percent * scale / 100; sectors and file count only when totalSectors != 0.
using ScanProgressFn = int (*)(void* userData, int percent, int scale, int secondsLeft,
                               uint64_t currentSector, uint64_t totalSectors, uint64_t filesFound,
                               int reserved);
// When percent * scale / 100 reaches 100 one item is finished (successfully when errorCode 0).
using RecoverProgressFn = int (*)(void* userData, int percent, int scale, int errorCode,
                                  const char* itemName);
using ListProgressFn = int (*)(void* userData, int percent, int reserved);
using PreviewProgressFn = int (*)(void* userData, int percent, int errorCode);

inline constexpr int kFullProgressScale = 100;  // the engine owns the whole bar
inline constexpr int kStageProgressScale = 9;   // an inner engine's stage of a longer scan

struct IFileRecoveryParse {
    // Slot 0. Opens an image file; the tag names this source in every item found.
    virtual Result OpenImage(const std::string& imagePath, uint16_t sourceTag) = 0;
    // Slot 1. Opens a partition (or region) of a physical disk; driveLetter is the source tag.
    virtual Result OpenDisk(int diskNumber, uint64_t partitionStartLba,
                            uint64_t partitionSectorCount, uint16_t driveLetter) = 0;
    // Slot 2.
    virtual Result SetCallbacks(ScanProgressFn scanProgress, RecoverProgressFn recoverProgress,
                                void* userData, int progressScale) = 0;
    // Slot 3. Null logName: a new scan into a new store. Otherwise reopen that store, no scan.
    virtual Result Scan(const char* logName) = 0;
    // Slot 4. Null folder lists the root (level must then be 0, else 87).
    virtual Result ListChildren(const RecoveredItem* folder, int level,
                                std::vector<RecoveredItem>& out) = 0;
    // Slot 5.
    virtual Result CountFiles(const RecoveredItem* folder, int level, int& count) = 0;
    // Slot 6. Records in the engine's store; 0 without one.
    virtual uint64_t GetItemCount() = 0;
    // Slot 7. Folders above the item, top down, each followed by "/".
    virtual Result GetItemPath(const RecoveredItem& item, std::string& out) = 0;
    // Slot 8. Writes a file, or a folder with its content, to `destination`.
    virtual Result RecoverItem(const RecoveredItem& item, const std::string& destination,
                               int destinationFlag) = 0;
    // Slot 9. Advances `position` to the next free extent and gives its length (0: none).
    virtual Result SkipUsedClusters(uint64_t& position, uint64_t& freeLength) = 0;
    // Slot 10.
    virtual Result SetListCallback(ListProgressFn fn, void* userData) = 0;
    // Slot 11. 1 when the store's data file could be read, else 0.
    virtual int ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) = 0;
    // Slot 12.
    virtual Result BuildClusterMap() = 0;
    // Slot 13. Writes the item to a temporary file (its path in tempPath) or, for kinds without
    // a file target, up to `byteCount` bytes into `memory`, setting byteCount to what was copied.
    virtual Result ExtractForPreview(const RecoveredItem& item, std::string& tempPath,
                                     uint8_t* memory, uint64_t& byteCount, PreviewProgressFn fn,
                                     void* userData) = 0;
    // Slot 14.
    virtual ~IFileRecoveryParse() = default;
};

}  // namespace norvale
