// ISO base media files: the "ftyp" box at offset 4 carries the major brand that tells MP4,
// 3GP and QuickTime apart. Older QuickTime files open with their "moov" atom instead.
#include <optional>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectMp4(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 32 || !BytesAt(sector, 4, "ftyp"sv)) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 8, "iso"sv) || BytesAt(sector, 8, "mp42"sv)) return FileTypeCode::kMp4;
    return FileTypeCode::kNoFileType;
}

FileTypeCode Detect3gp(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 32) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 4, "ftyp"sv) && BytesAt(sector, 8, "3gp"sv)) return FileTypeCode::k3gp;
    return FileTypeCode::kNoFileType;
}

FileTypeCode DetectQuickTime(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "moov"sv)) return FileTypeCode::kMov;
    if (BytesAt(sector, 4, "ftyp"sv) && BytesAt(sector, 8, "qt  "sv)) return FileTypeCode::kMov;
    return FileTypeCode::kNoFileType;
}

uint64_t SizeMp4(ByteSpan, CarvingContext& context) {
    // Some writers close the file with a "free" box naming the producer; the text runs to
    // the first zero byte.
    constexpr std::string_view kProducerBox = "freeIsoMedia File Produced"sv;
    SizerFrame frame(context, kCap6GiB);
    while (frame.Next()) {
        const ByteSpan chunk = frame.Chunk();
        if (const std::optional<size_t> at = FindForward(chunk, kProducerBox)) {
            size_t end = *at + kProducerBox.size();
            while (end < chunk.size() && chunk[end] != 0) ++end;
            return frame.Clamp(frame.BytesBeforeChunk() + end);
        }
    }
    return frame.Length();
}

uint64_t SizeIsoMedia(ByteSpan sector, CarvingContext& context) {
    return SizeMp4(sector, context);
}

}  // namespace norvale
