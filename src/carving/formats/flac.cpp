// Free Lossless Audio Codec.
#include "carving/formats/formats.h"

namespace norvale {

FileTypeCode DetectFlac(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

uint64_t SizeFlac(ByteSpan sector, CarvingContext& context) {
    return SizeBoundaryOnly256MiB(sector, context);
}

}  // namespace norvale
