// SMAF (mobile ringtone) files: the "MMMD" container chunk.
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectSmaf(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "MMMD"sv) ? FileTypeCode::kMmf : FileTypeCode::kNoFileType;
}

}  // namespace norvale
