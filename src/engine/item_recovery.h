#pragma once
// Recovering one found item the way every engine that keeps its folder tree in a ResultStore
// does it: a folder is created at `destination` and filled with its content (RecoverFolderTree);
// a file is written to `destination` by the engine's own copy routine once the folder it goes
// into exists.

#include <string>

#include "device/result.h"
#include "engine/folder_recovery.h"
#include "engine/recovered_item.h"
#include "engine/result_store.h"

namespace norvale {

// Returns the folder walk's or the copy's result, or the error of creating the file's folder
// (nothing is reported then).
Result RecoverStoredItem(ResultStore* store, const RecoveredItem& item,
                         const std::string& destination, const FileCopyFn& copyFile,
                         const ItemReportFn& report);

}  // namespace norvale
