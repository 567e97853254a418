// TIFF: byte-order mark and the number 42 in that order.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectTiff(ByteSpan sector, CarvingContext&) {
    if (BytesAt(sector, 0, "MM\x00\x2A"sv) || BytesAt(sector, 0, "II\x2A\x00"sv)) {
        return FileTypeCode::kTif;
    }
    return FileTypeCode::kNoFileType;
}

uint64_t SizeTiff(ByteSpan sector, CarvingContext& context) {
    return SizeBoundaryOnly128MiB(sector, context);
}

}  // namespace norvale
