// gzip members compressed with deflate. The flags, extra-flags and OS bytes are held to the
// values writers use, because the 3-byte magic alone turns up in other data.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectGzip(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16 || !BytesAt(sector, 0, "\x1F\x8B\x08"sv)) {
        return FileTypeCode::kNoFileType;
    }
    const uint8_t flags = sector[3];       // only "original name stored" is expected
    const uint8_t extraFlags = sector[8];  // 2: best compression, 4: fastest
    const uint8_t os = sector[9];
    if ((flags == 0 || flags == 8) && (extraFlags == 2 || extraFlags == 4) &&
        (os < 14 || os == 0xFF)) {
        return FileTypeCode::kGz;
    }
    return FileTypeCode::kNoFileType;
}

uint64_t SizeGzip(ByteSpan sector, CarvingContext& context) {
    return SizeBoundaryOnly6GiB(sector, context);
}

}  // namespace norvale
