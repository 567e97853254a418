#pragma once
// Helpers of the professional NTFS engine tests: the sector pass the coordinator makes (every
// sector in order, candidates handed over, folders recorded at the end), the engine's whole tree
// by path, and volumes made by mkntfs and ntfs-3g that are then formatted over or moved.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/recovered_item.h"
#include "engine/recovery_parse.h"
#include "ntfs/professional_ntfs_recovery.h"

namespace norvale::testing {

struct PassCounts {
    uint64_t candidates = 0;  // sectors that passed the candidate test
    uint64_t handedOver = 0;  // candidates that were no directory records
    uint64_t refused = 0;     // ParseCandidate results other than kOk
    Result finish = kOk;      // what FinishScan returned
};

struct PassOptions {
    const char* logName = nullptr;  // BeginScan's argument
    uint64_t firstSector = 0;       // the sectors passed over: [firstSector, endSector)
    uint64_t endSector = ~uint64_t{0};
    std::function<void()> beforeFinish;  // runs between the last candidate and FinishScan
};

// Drives `engine` the way the coordinator does over `image`: BeginScan, then the image in 64 KiB
// chunks, every sector tested with CandidateRecordBytes; a candidate that runs past the chunk's
// end is read again (8 KiB at its LBA) from the image; every non-directory candidate goes to
// ParseCandidate; then FinishScan. Returns BeginScan's failure or kOk.
Result RunSectorPass(CProfessionalNtfsRecovery& engine, const std::string& image,
                     PassCounts* counts = nullptr, const PassOptions& options = {});

// Opens the image in a new engine (tag 1) and runs the pass in a new scan-log folder.
std::unique_ptr<CProfessionalNtfsRecovery> ScanProfessional(const std::string& image,
                                                            PassCounts* counts = nullptr);

// Every item an engine lists, by its path from the root ("Photos/Trip/beach.jpg"); folders are
// entered once.
std::map<std::string, RecoveredItem> ListTree(IFileRecoveryParse& engine);
// The file items of a listing.
std::map<std::string, RecoveredItem> FilesOf(const std::map<std::string, RecoveredItem>& tree);

// Recovers `item` to `path`; the bytes written (nothing on failure), the result in `result`.
std::vector<uint8_t> RecoverTo(IFileRecoveryParse& engine, const RecoveredItem& item,
                               const std::string& path, Result* result = nullptr);

// A volume filled through an ntfs-3g mount: folders and files (paths relative to the root;
// folders end with "/"), written in the order given.
struct VolumeContent {
    std::vector<std::string> folders;
    std::map<std::string, std::vector<uint8_t>> files;
    std::vector<std::string> deleted;  // files removed again before unmounting
};
// Makes `path` (sizeMiB, mkntfs arguments), writes `content` and unmounts. False with a message
// in `error` when a tool fails (FUSE missing included).
bool MakeFilledVolume(const std::string& path, uint64_t sizeMiB, const std::string& mkntfsArgs,
                      const VolumeContent& content, const std::string& mountDir,
                      std::string& error);

// Content shared by the media tests: a few folders several levels deep and files that are
// resident, a few clusters long and several hundred KiB long.
VolumeContent SampleContent(const std::string& seed);

// Copies `from` into `to` at byte `offset` (`to` grows when needed).
void CopyInto(const std::string& from, const std::string& to, uint64_t offset);
// The byte offset of MFT record `number` in an image, found by its "FILE" signature and number
// field among the records at 1 KiB steps from `searchFrom`; 0 when absent.
uint64_t FindRecord(const std::string& image, uint32_t number, uint64_t searchFrom = 0);

}  // namespace norvale::testing
