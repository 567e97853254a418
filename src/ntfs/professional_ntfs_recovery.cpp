#include "ntfs/professional_ntfs_recovery.h"

#include <algorithm>

#include "device/bytes.h"
#include "engine/scan_log_history.h"
#include "engine/store_listing.h"
#include "ntfs/mft_record.h"

namespace norvale {
namespace {

constexpr uint32_t kRootKey = static_cast<uint32_t>(kMftRecordRoot);
constexpr uint32_t kLargestSector = 4096;

constexpr uint32_t kLargestRecord = 4096;
constexpr uint32_t kFixupStride = 512;

bool IsUsableSectorSize(uint32_t bytes) {
    return bytes >= 512 && bytes <= kLargestSector && (bytes & (bytes - 1)) == 0;
}

}  // namespace

uint32_t CandidateRecordBytes(std::span<const uint8_t> sector, uint32_t bytesPerSector) {
    if (IsCandidateMftRecord(sector, bytesPerSector)) return FoundRecordBytes(bytesPerSector);
    if (sector.size() < kFixupStride || bytesPerSector == 0) return 0;
    const uint8_t* p = sector.data();
    if (Le32(p) != kFileRecordSignature) return 0;
    const uint32_t size = Le32(p + 0x1C);
    if (size < FoundRecordBytes(bytesPerSector) || size > kLargestRecord ||
        (size & (size - 1)) != 0 || size % bytesPerSector != 0 || Le32(p + 0x18) > size) {
        return 0;
    }
    const uint32_t usaOffset = Le16(p + 0x04);
    const uint32_t usaCount = Le16(p + 0x06);
    if (usaCount != size / kFixupStride + 1 || usaOffset < 0x28 || usaOffset % 2 != 0 ||
        usaOffset + 2 * usaCount > kFixupStride - 2) {
        return 0;
    }
    return Le16(p + usaOffset) == Le16(p + kFixupStride - 2) ? size : 0;
}

CProfessionalNtfsRecovery::CProfessionalNtfsRecovery() = default;

size_t CProfessionalNtfsRecovery::ClaimSector(std::span<const uint8_t> sector,
                                              uint32_t bytesPerSector, uint8_t& kind) {
    const size_t needed = CandidateRecordBytes(sector, bytesPerSector);
    if (needed == 0) return 0;
    // The directory flag lies in the record's first sector.
    kind = IsDirectoryRecord(sector) ? 0 : kNtfsRecordSectorKind;
    return needed;
}

void CProfessionalNtfsRecovery::TakeSector(uint8_t kind, std::span<const uint8_t> bytes,
                                           uint64_t lba) {
    // A record that cannot be parsed costs only itself.
    if (kind == kNtfsRecordSectorKind) (void)ParseCandidate(bytes, lba);
}

CProfessionalNtfsRecovery::~CProfessionalNtfsRecovery() {
    if (store_) (void)store_->Close();
}

void CProfessionalNtfsRecovery::Reset() {
    reader_.Close();
    mfts_.clear();
    places_.clear();
    folders_.clear();
    itemVolume_.reset();
}

Result CProfessionalNtfsRecovery::OpenImage(const std::string& imagePath, uint16_t sourceTag) {
    Reset();
    if (Result r = reader_.OpenImageFile(imagePath); r != kOk) return openResult_ = r;
    bytesPerSector_ = 512;
    return FinishOpen(0, reader_.TotalSectors(), sourceTag, false);
}

Result CProfessionalNtfsRecovery::OpenDisk(int diskNumber, uint64_t partitionStartLba,
                                           uint64_t partitionSectorCount, uint16_t driveLetter) {
    Reset();
    if (Result r = reader_.OpenPhysicalDisk(diskNumber); r != kOk) return openResult_ = r;
    const uint32_t medium = reader_.MediumSectorSize();
    bytesPerSector_ = IsUsableSectorSize(medium) ? medium : 512;
    return FinishOpen(partitionStartLba, partitionSectorCount, driveLetter, true);
}

Result CProfessionalNtfsRecovery::FinishOpen(uint64_t partitionStartLba, uint64_t partitionSectors,
                                             uint16_t tag, bool failOnBootRead) {
    sourceTag_ = tag;
    partitionStart_ = partitionStartLba;
    partitionSectors_ = partitionSectors;
    recordBytes_ = FoundRecordBytes(bytesPerSector_);
    sectorsPerRecord_ = recordBytes_ / bytesPerSector_;
    spcEstimate_ = DefaultSectorsPerCluster(bytesPerSector_, partitionSectors);
    record_.assign(recordBytes_, 0);
    folderRecord_.assign(recordBytes_, 0);
    openResult_ = kOk;
    if (failOnBootRead) {
        // The boot area of a disk partition must be readable; an image may be a bare copy of
        // anything.
        std::vector<uint8_t> boot(std::max<uint32_t>(4096, bytesPerSector_));
        uint32_t got = 0;
        const uint32_t count = static_cast<uint32_t>(boot.size() / bytesPerSector_);
        Result r = reader_.ReadSectors(count, boot.data(), partitionStart_, bytesPerSector_, got);
        if (r == kOk && got != count) r = kErrReadFault;
        if (r != kOk) {
            reader_.Close();
            return openResult_ = r;
        }
    }
    RegisterBootMft();
    return kOk;
}

Result CProfessionalNtfsRecovery::SetCallbacks(ScanProgressFn scanProgress,
                                               RecoverProgressFn recoverProgress, void* userData,
                                               int progressScale) {
    return KeepCallbacks(scanProgress, recoverProgress, userData, progressScale);
}

Result CProfessionalNtfsRecovery::Scan(const char* /*logName*/) {
    return kOk;
}

Result CProfessionalNtfsRecovery::BeginScan(const char* logName) {
    places_.clear();
    folders_.clear();
    RenewStore(store_);
    const std::string folder = ScanLogHistory::Instance().CurrentFolder();
    if (!logName || !*logName) {
        return OpenFreshStore(*store_, folder,
                              ScanLogName(kProfessionalNtfsLogPrefix, partitionStart_));
    }
    if (Result r = store_->Open(folder, logName); r != kOk) return r;
    RestoreRecordedFolders();
    return kOk;
}

int32_t CProfessionalNtfsRecovery::NextRecordIndex() const {
    return store_->LastRecordIndex();
}

Result CProfessionalNtfsRecovery::ListChildren(const RecoveredItem* folder, int level,
                                               std::vector<RecoveredItem>& out) {
    // The root is record 5's list. (The store's "first list" would stand in for it when nothing
    // hangs directly under the root, and show some folder's children there instead.)
    return ListStoreChildren(store_.get(), folder, level, kRootKey, out);
}

Result CProfessionalNtfsRecovery::CountFiles(const RecoveredItem* folder, int level, int& count) {
    return CountStoreFiles(store_.get(), folder, level, kRootKey,
                           RootLevelCheck::kRefuseOtherLevels, count);
}

uint64_t CProfessionalNtfsRecovery::GetItemCount() {
    return StoreItemCount(store_.get());
}

Result CProfessionalNtfsRecovery::GetItemPath(const RecoveredItem& item, std::string& out) {
    return StoreItemPath(store_.get(), item, out, kErrInvalidParameter);
}

Result CProfessionalNtfsRecovery::SkipUsedClusters(uint64_t& /*position*/, uint64_t& freeLength) {
    freeLength = 0;
    return kOk;
}

Result CProfessionalNtfsRecovery::SetListCallback(ListProgressFn fn, void* userData) {
    return KeepListCallback(fn, userData, store_.get(), kErrInvalidParameter);
}

int CProfessionalNtfsRecovery::ListByType(const std::string& pattern,
                                          std::vector<RecoveredItem>& out) {
    return ListStoreByType(store_.get(), pattern, out);
}

Result CProfessionalNtfsRecovery::BuildClusterMap() {
    return kOk;
}

Result CProfessionalNtfsRecovery::ReadRecordAt(uint64_t lba, std::vector<uint8_t>& buffer) {
    buffer.resize(recordBytes_);
    uint32_t got = 0;
    Result r = reader_.ReadSectors(sectorsPerRecord_, buffer.data(), lba, bytesPerSector_, got);
    if (r != kOk) return r;
    if (got != sectorsPerRecord_) return kErrReadFault;
    // A larger record (4 KiB records on 512-byte sectors) is read again whole.
    if (const uint32_t size = CandidateRecordBytes(buffer, bytesPerSector_); size > recordBytes_) {
        const uint32_t sectors = size / bytesPerSector_;
        buffer.resize(size);
        r = reader_.ReadSectors(sectors, buffer.data(), lba, bytesPerSector_, got);
        if (r != kOk) return r;
        if (got != sectors) return kErrReadFault;
    }
    MftRecordHeader h;
    if (!DecodeRecordHeader(buffer, h) || !h.HasSignature() || !RestoreFoundFixups(buffer)) {
        return kErrEngineGeneric;
    }
    return HasUsableHeader(buffer) ? kOk : kErrInvalidParameter;
}

}  // namespace norvale
