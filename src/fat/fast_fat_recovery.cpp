#include "fat/fast_fat_recovery.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <new>

#include "engine/scan_log_history.h"
#include "engine/store_listing.h"

namespace norvale {
namespace {

constexpr size_t kBootBlockBytes = 4096;

}  // namespace

CFastFatRecovery::CFastFatRecovery() = default;

CFastFatRecovery::~CFastFatRecovery() {
    // The scan reported its own write failures; at teardown nobody is left to tell.
    if (store_) (void)store_->Close();
}

Result CFastFatRecovery::OpenImage(const std::string& imagePath, uint16_t sourceTag) {
    if (IsOpen()) return kOk;
    if (Result r = reader_.OpenImageFile(imagePath); r != kOk) return openResult_ = r;
    // An image counts 512-byte sectors until its boot sector tells otherwise.
    return FinishOpen(0, reader_.TotalSectors(), sourceTag);
}

Result CFastFatRecovery::OpenDisk(int diskNumber, uint64_t partitionStartLba,
                                  uint64_t partitionSectorCount, uint16_t driveLetter) {
    if (IsOpen()) return kOk;
    if (Result r = reader_.OpenPhysicalDisk(diskNumber); r != kOk) return openResult_ = r;
    return FinishOpen(partitionStartLba, partitionSectorCount, driveLetter);
}

Result CFastFatRecovery::FinishOpen(uint64_t partitionStartLba, uint64_t partitionSectors,
                                    uint16_t tag) {
    const uint32_t mediumSector = reader_.MediumSectorSize();
    const uint32_t count = std::max<uint32_t>(1, kBootBlockBytes / mediumSector);
    std::vector<uint8_t> block(size_t{count} * mediumSector);
    uint32_t got = 0;
    Result r = reader_.ReadSectors(count, block.data(), partitionStartLba, mediumSector, got);
    if (r == kOk && got < count) r = kErrReadFault;
    if (r == kOk && !IsFatBootSector(block)) r = kErrUnsupportedLayout;
    if (r != kOk) {
        reader_.Close();
        return openResult_ = r;
    }
    block.resize(kBootBlockBytes);
    bootBlock_ = std::move(block);

    geometry_ = LoadGeometry(bootBlock_, partitionStartLba, partitionSectors, mediumSector);
    if (geometry_.bytesPerSector != mediumSector) {
        // The volume counts its own sectors: restate the partition start in them.
        const uint64_t startBytes = partitionStartLba * mediumSector;
        geometry_ = LoadGeometry(bootBlock_, startBytes / geometry_.bytesPerSector,
                                 partitionSectors, mediumSector);
    }
    if (!FatGeometryFitsMedium(geometry_)) {
        // Plausible-looking fields that no volume on this medium can have: reading by them would
        // find nothing and map nothing free.
        reader_.Close();
        return openResult_ = kErrUnsupportedLayout;
    }
    sourceTag_ = tag;
    partitionStartLba_ = partitionStartLba;
    table_ = std::make_unique<FatTable>(reader_, geometry_);
    // A FAT that cannot be read leaves every entry unreadable, so chains run on contiguously;
    // the volume can still be scanned.
    (void)table_->Load();
    clusterMap_.clear();
    return openResult_ = kOk;
}

Result CFastFatRecovery::SetCallbacks(ScanProgressFn scanProgress,
                                      RecoverProgressFn recoverProgress, void* userData,
                                      int progressScale) {
    return KeepCallbacks(scanProgress, recoverProgress, userData, progressScale);
}

Result CFastFatRecovery::Scan(const char* logName) {
    folderMap_.clear();
    foldersToEmit_.clear();
    foldersToEmitSet_.clear();
    depthCache_.clear();
    RenewStore(store_);

    const std::string folder = ScanLogHistory::Instance().CurrentFolder();
    if (logName) return store_->Open(folder, logName);
    if (!IsOpen()) return openResult_;
    if (Result r = OpenFreshStore(*store_, folder, ScanLogName("Fast_", partitionStartLba_));
        r != kOk) {
        return r;
    }
    Result result = RunScan();
    const Result flushed = store_->Flush();
    return result != kOk ? result : flushed;
}

Result CFastFatRecovery::ListChildren(const RecoveredItem* folder, int level,
                                      std::vector<RecoveredItem>& out) {
    return ListStoreChildren(store_.get(), folder, level, geometry_.rootCluster, out);
}

Result CFastFatRecovery::CountFiles(const RecoveredItem* folder, int level, int& count) {
    return CountStoreFiles(store_.get(), folder, level, geometry_.rootCluster,
                           RootLevelCheck::kNone, count);
}

uint64_t CFastFatRecovery::GetItemCount() {
    return StoreItemCount(store_.get());
}

Result CFastFatRecovery::GetItemPath(const RecoveredItem& item, std::string& out) {
    return StoreItemPath(store_.get(), item, out, kOk);
}

Result CFastFatRecovery::SetListCallback(ListProgressFn fn, void* userData) {
    return KeepListCallback(fn, userData, store_.get(), kOk);
}

int CFastFatRecovery::ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) {
    return ListStoreByType(store_.get(), pattern, out);
}

Result CFastFatRecovery::BuildClusterMap() {
    if (!IsOpen()) return openResult_;
    const FatGeometry& g = geometry_;
    // The cluster count comes from the stated total (the 32-bit field, or the 16-bit one that
    // small volumes use instead), bounded by what the FAT and the partition hold.
    const uint64_t bits = g.clusterCount;
    std::vector<uint8_t> map;
    try {
        map.assign((bits + 7) / 8, 0);
    } catch (const std::bad_alloc&) {
        clusterMap_.clear();
        return kErrNotEnoughMemory;
    }
    // Bits past the last cluster stand for nothing that can be read: mark them used.
    for (uint64_t j = bits; j < map.size() * 8; ++j) map[j / 8] |= uint8_t(1u << (j % 8));
    const uint32_t endOfChain = g.kind == FatKind::Fat32   ? 0x0FFFFFF8
                                : g.kind == FatKind::Fat16 ? 0xFFF8
                                                           : 0xFF8;
    auto mark = [&](uint32_t cluster) {
        if (IsDataCluster(g, cluster)) {
            const uint32_t j = cluster - 2;
            map[j / 8] |= uint8_t(1u << (j % 8));
        }
    };
    for (uint32_t c = 2; c <= LastCluster(g); ++c) {
        uint32_t v = 0;
        if (table_->ReadFatEntry(c, v) != kOk || v == 0) continue;
        mark(c);
        const uint32_t next = g.kind == FatKind::Fat32 ? v & 0x0FFFFFFF : v;
        if (next < endOfChain) mark(next);
    }
    clusterMap_ = std::move(map);
    return kOk;
}

Result CFastFatRecovery::SkipUsedClusters(uint64_t& position, uint64_t& freeLength) {
    freeLength = 0;
    const FatGeometry& g = geometry_;
    const uint64_t partitionEnd = g.partitionSectors != 0 ? g.partitionSectors : g.totalSectors;
    if (position >= partitionEnd) {
        position = partitionEnd;
        return 1;
    }
    if (g.sectorsPerCluster == 0) return 1;
    if (position != 0) position = position > g.dataStart ? position - g.dataStart : 0;
    const uint64_t bits = uint64_t{clusterMap_.size()} * 8;
    auto used = [&](uint64_t j) { return (clusterMap_[j / 8] >> (j % 8)) & 1; };
    uint64_t j = position / g.sectorsPerCluster;
    if (j < bits) {
        uint64_t k = j;
        while (k < bits && used(k)) ++k;
        if (k < bits) {
            position += (k - j) * g.sectorsPerCluster;
            uint64_t end = k;
            while (end < bits && !used(end)) ++end;
            freeLength = (end - k) * g.sectorsPerCluster;
        }
    }
    position += g.dataStart;
    if (position + freeLength > partitionEnd) {
        freeLength = position < partitionEnd ? partitionEnd - position : 0;
    }
    return 1;
}

}  // namespace norvale
