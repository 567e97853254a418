#pragma once
// The listing slots of an engine whose findings live in a ResultStore. Each slot answers from
// the store as it stands (flushed first where the store may hold unwritten records); an engine
// without an open store lists nothing. A null folder stands for the engine's root, `rootKey`.

#include <cstdint>
#include <string>
#include <vector>

#include "device/result.h"
#include "engine/recovered_item.h"
#include "engine/result_store.h"

namespace norvale {

// The root is listed at level 0 only: a null folder with another level is kErrInvalidParameter.
Result ListStoreChildren(ResultStore* store, const RecoveredItem* folder, int level,
                         uint32_t rootKey, std::vector<RecoveredItem>& out);

// Whether CountStoreFiles refuses a null folder at a level other than 0, as listing does.
enum class RootLevelCheck { kNone, kRefuseOtherLevels };

// `count` is 0 unless the store counted.
Result CountStoreFiles(ResultStore* store, const RecoveredItem* folder, int level, uint32_t rootKey,
                       RootLevelCheck check, int& count);

uint64_t StoreItemCount(const ResultStore* store);

// `out` is cleared first; `withoutStore` is the answer when no store is open.
Result StoreItemPath(ResultStore* store, const RecoveredItem& item, std::string& out,
                     Result withoutStore);

// Returns 0 without an open store.
int ListStoreByType(ResultStore* store, const std::string& pattern,
                    std::vector<RecoveredItem>& out);

}  // namespace norvale
