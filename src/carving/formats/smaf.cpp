// SMAF (mobile ringtone) files: the "MMMD" container chunk, whose big-endian size covers the
// rest of the file (its contents-info chunk first, the closing CRC last).
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectSmaf(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "MMMD"sv) ? FileTypeCode::kMmf : FileTypeCode::kNoFileType;
}

uint64_t SizeSmaf(ByteSpan sector, CarvingContext& context) {
    if (sector.size() >= 12 && BytesAt(sector, 8, "CNTI"sv)) {
        const uint64_t length = uint64_t{BigEndian32(sector.data() + 4)} + 8;
        if (length >= 16 && length <= kCap256MiB && length <= BytesToMediumEnd(context)) {
            return length;
        }
    }
    context.structureValid = false;
    return SizeBoundaryOnly256MiB(sector, context);
}

}  // namespace norvale
