// The scan logs read back from disk: relation text, DirInfo entries and the history's "config".
// Every input must parse without fault, and what parses must survive a write and re-read.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <span>
#include <string_view>
#include <vector>

#include "engine/result_store.h"
#include "engine/scan_log_history.h"

using namespace norvale;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);

    std::map<ChildKey, std::vector<int32_t>> map;
    ParseRelationText(std::string_view(reinterpret_cast<const char*>(data), size), map);
    std::map<ChildKey, std::vector<int32_t>> again;
    ParseRelationText(FormatRelationText(map), again);
    if (again != map) std::abort();

    const std::vector<DirInfoEntry> entries = DecodeDirInfo(bytes);
    for (const DirInfoEntry& e : entries)
        if (e.name[kItemNameBytes - 1] != '\0') std::abort();
    if (DecodeDirInfo(EncodeDirInfo(entries)).size() != entries.size()) std::abort();

    uint64_t counter = 0;
    std::vector<ScanLogRecord> records;
    if (ParseScanLogConfig(bytes, counter, records) == kOk) {
        const std::vector<uint8_t> written = FormatScanLogConfig(counter, records);
        if (written.size() > size || !std::equal(written.begin(), written.end(), bytes.begin()))
            std::abort();
        for (const ScanLogRecord& r : records) {
            (void)RecordPath(r.imagePath);
            (void)RecordPath(r.logFolder);
        }
    }
    return 0;
}
