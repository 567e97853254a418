#include "ntfs/professional_ntfs_recovery.h"

#include <algorithm>

#include "engine/scan_log_history.h"
#include "ntfs/mft_record.h"

namespace norvale {
namespace {

constexpr uint32_t kRootKey = static_cast<uint32_t>(kMftRecordRoot);
constexpr uint32_t kLargestSector = 4096;

bool IsUsableSectorSize(uint32_t bytes) {
    return bytes >= 512 && bytes <= kLargestSector && (bytes & (bytes - 1)) == 0;
}

}  // namespace

CProfessionalNtfsRecovery::CProfessionalNtfsRecovery() = default;

CProfessionalNtfsRecovery::~CProfessionalNtfsRecovery() {
    if (store_) store_->Close();
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
    scanProgress_ = scanProgress;
    recoverProgress_ = recoverProgress;
    userData_ = userData;
    progressScale_ = progressScale;
    return kOk;
}

int CProfessionalNtfsRecovery::ReportRecover(int percent, Result error, const std::string& path) {
    if (!recoverProgress_) return 0;
    return recoverProgress_(userData_, percent, kFullProgressScale, error, path.c_str());
}

Result CProfessionalNtfsRecovery::Scan(const char* /*logName*/) {
    return kOk;
}

Result CProfessionalNtfsRecovery::BeginScan(const char* logName) {
    places_.clear();
    folders_.clear();
    if (store_) store_->Close();
    store_ = std::make_unique<ResultStore>();
    store_->SetListCallback(listCallback_, listUserData_);
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
    if (!folder && level != 0) return kErrInvalidParameter;
    if (!store_ || !store_->IsOpen()) return kOk;
    store_->Flush();
    // The root is record 5's list. (The store's "first list" would stand in for it when nothing
    // hangs directly under the root, and show some folder's children there instead.)
    const uint32_t key = folder ? static_cast<uint32_t>(folder->objectKey) : kRootKey;
    return store_->ListChildren(key, static_cast<uint32_t>(level), out);
}

Result CProfessionalNtfsRecovery::CountFiles(const RecoveredItem* folder, int level, int& count) {
    count = 0;
    if (!folder && level != 0) return kErrInvalidParameter;
    if (!store_ || !store_->IsOpen()) return kOk;
    store_->Flush();
    const uint32_t key = folder ? static_cast<uint32_t>(folder->objectKey) : kRootKey;
    int32_t n = 0;
    const Result r = store_->CountFiles(key, static_cast<uint32_t>(level), n);
    count = n;
    return r;
}

uint64_t CProfessionalNtfsRecovery::GetItemCount() {
    return store_ ? static_cast<uint64_t>(store_->RecordCount()) : 0;
}

Result CProfessionalNtfsRecovery::GetItemPath(const RecoveredItem& item, std::string& out) {
    out.clear();
    if (!store_ || !store_->IsOpen()) return kErrInvalidParameter;
    return store_->GetItemPath(item, out);
}

Result CProfessionalNtfsRecovery::SkipUsedClusters(uint64_t& /*position*/, uint64_t& freeLength) {
    freeLength = 0;
    return kOk;
}

Result CProfessionalNtfsRecovery::SetListCallback(ListProgressFn fn, void* userData) {
    listCallback_ = fn;
    listUserData_ = userData;
    if (!store_) return kErrInvalidParameter;
    store_->SetListCallback(fn, userData);
    return kOk;
}

int CProfessionalNtfsRecovery::ListByType(const std::string& pattern,
                                          std::vector<RecoveredItem>& out) {
    if (!store_ || !store_->IsOpen()) return 0;
    return store_->ListByType(pattern, out);
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
    MftRecordHeader h;
    if (!DecodeRecordHeader(buffer, h) || !h.HasSignature() || !RestoreFoundFixups(buffer)) {
        return kErrEngineGeneric;
    }
    return HasUsableHeader(buffer) ? kOk : kErrInvalidParameter;
}

}  // namespace norvale
