// WebP pictures: a RIFF form of type "WEBP" whose first chunk is the picture itself (lossy "VP8 ",
// lossless "VP8L") or the extended header "VP8X" that precedes animation frames, alpha and
// metadata. Sized by SizeRiff like every RIFF form.
#include <string_view>

#include "carving/formats/formats.h"
#include "device/bytes.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectWebp(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 30) return FileTypeCode::kNoFileType;
    if (!BytesAt(sector, 0, "RIFF"sv) || !BytesAt(sector, 8, "WEBP"sv)) {
        return FileTypeCode::kNoFileType;
    }
    const uint32_t formSize = Le32(sector.data() + 4);
    const uint32_t chunkSize = Le32(sector.data() + 16);
    if (formSize < 4 + 8 + 10 || chunkSize > formSize - 12) return FileTypeCode::kNoFileType;
    bool sound = false;
    if (BytesAt(sector, 12, "VP8 "sv)) {
        // A key frame: its tag says so (bit 0 clear) and the start code follows it.
        sound = (sector[20] & 1) == 0 && BytesAt(sector, 23, "\x9D\x01\x2A"sv);
    } else if (BytesAt(sector, 12, "VP8L"sv)) {
        sound = sector[20] == 0x2F && (sector[24] >> 5) == 0;  // signature, version 0
    } else if (BytesAt(sector, 12, "VP8X"sv)) {
        sound = chunkSize == 10;
    }
    return sound ? FileTypeCode::kWebp : FileTypeCode::kNoFileType;
}

}  // namespace norvale
