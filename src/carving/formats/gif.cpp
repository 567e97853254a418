// GIF: "GIF" and a version such as "87a" or "89a".
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectGif(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 8 || !BytesAt(sector, 0, "GIF"sv)) return FileTypeCode::kNoFileType;
    const auto isDigit = [](uint8_t c) { return c >= '0' && c <= '9'; };
    if (isDigit(sector[3]) && isDigit(sector[4]) && sector[5] >= 'a' && sector[5] <= 'z') {
        return FileTypeCode::kGif;
    }
    return FileTypeCode::kNoFileType;
}

uint64_t SizeGif(ByteSpan sector, CarvingContext& context) {
    // The last image's block terminator followed by the trailer.
    return SizeByZeroPaddedFooter(sector, context, "\x00\x3B"sv, kCap128MiB);
}

}  // namespace norvale
