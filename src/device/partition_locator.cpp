#include "device/partition_locator.h"

#include <vector>

#include "device/partition_table.h"

namespace norvale {

Result FindPartitionInTable(const std::string& path, int number, PartitionExtent& out) {
    out = PartitionExtent{};
    // A missing file or missing rights give their own result rather than "no partition table".
    PartitionTable table;
    std::vector<detail::ListedPartition> listed;
    if (Result r = detail::ReadPartitionTable(path, table, &listed); r != kOk) return r;
    if (table.scheme.empty()) return kErrNotSupported;
    for (const auto& p : listed) {
        if (p.entry.number == number && p.container) return kErrInvalidParameter;
    }
    // The checked entries: clipped to the medium, so a copy never reads past its end.
    const uint64_t per512 = table.sectorSize / 512;
    for (const TableEntry& e : table.entries) {
        if (e.number != number) continue;
        out.startLba = e.startLba * per512;
        out.sectorCount = e.sectorCount * per512;
        return kOk;
    }
    return kErrFileNotFound;
}

}  // namespace norvale
