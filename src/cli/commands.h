#pragma once
// The commands of norvale-cli. Each returns the process exit code and writes its results on
// stdout, its progress and errors on stderr.

#include <string>

#include "cli/scan_session.h"

namespace norvale::cli {

struct SourcesOptions {
    bool all = false;   // every disk, not only removable ones
    bool json = false;
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

struct RecoverOptions {
    ScanOptions scan;
    std::string types;
    std::string exts;
    std::string to;
    bool allowSameDevice = false;
};

int RunScan(const ScanOptions& options);
int RunList(const ListOptions& options);
int RunRecover(const RecoverOptions& options);

}  // namespace norvale::cli
