// The rescue map read back from next to an image: any text must parse without fault or be
// refused; what parses is well formed, survives a write and re-read unchanged, and survives
// the edits the copier makes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "device/rescue_map.h"

using namespace norvale;

namespace {

void CheckWellFormed(const RescueMap& map) {
    uint64_t pos = 0;
    for (size_t i = 0; i < map.Blocks().size(); ++i) {
        const MapBlock& b = map.Blocks()[i];
        if (b.pos != pos || b.size == 0) std::abort();
        if (i > 0 && b.status == map.Blocks()[i - 1].status) std::abort();
        pos = b.End();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    RescueMap map;
    MapParseError error;
    if (!ParseRescueMap(text, map, &error)) {
        if (error.message.empty()) std::abort();
        return 0;
    }
    CheckWellFormed(map);

    RescueMap again;
    if (!ParseRescueMap(FormatRescueMap(map), again)) std::abort();
    if (again.Blocks() != map.Blocks() || again.currentPos != map.currentPos ||
        again.currentStatus != map.currentStatus || again.currentPass != map.currentPass)
        std::abort();

    // What the copier does to a loaded map: fit it to the source, then mark ranges.
    const uint64_t extent = map.Extent();
    const uint64_t bytesBefore = map.BytesWith("?*/-+");
    if (bytesBefore != extent) std::abort();
    const uint64_t fitted = size > 0 ? extent / (1 + data[0] % 3) + data[size - 1] : extent;
    map.Resize(fitted);
    if (map.Extent() != fitted) std::abort();
    for (size_t i = 0; i + 2 < size && i < 48; i += 3) {
        const uint64_t pos = fitted ? (uint64_t(data[i]) << 8 | data[i + 1]) % fitted : 0;
        map.SetStatus(pos, 1 + data[i + 2] * 17u,
                      static_cast<BlockStatus>(kBlockStatusChars[data[i + 2] % 5]));
        CheckWellFormed(map);
        if (map.Extent() != fitted) std::abort();
    }
    return 0;
}
