// RIFF containers. The form type at offset 8 and the first chunk at 12 tell AVI ("AVI " then a
// "LIST") and WAVE ("WAVE" then "fmt ") apart.
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"
#include "device/bytes.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectAvi(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "RIFF"sv) && BytesAt(sector, 8, "AVI "sv) &&
        BytesAt(sector, 12, "LIST"sv)) {
        return FileTypeCode::kAvi;
    }
    return FileTypeCode::kNoFileType;
}

FileTypeCode DetectWave(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "RIFF"sv) && BytesAt(sector, 8, "WAVE"sv) &&
        BytesAt(sector, 12, "fmt "sv)) {
        return FileTypeCode::kWav;
    }
    return FileTypeCode::kNoFileType;
}

uint64_t SizeRiff(ByteSpan sector, CarvingContext& context) {
    if (sector.size() < 8) return context.sectorSize;
    // The chunk size excludes the 8-byte chunk header. Added in 64 bits: a form of nearly
    // 4 GiB must not wrap round to a few bytes.
    const uint64_t declared = uint64_t{Le32(sector.data() + 4)} + 8;
    return BoundByMedium(declared, context);
}

}  // namespace norvale
