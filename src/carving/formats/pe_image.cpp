// Portable executables. They are recognised so that they end a carved file before them, but
// are never carved: their length cannot be told from the first sector.
#include <string_view>

#include "carving/formats/formats.h"
#include "device/bytes.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr size_t kMinimumBytes = 512;
constexpr uint32_t kLastPeHeaderOffset = 488;  // the COFF header must lie in the first sector
constexpr uint16_t kExecutableImage = 0x0002;
constexpr uint16_t kSystemFile = 0x1000;
constexpr uint16_t kDynamicLibrary = 0x2000;

}  // namespace

FileTypeCode DetectPeImage(ByteSpan sector, CarvingContext&) {
    if (sector.size() < kMinimumBytes || !BytesAt(sector, 0, "MZ"sv)) {
        return FileTypeCode::kNoFileType;
    }
    const uint32_t peOffset = Le32(sector.data() + 60);
    if (peOffset > kLastPeHeaderOffset || !BytesAt(sector, peOffset, "PE\x00\x00"sv)) {
        return FileTypeCode::kNoFileType;
    }
    const uint16_t characteristics = Le16(sector.data() + peOffset + 22);
    if ((characteristics & kExecutableImage) == 0) return FileTypeCode::kNoFileType;
    if (characteristics & kSystemFile) return FileTypeCode::kSys;
    if (characteristics & kDynamicLibrary) return FileTypeCode::kDll;
    return FileTypeCode::kExe;
}

}  // namespace norvale
