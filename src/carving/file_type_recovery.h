#pragma once
// CFileTypeRecovery: the engine of files found by their signatures alone. It never walks the
// source itself (its Scan does nothing): a sector pass hands it one sector at a time through
// CarveSector, and it records every file that begins there as "<LBA>.<ext>" in its own
// "File_Type_" result store. Carved files are a flat list under the root, each holding its first
// sector and its length; listing, counting, recovery and preview go through the usual slots.
//
// The detectors and sizers work on the engine's own CarvingContext, so engines on different
// threads carve at once. Not thread-safe: one thread calls the engine at a time. The medium is
// only ever opened read-only.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "carving/byte_search.h"
#include "carving/carving_context.h"
#include "carving/file_type.h"
#include "carving/identify.h"
#include "device/sector_reader.h"
#include "engine/engine_progress.h"
#include "engine/recovered_item.h"
#include "engine/recovery_parse.h"
#include "engine/result_store.h"

namespace norvale {

inline constexpr char kCarvedLogPrefix[] = "File_Type_";

// A file that begins at one sector, as the catalogue named and sized it: what the carving
// engine records of it.
struct CarveFind {
    std::string name;
    FileTypeCode type = FileTypeCode::kNoFileType;
    uint64_t length = 0;
    bool structureValid = true;
    uint64_t firstPieceSectors = 0;  // a file in two pieces (see CarvingContext)
    uint64_t secondPieceLba = 0;
};

// Names and sizes the file that begins with `sector` on `context` (IdentifyAndSize), into
// `find`. Same answers as IdentifyAndSize. Workers that look ahead of a pass call it on
// contexts of their own; the context's leanedOnOrder then tells whether the answer depended on
// the candidates before.
Result FindCarve(CarvingContext& context, uint32_t sectorSize, SectorReader& reader,
                 ByteSpan sector, uint64_t lba, const CarveProgress& progress, ByteSpan held,
                 CarveFind& find);

class CFileTypeRecovery final : public IFileRecoveryParse, private EngineProgress {
  public:
    CFileTypeRecovery();
    ~CFileTypeRecovery() override;
    CFileTypeRecovery(const CFileTypeRecovery&) = delete;
    CFileTypeRecovery& operator=(const CFileTypeRecovery&) = delete;

    // Reopen the engine for a resumed scan: the store `logName` (in the scan-log history's
    // current folder) is opened and appended to. Returns the reader's open result, else the
    // store's.
    Result AttachToDisk(uint32_t sectorSize, int diskNumber, const std::string& logName,
                        uint16_t sourceTag);
    Result AttachToImage(uint32_t sectorSize, const std::string& logName, uint16_t sourceTag,
                         const std::string& imagePath);

    // Tries to carve a file that begins with `sector` (one sector, read at `lba` through
    // `reader`, which the sizers also read ahead with). kOk when a file was recorded: `consumed`
    // is then the number of sectors it covers when its structure checked out (the record's
    // contentValid 1), else 1, so that the pass looks inside a find that may be a false one
    // (contentValid 0), and `filesFound` grew by one. kErrInvalidParameter when nothing was
    // recognised and kScanCancelled when the progress callback stopped a sizer; `consumed` is
    // left as the caller preset it in both cases. A file that could only partly be sized (a read
    // failed) is recorded with the length reached. `held` is what the pass holds from `sector`
    // on (see IdentifyAndSize).
    Result CarveSector(uint32_t sectorSize, ByteSpan sector, uint64_t lba, uint64_t sectorsDone,
                       uint64_t sectorsTotal, int32_t secondsLeft, SectorReader& reader,
                       uint64_t& consumed, uint64_t& filesFound, ByteSpan held = {});

    // The two halves of CarveSector, for a pass whose workers looked ahead: records a file
    // found at `lba` (by FindCarve, with this engine's stream state as it stood there) and sets
    // `consumed` and `filesFound` as CarveSector does; NothingFound stands for a sector at which
    // nothing was recognised.
    void RecordFind(const CarveFind& find, uint32_t sectorSize, uint64_t lba,
                    uint64_t& consumed, uint64_t& filesFound);
    void NothingFound();

    // A new store "File_Type_0_<local time>" (images) or "File_Type_<start LBA>_<local time>"
    // (disks) in the scan-log history's current folder, replacing any earlier one. Returns the
    // reader's open result, else the store's.
    Result OpenImage(const std::string& imagePath, uint16_t sourceTag) override;
    Result OpenDisk(int diskNumber, uint64_t partitionStartLba, uint64_t partitionSectorCount,
                    uint16_t driveLetter) override;
    Result SetCallbacks(ScanProgressFn scanProgress, RecoverProgressFn recoverProgress,
                        void* userData, int progressScale) override;
    Result Scan(const char* logName) override;  // nothing to do: the sector pass drives
    // All carved files hang under the root: a folder or a nonzero level lists nothing.
    Result ListChildren(const RecoveredItem* folder, int level,
                        std::vector<RecoveredItem>& out) override;
    Result CountFiles(const RecoveredItem* folder, int level, int& count) override;
    uint64_t GetItemCount() override;
    Result GetItemPath(const RecoveredItem& item, std::string& out) override;  // no folders
    // Copies `fileSize` bytes from the item's first sector on into a new file at `destination`
    // (never replacing an existing file: "2048(1).jpg" when "2048.jpg" exists). The file ends
    // with one report at 100% carrying the result; kErrReadFault when the source ends first
    // (what could be read is kept).
    Result RecoverItem(const RecoveredItem& item, const std::string& destination,
                       int destinationFlag) override;
    Result SkipUsedClusters(uint64_t& position, uint64_t& freeLength) override;
    Result SetListCallback(ListProgressFn fn, void* userData) override;
    int ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) override;
    Result BuildClusterMap() override;
    Result ExtractForPreview(const RecoveredItem& item, std::string& tempPath, uint8_t* memory,
                             uint64_t& byteCount, PreviewProgressFn fn, void* userData) override;

    uint32_t SectorSize() const { return sectorSize_; }
    ResultStore* Store() { return store_.get(); }
    // The context the detectors and sizers run on; it lives as long as the engine. A pass
    // empties its stream state before it starts; engines that check content beside this one
    // may be handed it (see carving_context.h).
    CarvingContext& Context() { return context_; }

  private:
    Result OpenStore(const std::string& logName, bool fresh);
    // Hands the item's bytes, at most `limit` of them, to `sink(bytes, n)` in order (a failing
    // sink stops the copy with its result), calling `report(done)` after each chunk; a nonzero
    // answer stops the copy with it.
    template <typename Sink, typename Report>
    Result CopyCarved(const RecoveredItem& item, uint64_t limit, uint64_t& done, Sink sink,
                      Report report);

    uint16_t sourceTag_ = 0;
    uint64_t partitionStartLba_ = 0;
    uint64_t partitionSectors_ = 0;
    uint32_t sectorSize_ = 512;
    SectorReader reader_;
    std::unique_ptr<ResultStore> store_;
    CarvingContext context_;
};

}  // namespace norvale
