#pragma once
// The commands of norvale-cli. Each returns the process exit code and writes its results on
// stdout, its progress and errors on stderr.

#include <string>

namespace norvale::cli {

struct SourcesOptions {
    bool all = false;   // every disk, not only removable ones
    bool json = false;
};
int RunSources(const SourcesOptions& options);

int RunDetect(const std::string& source);

}  // namespace norvale::cli
