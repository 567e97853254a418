// Flash movies: "FWS" (uncompressed) or "CWS" (zlib, from version 6 on) and a version byte.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectSwf(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 8) return FileTypeCode::kNoFileType;
    const uint8_t version = sector[3];
    if (BytesAt(sector, 0, "CWS"sv) && version >= 6 && version <= 15) return FileTypeCode::kSwf;
    if (BytesAt(sector, 0, "FWS"sv) && version < 6) return FileTypeCode::kSwf;
    return FileTypeCode::kNoFileType;
}

}  // namespace norvale
