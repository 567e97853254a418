// Monkey's Audio: the "MAC " descriptor.
#include <optional>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectApe(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "MAC "sv) ? FileTypeCode::kApe : FileTypeCode::kNoFileType;
}

uint64_t SizeApe(ByteSpan, CarvingContext& context) {
    // An APEv2 tag (preamble and version 2000) has a 32-byte header and a 32-byte footer that
    // both open with these bytes; the footer ends the file.
    constexpr std::string_view kTag = "APETAGEX\xD0\x07"sv;
    constexpr uint64_t kFooterBytes = 32;
    SizerFrame frame(context, kCap2GiB);
    while (frame.Next()) {
        const ByteSpan chunk = frame.Chunk();
        const std::optional<size_t> first = FindForward(chunk, kTag);
        if (!first) continue;
        const size_t afterFirst = *first + kTag.size();
        if (const std::optional<size_t> second = FindForward(chunk.subspan(afterFirst), kTag)) {
            return frame.Clamp(frame.BytesBeforeChunk() + afterFirst + *second + kFooterBytes);
        }
        return frame.Clamp(frame.BytesBeforeChunk() + chunk.size());
    }
    return frame.Length();
}

}  // namespace norvale
