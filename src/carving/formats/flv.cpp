// Flash video: "FLV", version 1, and a header length of 9.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectFlv(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "FLV\x01"sv) && BytesAt(sector, 5, "\x00\x00\x00\x09"sv)) {
        return FileTypeCode::kFlv;
    }
    return FileTypeCode::kNoFileType;
}

uint64_t SizeFlv(ByteSpan sector, CarvingContext& context) {
    return SizeBoundaryOnly6GiB(sector, context);
}

}  // namespace norvale
