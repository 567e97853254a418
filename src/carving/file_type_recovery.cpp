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
#include "engine/preview_output.h"
#include "engine/scan_log_history.h"
#include "engine/store_listing.h"

namespace norvale {
namespace {

// The source's length in `sectorSize` units.
uint64_t SourceSectors(SectorReader& reader, uint32_t sectorSize) {
    return reader.TotalSectors() * reader.MediumSectorSize() / sectorSize;
}

// Found files are copied through one buffer per thread, in requests of this size: a card holds
// thousands of files, and a buffer made for each (or a request per 64 KiB with a progress report
// after each) costs more than the copying.
constexpr size_t kCopyBufferBytes = size_t{1} << 20;

std::vector<uint8_t>& CopyBuffer() {
    thread_local std::vector<uint8_t> buffer;
    return buffer;
}

}  // namespace

CFileTypeRecovery::CFileTypeRecovery() = default;

CFileTypeRecovery::~CFileTypeRecovery() {
    if (store_) (void)store_->Close();
}

Result CFileTypeRecovery::OpenStore(const std::string& logName, bool fresh) {
    RenewStore(store_);
    const std::string folder = ScanLogHistory::Instance().CurrentFolder();
    const Result r =
        fresh ? OpenFreshStore(*store_, folder, logName) : store_->Open(folder, logName);
    if (r != kOk) store_.reset();
    return r;
}

Result CFileTypeRecovery::OpenImage(const std::string& imagePath, uint16_t sourceTag) {
    if (store_) (void)store_->Close();
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
    if (store_) (void)store_->Close();
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
    if (store_) (void)store_->Close();
    store_.reset();
    reader_.Close();
    if (Result r = reader_.OpenPhysicalDisk(diskNumber); r != kOk) return r;
    return OpenStore(logName, false);
}

Result CFileTypeRecovery::AttachToImage(uint32_t sectorSize, const std::string& logName,
                                        uint16_t sourceTag, const std::string& imagePath) {
    sourceTag_ = sourceTag;
    if (sectorSize != 0) sectorSize_ = sectorSize;
    if (store_) (void)store_->Close();
    store_.reset();
    reader_.Close();
    if (Result r = reader_.OpenImageFile(imagePath); r != kOk) return r;
    return OpenStore(logName, false);
}

Result CFileTypeRecovery::SetCallbacks(ScanProgressFn scanProgress,
                                       RecoverProgressFn recoverProgress, void* userData,
                                       int progressScale) {
    (void)KeepCallbacks(scanProgress, recoverProgress, userData, progressScale);  // always kOk
    context_.scanProgress = scanProgress;
    context_.progressUserData = userData;
    context_.progressScale = progressScale;
    return kOk;
}

Result CFileTypeRecovery::Scan(const char* /*logName*/) {
    return kOk;
}

Result FindCarve(CarvingContext& context, uint32_t sectorSize, SectorReader& reader,
                 ByteSpan sector, uint64_t lba, const CarveProgress& progress, ByteSpan held,
                 CarveFind& find) {
    const Result r = IdentifyAndSize(context, sectorSize, reader, sector, lba, progress,
                                     find.name, find.type, find.length, held);
    find.structureValid = context.structureValid;
    find.firstPieceSectors = context.firstPieceSectors;
    find.secondPieceLba = context.secondPieceLba;
    return r;
}

Result CFileTypeRecovery::CarveSector(uint32_t sectorSize, ByteSpan sector, uint64_t lba,
                                      uint64_t sectorsDone, uint64_t sectorsTotal,
                                      int32_t secondsLeft, SectorReader& reader, uint64_t& consumed,
                                      uint64_t& filesFound, ByteSpan held) {
    if (sectorSize == 0) return kErrInvalidParameter;
    sectorSize_ = sectorSize;
    // Sizers report through the context to this engine's callback.
    CarvingContext& context = context_;
    context.scanProgress = scanProgress_;
    context.progressUserData = userData_;
    context.progressScale = progressScale_;
    CarveProgress progress;
    progress.sectorsDone = sectorsDone;
    progress.sectorsTotal = sectorsTotal != 0 ? sectorsTotal : 1;
    progress.secondsLeft = secondsLeft;
    progress.filesFound = filesFound;
    CarveFind find;
    const Result r = FindCarve(context, sectorSize, reader, sector, lba, progress, held, find);
    if (r != kOk) return r;
    RecordFind(find, sectorSize, lba, consumed, filesFound);
    return kOk;
}

void CFileTypeRecovery::NothingFound() {
    // As IdentifyAndSize leaves them when it recognises nothing.
    context_.transportStreamFlag = true;
    context_.bdavFlag = false;
}

void CFileTypeRecovery::RecordFind(const CarveFind& find, uint32_t sectorSize, uint64_t lba,
                                   uint64_t& consumed, uint64_t& filesFound) {
    if (sectorSize == 0) return;
    sectorSize_ = sectorSize;
    // The stream state as IdentifyAndSize leaves it for a file of this type.
    context_.transportStreamFlag = find.type == FileTypeCode::kTs;
    context_.bdavFlag = find.type == FileTypeCode::kMts;
    if (store_) {
        if (RecoveredItem* item = store_->AppendRecord()) {
            std::memset(static_cast<void*>(item), 0, sizeof(RecoveredItem));
            item->sourceTag = sourceTag_;
            item->engineKind = kEngineFileType;
            // A find whose structure did not check out is kept, marked: listings leave it out
            // unless damaged files are asked for too.
            item->contentValid = find.structureValid ? 1 : 0;
            item->recordIndex = store_->LastRecordIndex();
            item->clusterBytes = -1;
            item->fileSize = find.length;
            item->location = lba;
            // A file found in two pieces: the first piece's sectors and the second's LBA.
            item->objectKey = static_cast<int32_t>(find.firstPieceSectors);
            item->dataAreaStart = find.secondPieceLba;
            item->SetName(find.name);
            const int32_t index = item->recordIndex;
            store_->LinkChild(0, 0, index, 0, nullptr);
        }
    }
    // A file whose structure checked out is passed over whole: a thumbnail, a preview or an
    // embedded picture inside it is part of it, not a file of its own. A find whose structure
    // did not check out may be a false find lying over real files, so the pass looks inside it.
    consumed = find.structureValid ? (find.length + sectorSize - 1) / sectorSize : 1;
    if (consumed == 0) consumed = 1;
    ++filesFound;
    // After a file in two pieces the pass goes on after the first: what lies in the gap
    // between them is a file of its own.
    if (find.firstPieceSectors != 0) consumed = find.firstPieceSectors;
}

Result CFileTypeRecovery::ListChildren(const RecoveredItem* folder, int level,
                                       std::vector<RecoveredItem>& out) {
    if (!store_ || !store_->IsOpen()) return kOk;
    if (Result r = store_->Flush(); r != kOk) return r;
    if (folder || level != 0) return kOk;
    return store_->ListChildren(0, 0, out);
}

Result CFileTypeRecovery::CountFiles(const RecoveredItem* folder, int level, int& count) {
    count = 0;
    if (!store_ || !store_->IsOpen()) return kOk;
    if (Result r = store_->Flush(); r != kOk) return r;
    if (folder || level != 0) return kOk;
    int32_t n = 0;
    const Result r = store_->CountFiles(0, 0, n);
    count = n;
    return r;
}

uint64_t CFileTypeRecovery::GetItemCount() {
    return StoreItemCount(store_.get());
}

Result CFileTypeRecovery::GetItemPath(const RecoveredItem& /*item*/, std::string& /*out*/) {
    return kOk;
}

Result CFileTypeRecovery::SkipUsedClusters(uint64_t& /*position*/, uint64_t& /*freeLength*/) {
    return kOk;
}

Result CFileTypeRecovery::SetListCallback(ListProgressFn fn, void* userData) {
    return KeepListCallback(fn, userData, store_.get(), kErrInvalidParameter);
}

int CFileTypeRecovery::ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) {
    return ListStoreByType(store_.get(), pattern, out);
}

Result CFileTypeRecovery::BuildClusterMap() {
    return kOk;
}

template <typename Sink, typename Report>
Result CFileTypeRecovery::CopyCarved(const RecoveredItem& item, uint64_t limit, uint64_t& done,
                                     Sink sink, Report report) {
    done = 0;
    const uint32_t s = sectorSize_;
    const uint64_t fileSize = item.fileSize;  // copied: the record is packed
    const uint64_t length = std::min(fileSize, limit);
    if (length == 0) return kOk;
    if (!reader_.IsOpen()) return kErrInvalidHandle;
    const uint64_t available = SourceSectors(reader_, s);
    const auto chunkSectors = static_cast<uint32_t>(std::max<size_t>(1, kCopyBufferBytes / s));
    std::vector<uint8_t>& buffer = CopyBuffer();
    if (buffer.size() < size_t{chunkSectors} * s) buffer.resize(size_t{chunkSectors} * s);
    uint64_t position = item.location;
    // A file in two pieces (see recovered_item.h): the first piece's sectors, then the rest
    // from the second piece's start. A count that does not fit inside the file is no split.
    const int32_t firstPiece = item.objectKey;
    uint64_t pieceLeft = UINT64_MAX;
    if (firstPiece > 0 && uint64_t(firstPiece) * s < fileSize) pieceLeft = uint64_t(firstPiece);
    while (done < length) {
        if (pieceLeft == 0) {
            position = item.dataAreaStart;
            pieceLeft = UINT64_MAX;
        }
        const uint64_t wanted = std::min((length - done + s - 1) / s, pieceLeft);
        if (position >= available) return kErrReadFault;
        const auto count =
            static_cast<uint32_t>(std::min<uint64_t>({wanted, chunkSectors, available - position}));
        uint32_t got = 0;
        const Result r = reader_.ReadSectors(count, buffer.data(), position, s, got);
        // The sectors that did arrive are kept, also when the read then failed.
        const auto n = static_cast<size_t>(std::min<uint64_t>(uint64_t{got} * s, length - done));
        if (n > 0) {
            if (Result w = sink(buffer.data(), n); w != kOk) return w;
            done += n;
        }
        if (r != kOk) return r;
        if (got == 0) return kErrReadFault;
        position += got;
        if (pieceLeft != UINT64_MAX) pieceLeft -= std::min<uint64_t>(pieceLeft, got);
        if (const int answer = report(done); answer != 0) return answer;
    }
    return kOk;
}

Result CFileTypeRecovery::RecoverItem(const RecoveredItem& item, const std::string& destination,
                                      int /*destinationFlag*/) {
    std::string path = destination;
    bool stopped = false;
    const size_t slash = destination.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        if (Result r = MakeFolders(destination.substr(0, slash)); r != kOk) {
            return FinishFile(r, path, stopped);
        }
    }
    uint64_t done = 0;
    return CopyToNewFile(item, path, item.fileSize, stopped,
                         [&](const ChunkSink& sink, const CopiedFn& copied) {
                             return CopyCarved(item, UINT64_MAX, done, sink, copied);
                         });
}

Result CFileTypeRecovery::ExtractForPreview(const RecoveredItem& item, std::string& tempPath,
                                            uint8_t* memory, uint64_t& byteCount,
                                            PreviewProgressFn fn, void* userData) {
    PreviewOutput out(item, memory, byteCount, tempPath, fn, userData);
    if (out.LacksMemory()) return kErrInvalidParameter;
    if (Result r = out.Open(); r != kOk) return r;
    const uint64_t total = out.Total(item.fileSize);
    uint64_t done = 0;
    Result result = CopyCarved(
        item, total, done, [&](const uint8_t* bytes, size_t n) { return out.Put(bytes, n, done); },
        [&](uint64_t copied) { return out.Report(static_cast<int>(copied * 100 / total), kOk); });
    if (result == kOk && total == 0) out.Report(100, kOk);
    if (result > 0) out.Report(100, result);
    return out.Finish(result, done, true);
}

}  // namespace norvale
