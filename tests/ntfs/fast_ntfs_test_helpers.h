#pragma once
// Helpers of the NTFS deleted-file engine tests: scanning an image the way the scan driver
// does, the engine's whole tree by path, recovering one item, recording what the engine
// reports, and patching single records of an image the way other drivers (or damage) leave them.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ntfs/fast_ntfs_recovery.h"

namespace norvale::testing {

// `size` bytes that differ from seed to seed; with `jpeg` they open with a JFIF header.
std::vector<uint8_t> MakeContent(const std::string& seed, size_t size, bool jpeg = false);

// Opens the image in a new engine and scans it into a new scan-log folder; `result` gets the
// scan's result. Null when the image cannot be opened.
std::unique_ptr<CFastNtfsRecovery> ScanNtfs(const std::string& image, Result* result = nullptr);
// The same for an engine already opened.
Result ScanInNewFolder(CFastNtfsRecovery& engine);

// Every item the engine lists, by its path from the root ("Old album/Sub/notes.txt").
std::map<std::string, RecoveredItem> ListAll(CFastNtfsRecovery& engine);

// Recovers `item` to `path` and returns what was written there (nothing on failure).
std::vector<uint8_t> RecoverBytes(CFastNtfsRecovery& engine, const RecoveredItem& item,
                                  const std::string& path);

// Runs `body` in a child process killed after `seconds`; true when it returned 0 in time.
bool RunInChild(unsigned seconds, const std::function<int()>& body);

// Byte offset of MFT record `record` in the image (through the volume's own MFT runs); 0 when
// the image or the record cannot be found.
uint64_t RecordOffset(const std::string& image, uint64_t record);
// Byte offset in the image of the parent reference of the first $FILE_NAME in `record`; 0 when
// the record holds none.
uint64_t ParentReferenceOffset(const std::string& image, uint64_t record);
void PatchBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes);
// Deletes a file the way Windows does: the in-use flag of its record, and of every extension
// record that names it as base, is cleared; nothing else changes.
void ClearInUse(const std::string& image, uint64_t record);

// Records what an engine reports.
struct Reports {
    std::vector<int> scanPercents;
    struct Recover {
        int percent;
        int error;
    };
    std::vector<Recover> recovers;
    int stopAtScanReport = -1;  // answer kScanCancelled to this scan report (0 = the first)

    void Attach(CFastNtfsRecovery& engine, int scale = kFullProgressScale);
};

}  // namespace norvale::testing
