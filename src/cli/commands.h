#pragma once
// The commands of norvale-cli. Each returns the process exit code and writes its results on
// stdout, its progress and errors on stderr.

#include <string>
#include <vector>

#include "cli/scan_session.h"

namespace norvale::cli {

struct SourcesOptions {
    bool all = false;  // every disk, not only removable ones
    bool json = false;
    std::vector<std::string> images;  // --image: list these image files as disks instead
};
int RunSources(const SourcesOptions& options);

int RunDetect(const std::string& source);

struct ListOptions {
    ScanOptions scan;
    std::string types;  // "photo,audio,..."
    std::string exts;   // "jpg,png,..."
    bool tree = false;
    bool json = false;
};

// Exit code of a recovery that was stopped (Ctrl-C) before every file was tried, also during
// its scan or while its list was collected; and of a scan or list whose scan was stopped (what
// was found until then is printed all the same).
inline constexpr int kExitStopped = 3;

struct RecoverOptions {
    ScanOptions scan;
    std::string types;
    std::string exts;
    std::string to;
    bool allowSameDevice = false;
    bool keepPartial = false;     // keep cut-off files as "name (incomplete).ext"
    bool noSkipExisting = false;  // write files again that the destination already holds
    bool noSpaceCheck = false;    // start even when the selection does not fit the free space
};

struct ImageOptions {
    std::string source;
    std::string to;       // the image file
    int partition = 0;    // 1-based partition of a whole disk or disk image; 0: all of SOURCE
    bool rescue = false;  // go on past unreadable sectors, keep a map, continue from it
    bool allowSameDevice = false;
    bool force = false;  // replace an existing image file (never through a symbolic link)
    bool quiet = false;
};
// Exit code 0 for a complete copy, 1 when it stopped, failed or left unreadable sectors, 2 for
// bad input.
int RunImage(const ImageOptions& options);

// Exit code 0 when the scan ran to its end, 1 when it failed, 2 for bad input, kExitStopped
// when it was stopped.
int RunScan(const ScanOptions& options);
int RunList(const ListOptions& options);
// Exit code 0 when every file was recovered (or was already there), 1 when some failed,
// 2 for bad input or a destination without room, kExitStopped when stopped.
int RunRecover(const RecoverOptions& options);

}  // namespace norvale::cli
