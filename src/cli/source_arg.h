#pragma once
// Turns the SOURCE a user typed into something the engines can open: a partition or whole
// disk known to the enumerator, or an image file (or a block device the enumerator does not
// list, read like an image). Bad input gives one clear line that names the path and what to do.

#include <string>

#include "device/disk_enumerator.h"

namespace norvale::cli {

struct SourceArg {
    std::string path;
    bool isImage = true;
    PartitionRecord record;  // valid when !isImage
};

inline constexpr int kExitBadInput = 2;

// 0 when `path` names a usable source; otherwise kExitBadInput and a one-line `error`.
int ResolveSource(const std::string& path, SourceArg& out, std::string& error);

}  // namespace norvale::cli
