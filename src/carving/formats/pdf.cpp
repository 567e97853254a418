// PDF: "%PDF-" and the version.
#include <optional>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectPdf(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "%PDF-"sv) ? FileTypeCode::kPdf : FileTypeCode::kNoFileType;
}

uint64_t SizePdf(ByteSpan, CarvingContext& context) {
    // Incremental updates append whole revisions, each with its own "%%EOF", so the last one
    // in a chunk counts. Without one the trailer keyword is the next best end.
    SizerFrame frame(context, kCap1GiB);
    while (frame.Next()) {
        const ByteSpan chunk = frame.Chunk();
        if (const std::optional<size_t> at = FindBackward(chunk, "%%EOF"sv)) {
            return frame.Clamp(frame.BytesBeforeChunk() + *at + 5);
        }
        if (const std::optional<size_t> at = FindBackward(chunk, "trailer"sv)) {
            return frame.Clamp(frame.BytesBeforeChunk() + *at + 7);
        }
    }
    return frame.Length();
}

}  // namespace norvale
