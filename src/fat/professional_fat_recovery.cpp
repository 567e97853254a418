#include "fat/professional_fat_recovery.h"

#include <sys/stat.h>

#include <algorithm>

#include "engine/scan_log_history.h"
#include "engine/store_listing.h"
#include "fat/directory.h"

namespace norvale {

CProfessionalFatRecovery::CProfessionalFatRecovery() = default;

CProfessionalFatRecovery::~CProfessionalFatRecovery() {
    if (store_) (void)store_->Close();
}

Result CProfessionalFatRecovery::OpenImage(const std::string& imagePath, uint16_t sourceTag) {
    if (IsOpen()) return kOk;
    if (Result r = reader_.OpenImageFile(imagePath); r != kOk) return openResult_ = r;
    return FinishOpen(0, reader_.TotalSectors(), sourceTag);
}

Result CProfessionalFatRecovery::OpenDisk(int diskNumber, uint64_t partitionStartLba,
                                          uint64_t partitionSectorCount, uint16_t driveLetter) {
    if (IsOpen()) return kOk;
    if (Result r = reader_.OpenPhysicalDisk(diskNumber); r != kOk) return openResult_ = r;
    return FinishOpen(partitionStartLba, partitionSectorCount, driveLetter);
}

Result CProfessionalFatRecovery::OpenSource(std::unique_ptr<ISectorSource> source,
                                            uint64_t partitionStartLba, uint64_t partitionSectors,
                                            uint16_t sourceTag) {
    if (IsOpen()) return kOk;
    if (!source) return openResult_ = kErrInvalidParameter;
    reader_.Attach(std::move(source));
    return FinishOpen(partitionStartLba, partitionSectors, sourceTag);
}

Result CProfessionalFatRecovery::FinishOpen(uint64_t partitionStartLba, uint64_t partitionSectors,
                                            uint16_t tag) {
    sectorSize_ = reader_.MediumSectorSize();
    partitionStartLba_ = partitionStartLba;
    partitionSectors_ = partitionSectors;
    sourceTag_ = tag;
    ResetPass();
    return openResult_ = kOk;
}

uint64_t CProfessionalFatRecovery::MediumEnd() const {
    // An old volume may reach past the region being scanned: reads are bounded by the medium.
    return reader_.TotalSectors();
}

bool CProfessionalFatRecovery::ReadSector(uint64_t lba, std::vector<uint8_t>& sector) {
    sector.resize(sectorSize_);
    if (lba >= MediumEnd()) return false;
    uint32_t got = 0;
    return reader_.ReadSectors(1, sector.data(), lba, sectorSize_, got) == kOk && got == 1;
}

Result CProfessionalFatRecovery::SetCallbacks(ScanProgressFn scanProgress,
                                              RecoverProgressFn recoverProgress, void* userData,
                                              int progressScale) {
    return KeepCallbacks(scanProgress, recoverProgress, userData, progressScale);
}

Result CProfessionalFatRecovery::BeginScan(const char* logName) {
    const Result r = OpenPassStore(logName);
    // Without the boot sector's layout the pass still infers layouts from what it finds.
    if (r == kOk) (void)ProbeBootSector();
    return r;
}

size_t CProfessionalFatRecovery::ClaimSector(std::span<const uint8_t> sector,
                                             uint32_t /*bytesPerSector*/, uint8_t& kind) {
    if (IsDotEntryPair(sector)) {
        kind = kFatDotSectorKind;
    } else if (IsDirectoryBlock(sector)) {
        kind = kFatDirectorySectorKind;
    } else {
        return 0;
    }
    return sector.size();
}

void CProfessionalFatRecovery::TakeSector(uint8_t kind, std::span<const uint8_t> bytes,
                                          uint64_t lba) {
    if (kind == kFatDotSectorKind) {
        OnDotSector(bytes, lba);
    } else if (kind == kFatDirectorySectorKind) {
        OnDirectorySector(bytes, lba);
    }
}

Result CProfessionalFatRecovery::FirstDataSector(const RecoveredItem& item, uint64_t& lba) {
    if (item.engineKind != kEngineFastFat && item.engineKind != kEngineProfessionalFat)
        return kErrInvalidParameter;
    const int32_t clusterBytes = item.clusterBytes;
    const uint64_t partitionStart = item.partitionStart;
    const uint64_t dataStart = item.dataAreaStart;
    const int32_t key = item.objectKey;
    if (key == 0) {
        if (partitionStart + dataStart < 32) return kErrInvalidParameter;
        lba = partitionStart + dataStart - 32;
        return kOk;
    }
    const uint64_t spc = clusterBytes > 0 ? static_cast<uint64_t>(clusterBytes) / sectorSize_ : 0;
    if (key < 2 || spc == 0) return kErrInvalidParameter;
    lba = partitionStart + dataStart + uint64_t(key - 2) * spc;
    return kOk;
}

Result CProfessionalFatRecovery::OpenPassStore(const char* logName) {
    ResetPass();
    RenewStore(store_);
    emittedBefore_.clear();
    if (!IsOpen()) return openResult_;

    const std::string folder = ScanLogHistory::Instance().CurrentFolder();
    if (!logName) {
        return OpenFreshStore(*store_, folder,
                              ScanLogName(kProfessionalFatLogPrefix, partitionStartLba_));
    }
    if (Result r = store_->Open(folder, logName); r != kOk) return r;
    // A resumed scan adds to the records of its first run (the store numbers new records after
    // them), and the folders it already emitted are not emitted twice.
    for (const DirInfoEntry& d : store_->DirInfo()) {
        emittedBefore_.insert(static_cast<uint32_t>(d.folderKey));
    }
    return kOk;
}

int32_t CProfessionalFatRecovery::NextRecordIndex() const {
    return store_->LastRecordIndex();
}

Result CProfessionalFatRecovery::Scan(const char* /*logName*/) {
    return kOk;
}

Result CProfessionalFatRecovery::ListChildren(const RecoveredItem* folder, int level,
                                              std::vector<RecoveredItem>& out) {
    return ListStoreChildren(store_.get(), folder, level, 0, out);
}

Result CProfessionalFatRecovery::CountFiles(const RecoveredItem* folder, int level, int& count) {
    return CountStoreFiles(store_.get(), folder, level, 0, RootLevelCheck::kRefuseOtherLevels,
                           count);
}

uint64_t CProfessionalFatRecovery::GetItemCount() {
    return StoreItemCount(store_.get());
}

Result CProfessionalFatRecovery::GetItemPath(const RecoveredItem& item, std::string& out) {
    return StoreItemPath(store_.get(), item, out, kErrInvalidParameter);
}

Result CProfessionalFatRecovery::SetListCallback(ListProgressFn fn, void* userData) {
    return KeepListCallback(fn, userData, store_.get(), kErrInvalidParameter);
}

int CProfessionalFatRecovery::ListByType(const std::string& pattern,
                                         std::vector<RecoveredItem>& out) {
    return ListStoreByType(store_.get(), pattern, out);
}

Result CProfessionalFatRecovery::SkipUsedClusters(uint64_t& /*position*/, uint64_t& freeLength) {
    freeLength = 0;
    return kOk;
}

Result CProfessionalFatRecovery::BuildClusterMap() {
    return kOk;
}

CProfessionalFatRecovery::PassCounts CProfessionalFatRecovery::Counts() const {
    PassCounts c;
    c.guesses = guesses_.size();
    c.anchors = anchors_.size();
    c.heldFiles = unresolvedHeld_;
    c.orphanSectors = orphans_.size();
    c.pendingTails = pendingTails_.size();
    c.folderEntries = folderEntries_.size();
    c.referencedFolders = referencedFolders_.size();
    return c;
}

}  // namespace norvale
