// MPEG-4 audio: ISO base media files with an iTunes audio brand (M4A, M4B audio books, M4P),
// sized by the top-level box walk.
#include "carving/formats/formats.h"

namespace norvale {

FileTypeCode DetectM4a(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 32) return FileTypeCode::kNoFileType;
    return ClassifyIsoBrands(sector) == FileTypeCode::kM4a ? FileTypeCode::kM4a
                                                          : FileTypeCode::kNoFileType;
}

}  // namespace norvale
