// Flash movies: "FWS" (uncompressed) or "CWS" (zlib, from version 6 on) and a version byte.
#include <algorithm>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"
#include "device/bytes.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectSwf(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 8) return FileTypeCode::kNoFileType;
    const uint8_t version = sector[3];
    if (BytesAt(sector, 0, "CWS"sv) && version >= 6 && version <= 15) return FileTypeCode::kSwf;
    if (BytesAt(sector, 0, "FWS"sv) && version < 6) return FileTypeCode::kSwf;
    return FileTypeCode::kNoFileType;
}

uint64_t SizeSwf(ByteSpan sector, CarvingContext& context) {
    // Only an uncompressed movie's header states the length of what is stored; a compressed
    // one states the inflated length.
    if (sector.size() < 8 || sector[0] != 'F') return context.sectorSize;
    const uint64_t declared = Le32(sector.data() + 4);
    return BoundByMedium(std::min(declared, kCap256MiB), context);
}

}  // namespace norvale
