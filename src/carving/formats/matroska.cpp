// Matroska and WebM: the EBML header element ID.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectMatroska(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    return BytesAt(sector, 0, "\x1A\x45\xDF\xA3"sv) ? FileTypeCode::kMkv
                                                    : FileTypeCode::kNoFileType;
}

uint64_t SizeMatroska(ByteSpan sector, CarvingContext& context) {
    return SizeBoundaryOnly64GiB(sector, context);
}

}  // namespace norvale
