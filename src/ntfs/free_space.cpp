#include "ntfs/free_space.h"

#include <algorithm>
#include <bit>
#include <vector>

#include "device/sector_reader.h"
#include "ntfs/ntfs_volume.h"

namespace norvale {
namespace {

constexpr size_t kPieceBytes = 0x10000;

}  // namespace

Result CountNtfsFreeBytes(SectorReader& reader, uint64_t partitionStartLba,
                          uint64_t partitionSectors, uint64_t& freeBytes) {
    freeBytes = 0;
    NtfsVolume volume(reader);
    Result r = volume.Open(partitionStartLba, partitionSectors);
    if (r == kErrInvalidParameter) return kErrUnsupportedLayout;
    if (r != kOk) return r;
    r = volume.LoadMftRuns();
    if (r == kErrEngineGeneric || r == kErrNoAttribute || r == kErrInvalidParameter) {
        return kErrUnsupportedLayout;
    }
    if (r != kOk) return r;
    AttributeData bitmap;
    r = volume.LoadAttribute(kMftRecordBitmap, kAttrData, u"", bitmap);
    if (r == kErrEngineGeneric || r == kErrNoAttribute) return kErrUnsupportedLayout;
    if (r != kOk) return r;

    const NtfsGeometry& g = volume.Geometry();
    uint64_t clusters = g.totalClusters;
    if (g.partitionSectors != 0) {
        clusters = std::min<uint64_t>(clusters, g.partitionSectors / g.sectorsPerCluster);
    }
    // Bits past the volume's last cluster are padding, whatever they hold.
    const uint64_t covered = std::min<uint64_t>(clusters, bitmap.realSize * 8);
    std::vector<uint8_t> piece(kPieceBytes);
    uint64_t freeClusters = 0;
    for (uint64_t byte = 0; byte * 8 < covered; byte += piece.size()) {
        const uint64_t want = std::min<uint64_t>(piece.size(), (covered + 7) / 8 - byte);
        const std::span<uint8_t> part(piece.data(), static_cast<size_t>(want));
        if (r = volume.ReadAttributeBytes(bitmap, byte, part); r != kOk) return r;
        for (size_t i = 0; i < part.size(); ++i) {
            uint8_t bits = part[i];
            const uint64_t first = (byte + i) * 8;
            if (covered - first < 8) bits |= static_cast<uint8_t>(0xFF << (covered - first));
            freeClusters += 8 - static_cast<unsigned>(std::popcount(bits));
        }
    }
    freeBytes = freeClusters * g.clusterBytes;
    return kOk;
}

}  // namespace norvale
