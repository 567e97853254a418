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

uint64_t SizeToEndOfCentralDirectory(ByteSpan sector, CarvingContext& context, uint64_t cap) {
    // The end-of-central-directory record closes the archive; a stored archive inside has one
    // of its own earlier on, so the last one counts.
    return SizeByEndMarker(sector, context, cap,
                           [](ByteSpan data, uint32_t) -> std::optional<size_t> {
                               constexpr size_t kRecordBytes = 22;  // without the comment
                               const auto at = FindBackward(data, "PK\x05\x06"sv);
                               if (!at) return std::nullopt;
                               return *at + kRecordBytes;
                           });
}

uint64_t SizeZip(ByteSpan sector, CarvingContext& context) {
    return SizeToEndOfCentralDirectory(sector, context, kCap4GiB);
}

}  // namespace norvale
