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

uint64_t SizePdf(ByteSpan sector, CarvingContext& context) {
    // Incremental updates append whole revisions, each with its own "%%EOF", so the last one
    // counts, with the line break that writers put after it (the file would otherwise come back
    // a byte or two short). Without one the trailer keyword is the next best end.
    return SizeByEndMarker(sector, context, kCap1GiB,
                           [](ByteSpan data, uint32_t) -> std::optional<size_t> {
                               if (const auto at = FindBackward(data, "%%EOF"sv)) {
                                   size_t end = *at + 5;
                                   if (BytesAt(data, end, "\r\n"sv)) return end + 2;
                                   if (BytesAt(data, end, "\n"sv) || BytesAt(data, end, "\r"sv)) {
                                       return end + 1;
                                   }
                                   return end;
                               }
                               if (const auto at = FindBackward(data, "trailer"sv)) return *at + 7;
                               return std::nullopt;
                           });
}

}  // namespace norvale
