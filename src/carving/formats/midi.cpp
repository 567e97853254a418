// Standard MIDI files: a 6-byte "MThd" header chunk followed at once by the first "MTrk".
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectMidi(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 18) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "MThd\x00\x00\x00\x06"sv) && BytesAt(sector, 14, "MTrk"sv)) {
        return FileTypeCode::kMid;
    }
    return FileTypeCode::kNoFileType;
}

}  // namespace norvale
