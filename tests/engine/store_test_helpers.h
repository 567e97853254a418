#pragma once
// Small helpers for the result-store tests: filling records and reading answers back.

#include <sys/stat.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engine/result_store.h"

namespace norvale::testing {

// Appends one fully filled record and returns its recordIndex.
inline int32_t AddRecord(ResultStore& store, std::string_view name, bool folder, int32_t objectKey,
                         int32_t contentValid = 1) {
    RecoveredItem* slot = store.AppendRecord();
    std::memset(slot, 0, sizeof *slot);
    slot->sourceTag = u'7';
    slot->engineKind = kEngineFastFat;
    slot->isFolder = folder ? 1 : 0;
    slot->contentValid = contentValid;
    slot->objectKey = objectKey;
    slot->clusterBytes = 4096;
    slot->recordIndex = store.RecordCount();
    slot->SetName(name);
    return slot->recordIndex;
}

inline std::vector<std::string> NamesOf(const std::vector<RecoveredItem>& items) {
    std::vector<std::string> out;
    for (const RecoveredItem& i : items) out.emplace_back(i.Name());
    return out;
}

inline bool SameBytes(const std::vector<RecoveredItem>& a, const std::vector<RecoveredItem>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(RecoveredItem)) == 0);
}

inline uint64_t FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : ~uint64_t(0);
}

}  // namespace norvale::testing
