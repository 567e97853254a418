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
    // The header states the cabinet's length (cbCabinet) and where its file entries start
    // (coffFiles); its reserved fields are zero and its format version is 1.3.
    const bool sound =
        sector.size() >= 36 && Le32(sector.data() + 4) == 0 && Le32(sector.data() + 12) == 0 &&
        Le32(sector.data() + 20) == 0 && sector[24] == 3 && sector[25] == 1 &&
        Le32(sector.data() + 16) >= 36 && Le32(sector.data() + 16) < Le32(sector.data() + 8) &&
        (Le16(sector.data() + 30) & ~0x7u) == 0;
    if (!sound) {
        context.structureValid = false;
        return SizeToBoundary(context, kCap1GiB);
    }
    const uint64_t declared = Le32(sector.data() + 8);
    const uint64_t length = BoundByMedium(std::min(declared, kCap1GiB), context);
    if (length != declared) context.structureValid = false;  // cut by the cap or the medium
    return length;
}

}  // namespace norvale
