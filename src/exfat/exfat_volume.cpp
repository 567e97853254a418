#include "exfat/exfat_volume.h"

#include <algorithm>
#include <bit>

#include "device/bytes.h"
#include "device/sector_reader.h"
#include "engine/text_codec.h"
#include "exfat/entry_set.h"

namespace norvale {
namespace {

constexpr uint32_t kBitmapPieceBytes = 0x10000;

uint32_t MediumSectorBytes(SectorReader& reader) {
    return std::clamp<uint32_t>(reader.MediumSectorSize(), 512, 4096);
}

}  // namespace

Result ExfatVolume::Open(SectorReader& reader, uint64_t startLba, uint64_t sectors) {
    reader_ = nullptr;
    fat_.reset();
    label_.clear();
    bitmapFirst_ = bitmapClusters_ = 0;
    bitmapChain_.clear();
    bitmapPiece_.clear();
    bitmapPieceStart_ = ~uint64_t{0};
    if (!reader.IsOpen()) return kErrInvalidHandle;

    const uint32_t medium = MediumSectorBytes(reader);
    const uint64_t mediumBytes = reader.TotalSectors() * medium;
    uint64_t start = 0;
    if (__builtin_mul_overflow(startLba, uint64_t{medium}, &start) || start >= mediumBytes) {
        return kErrInvalidParameter;
    }
    uint64_t partitionBytes = mediumBytes - start;
    if (sectors != 0 && sectors <= partitionBytes / medium) partitionBytes = sectors * medium;

    // The main boot region, then the backup 12 sectors on (for each sector size, since the
    // main region cannot tell it) when the main one is damaged.
    ExfatBootRegion boot;
    bool found = false;
    Result lastRead = kOk;
    for (uint32_t attempt = 0; attempt < 5 && !found; ++attempt) {
        const uint64_t at = attempt == 0 ? 0 : uint64_t{kExfatBootRegionSectors} << (8 + attempt);
        std::vector<uint8_t> first(512);
        if (at + first.size() > partitionBytes) continue;
        if (Result r = ReadMediumBytes(reader, start + at, first); r != kOk) {
            lastRead = r;
            continue;
        }
        if (!ParseExfatBootSector(first, boot)) continue;
        if (attempt != 0 && boot.bytesPerSectorShift != 8 + attempt) continue;
        std::vector<uint8_t> region(uint64_t{kExfatBootRegionSectors} * boot.BytesPerSector());
        if (at + region.size() > partitionBytes) continue;
        if (Result r = ReadMediumBytes(reader, start + at, region); r != kOk) {
            lastRead = r;
            continue;
        }
        found = IsExfatBootRegion(region);
    }
    if (!found) return lastRead != kOk ? lastRead : kErrUnsupportedLayout;

    reader_ = &reader;
    boot_ = boot;
    startByte_ = start;
    const uint64_t stated = boot.volumeLength << boot.bytesPerSectorShift;
    volumeBytes_ = std::min(partitionBytes, stated);
    fat_ = std::make_unique<ExfatFatReader>(reader, boot_, startByte_, volumeBytes_);
    (void)FindRootEntries();  // a volume without bitmap or label still opens
    return kOk;
}

Result ExfatVolume::ReadVolumeBytes(uint64_t offset, std::span<uint8_t> out) {
    if (reader_ == nullptr) return kErrInvalidHandle;
    if (offset > volumeBytes_ || out.size() > volumeBytes_ - offset) return kErrInvalidParameter;
    return ReadMediumBytes(*reader_, startByte_ + offset, out);
}

Result ExfatVolume::ReadCluster(uint32_t cluster, std::span<uint8_t> out) {
    if (reader_ == nullptr) return kErrInvalidHandle;
    if (!boot_.IsHeapCluster(cluster) || out.size() < boot_.ClusterBytes()) {
        return kErrInvalidParameter;
    }
    return ReadVolumeBytes(boot_.ClusterToSector(cluster) << boot_.bytesPerSectorShift,
                           out.first(boot_.ClusterBytes()));
}

bool ExfatVolume::NextCluster(uint32_t cluster, uint32_t& next) {
    return fat_ != nullptr && fat_->Next(cluster, next);
}

ExfatChainEnd ExfatVolume::WalkChain(uint32_t firstCluster, uint64_t maxClusters,
                                     std::vector<uint32_t>& out) {
    if (fat_ == nullptr) {
        out.clear();
        return ExfatChainEnd::kUnreadable;
    }
    return fat_->Walk(firstCluster, maxClusters, out);
}

Result ExfatVolume::FindRootEntries() {
    std::vector<uint32_t> clusters;
    const ExfatChainEnd end = WalkChain(boot_.rootCluster, kExfatRootClustersSearched, clusters);
    if (clusters.empty()) return kErrUnsupportedLayout;
    (void)end;  // a damaged chain still gives its first clusters
    // No buffer for a cluster the partition cannot hold (a damaged boot sector may claim 32 MiB).
    if (boot_.ClusterToByte(clusters[0]) + boot_.ClusterBytes() > volumeBytes_) {
        return kErrInvalidParameter;
    }
    std::vector<uint8_t> buffer(boot_.ClusterBytes());
    const unsigned activeFat = (boot_.volumeFlags & 1) && boot_.numberOfFats == 2 ? 1 : 0;
    bool bitmapFound = false;
    bool bitmapMatches = false;
    uint64_t bitmapLength = 0;
    bool ended = false;
    for (size_t i = 0; i < clusters.size() && !ended; ++i) {
        if (Result r = ReadCluster(clusters[i], buffer); r != kOk) return r;
        for (size_t at = 0; at + kExfatEntryBytes <= buffer.size(); at += kExfatEntryBytes) {
            const uint8_t* e = buffer.data() + at;
            if (e[0] == kExfatEndOfDirectory) {
                ended = true;
                break;
            }
            // The bitmap of the active FAT; the first usable one when none names it.
            if (e[0] == kExfatTypeBitmap && (!bitmapFound || !bitmapMatches) &&
                boot_.IsHeapCluster(Le32(e + 20)) && Le64(e + 24) > 0 &&
                (!bitmapFound || (e[1] & 1) == activeFat)) {
                bitmapFirst_ = Le32(e + 20);
                bitmapLength = Le64(e + 24);
                bitmapFound = true;
                bitmapMatches = (e[1] & 1) == activeFat;
            } else if (e[0] == kExfatTypeLabel && label_.empty()) {
                const uint32_t chars = std::min<uint32_t>(e[1], 11);
                std::u16string name;
                for (uint32_t c = 0; c < chars; ++c) {
                    name.push_back(static_cast<char16_t>(Le16(e + 2 + 2 * c)));
                }
                label_ = Utf16ToUtf8(name);
            }
        }
    }
    if (!bitmapFound) return kErrUnsupportedLayout;
    // The bitmap describes at most the heap; a shorter one leaves the rest unknown.
    const uint64_t bytes = std::min<uint64_t>(bitmapLength, (uint64_t{boot_.clusterCount} + 7) / 8);
    const uint64_t clusterCount = (bytes + boot_.ClusterBytes() - 1) / boot_.ClusterBytes();
    const ExfatChainEnd chainEnd = WalkChain(bitmapFirst_, clusterCount, bitmapChain_);
    if (chainEnd != ExfatChainEnd::kEndOfChain || bitmapChain_.size() < clusterCount) {
        // A FAT without the bitmap's chain: the bitmap is taken as contiguous, as mkfs lays it.
        bitmapChain_.clear();
        for (uint64_t i = 0; i < clusterCount && boot_.IsHeapCluster(bitmapFirst_ + i); ++i) {
            bitmapChain_.push_back(static_cast<uint32_t>(bitmapFirst_ + i));
        }
    }
    const uint64_t covered =
        std::min<uint64_t>(bytes, uint64_t{bitmapChain_.size()} * boot_.ClusterBytes());
    bitmapClusters_ = static_cast<uint32_t>(std::min<uint64_t>(covered * 8, boot_.clusterCount));
    return kOk;
}

bool ExfatVolume::LoadBitmapPiece(uint64_t byteIndex) {
    const uint64_t start = byteIndex / kBitmapPieceBytes * kBitmapPieceBytes;
    if (start == bitmapPieceStart_) return true;
    bitmapPieceStart_ = ~uint64_t{0};
    const uint64_t totalBytes = (uint64_t{bitmapClusters_} + 7) / 8;
    if (start >= totalBytes) return false;
    bitmapPiece_.assign(std::min<uint64_t>(kBitmapPieceBytes, totalBytes - start), 0);
    const uint32_t clusterBytes = boot_.ClusterBytes();
    size_t done = 0;
    while (done < bitmapPiece_.size()) {
        const uint64_t at = start + done;
        const uint64_t index = at / clusterBytes;
        if (index >= bitmapChain_.size()) return false;
        const uint64_t within = at % clusterBytes;
        const size_t n = static_cast<size_t>(
            std::min<uint64_t>(bitmapPiece_.size() - done, clusterBytes - within));
        const uint64_t offset =
            (boot_.ClusterToSector(bitmapChain_[index]) << boot_.bytesPerSectorShift) + within;
        if (ReadVolumeBytes(offset, std::span<uint8_t>(bitmapPiece_).subspan(done, n)) != kOk) {
            return false;
        }
        done += n;
    }
    bitmapPieceStart_ = start;
    return true;
}

bool ExfatVolume::IsClusterInUse(uint32_t cluster) {
    if (!boot_.IsHeapCluster(cluster) || cluster - 2 >= bitmapClusters_) return false;
    const uint64_t bit = cluster - 2;
    if (!LoadBitmapPiece(bit / 8)) return false;
    return (bitmapPiece_[bit / 8 - bitmapPieceStart_] >> (bit % 8)) & 1;
}

bool ExfatVolume::NextFreeRun(uint32_t fromCluster, uint32_t& first, uint32_t& count) {
    if (!HasBitmap()) return false;
    const uint64_t end = uint64_t{boot_.clusterCount} + 2;
    uint64_t c = std::max<uint64_t>(fromCluster, 2);
    // Free when its bit is clear or the bitmap does not reach it; false on a read failure.
    auto isFree = [&](uint64_t cluster, bool& free) {
        const uint64_t bit = cluster - 2;
        if (bit >= bitmapClusters_) {
            free = true;
            return true;
        }
        if (!LoadBitmapPiece(bit / 8)) return false;
        free = ((bitmapPiece_[bit / 8 - bitmapPieceStart_] >> (bit % 8)) & 1) == 0;
        return true;
    };
    bool free = false;
    while (c < end) {
        const uint64_t bit = c - 2;
        if (bit % 8 == 0 && bit + 8 <= bitmapClusters_) {
            if (!LoadBitmapPiece(bit / 8)) return false;
            if (bitmapPiece_[bit / 8 - bitmapPieceStart_] == 0xFF) {
                c += 8;
                continue;
            }
        }
        if (!isFree(c, free)) return false;
        if (free) break;
        ++c;
    }
    if (c >= end) return false;
    uint64_t last = c + 1;
    while (last < end) {
        const uint64_t bit = last - 2;
        if (bit % 8 == 0 && bit + 8 <= bitmapClusters_) {
            if (!LoadBitmapPiece(bit / 8)) break;
            if (bitmapPiece_[bit / 8 - bitmapPieceStart_] == 0) {
                last += 8;
                continue;
            }
        }
        if (!isFree(last, free) || !free) break;
        ++last;
    }
    first = static_cast<uint32_t>(c);
    count = static_cast<uint32_t>(last - c);
    return true;
}

uint64_t ExfatVolume::FreeClusters() {
    uint64_t free = 0;
    return CountFreeClusters(free) == kOk ? free : 0;
}

Result ExfatVolume::CountFreeClusters(uint64_t& freeClusters) {
    freeClusters = 0;
    if (!HasBitmap()) return kErrUnsupportedLayout;
    const uint64_t totalBytes = (uint64_t{bitmapClusters_} + 7) / 8;
    uint64_t used = 0;
    for (uint64_t start = 0; start < totalBytes; start += kBitmapPieceBytes) {
        if (!LoadBitmapPiece(start)) return kErrReadFault;
        for (size_t i = 0; i < bitmapPiece_.size(); ++i) {
            uint8_t byte = bitmapPiece_[i];
            const uint64_t firstBit = (start + i) * 8;
            if (firstBit + 8 > bitmapClusters_) {
                byte &= static_cast<uint8_t>((1u << (bitmapClusters_ - firstBit)) - 1);
            }
            used += static_cast<uint64_t>(std::popcount(byte));
        }
    }
    // Clusters past a short bitmap are unknown: counted as used.
    freeClusters = bitmapClusters_ - used;
    return kOk;
}

}  // namespace norvale
