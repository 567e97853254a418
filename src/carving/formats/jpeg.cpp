// JPEG: start of image followed by a JFIF (APP0) or Exif (APP1) segment.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectJpeg(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "\xFF\xD8\xFF\xE0"sv) && BytesAt(sector, 6, "JFIF"sv)) {
        return FileTypeCode::kJpg;
    }
    if (BytesAt(sector, 0, "\xFF\xD8\xFF\xE1"sv) && BytesAt(sector, 6, "Exif"sv)) {
        return FileTypeCode::kJpg;
    }
    return FileTypeCode::kNoFileType;
}

}  // namespace norvale
