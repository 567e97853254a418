#pragma once
// Writing a found folder with everything below it, the same way for every engine that keeps
// its folder tree in a ResultStore: children are listed from the store, every name is made
// safe and collision-free, sub-folders are created fresh and walked breadth first, and each
// file is handed to the engine's own copy routine.

#include <functional>
#include <string>

#include "device/result.h"
#include "engine/recovered_item.h"
#include "engine/result_store.h"

namespace norvale {

// Copies one file to `path` (where the writer starts looking for a free name). Sets `stopped` when
// a progress callback asked to stop; the result is then the callback's answer.
using FileCopyFn =
    std::function<Result(const RecoveredItem& file, const std::string& path, bool& stopped)>;
// Reports a finished item (a folder that could not be created) to the progress callback;
// a non-zero answer stops the walk.
using ItemReportFn = std::function<int(int percent, Result error, const std::string& path)>;

// Creates `destination` and writes the folder's content below it; every folder gets the item's
// times after its content. When identical files are skipped, a sub-folder an earlier run wrote
// is filled again instead of a numbered new one. Returns the first failure (a store that could
// not be flushed or listed included), or kOk; when stopped, the callback's answer. Each folder is
// entered once, so a damaged log that lists a folder inside itself cannot loop.
Result RecoverFolderTree(ResultStore* store, const RecoveredItem& folder,
                         const std::string& destination, const FileCopyFn& copyFile,
                         const ItemReportFn& report, bool& stopped);

// The level at which the store links the children of `folderKey` (the scans link one folder's
// children at one level only). False when the folder has no children.
bool LinkedChildLevel(const ResultStore& store, uint32_t folderKey, uint32_t& level);

}  // namespace norvale
