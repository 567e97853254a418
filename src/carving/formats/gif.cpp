// GIF: "GIF" and a version such as "87a" or "89a".
#include <string_view>

#include "carving/formats/formats.h"

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

}  // namespace norvale
