// PDF: "%PDF-" and the version.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectPdf(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "%PDF-"sv) ? FileTypeCode::kPdf : FileTypeCode::kNoFileType;
}

}  // namespace norvale
