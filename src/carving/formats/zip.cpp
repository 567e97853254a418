// ZIP archives: a local file header at the start. Office Open XML packages match too; their
// rows come earlier in the catalogue, so only ZIPs that are not OOXML end up here.
#include <optional>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectZip(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 48) return FileTypeCode::kNoFileType;
    return BytesAt(sector, 0, "PK\x03\x04"sv) ? FileTypeCode::kZip : FileTypeCode::kNoFileType;
}

uint64_t SizeToEndOfCentralDirectory(CarvingContext& context, uint64_t cap) {
    // The end-of-central-directory record closes the archive; a stored archive inside has one
    // of its own earlier on, so the last one in a chunk counts.
    constexpr std::string_view kEndOfCentralDirectory = "PK\x05\x06"sv;
    constexpr uint64_t kRecordBytes = 22;  // without the archive comment
    SizerFrame frame(context, cap);
    while (frame.Next()) {
        if (const std::optional<size_t> at = FindBackward(frame.Chunk(), kEndOfCentralDirectory)) {
            return frame.Clamp(frame.BytesBeforeChunk() + *at + kRecordBytes);
        }
    }
    return frame.Length();
}

uint64_t SizeZip(ByteSpan, CarvingContext& context) {
    return SizeToEndOfCentralDirectory(context, kCap4GiB);
}

}  // namespace norvale
