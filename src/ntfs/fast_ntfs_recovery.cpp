#include "ntfs/fast_ntfs_recovery.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "engine/scan_log_history.h"
#include "engine/store_listing.h"
#include "ntfs/mft_record.h"

namespace norvale {
namespace {

constexpr uint32_t kRootKey = static_cast<uint32_t>(kMftRecordRoot);

}  // namespace

CFastNtfsRecovery::CFastNtfsRecovery() = default;

CFastNtfsRecovery::~CFastNtfsRecovery() {
    if (store_) (void)store_->Close();
}

Result CFastNtfsRecovery::OpenImage(const std::string& imagePath, uint16_t sourceTag) {
    if (IsOpen()) return kOk;
    if (Result r = reader_.OpenImageFile(imagePath); r != kOk) return openResult_ = r;
    // An image counts 512-byte sectors until its boot sector tells otherwise.
    return FinishOpen(0, reader_.TotalSectors(), sourceTag);
}

Result CFastNtfsRecovery::OpenDisk(int diskNumber, uint64_t partitionStartLba,
                                   uint64_t partitionSectorCount, uint16_t driveLetter) {
    if (IsOpen()) return kOk;
    if (Result r = reader_.OpenPhysicalDisk(diskNumber); r != kOk) return openResult_ = r;
    return FinishOpen(partitionStartLba, partitionSectorCount, driveLetter);
}

Result CFastNtfsRecovery::FinishOpen(uint64_t partitionStartLba, uint64_t partitionSectors,
                                     uint16_t tag) {
    auto volume = std::make_unique<NtfsVolume>(reader_);
    Result r = volume->Open(partitionStartLba, partitionSectors);
    if (r != kOk) {
        reader_.Close();
        // A boot sector that is readable but not NTFS is a layout this engine cannot follow.
        return openResult_ = r == kErrInvalidParameter ? kErrUnsupportedLayout : r;
    }
    mftResult_ = volume->LoadMftRuns();
    geometry_ = volume->Geometry();
    volume_ = std::move(volume);
    sourceTag_ = tag;
    partitionStartLba_ = partitionStartLba;
    record_.assign(geometry_.recordBytes, 0);
    bitmap_.clear();
    return openResult_ = kOk;
}

Result CFastNtfsRecovery::SetCallbacks(ScanProgressFn scanProgress,
                                       RecoverProgressFn recoverProgress, void* userData,
                                       int progressScale) {
    return KeepCallbacks(scanProgress, recoverProgress, userData, progressScale);
}

Result CFastNtfsRecovery::Scan(const char* logName) {
    directories_.clear();
    places_.clear();
    RenewStore(store_);

    const std::string folder = ScanLogHistory::Instance().CurrentFolder();
    if (logName) return store_->Open(folder, logName);
    if (!IsOpen()) return openResult_;
    if (Result r = OpenFreshStore(*store_, folder, ScanLogName("Fast_", partitionStartLba_));
        r != kOk) {
        return r;
    }
    const Result result = mftResult_ != kOk ? mftResult_ : RunScan();
    const Result flushed = store_->Flush();
    return result != kOk ? result : flushed;
}

Result CFastNtfsRecovery::ListChildren(const RecoveredItem* folder, int level,
                                       std::vector<RecoveredItem>& out) {
    return ListStoreChildren(store_.get(), folder, level, kRootKey, out);
}

Result CFastNtfsRecovery::CountFiles(const RecoveredItem* folder, int level, int& count) {
    return CountStoreFiles(store_.get(), folder, level, kRootKey,
                           RootLevelCheck::kRefuseOtherLevels, count);
}

uint64_t CFastNtfsRecovery::GetItemCount() {
    return StoreItemCount(store_.get());
}

Result CFastNtfsRecovery::GetItemPath(const RecoveredItem& item, std::string& out) {
    return StoreItemPath(store_.get(), item, out, kOk);
}

Result CFastNtfsRecovery::SetListCallback(ListProgressFn fn, void* userData) {
    return KeepListCallback(fn, userData, store_.get(), kOk);
}

int CFastNtfsRecovery::ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) {
    return ListStoreByType(store_.get(), pattern, out);
}

Result CFastNtfsRecovery::BuildClusterMap() {
    if (!IsOpen()) return openResult_;
    return volume_->ReadClusterBitmap(bitmap_);
}

Result CFastNtfsRecovery::SkipUsedClusters(uint64_t& position, uint64_t& freeLength) {
    freeLength = 0;
    const NtfsGeometry& g = geometry_;
    const uint64_t partitionEnd = g.partitionSectors != 0 ? g.partitionSectors : g.totalSectors;
    if (position >= partitionEnd) {
        position = partitionEnd;
        return 1;
    }
    if (g.sectorsPerCluster == 0) return 1;
    const uint64_t bits = uint64_t{bitmap_.size()} * 8;
    auto used = [&](uint64_t c) { return (bitmap_[c / 8] >> (c % 8)) & 1; };
    const uint64_t first = position / g.sectorsPerCluster;
    if (first >= bits) return 1;
    uint64_t c = first;
    while (c < bits && used(c)) ++c;
    if (c == bits) return 1;
    if (c != first) position = c * g.sectorsPerCluster;
    uint64_t end = c;
    while (end < bits && !used(end)) ++end;
    // Measured from the position itself, which may lie inside its free cluster.
    const uint64_t freeEnd = std::min(end * g.sectorsPerCluster, partitionEnd);
    freeLength = freeEnd > position ? freeEnd - position : 0;
    return 1;
}

}  // namespace norvale
