// TrueType fonts. The sfnt version 1.0 alone is too common, so the offset table's search
// fields must be set and the table data must start with a version 1.0 table (the font header,
// which writers place first).
#include <algorithm>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

namespace {
constexpr std::string_view kVersion1 = "\x00\x01\x00\x00"sv;
}

FileTypeCode DetectTrueType(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16 || !BytesAt(sector, 0, kVersion1)) return FileTypeCode::kNoFileType;
    const uint8_t* p = sector.data();
    const uint16_t tableCount = BigEndian16(p + 4);
    if (tableCount == 0 || BigEndian16(p + 6) == 0 || BigEndian16(p + 8) == 0 ||
        BigEndian16(p + 10) == 0) {
        return FileTypeCode::kNoFileType;
    }
    const size_t directoryEnd = size_t{tableCount} * 16 + 12;
    if (directoryEnd + 4 > sector.size()) return FileTypeCode::kNoFileType;
    return BytesAt(sector, directoryEnd, kVersion1) ? FileTypeCode::kTtf
                                                    : FileTypeCode::kNoFileType;
}

uint64_t SizeTrueType(ByteSpan sector, CarvingContext& context) {
    const uint32_t sectorSize = context.sectorSize;
    if (sector.size() < 6) return sectorSize;
    const uint16_t tableCount = BigEndian16(sector.data() + 4);
    if (tableCount == 0) return 0;
    const size_t directoryBytes = size_t{tableCount} * 16 + 12;
    ByteSpan directory = sector;
    if (directoryBytes > directory.size()) {
        directory = ReadFromFileStart(context);
        if (directoryBytes > directory.size()) return sectorSize;
    }
    // The tables may lie in any order; the file ends where the furthest one ends. Offsets and
    // lengths are 32-bit each, their sum is not.
    uint64_t end = 0;
    for (size_t i = 0; i < tableCount; ++i) {
        const uint8_t* record = directory.data() + 12 + 16 * i;
        end = std::max(end, uint64_t{BigEndian32(record + 8)} + BigEndian32(record + 12));
    }
    return BoundByMedium(end, context);
}

FileTypeCode DetectOpenType(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

FileTypeCode DetectFontCollection(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

uint64_t SizeFontCollection(ByteSpan sector, CarvingContext& context) {
    return SizeBoundaryOnly128MiB(sector, context);
}

}  // namespace norvale
