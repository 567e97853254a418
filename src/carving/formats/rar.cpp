// RAR archives (format 1.5 to 4.x): the marker block.
#include <optional>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectRar(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "Rar!\x1A\x07\x00"sv) ? FileTypeCode::kRar
                                                    : FileTypeCode::kNoFileType;
}

uint64_t SizeRar(ByteSpan sector, CarvingContext& context) {
    // The end-of-archive block (type 0x7B, 7 bytes, fixed CRC).
    return SizeByEndMarker(sector, context, kCap4GiB, [](ByteSpan data, uint32_t sectorSize) {
        return FirstZeroPaddedFooterEnd(data, "\xC4\x3D\x7B\x00\x40\x07\x00"sv, sectorSize);
    });
}

}  // namespace norvale
