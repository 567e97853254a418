// Mail stores: Outlook Express folders (.dbx) and Outlook personal folders (.pst).
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectOutlookExpress(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    return BytesAt(sector, 0, "\xCF\xAD\x12\xFE"sv) ? FileTypeCode::kDbx
                                                    : FileTypeCode::kNoFileType;
}

FileTypeCode DetectOutlookStore(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "!BDN"sv) && BytesAt(sector, 8, "SM"sv)) return FileTypeCode::kPst;
    return FileTypeCode::kNoFileType;
}

uint64_t SizeOutlookExpress(ByteSpan sector, CarvingContext& context) {
    return SizeBoundaryOnly2GiB(sector, context);
}

uint64_t SizeOutlookStore(ByteSpan sector, CarvingContext& context) {
    return SizeBoundaryOnly2GiB(sector, context);
}

}  // namespace norvale
