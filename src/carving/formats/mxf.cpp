// Material Exchange Format: the partition-pack key of the header partition.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectMxf(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01\x02\x04\x00"sv)) {
        return FileTypeCode::kMxf;
    }
    return FileTypeCode::kNoFileType;
}

uint64_t SizeMxf(ByteSpan sector, CarvingContext& context) {
    return SizeBoundaryOnly6GiB(sector, context);
}

}  // namespace norvale
