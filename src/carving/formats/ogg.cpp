// Ogg streams.
#include "carving/formats/formats.h"

namespace norvale {

FileTypeCode DetectOgg(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

uint64_t SizeOgg(ByteSpan sector, CarvingContext& context) {
    return SizeBoundaryOnly256MiB(sector, context);
}

}  // namespace norvale
