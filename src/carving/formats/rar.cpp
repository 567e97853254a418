// RAR archives (format 1.5 to 4.x): the marker block.
#include <optional>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectRar(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "Rar!\x1A\x07\x00"sv) ? FileTypeCode::kRar
                                                    : FileTypeCode::kNoFileType;
}

uint64_t SizeRar(ByteSpan, CarvingContext& context) {
    // The end-of-archive block (type 0x7B, 7 bytes, fixed CRC).
    constexpr std::string_view kEndOfArchive = "\xC4\x3D\x7B\x00\x40\x07\x00"sv;
    SizerFrame frame(context, kCap4GiB);
    while (frame.Next()) {
        if (const std::optional<size_t> end =
                FirstZeroPaddedFooterEnd(frame.Chunk(), kEndOfArchive, context.sectorSize)) {
            return frame.Clamp(frame.BytesBeforeChunk() + *end);
        }
    }
    return frame.Length();
}

}  // namespace norvale
