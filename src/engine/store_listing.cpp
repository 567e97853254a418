#include "engine/store_listing.h"

namespace norvale {
namespace {

bool HasOpenStore(const ResultStore* store) {
    return store && store->IsOpen();
}

uint32_t FolderKey(const RecoveredItem* folder, uint32_t rootKey) {
    return folder ? static_cast<uint32_t>(folder->objectKey) : rootKey;
}

}  // namespace

Result ListStoreChildren(ResultStore* store, const RecoveredItem* folder, int level,
                         uint32_t rootKey, std::vector<RecoveredItem>& out) {
    if (!folder && level != 0) return kErrInvalidParameter;
    if (!HasOpenStore(store)) return kOk;
    // Records that never reached the logs cannot be listed; say so rather than list fewer.
    if (Result r = store->Flush(); r != kOk) return r;
    return store->ListChildren(FolderKey(folder, rootKey), static_cast<uint32_t>(level), out);
}

Result CountStoreFiles(ResultStore* store, const RecoveredItem* folder, int level, uint32_t rootKey,
                       RootLevelCheck check, int& count) {
    count = 0;
    if (check == RootLevelCheck::kRefuseOtherLevels && !folder && level != 0) {
        return kErrInvalidParameter;
    }
    if (!HasOpenStore(store)) return kOk;
    // Records that never reached the logs cannot be listed; say so rather than list fewer.
    if (Result r = store->Flush(); r != kOk) return r;
    int32_t n = 0;
    const Result r = store->CountFiles(FolderKey(folder, rootKey), static_cast<uint32_t>(level), n);
    count = n;
    return r;
}

uint64_t StoreItemCount(const ResultStore* store) {
    // A reopened log (a resumed scan, or one loaded again) holds its earlier records too.
    return store ? static_cast<uint64_t>(store->LastRecordIndex()) : 0;
}

Result StoreItemPath(ResultStore* store, const RecoveredItem& item, std::string& out,
                     Result withoutStore) {
    out.clear();
    if (!HasOpenStore(store)) return withoutStore;
    return store->GetItemPath(item, out);
}

int ListStoreByType(ResultStore* store, const std::string& pattern,
                    std::vector<RecoveredItem>& out) {
    if (!HasOpenStore(store)) return 0;
    return store->ListByType(pattern, out);
}

}  // namespace norvale
