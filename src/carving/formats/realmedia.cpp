// RealMedia files open with the ".RMF" chunk.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectRealMedia(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, ".RMF"sv) ? FileTypeCode::kRmvb : FileTypeCode::kNoFileType;
}

}  // namespace norvale
