// Microsoft cabinet files: "MSCF" and a 36-byte header.
#include <algorithm>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"
#include "device/bytes.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectCabinet(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 36) return FileTypeCode::kNoFileType;
    return BytesAt(sector, 0, "MSCF"sv) ? FileTypeCode::kCab : FileTypeCode::kNoFileType;
}

uint64_t SizeCabinet(ByteSpan sector, CarvingContext& context) {
    if (sector.size() < 36) return context.sectorSize;
    const uint64_t declared = Le32(sector.data() + 8);  // cbCabinet
    return BoundByMedium(std::min(declared, kCap1GiB), context);
}

}  // namespace norvale
