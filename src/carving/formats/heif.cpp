// HEIF stills: HEIC, other HEIF brands and AVIF.
#include "carving/formats/formats.h"

namespace norvale {

FileTypeCode DetectHeic(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

FileTypeCode DetectHeif(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

FileTypeCode DetectAvif(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

}  // namespace norvale
