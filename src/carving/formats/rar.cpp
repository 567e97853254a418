// RAR archives (format 1.5 to 4.x): the marker block.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectRar(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "Rar!\x1A\x07\x00"sv) ? FileTypeCode::kRar
                                                    : FileTypeCode::kNoFileType;
}

}  // namespace norvale
