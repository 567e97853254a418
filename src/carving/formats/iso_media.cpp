// ISO base media files: the "ftyp" box at offset 4 carries the major brand that tells MP4,
// 3GP and QuickTime apart. Older QuickTime files open with their "moov" atom instead.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectMp4(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 32 || !BytesAt(sector, 4, "ftyp"sv)) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 8, "iso"sv) || BytesAt(sector, 8, "mp42"sv)) return FileTypeCode::kMp4;
    return FileTypeCode::kNoFileType;
}

FileTypeCode Detect3gp(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 32) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 4, "ftyp"sv) && BytesAt(sector, 8, "3gp"sv)) return FileTypeCode::k3gp;
    return FileTypeCode::kNoFileType;
}

FileTypeCode DetectQuickTime(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "moov"sv)) return FileTypeCode::kMov;
    if (BytesAt(sector, 4, "ftyp"sv) && BytesAt(sector, 8, "qt  "sv)) return FileTypeCode::kMov;
    return FileTypeCode::kNoFileType;
}

}  // namespace norvale
