// Windows icons. The 4-byte header alone is far too common, so the directory must describe
// images that lie back to back, in directory order, right after the directory.
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"
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

uint64_t SizeIcon(ByteSpan sector, CarvingContext& context) {
    const uint32_t sectorSize = context.sectorSize;
    if (sector.size() < 6) return sectorSize;
    const uint16_t count = Le16(sector.data() + 4);
    if (count == 0) return sectorSize;
    const size_t directoryBytes = size_t{count} * 16 + 6;
    ByteSpan directory = sector;
    if (directoryBytes > directory.size()) {
        directory = ReadFromFileStart(context);
        if (directoryBytes > directory.size()) return sectorSize;
    }
    // The images lie back to back in directory order, so the last one ends the file.
    const uint8_t* last = directory.data() + 6 + 16 * (size_t{count} - 1);
    return BoundByMedium(uint64_t{Le32(last + 12)} + Le32(last + 8), context);
}

}  // namespace norvale
