#pragma once
// Helpers of the deleted-file engine tests: file content that tells files apart, scanning an
// image the way the scan driver does, and the engine's whole tree by path.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fat/fast_fat_recovery.h"

namespace norvale::testing {

// `size` bytes that differ from seed to seed; with `jpeg` they open with a JFIF header, so the
// content check takes them for a photo.
std::vector<uint8_t> MakeContent(const std::string& seed, size_t size, bool jpeg = false);

// Opens the image in a new engine and scans it into a new scan-log folder; `result` gets the
// scan's result. Null when the image cannot be opened.
std::unique_ptr<CFastFatRecovery> ScanImage(const std::string& image, Result* result = nullptr);

// Every item the engine lists, by its path from the root ("Old album/Sub/notes.txt").
std::map<std::string, RecoveredItem> ListAll(CFastFatRecovery& engine);

// Recovers `item` to `path` and returns what was written there.
std::vector<uint8_t> RecoverBytes(CFastFatRecovery& engine, const RecoveredItem& item,
                                  const std::string& path);

// Runs `body` in a child process killed after `seconds`; true when it returned 0 in time.
bool RunInChild(unsigned seconds, const std::function<int()>& body);

// Records what an engine reports.
struct Reports {
    struct Scan {
        int percent, scale, secondsLeft;
    };
    struct Recover {
        int percent;
        int error;
        std::string name;
    };
    std::vector<Scan> scans;
    std::vector<Recover> recovers;
    int stopAtScanReport = -1;  // answer kScanCancelled to this scan report (0 = the first)

    void Attach(CFastFatRecovery& engine, int scale = kFullProgressScale);
    // The reports at 100% (one per finished file).
    std::vector<Recover> Finished() const;
};

}  // namespace norvale::testing
