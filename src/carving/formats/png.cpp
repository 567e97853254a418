// PNG: the 8-byte signature.
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectPng(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "\x89PNG\r\n\x1A\n"sv) ? FileTypeCode::kPng
                                                     : FileTypeCode::kNoFileType;
}

uint64_t SizePng(ByteSpan sector, CarvingContext& context) {
    // The IEND chunk: its type and its fixed CRC.
    return SizeByZeroPaddedFooter(sector, context, "IEND\xAE\x42\x60\x82"sv, kCap128MiB);
}

}  // namespace norvale
