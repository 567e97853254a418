// Windows and OS/2 bitmaps with any of the information headers in use: 40 bytes (the classic
// BITMAPINFOHEADER), 12 (OS/2 1.x), 16 and 64 (OS/2 2.x), 52 and 56 (the bit-field variants),
// 108 and 124 (what ImageMagick, GIMP and Windows write today). The two reserved words of the
// file header are zero in every real file, which keeps "BM" text from matching; headers other
// than the classic one must also hold one plane, a real bit depth and pixels that start after
// the headers.
#include <algorithm>
#include <optional>
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

namespace {

// The end of the pixel data (and of an embedded colour profile) that the headers imply;
// nothing when they state no sound picture.
std::optional<uint64_t> ImpliedEnd(ByteSpan sector) {
    if (sector.size() < 30) return std::nullopt;
    const uint8_t* p = sector.data();
    const uint32_t header = Le32(p + 14);
    const uint64_t pixelsAt = Le32(p + 10);
    int64_t width = 0;
    int64_t height = 0;
    uint32_t depth = 0;
    uint32_t compression = 0;
    uint64_t imageBytes = 0;
    if (header == 12) {
        width = Le16(p + 18);
        height = Le16(p + 20);
        depth = Le16(p + 24);
    } else if (header >= 16 && header <= 124 && sector.size() >= 14 + size_t{header}) {
        width = static_cast<int32_t>(Le32(p + 18));
        height = static_cast<int32_t>(Le32(p + 22));
        depth = Le16(p + 28);
        if (header >= 24) compression = Le32(p + 30);
        if (header >= 24) imageBytes = Le32(p + 34);
    } else {
        return std::nullopt;
    }
    if (height < 0) height = -height;  // rows stored top-down
    if (width <= 0 || height == 0 || depth == 0 || depth > 64) return std::nullopt;
    if (pixelsAt < 14 + uint64_t{header}) return std::nullopt;
    // Uncompressed rows (plain or with bit fields) are padded to four bytes; compressed
    // pixels (RLE, JPEG, PNG) state their size.
    if (compression == 0 || compression == 3 || compression == 6) {
        imageBytes = (static_cast<uint64_t>(width) * depth + 31) / 32 * 4 *
                     static_cast<uint64_t>(height);
    } else if (compression > 6 || imageBytes == 0) {
        return std::nullopt;
    }
    uint64_t end = pixelsAt + imageBytes;
    // A v5 header may embed an ICC profile, placed after the pixels by most writers.
    constexpr uint32_t kEmbedded = 0x4D424544;  // "MBED"
    if (header == 124 && Le32(p + 14 + 56) == kEmbedded) {
        const uint64_t profileAt = 14 + uint64_t{Le32(p + 14 + 112)};
        end = std::max(end, profileAt + Le32(p + 14 + 116));
    }
    return end;
}

}  // namespace

// The stated file size when it holds all the headers say the picture needs (writers may add a
// little after the pixels), else the end of the pixels: some writers leave the size zero or
// count only the headers.
uint64_t SizeBmp(ByteSpan sector, CarvingContext& context) {
    const uint32_t sectorSize = context.sectorSize;
    if (sector.size() < 6) return sectorSize;
    const uint64_t declared = Le32(sector.data() + 2);
    const uint64_t available = std::min(kCap128MiB, BytesToMediumEnd(context));
    const std::optional<uint64_t> implied = ImpliedEnd(sector);
    if (implied) {
        const uint64_t length = declared >= *implied ? declared : *implied;
        if (length <= available) return length;
    }
    context.structureValid = false;
    const uint64_t fallback = std::min(declared, available);
    if (fallback != 0) return fallback;
    return std::min<uint64_t>(std::max<uint32_t>(sectorSize, 1), available);
}

}  // namespace norvale
