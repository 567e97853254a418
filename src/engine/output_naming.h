#pragma once
// How found items become files in the destination: the category sub-folder, names that cannot
// escape the destination, and paths that never overwrite an existing file.

#include <string>
#include <string_view>

#include "device/result.h"

namespace norvale {

// "photo", "audio", "video", "document", "archive" (tested in that order) or "others".
std::string CategoryOf(std::string_view name);

// A name read from a medium made safe to use as one path component: "/", NUL and other control
// characters become "_", and "", "." and ".." become "_" so a name can never climb out of, or
// stand for, its folder. Other bytes (UTF-8 included) are kept.
std::string SafeFileName(std::string_view name);

// `path` itself when nothing exists there, else "dir/name(n).ext" with the smallest n >= 1
// that does not exist. A name whose only "." is its first character has no extension.
std::string MakeUniquePath(const std::string& path);

// Creates a new file (0644, write-only) at `path`, or at the next free numbered name when
// something is already there; never opens an existing file. `path` becomes where it was made.
Result CreateNewFile(std::string& path, int& fd);
// The same for a folder (0755).
Result CreateNewFolder(std::string& path);

// The number of "/" in the destination root, not counting its last character.
int DestinationDepth(std::string_view root);

}  // namespace norvale
