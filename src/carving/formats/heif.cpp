// HEIF stills: HEIC, other HEIF brands and AVIF. They are ISO base media files told apart by
// their brands (ClassifyIsoBrands) and sized by the top-level box walk.
#include "carving/formats/formats.h"

namespace norvale {

namespace {

FileTypeCode Answer(ByteSpan sector, FileTypeCode code) {
    if (sector.size() < 32) return FileTypeCode::kNoFileType;
    return ClassifyIsoBrands(sector) == code ? code : FileTypeCode::kNoFileType;
}

}  // namespace

FileTypeCode DetectHeic(ByteSpan sector, CarvingContext&) {
    return Answer(sector, FileTypeCode::kHeic);
}

FileTypeCode DetectHeif(ByteSpan sector, CarvingContext&) {
    return Answer(sector, FileTypeCode::kHeif);
}

FileTypeCode DetectAvif(ByteSpan sector, CarvingContext&) {
    return Answer(sector, FileTypeCode::kAvif);
}

}  // namespace norvale
