#include "engine/item_recovery.h"

#include "engine/data_paths.h"

namespace norvale {

Result RecoverStoredItem(ResultStore* store, const RecoveredItem& item,
                         const std::string& destination, const FileCopyFn& copyFile,
                         const ItemReportFn& report) {
    bool stopped = false;
    if (item.isFolder) {
        return RecoverFolderTree(store, item, destination, copyFile, report, stopped);
    }
    const size_t slash = destination.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        if (Result r = MakeFolders(destination.substr(0, slash)); r != kOk) return r;
    }
    return copyFile(item, destination, stopped);
}

}  // namespace norvale
