// MPEG-1/MPEG-2 program streams (pack header followed by a system header) and video elementary
// streams (sequence header followed by a group of pictures).
#include <algorithm>
#include <optional>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectMpegStream(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    // The companion header has to follow closely; a lone start code is common in other data.
    const ByteSpan head = sector.first(std::min<size_t>(sector.size(), 32));
    if (BytesAt(sector, 0, "\x00\x00\x01\xBA"sv) && FindForward(head, "\x00\x00\x01\xBB"sv)) {
        return FileTypeCode::kMpeg;
    }
    if (BytesAt(sector, 0, "\x00\x00\x01\xB3"sv) && FindForward(head, "\x00\x00\x01\xB8"sv)) {
        return FileTypeCode::kMpeg;
    }
    return FileTypeCode::kNoFileType;
}

uint64_t SizeMpegEndCode(ByteSpan sector, CarvingContext& context) {
    // A video elementary stream ends with a sequence end code, a program stream with a
    // program end code.
    const std::string_view endCode =
        BytesAt(sector, 0, "\x00\x00\x01\xB3"sv) ? "\x00\x00\x01\xB7"sv : "\x00\x00\x01\xB9"sv;
    SizerFrame frame(context, kCap6GiB, FileTypeCode::kMpeg);
    while (frame.Next()) {
        if (const std::optional<size_t> end =
                FirstZeroPaddedFooterEnd(frame.Chunk(), endCode, context.sectorSize)) {
            return frame.Clamp(frame.BytesBeforeChunk() + *end);
        }
    }
    return frame.Length();
}

}  // namespace norvale
