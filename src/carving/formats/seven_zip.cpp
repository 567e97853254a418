// 7-Zip archives: the signature header.
#include <optional>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode Detect7Zip(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "7z\xBC\xAF\x27"sv) ? FileTypeCode::k7z : FileTypeCode::kNoFileType;
}

uint64_t Size7Zip(ByteSpan, CarvingContext& context) {
    // The archive's header, which 7-Zip stores LZMA-compressed at the end, is described by an
    // encoded-header record: one folder with one LZMA coder (lc 3, lp 0, pb 2). What follows
    // the match up to the end of the archive takes 27 bytes from its start.
    constexpr std::string_view kEncodedHeaderCoder =
        "\x00\x07\x0B\x01\x00\x01\x23\x03\x01\x01\x05\x5D"sv;
    constexpr uint64_t kToArchiveEnd = 27;
    SizerFrame frame(context, kCap4GiB);
    while (frame.Next()) {
        if (const std::optional<size_t> at = FindBackward(frame.Chunk(), kEncodedHeaderCoder)) {
            return frame.Clamp(frame.BytesBeforeChunk() + *at + kToArchiveEnd);
        }
    }
    return frame.Length();
}

}  // namespace norvale
