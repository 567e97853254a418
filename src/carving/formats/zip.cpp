// ZIP archives: a local file header at the start. Office Open XML packages match too; their
// rows come earlier in the catalogue, so only ZIPs that are not OOXML end up here.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectZip(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 48) return FileTypeCode::kNoFileType;
    return BytesAt(sector, 0, "PK\x03\x04"sv) ? FileTypeCode::kZip : FileTypeCode::kNoFileType;
}

}  // namespace norvale
