// Windows icons. The 4-byte header alone is far too common, so the directory must describe
// images that lie back to back, in directory order, right after the directory.
#include <string_view>

#include "carving/formats/formats.h"
#include "device/bytes.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectIcon(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16 || !BytesAt(sector, 0, "\x00\x00\x01\x00"sv)) {
        return FileTypeCode::kNoFileType;
    }
    const uint16_t count = Le16(sector.data() + 4);
    const uint64_t directoryEnd = uint64_t{count} * 16 + 6;
    if (count == 0 || sector.size() < directoryEnd) return FileTypeCode::kNoFileType;
    // 64-bit: a crafted size must not wrap the running end back onto a later offset.
    uint64_t runningEnd = directoryEnd;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* entry = sector.data() + 6 + 16 * i;
        const uint32_t imageOffset = Le32(entry + 12);
        if (entry[3] != 0 || imageOffset != runningEnd) return FileTypeCode::kNoFileType;
        runningEnd = uint64_t{imageOffset} + Le32(entry + 8);
    }
    return FileTypeCode::kIco;
}

}  // namespace norvale
