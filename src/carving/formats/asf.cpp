// Advanced Systems Format (wmv, wma, asf): the file is one header object, identified by its GUID.
#include <algorithm>
#include <optional>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"
#include "device/bytes.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectAsf(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 24) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"sv)) {
        return FileTypeCode::kWmv;
    }
    return FileTypeCode::kNoFileType;
}

uint64_t SizeAsf(ByteSpan sector, CarvingContext& context) {
    // The file-properties object inside the header object carries the file's size, valid
    // unless the broadcast flag says the file was written as a live stream.
    constexpr std::string_view kFileProperties =
        "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65"sv;
    constexpr size_t kSearchFrom = 30;  // past the header object's own fields
    constexpr size_t kFileSizeOffset = 40;
    constexpr size_t kFlagsOffset = 88;
    constexpr uint32_t kBroadcast = 1;
    const uint32_t sectorSize = context.sectorSize;
    if (sector.size() <= kSearchFrom) return sectorSize;
    const std::optional<size_t> found = FindForward(sector.subspan(kSearchFrom), kFileProperties);
    if (!found) return sectorSize;
    const size_t object = kSearchFrom + *found;
    if (object + kFlagsOffset + 4 > sector.size()) return sectorSize;
    if (Le32(sector.data() + object + kFlagsOffset) & kBroadcast) return sectorSize;
    const uint64_t declared = Le64(sector.data() + object + kFileSizeOffset);
    return BoundByMedium(std::min(declared, kCap256MiB), context);
}

}  // namespace norvale
