// MPEG-4 audio.
#include "carving/formats/formats.h"

namespace norvale {

FileTypeCode DetectM4a(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

}  // namespace norvale
