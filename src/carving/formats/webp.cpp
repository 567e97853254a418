// WebP pictures.
#include "carving/formats/formats.h"

namespace norvale {

FileTypeCode DetectWebp(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

}  // namespace norvale
