// RIFF containers. The form type at offset 8 and the first chunk at 12 tell AVI ("AVI " then a
// "LIST") and WAVE ("WAVE" then "fmt ") apart.
#include <string_view>

#include "carving/formats/formats.h"

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

}  // namespace norvale
