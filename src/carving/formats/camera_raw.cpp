// Camera RAW files.
#include "carving/formats/formats.h"

namespace norvale {

FileTypeCode DetectCr2(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

FileTypeCode DetectNef(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

FileTypeCode DetectArw(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

FileTypeCode DetectDng(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

FileTypeCode DetectOrf(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

FileTypeCode DetectRw2(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

FileTypeCode DetectCr3(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

FileTypeCode ClassifyCameraRaw(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}

}  // namespace norvale
