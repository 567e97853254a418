#include "exfat/professional_exfat_recovery.h"

#include <algorithm>

#include "engine/scan_log_history.h"
#include "engine/store_listing.h"

namespace norvale {

CProfessionalExfatRecovery::CProfessionalExfatRecovery() = default;

CProfessionalExfatRecovery::~CProfessionalExfatRecovery() {
    if (store_) (void)store_->Close();
}

Result CProfessionalExfatRecovery::OpenImage(const std::string& imagePath, uint16_t sourceTag) {
    if (IsOpen()) return kOk;
    if (Result r = reader_.OpenImageFile(imagePath); r != kOk) return openResult_ = r;
    return FinishOpen(0, reader_.TotalSectors(), sourceTag);
}

Result CProfessionalExfatRecovery::OpenDisk(int diskNumber, uint64_t partitionStartLba,
                                            uint64_t partitionSectorCount, uint16_t driveLetter) {
    if (IsOpen()) return kOk;
    if (Result r = reader_.OpenPhysicalDisk(diskNumber); r != kOk) return openResult_ = r;
    return FinishOpen(partitionStartLba, partitionSectorCount, driveLetter);
}

Result CProfessionalExfatRecovery::OpenSource(std::unique_ptr<ISectorSource> source,
                                              uint64_t partitionStartLba, uint64_t partitionSectors,
                                              uint16_t sourceTag) {
    if (IsOpen()) return kOk;
    if (!source) return openResult_ = kErrInvalidParameter;
    reader_.Attach(std::move(source));
    return FinishOpen(partitionStartLba, partitionSectors, sourceTag);
}

Result CProfessionalExfatRecovery::FinishOpen(uint64_t partitionStartLba, uint64_t partitionSectors,
                                              uint16_t tag) {
    sectorSize_ = reader_.MediumSectorSize();
    partitionStartLba_ = partitionStartLba;
    partitionSectors_ = partitionSectors;
    sourceTag_ = tag;
    ResetPass();
    return openResult_ = kOk;
}

bool CProfessionalExfatRecovery::ReadSectors(uint64_t lba, uint32_t count,
                                             std::vector<uint8_t>& out) {
    out.assign(size_t{count} * sectorSize_, 0);
    if (count == 0 || lba >= reader_.TotalSectors() || reader_.TotalSectors() - lba < count) {
        return false;
    }
    uint32_t got = 0;
    return reader_.ReadSectors(count, out.data(), lba, sectorSize_, got) == kOk && got == count;
}

void CProfessionalExfatRecovery::ResetPass() {
    sets_.clear();
    sets_.shrink_to_fit();
    names_.clear();
    names_.shrink_to_fit();
    runs_.clear();
    starts_.clear();
    bootCandidates_.clear();
    fatStarts_.clear();
    parsedUpTo_ = 0;
    tail_.clear();
    tailEndLba_ = 0;
    cutSets_.clear();
    heads_.clear();
    layouts_.clear();
}

const CProfessionalExfatRecovery::KnownFat* CProfessionalExfatRecovery::FatFor(
    uint64_t heapLba, uint32_t sectorsPerCluster) const {
    if (liveFat_ && liveFat_->heapLba == heapLba &&
        liveFat_->sectorsPerCluster == sectorsPerCluster) {
        return &*liveFat_;
    }
    for (const KnownFat& f : foundFats_) {
        if (f.heapLba == heapLba && f.sectorsPerCluster == sectorsPerCluster) return &f;
    }
    return nullptr;
}

void CProfessionalExfatRecovery::ProbeLiveVolume() {
    liveFat_.reset();
    foundFats_.clear();
    const uint64_t end = reader_.TotalSectors();
    // The main boot region, else its backup, which begins at the volume's 13th sector of the
    // volume's own size (512 to 4096 bytes); both are read in the medium's sectors.
    std::vector<uint8_t> region;
    const uint32_t count = std::max<uint32_t>(1, (kExfatBootRegionSectors * 4096) / sectorSize_);
    for (uint32_t backupBps = 0; backupBps <= 4096; backupBps = backupBps ? backupBps * 2 : 512) {
        const uint64_t offset = uint64_t{kExfatBootRegionSectors} * backupBps;
        if (backupBps != 0 && (backupBps < sectorSize_ || offset % sectorSize_ != 0)) continue;
        const uint64_t lba = partitionStartLba_ + offset / sectorSize_;
        if (lba >= end) return;
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(count, end - lba));
        if (!ReadSectors(lba, n, region)) continue;
        ExfatBootRegion boot;
        if (!IsExfatBootRegion(region) || !ParseExfatBootSector(region, boot)) continue;
        const uint32_t bps = boot.BytesPerSector();
        if (bps < sectorSize_ || bps % sectorSize_ != 0) continue;
        if (backupBps != 0 && bps != backupBps) continue;
        const uint32_t scale = bps / sectorSize_;
        liveFat_ = KnownFat{partitionStartLba_ + uint64_t{boot.clusterHeapOffset} * scale,
                            (uint32_t{1} << boot.sectorsPerClusterShift) * scale, boot,
                            partitionStartLba_ * sectorSize_, partitionSectors_ * sectorSize_};
        return;
    }
}

Result CProfessionalExfatRecovery::SetCallbacks(ScanProgressFn scanProgress,
                                                RecoverProgressFn recoverProgress, void* userData,
                                                int progressScale) {
    return KeepCallbacks(scanProgress, recoverProgress, userData, progressScale);
}

Result CProfessionalExfatRecovery::BeginScan(const char* logName) {
    ResetPass();
    RenewStore(store_);
    emittedBefore_.clear();
    if (!IsOpen()) return openResult_;
    ProbeLiveVolume();

    const std::string folder = ScanLogHistory::Instance().CurrentFolder();
    if (!logName) {
        return OpenFreshStore(*store_, folder,
                              ScanLogName(kProfessionalExfatLogPrefix, partitionStartLba_));
    }
    if (Result r = store_->Open(folder, logName); r != kOk) return r;
    // A resumed scan adds to the records of its first run; the folders it already emitted are
    // not emitted twice.
    for (const DirInfoEntry& d : store_->DirInfo()) {
        emittedBefore_.insert(static_cast<uint32_t>(d.folderKey));
    }
    return kOk;
}

Result CProfessionalExfatRecovery::Scan(const char* /*logName*/) {
    return kOk;
}

Result CProfessionalExfatRecovery::FirstDataSector(const RecoveredItem& item, uint64_t& lba) {
    const int32_t key = item.objectKey;
    const int32_t clusterBytes = item.clusterBytes;
    if (item.isFolder || key < 2 || clusterBytes <= 0 ||
        static_cast<uint32_t>(clusterBytes) % sectorSize_ != 0) {
        return kErrInvalidParameter;
    }
    const uint64_t spc = static_cast<uint32_t>(clusterBytes) / sectorSize_;
    lba = item.partitionStart + item.dataAreaStart + uint64_t(uint32_t(key) - 2) * spc;
    return kOk;
}

Result CProfessionalExfatRecovery::ListChildren(const RecoveredItem* folder, int level,
                                                std::vector<RecoveredItem>& out) {
    return ListStoreChildren(store_.get(), folder, level, 0, out);
}

Result CProfessionalExfatRecovery::CountFiles(const RecoveredItem* folder, int level, int& count) {
    return CountStoreFiles(store_.get(), folder, level, 0, RootLevelCheck::kRefuseOtherLevels,
                           count);
}

uint64_t CProfessionalExfatRecovery::GetItemCount() {
    return StoreItemCount(store_.get());
}

Result CProfessionalExfatRecovery::GetItemPath(const RecoveredItem& item, std::string& out) {
    return StoreItemPath(store_.get(), item, out, kErrInvalidParameter);
}

Result CProfessionalExfatRecovery::SetListCallback(ListProgressFn fn, void* userData) {
    return KeepListCallback(fn, userData, store_.get(), kErrInvalidParameter);
}

int CProfessionalExfatRecovery::ListByType(const std::string& pattern,
                                           std::vector<RecoveredItem>& out) {
    return ListStoreByType(store_.get(), pattern, out);
}

Result CProfessionalExfatRecovery::SkipUsedClusters(uint64_t& /*position*/, uint64_t& freeLength) {
    freeLength = 0;
    return kOk;
}

Result CProfessionalExfatRecovery::BuildClusterMap() {
    return kOk;
}

CProfessionalExfatRecovery::PassCounts CProfessionalExfatRecovery::Counts() const {
    PassCounts c;
    c.sets = sets_.size();
    c.runs = runs_.size();
    c.starts = starts_.size();
    c.bootCandidates = bootCandidates_.size();
    c.nameBytes = names_.size();
    return c;
}

}  // namespace norvale
