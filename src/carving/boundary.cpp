#include "carving/boundary.h"

#include <array>
#include <string_view>

#include "carving/identify.h"
#include "engine/file_system_registry.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr size_t kMinimumStructureBytes = 32;

bool IsBootSector(ByteSpan sector) {
    if (sector[0] != 0xEB || sector[2] != 0x90) return false;
    constexpr std::array<std::string_view, 5> kOemNames = {"MSDOS5.0"sv, "MSWIN4.0"sv, "MSWIN4.1"sv,
                                                           "NTFS    "sv, "EXFAT   "sv};
    for (std::string_view oem : kOemNames) {
        if (BytesAt(sector, 3, oem)) return true;
    }
    return false;
}

template <typename IsBoundary>
bool ScanChunk(ByteSpan chunk, uint64_t& length, CarvingContext& context, IsBoundary isBoundary) {
    const uint32_t sectorSize = context.sectorSize;
    if (sectorSize == 0) return false;
    const size_t sectors = chunk.size() / sectorSize;
    for (size_t i = 0; i < sectors; ++i) {
        ++context.cursorLba;
        if (isBoundary(chunk.subspan(i * sectorSize, sectorSize))) {
            length += uint64_t{i} * sectorSize;
            return true;
        }
    }
    return false;
}

}  // namespace

bool IsFileSystemMetadataSector(ByteSpan sector) {
    if (sector.size() < kMinimumStructureBytes) return false;
    // The structures of the file systems (NTFS records, FAT directory blocks) are each file
    // system's own test, asked through the registry.
    return IsBootSector(sector) || IsRegisteredStructureSector(sector);
}

bool FindBoundary(ByteSpan chunk, uint64_t& length, CarvingContext& context) {
    return ScanChunk(chunk, length, context, [&](ByteSpan sector) {
        return DetectFileType(sector, context) != FileTypeCode::kNoFileType ||
               IsFileSystemMetadataSector(sector);
    });
}

bool FindBoundaryExcept(ByteSpan chunk, uint64_t& length, CarvingContext& context,
                        FileTypeCode ownType) {
    return ScanChunk(chunk, length, context, [&](ByteSpan sector) {
        const FileTypeCode code = DetectFileType(sector, context);
        if (code != FileTypeCode::kNoFileType && code != ownType) return true;
        return IsFileSystemMetadataSector(sector);
    });
}

bool FindBoundaryMpeg(ByteSpan chunk, uint64_t& length, CarvingContext& context) {
    return FindBoundaryExcept(chunk, length, context, FileTypeCode::kMpeg);
}

}  // namespace norvale
