#include "exfat/fast_exfat_recovery.h"

#include <algorithm>
#include <new>

#include "engine/scan_log_history.h"
#include "engine/store_listing.h"

namespace norvale {

std::unique_ptr<IFileRecoveryParse> MakeFastExfatRecovery() {
    return std::make_unique<CFastExfatRecovery>();
}

CFastExfatRecovery::CFastExfatRecovery() = default;

CFastExfatRecovery::~CFastExfatRecovery() {
    // The scan reported its own write failures; at teardown nobody is left to tell.
    if (store_) (void)store_->Close();
}

Result CFastExfatRecovery::OpenImage(const std::string& imagePath, uint16_t sourceTag) {
    if (IsOpen()) return kOk;
    if (Result r = reader_.OpenImageFile(imagePath); r != kOk) return openResult_ = r;
    return FinishOpen(0, reader_.TotalSectors(), sourceTag);
}

Result CFastExfatRecovery::OpenDisk(int diskNumber, uint64_t partitionStartLba,
                                    uint64_t partitionSectorCount, uint16_t driveLetter) {
    if (IsOpen()) return kOk;
    if (Result r = reader_.OpenPhysicalDisk(diskNumber); r != kOk) return openResult_ = r;
    return FinishOpen(partitionStartLba, partitionSectorCount, driveLetter);
}

Result CFastExfatRecovery::FinishOpen(uint64_t partitionStartLba, uint64_t partitionSectors,
                                      uint16_t tag) {
    if (Result r = volume_.Open(reader_, partitionStartLba, partitionSectors); r != kOk) {
        reader_.Close();
        return openResult_ = r;
    }
    sourceTag_ = tag;
    partitionStartLba_ = partitionStartLba;
    clusterMap_.clear();
    open_ = true;
    return openResult_ = kOk;
}

Result CFastExfatRecovery::SetCallbacks(ScanProgressFn scanProgress,
                                        RecoverProgressFn recoverProgress, void* userData,
                                        int progressScale) {
    return KeepCallbacks(scanProgress, recoverProgress, userData, progressScale);
}

Result CFastExfatRecovery::Scan(const char* logName) {
    folderMap_.clear();
    depthOf_.clear();
    foldersToEmit_.clear();
    foldersToEmitSet_.clear();
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

Result CFastExfatRecovery::ListChildren(const RecoveredItem* folder, int level,
                                        std::vector<RecoveredItem>& out) {
    return ListStoreChildren(store_.get(), folder, level, volume_.Boot().rootCluster, out);
}

Result CFastExfatRecovery::CountFiles(const RecoveredItem* folder, int level, int& count) {
    return CountStoreFiles(store_.get(), folder, level, volume_.Boot().rootCluster,
                           RootLevelCheck::kNone, count);
}

uint64_t CFastExfatRecovery::GetItemCount() {
    return StoreItemCount(store_.get());
}

Result CFastExfatRecovery::GetItemPath(const RecoveredItem& item, std::string& out) {
    return StoreItemPath(store_.get(), item, out, kOk);
}

Result CFastExfatRecovery::SetListCallback(ListProgressFn fn, void* userData) {
    return KeepListCallback(fn, userData, store_.get(), kOk);
}

int CFastExfatRecovery::ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) {
    return ListStoreByType(store_.get(), pattern, out);
}

Result CFastExfatRecovery::BuildClusterMap() {
    if (!IsOpen()) return openResult_;
    clusterMap_.clear();
    // Without the bitmap nothing is known to be free: the caller then reads everything.
    if (!volume_.HasBitmap()) return kErrUnsupportedLayout;
    const uint64_t bits = volume_.Boot().clusterCount;
    std::vector<uint8_t> map;
    try {
        map.assign((bits + 7) / 8, 0);
    } catch (const std::bad_alloc&) {
        return kErrNotEnoughMemory;
    }
    // Clusters a short bitmap does not cover, and bits past the last cluster, count as used.
    for (uint64_t j = 0; j < map.size() * 8; ++j) {
        if (j >= bits || volume_.IsClusterInUse(static_cast<uint32_t>(j + 2)) ||
            j >= volume_.BitmapClusters()) {
            map[j / 8] |= uint8_t(1u << (j % 8));
        }
    }
    clusterMap_ = std::move(map);
    return kOk;
}

Result CFastExfatRecovery::SkipUsedClusters(uint64_t& position, uint64_t& freeLength) {
    freeLength = 0;
    const ExfatBootRegion& b = volume_.Boot();
    const uint64_t partitionEnd = b.volumeLength;
    if (position >= partitionEnd) {
        position = partitionEnd;
        return 1;
    }
    if (!IsOpen()) return 1;
    const uint64_t dataStart = b.clusterHeapOffset;
    const uint64_t perCluster = uint64_t{1} << b.sectorsPerClusterShift;
    if (position != 0) position = position > dataStart ? position - dataStart : 0;
    const uint64_t bits = uint64_t{clusterMap_.size()} * 8;
    auto used = [&](uint64_t j) { return (clusterMap_[j / 8] >> (j % 8)) & 1; };
    const uint64_t j = position / perCluster;
    if (j < bits) {
        uint64_t k = j;
        while (k < bits && used(k)) ++k;
        if (k < bits) {
            position += (k - j) * perCluster;
            uint64_t end = k;
            while (end < bits && !used(end)) ++end;
            freeLength = (end - k) * perCluster;
        }
    }
    position += dataStart;
    if (position + freeLength > partitionEnd) {
        freeLength = position < partitionEnd ? partitionEnd - position : 0;
    }
    return 1;
}

}  // namespace norvale
