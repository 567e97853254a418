// TrueType fonts. The sfnt version 1.0 alone is too common, so the offset table's search
// fields must be set and the table data must start with a version 1.0 table (the font header,
// which writers place first).
#include <string_view>

#include "carving/formats/formats.h"

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

}  // namespace norvale
