// Windows bitmaps with the 40-byte BITMAPINFOHEADER; the two reserved words of the file header
// are zero in every real file, which keeps "BM" text from matching.
#include <algorithm>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"
#include "device/bytes.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectBmp(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 40) return FileTypeCode::kNoFileType;
    if (!BytesAt(sector, 0, "BM"sv) && !BytesAt(sector, 0, "BA"sv))
        return FileTypeCode::kNoFileType;
    const uint8_t* p = sector.data();
    if (Le16(p + 6) == 0 && Le16(p + 8) == 0 && Le32(p + 14) == 40) return FileTypeCode::kBmp;
    return FileTypeCode::kNoFileType;
}

uint64_t SizeBmp(ByteSpan sector, CarvingContext& context) {
    if (sector.size() < 6) return 0;
    const uint64_t declared = Le32(sector.data() + 2);
    return BoundByMedium(std::min(declared, kCap128MiB), context);
}

}  // namespace norvale
