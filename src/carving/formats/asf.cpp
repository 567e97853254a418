// Advanced Systems Format (wmv, wma, asf): the file is one header object, identified by its GUID.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectAsf(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 24) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"sv)) {
        return FileTypeCode::kWmv;
    }
    return FileTypeCode::kNoFileType;
}

}  // namespace norvale
