// Photoshop documents: "8BPS".
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectPsd(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 40) return FileTypeCode::kNoFileType;
    return BytesAt(sector, 0, "8BPS"sv) ? FileTypeCode::kPsd : FileTypeCode::kNoFileType;
}

uint64_t SizePsd(ByteSpan sector, CarvingContext& context) {
    return SizeBoundaryOnly128MiB(sector, context);
}

}  // namespace norvale
