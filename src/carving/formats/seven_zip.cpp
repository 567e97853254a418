// 7-Zip archives: the signature header.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode Detect7Zip(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "7z\xBC\xAF\x27"sv) ? FileTypeCode::k7z : FileTypeCode::kNoFileType;
}

}  // namespace norvale
