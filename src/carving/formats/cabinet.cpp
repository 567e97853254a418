// Microsoft cabinet files: "MSCF" and a 36-byte header.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectCabinet(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 36) return FileTypeCode::kNoFileType;
    return BytesAt(sector, 0, "MSCF"sv) ? FileTypeCode::kCab : FileTypeCode::kNoFileType;
}

}  // namespace norvale
