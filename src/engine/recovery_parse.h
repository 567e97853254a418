#pragma once
// IFileRecoveryParse: the one interface every recovery engine presents. Scan, search, preview
// and recovery talk to engines only through it. Results are result numbers (device/result.h);
// every progress callback returns 0 to go on and non-zero (kScanCancelled) to stop, and an
// engine stopped by a callback returns the callback's value.
//
// Words of the code and what a person calls them. The stored formats (scan logs, the 346-byte
// item record, "config") and the interface below keep these names, so the code keeps them too:
//   Fast (FastFatRecovery, FastNtfsRecovery)
//       the deleted-file scan ("--mode deleted"): reads the volume's own records of files that
//       were deleted and lists what they still describe.
//   Professional (ProfessionalRecovery, ProfessionalFat/NtfsRecovery)
//       the full scan ("--mode full"): looks for the structures of volumes anywhere on the
//       medium, formatted or damaged ones too, and carves the space none of them describes.
//   FileType (FileTypeRecovery), carving
//       the scan by signatures ("--mode carve"): files with no record at all, found by how
//       their content begins and ends.
//   source tag, driveLetter
//       a 16-bit number naming the source an item was found on; on Windows it was the drive
//       letter, here it is any number the front end gives a source (image or partition).
//   store, scan log
//       the files a scan writes its finds to (engine/result_store.h), so a scan can be reopened
//       without scanning again (engine/scan_log_history.h).
//   destinationFlag
//       passed to RecoverItem for the stored interface's sake; no engine reads it.
//   kScanCancelled (-9527)
//       what a progress callback returns to stop, and what the stopped call then returns; the
//       number is part of the stored interface, not an error of the medium.
//
// The methods below keep the order of the original interface; engines built elsewhere against
// it rely on that order, so new methods go at the end.

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
    // Opens an image file; the tag names this source in every item found.
    virtual Result OpenImage(const std::string& imagePath, uint16_t sourceTag) = 0;
    // Opens a partition (or region) of a physical disk; driveLetter is the source tag.
    virtual Result OpenDisk(int diskNumber, uint64_t partitionStartLba,
                            uint64_t partitionSectorCount, uint16_t driveLetter) = 0;
    // Progress receivers of Scan and RecoverItem; progressScale is kFullProgressScale or a stage.
    virtual Result SetCallbacks(ScanProgressFn scanProgress, RecoverProgressFn recoverProgress,
                                void* userData, int progressScale) = 0;
    // Null logName: a new scan into a new store. Otherwise reopen that store, no scan.
    virtual Result Scan(const char* logName) = 0;
    // Null folder lists the root (level must then be 0, else 87).
    virtual Result ListChildren(const RecoveredItem* folder, int level,
                                std::vector<RecoveredItem>& out) = 0;
    // Files below the folder (null: the root) at any depth.
    virtual Result CountFiles(const RecoveredItem* folder, int level, int& count) = 0;
    // Records in the engine's store; 0 without one.
    virtual uint64_t GetItemCount() = 0;
    // Folders above the item, top down, each followed by "/".
    virtual Result GetItemPath(const RecoveredItem& item, std::string& out) = 0;
    // Writes a file, or a folder with its content, to `destination`.
    virtual Result RecoverItem(const RecoveredItem& item, const std::string& destination,
                               int destinationFlag) = 0;
    // Advances `position` to the next free extent and gives its length (0: none).
    virtual Result SkipUsedClusters(uint64_t& position, uint64_t& freeLength) = 0;
    // Progress receiver of ListByType.
    virtual Result SetListCallback(ListProgressFn fn, void* userData) = 0;
    // 1 when the store's data file could be read, else 0.
    virtual int ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) = 0;
    // Marks the clusters the volume's live files use, for SkipUsedClusters.
    virtual Result BuildClusterMap() = 0;
    // Writes the item to a temporary file (its path in tempPath) or, for kinds without
    // a file target, up to `byteCount` bytes into `memory`, setting byteCount to what was copied.
    virtual Result ExtractForPreview(const RecoveredItem& item, std::string& tempPath,
                                     uint8_t* memory, uint64_t& byteCount, PreviewProgressFn fn,
                                     void* userData) = 0;
    virtual ~IFileRecoveryParse() = default;
};

}  // namespace norvale
