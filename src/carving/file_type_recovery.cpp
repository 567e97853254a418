#include "carving/file_type_recovery.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "carving/carving_context.h"
#include "carving/file_type.h"
#include "carving/identify.h"
#include "device/chunked_io.h"
#include "engine/data_paths.h"
#include "engine/output_naming.h"
#include "engine/preview_target.h"
#include "engine/scan_log_history.h"

namespace norvale {
namespace {

// Types whose inside is examined too: the pass moves on by one sector after them, so files
// embedded in a document, a RIFF container, a cabinet or a font are carved as well.
bool ExaminesInside(FileTypeCode code) {
    switch (code) {
        case FileTypeCode::kDoc:
        case FileTypeCode::kOle:
        case FileTypeCode::kXls:
        case FileTypeCode::kPpt:
        case FileTypeCode::kWav:
        case FileTypeCode::kAvi:
        case FileTypeCode::kWmv:
        case FileTypeCode::kSwf:
        case FileTypeCode::kBmp:
        case FileTypeCode::kCab:
        case FileTypeCode::kTtf:
        case FileTypeCode::kIco:
            return true;
        default:
            return false;
    }
}

// The source's length in `sectorSize` units.
uint64_t SourceSectors(SectorReader& reader, uint32_t sectorSize) {
    return reader.TotalSectors() * reader.MediumSectorSize() / sectorSize;
}

}  // namespace

CFileTypeRecovery::CFileTypeRecovery() = default;

CFileTypeRecovery::~CFileTypeRecovery() {
    if (store_) store_->Close();
    // The shared context must not call back into what the owner of this engine set up.
    CarvingContext& context = SharedCarvingContext();
    if (context.progressUserData == userData_ && context.scanProgress == scanProgress_) {
        context.scanProgress = nullptr;
        context.progressUserData = nullptr;
    }
}

Result CFileTypeRecovery::OpenStore(const std::string& logName, bool fresh) {
    if (store_) store_->Close();
    store_ = std::make_unique<ResultStore>();
    store_->SetListCallback(listCallback_, listUserData_);
    const std::string folder = ScanLogHistory::Instance().CurrentFolder();
    const Result r =
        fresh ? OpenFreshStore(*store_, folder, logName) : store_->Open(folder, logName);
    if (r != kOk) store_.reset();
    return r;
}

Result CFileTypeRecovery::OpenImage(const std::string& imagePath, uint16_t sourceTag) {
    if (store_) store_->Close();
    store_.reset();
    sourceTag_ = sourceTag;
    partitionStartLba_ = 0;
    reader_.Close();
    if (Result r = reader_.OpenImageFile(imagePath); r != kOk) return r;
    partitionSectors_ = reader_.TotalSectors();
    return OpenStore(ScanLogName(kCarvedLogPrefix, 0), true);
}

Result CFileTypeRecovery::OpenDisk(int diskNumber, uint64_t partitionStartLba,
                                   uint64_t partitionSectorCount, uint16_t driveLetter) {
    if (store_) store_->Close();
    store_.reset();
    sourceTag_ = driveLetter;
    partitionStartLba_ = partitionStartLba;
    partitionSectors_ = partitionSectorCount;
    reader_.Close();
    if (Result r = reader_.OpenPhysicalDisk(diskNumber); r != kOk) return r;
    return OpenStore(ScanLogName(kCarvedLogPrefix, partitionStartLba), true);
}

Result CFileTypeRecovery::AttachToDisk(uint32_t sectorSize, int diskNumber,
                                       const std::string& logName, uint16_t sourceTag) {
    sourceTag_ = sourceTag;
    if (sectorSize != 0) sectorSize_ = sectorSize;
    if (store_) store_->Close();
    store_.reset();
    reader_.Close();
    if (Result r = reader_.OpenPhysicalDisk(diskNumber); r != kOk) return r;
    return OpenStore(logName, false);
}

Result CFileTypeRecovery::AttachToImage(uint32_t sectorSize, const std::string& logName,
                                        uint16_t sourceTag, const std::string& imagePath) {
    sourceTag_ = sourceTag;
    if (sectorSize != 0) sectorSize_ = sectorSize;
    if (store_) store_->Close();
    store_.reset();
    reader_.Close();
    if (Result r = reader_.OpenImageFile(imagePath); r != kOk) return r;
    return OpenStore(logName, false);
}

Result CFileTypeRecovery::SetCallbacks(ScanProgressFn scanProgress,
                                       RecoverProgressFn recoverProgress, void* userData,
                                       int progressScale) {
    scanProgress_ = scanProgress;
    recoverProgress_ = recoverProgress;
    userData_ = userData;
    progressScale_ = progressScale;
    CarvingContext& context = SharedCarvingContext();
    context.scanProgress = scanProgress;
    context.progressUserData = userData;
    context.progressScale = progressScale;
    return kOk;
}

Result CFileTypeRecovery::Scan(const char* /*logName*/) {
    return kOk;
}

Result CFileTypeRecovery::CarveSector(uint32_t sectorSize, ByteSpan sector, uint64_t lba,
                                      uint64_t sectorsDone, uint64_t sectorsTotal,
                                      int32_t secondsLeft, SectorReader& reader, uint64_t& consumed,
                                      uint64_t& filesFound) {
    if (sectorSize == 0) return kErrInvalidParameter;
    sectorSize_ = sectorSize;
    std::string name;
    FileTypeCode type = FileTypeCode::kNoFileType;
    uint64_t length = 0;
    // The context is shared by every engine of the process: it reports to this one's callback.
    CarvingContext& context = SharedCarvingContext();
    context.scanProgress = scanProgress_;
    context.progressUserData = userData_;
    context.progressScale = progressScale_;
    CarveProgress progress;
    progress.sectorsDone = sectorsDone;
    progress.sectorsTotal = sectorsTotal != 0 ? sectorsTotal : 1;
    progress.secondsLeft = secondsLeft;
    progress.filesFound = filesFound;
    const Result r =
        IdentifyAndSize(context, sectorSize, reader, sector, lba, progress, name, type, length);
    if (r != kOk) return r;

    if (store_) {
        if (RecoveredItem* item = store_->AppendRecord()) {
            std::memset(static_cast<void*>(item), 0, sizeof(RecoveredItem));
            item->sourceTag = sourceTag_;
            item->engineKind = kEngineFileType;
            item->contentValid = 1;
            item->recordIndex = store_->LastRecordIndex();
            item->clusterBytes = -1;
            item->fileSize = length;
            item->location = lba;
            item->SetName(name);
            const int32_t index = item->recordIndex;
            store_->LinkChild(0, 0, index, 0, nullptr);
        }
    }
    consumed = ExaminesInside(type) ? 1 : (length + sectorSize - 1) / sectorSize;
    if (consumed == 0) consumed = 1;
    ++filesFound;
    return kOk;
}

Result CFileTypeRecovery::ListChildren(const RecoveredItem* folder, int level,
                                       std::vector<RecoveredItem>& out) {
    if (!store_ || !store_->IsOpen()) return kOk;
    store_->Flush();
    if (folder || level != 0) return kOk;
    return store_->ListChildren(0, 0, out);
}

Result CFileTypeRecovery::CountFiles(const RecoveredItem* folder, int level, int& count) {
    count = 0;
    if (!store_ || !store_->IsOpen()) return kOk;
    store_->Flush();
    if (folder || level != 0) return kOk;
    int32_t n = 0;
    const Result r = store_->CountFiles(0, 0, n);
    count = n;
    return r;
}

uint64_t CFileTypeRecovery::GetItemCount() {
    return store_ ? static_cast<uint64_t>(store_->RecordCount()) : 0;
}

Result CFileTypeRecovery::GetItemPath(const RecoveredItem& /*item*/, std::string& /*out*/) {
    return kOk;
}

Result CFileTypeRecovery::SkipUsedClusters(uint64_t& /*position*/, uint64_t& /*freeLength*/) {
    return kOk;
}

Result CFileTypeRecovery::SetListCallback(ListProgressFn fn, void* userData) {
    listCallback_ = fn;
    listUserData_ = userData;
    if (!store_) return kErrInvalidParameter;
    store_->SetListCallback(fn, userData);
    return kOk;
}

int CFileTypeRecovery::ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) {
    if (!store_ || !store_->IsOpen()) return 0;
    return store_->ListByType(pattern, out);
}

Result CFileTypeRecovery::BuildClusterMap() {
    return kOk;
}

template <typename Report>
Result CFileTypeRecovery::CopyCarved(const RecoveredItem& item, int fd, uint8_t* memory,
                                     uint64_t limit, uint64_t& done, Report report) {
    done = 0;
    const uint32_t s = sectorSize_;
    const uint64_t fileSize = item.fileSize;  // copied: the record is packed
    const uint64_t length = std::min(fileSize, limit);
    if (length == 0) return kOk;
    if (!reader_.IsOpen()) return kErrInvalidHandle;
    const uint64_t available = SourceSectors(reader_, s);
    const uint32_t chunkSectors = std::max<uint32_t>(1, kCarvingWorkBufferBytes / s);
    std::vector<uint8_t> buffer(size_t{chunkSectors} * s);
    uint64_t position = item.location;
    while (done < length) {
        const uint64_t wanted = (length - done + s - 1) / s;
        if (position >= available) return kErrReadFault;
        const auto count =
            static_cast<uint32_t>(std::min<uint64_t>({wanted, chunkSectors, available - position}));
        uint32_t got = 0;
        const Result r = reader_.ReadSectors(count, buffer.data(), position, s, got);
        // The sectors that did arrive are kept, also when the read then failed.
        const auto n = static_cast<size_t>(std::min<uint64_t>(uint64_t{got} * s, length - done));
        if (n > 0) {
            if (fd >= 0) {
                if (Result w = WriteAllBytes(fd, buffer.data(), n); w != kOk) return w;
            } else {
                std::memcpy(memory + done, buffer.data(), n);
            }
            done += n;
        }
        if (r != kOk) return r;
        if (got == 0) return kErrReadFault;
        position += got;
        if (const int answer = report(done); answer != 0) return answer;
    }
    return kOk;
}

Result CFileTypeRecovery::RecoverItem(const RecoveredItem& item, const std::string& destination,
                                      int /*destinationFlag*/) {
    std::string path = destination;
    auto finish = [&](Result r) -> Result {
        if (recoverProgress_) {
            if (const int answer =
                    recoverProgress_(userData_, 100, kFullProgressScale, r, path.c_str());
                answer != 0) {
                return answer;
            }
        }
        return r;
    };
    const size_t slash = destination.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        if (Result r = MakeFolders(destination.substr(0, slash)); r != kOk) return finish(r);
    }
    int fd = -1;
    if (Result r = CreateNewFile(path, fd); r != kOk) return finish(r);
    uint64_t done = 0;
    bool stopped = false;
    Result result = CopyCarved(item, fd, nullptr, UINT64_MAX, done, [&](uint64_t copied) {
        const auto percent = static_cast<int>(copied * 100 / item.fileSize);
        if (percent >= 100 || !recoverProgress_) return 0;
        const int answer =
            recoverProgress_(userData_, percent, kFullProgressScale, 0, path.c_str());
        stopped = answer != 0;
        return answer;
    });
    if (::close(fd) != 0 && result == kOk) result = FromErrno(errno);
    if (stopped) return result;
    return finish(result);
}

Result CFileTypeRecovery::ExtractForPreview(const RecoveredItem& item, std::string& tempPath,
                                            uint8_t* memory, uint64_t& byteCount,
                                            PreviewProgressFn fn, void* userData) {
    const uint64_t capacity = byteCount;
    byteCount = 0;
    tempPath.clear();
    auto report = [&](int percent, Result r) { return fn ? fn(userData, percent, r) : 0; };

    const PreviewTarget target = ChoosePreviewTarget(item.Name());
    const bool toFile = target.kind != PreviewTargetKind::kMemory;
    if (!toFile && capacity > 0 && memory == nullptr) return kErrInvalidParameter;
    int fd = -1;
    if (toFile) {
        if (Result r = CreatePreviewFile(target.path, fd); r != kOk) {
            if (r > 0) report(100, r);
            return r;
        }
        tempPath = target.path;
    }
    const uint64_t total =
        toFile ? uint64_t{item.fileSize} : std::min(uint64_t{item.fileSize}, capacity);
    uint64_t done = 0;
    Result result = CopyCarved(item, fd, memory, total, done, [&](uint64_t copied) {
        return report(static_cast<int>(copied * 100 / total), kOk);
    });
    if (result == kOk && total == 0) report(100, kOk);
    if (result > 0) report(100, result);
    if (fd >= 0) {
        if (::close(fd) != 0 && result == kOk) result = FromErrno(errno);
        if (result != kOk) {
            ::unlink(target.path.c_str());
            tempPath.clear();
        }
    }
    if (!toFile) byteCount = done;
    return result;
}

}  // namespace norvale
