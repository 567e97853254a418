// PNG: the 8-byte signature.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectPng(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "\x89PNG\r\n\x1A\n"sv) ? FileTypeCode::kPng
                                                     : FileTypeCode::kNoFileType;
}

}  // namespace norvale
