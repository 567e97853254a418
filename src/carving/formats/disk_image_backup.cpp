// Ghost disk-image backups (.gho). Recognised so that they end a carved file, never carved.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectDiskImageBackup(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "\xFE\xEF\x00\x00"sv) ? FileTypeCode::kGho
                                                    : FileTypeCode::kNoFileType;
}

}  // namespace norvale
