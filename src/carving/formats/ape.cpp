// Monkey's Audio: the "MAC " descriptor.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectApe(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "MAC "sv) ? FileTypeCode::kApe : FileTypeCode::kNoFileType;
}

}  // namespace norvale
