// Windows and OS/2 bitmaps with any of the information headers in use: 40 bytes (the classic
// BITMAPINFOHEADER), 12 (OS/2 1.x), 16 and 64 (OS/2 2.x), 52 and 56 (the bit-field variants),
// 108 and 124 (what ImageMagick, GIMP and Windows write today). The two reserved words of the
// file header are zero in every real file, which keeps "BM" text from matching; headers other
// than the classic one must also hold one plane, a real bit depth and pixels that start after
// the headers.
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
    if (Le16(p + 6) != 0 || Le16(p + 8) != 0) return FileTypeCode::kNoFileType;
    const uint32_t header = Le32(p + 14);
    if (header == 40) return FileTypeCode::kBmp;
    if (!BytesAt(sector, 0, "BM"sv)) return FileTypeCode::kNoFileType;
    // Planes and bit depth sit after 16-bit sizes in the OS/2 1.x header, 32-bit ones elsewhere.
    size_t planesAt = 0;
    switch (header) {
        case 12:
            planesAt = 22;
            break;
        case 16:
        case 52:
        case 56:
        case 64:
        case 108:
        case 124:
            planesAt = 26;
            break;
        default:
            return FileTypeCode::kNoFileType;
    }
    const uint32_t planes = Le16(p + planesAt);
    const uint32_t depth = Le16(p + planesAt + 2);
    const bool knownDepth = depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16 ||
                            depth == 24 || depth == 32 || depth == 48 || depth == 64;
    const uint64_t fileSize = Le32(p + 2);
    const uint64_t pixelsAt = Le32(p + 10);
    if (planes != 1 || !knownDepth || pixelsAt < 14 + uint64_t{header} ||
        (fileSize != 0 && pixelsAt > fileSize)) {
        return FileTypeCode::kNoFileType;
    }
    return FileTypeCode::kBmp;
}

uint64_t SizeBmp(ByteSpan sector, CarvingContext& context) {
    if (sector.size() < 6) return 0;
    const uint64_t declared = Le32(sector.data() + 2);
    return BoundByMedium(std::min(declared, kCap128MiB), context);
}

}  // namespace norvale
