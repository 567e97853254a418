// RealMedia files open with the ".RMF" chunk.
#include <optional>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectRealMedia(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, ".RMF"sv) ? FileTypeCode::kRmvb : FileTypeCode::kNoFileType;
}

uint64_t SizeRealMedia(ByteSpan, CarvingContext& context) {
    // The index chunk that closes the file: "INDX", size 20, version 0, no entries, stream 2,
    // no further index header.
    constexpr std::string_view kClosingIndex =
        "INDX\x00\x00\x00\x14\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x00"sv;
    SizerFrame frame(context, kCap6GiB);
    while (frame.Next()) {
        if (const std::optional<size_t> at = FindForward(frame.Chunk(), kClosingIndex)) {
            return frame.Clamp(frame.BytesBeforeChunk() + *at + kClosingIndex.size());
        }
    }
    return frame.Length();
}

}  // namespace norvale
