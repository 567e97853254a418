#include "carving/carve_only_recovery.h"

#include <algorithm>

#include "carving/carving_context.h"
#include "carving/look_ahead.h"

namespace norvale {

Result CarveChunk(CFileTypeRecovery& carver, SectorReader& reader, uint32_t sectorSize,
                  std::span<const uint8_t> chunk, uint64_t firstLba, uint64_t sectorsDone,
                  uint64_t sectorsTotal, int32_t secondsLeft, uint64_t& filesFound,
                  uint64_t& covered) {
    // A chunk no worker looked at: every sector is carved in order.
    return CarveBlock(carver, reader, sectorSize, chunk, firstLba, 0, nullptr, sectorsDone,
                      sectorsTotal, secondsLeft, filesFound, covered);
}

CCarveOnlyRecovery::CCarveOnlyRecovery() = default;
CCarveOnlyRecovery::~CCarveOnlyRecovery() = default;

Result CCarveOnlyRecovery::OpenImage(const std::string& imagePath, uint16_t sourceTag) {
    reader_.Close();
    if (Result r = reader_.OpenImageFile(imagePath); r != kOk) return r;
    imagePath_ = imagePath;
    diskNumber_ = -1;
    sourceTag_ = sourceTag;
    sectorSize_ = reader_.MediumSectorSize();
    partitionStartLba_ = 0;
    partitionSectors_ = reader_.TotalSectors() * reader_.MediumSectorSize() / sectorSize_;
    return kOk;
}

Result CCarveOnlyRecovery::OpenDisk(int diskNumber, uint64_t partitionStartLba,
                                    uint64_t partitionSectorCount, uint16_t driveLetter) {
    reader_.Close();
    if (Result r = reader_.OpenPhysicalDisk(diskNumber); r != kOk) return r;
    imagePath_.clear();
    diskNumber_ = diskNumber;
    sourceTag_ = driveLetter;
    sectorSize_ = reader_.MediumSectorSize();
    partitionStartLba_ = partitionStartLba;
    // Never past the end of the disk.
    const uint64_t diskSectors = reader_.TotalSectors();
    partitionSectors_ = partitionStartLba >= diskSectors
                            ? 0
                            : std::min(partitionSectorCount, diskSectors - partitionStartLba);
    return kOk;
}

Result CCarveOnlyRecovery::SetCallbacks(ScanProgressFn scanProgress,
                                        RecoverProgressFn recoverProgress, void* userData,
                                        int progressScale) {
    // The pass reports on the 9-99 % band like every deep scan (the sizers add the same 10 % to
    // their reports), then 100 % when it is done.
    (void)progressScale;
    scanProgress_ = scanProgress;
    userData_ = userData;
    return carver_.SetCallbacks(scanProgress, recoverProgress, userData, kPassProgressScale);
}

Result CCarveOnlyRecovery::Scan(const char* logName) {
    if (!reader_.IsOpen()) return kErrInvalidHandle;
    if (!imagePath_.empty() && imageSectorSize_ != 0 && imageSectorSize_ <= kPassChunkBytes) {
        sectorSize_ = imageSectorSize_;
        partitionSectors_ = reader_.TotalSectors() * reader_.MediumSectorSize() / sectorSize_;
    }
    if (logName) {
        return imagePath_.empty()
                   ? carver_.AttachToDisk(sectorSize_, diskNumber_, logName, sourceTag_)
                   : carver_.AttachToImage(sectorSize_, logName, sourceTag_, imagePath_);
    }
    const Result opened = imagePath_.empty() ? carver_.OpenDisk(diskNumber_, partitionStartLba_,
                                                                partitionSectors_, sourceTag_)
                                             : carver_.OpenImage(imagePath_, sourceTag_);
    if (opened != kOk) return opened;
    Result r = RunPass();
    if (ResultStore* store = carver_.Store()) {
        const Result flushed = store->Flush();
        if (r == kOk) r = flushed;
    }
    return r;
}

Result CCarveOnlyRecovery::RunPass() {
    CarvingContext& context = carver_.Context();
    context.tsRanges.clear();
    context.transportStreamFlag = false;
    context.bdavFlag = false;

    const uint64_t total = partitionSectors_;
    PassPosition position;
    position.extentLength = total;
    uint64_t filesFound = 0;
    TimeLeftEstimator clock(sectorSize_);
    auto report = [&](int percent, int scale) {
        if (!scanProgress_) return 0;
        return scanProgress_(userData_, percent, scale, clock.SecondsLeft(), position.sectorsDone,
                             total, filesFound, 0);
    };
    // Workers look ahead when there is more than one thread to look with; the pass records what
    // they found in order.
    const unsigned threads = PassWorkerCount();
    std::unique_ptr<CarveLookAhead> lookAhead;
    if (threads > 1) lookAhead = std::make_unique<CarveLookAhead>(reader_, sectorSize_, threads);
    const unsigned workers = lookAhead ? lookAhead->Workers() : 0;
    const Result r = RunExtentAhead(
        reader_, partitionStartLba_, sectorSize_, position, lookAhead.get(), workers,
        [&](std::span<const uint8_t> block, uint64_t firstLba, uint64_t start,
            const BlockExamination* examined, uint64_t& covered) {
            return CarveBlock(carver_, reader_, sectorSize_, block, firstLba, start,
                              static_cast<const BlockNotes*>(examined), position.sectorsDone,
                              total, clock.SecondsLeft(), filesFound, covered);
        },
        [&](const PassPosition& at) {
            clock.Update(at.sectorsDone, total);
            const auto percent = total ? static_cast<int>(at.sectorsDone * 100 / total) : 100;
            return report(std::min(percent, 100) + 10, kPassProgressScale);
        });
    if (r == kOk) report(100, kFullProgressScale);
    return r;
}

Result CCarveOnlyRecovery::ListChildren(const RecoveredItem* folder, int level,
                                        std::vector<RecoveredItem>& out) {
    if (!folder && level != 0) return kErrInvalidParameter;
    return carver_.ListChildren(folder, level, out);
}

Result CCarveOnlyRecovery::CountFiles(const RecoveredItem* folder, int level, int& count) {
    return carver_.CountFiles(folder, level, count);
}

uint64_t CCarveOnlyRecovery::GetItemCount() {
    return carver_.GetItemCount();
}

Result CCarveOnlyRecovery::GetItemPath(const RecoveredItem& item, std::string& out) {
    out.clear();
    return carver_.GetItemPath(item, out);
}

Result CCarveOnlyRecovery::RecoverItem(const RecoveredItem& item, const std::string& destination,
                                       int destinationFlag) {
    return carver_.RecoverItem(item, destination, destinationFlag);
}

Result CCarveOnlyRecovery::SkipUsedClusters(uint64_t& position, uint64_t& freeLength) {
    return carver_.SkipUsedClusters(position, freeLength);
}

Result CCarveOnlyRecovery::SetListCallback(ListProgressFn fn, void* userData) {
    return carver_.SetListCallback(fn, userData);
}

int CCarveOnlyRecovery::ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) {
    return carver_.ListByType(pattern, out);
}

Result CCarveOnlyRecovery::BuildClusterMap() {
    return kOk;
}

Result CCarveOnlyRecovery::ExtractForPreview(const RecoveredItem& item, std::string& tempPath,
                                             uint8_t* memory, uint64_t& byteCount,
                                             PreviewProgressFn fn, void* userData) {
    return carver_.ExtractForPreview(item, tempPath, memory, byteCount, fn, userData);
}

}  // namespace norvale
