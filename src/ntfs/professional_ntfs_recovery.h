#pragma once
// CProfessionalNtfsRecovery: the NTFS engine for media whose metadata can no longer be trusted
// (a formatted partition, a damaged boot sector, an old volume that lay elsewhere on the disk).
// It walks no MFT and its Scan does nothing: the professional coordinator reads the whole
// source once and hands over every sector that CandidateRecordBytes accepts (a file record),
// with its LBA, to ParseCandidate. Each file record becomes an item; the engine works out the
// cluster size and the start of the volume the record belongs to, places the folders above it
// by reading their records, and FinishScan then records those folders. Results go to a
// "Pro_Ntfs_" result store.
//
// Where a record's volume lies: every MFT whose record 0 ("$MFT") has been met, and the one the
// partition's boot sector names, is kept with its runs; a record that lies exactly where one of
// them keeps its number belongs to that volume. A record that none explains is taken to lie in a
// contiguous MFT of a volume that begins at the partition start; records met before their own
// volume's $MFT record are placed that way and not revisited.
//
// Memory grows with what is found (items are in the store; the engine keeps one entry per folder
// number met and at most kMaxMftPlacements MFTs), never with the size of the source. Not
// thread-safe: one thread calls the engine at a time. The medium is only ever opened read-only.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "carving/carving_context.h"
#include "carving/full_scan_stage.h"
#include "device/sector_reader.h"
#include "engine/engine_progress.h"
#include "engine/recovered_item.h"
#include "engine/recovery_parse.h"
#include "engine/result_store.h"
#include "ntfs/attribute_content.h"
#include "ntfs/found_record.h"
#include "ntfs/mft_placement.h"
#include "ntfs/run_list.h"

namespace norvale {

inline constexpr char kProfessionalNtfsLogPrefix[] = "Pro_Ntfs_";
// The kind of the pass sectors this stage takes, as saved with a stopped scan.
inline constexpr uint8_t kNtfsRecordSectorKind = 1;

// The size of the file record that begins with `sector` (at least its first 512 bytes), or 0
// when it is none the sector pass takes. A record passing IsCandidateMftRecord has the size
// FoundRecordBytes gives. Beyond that the pass takes records of other writers: an update
// sequence array at an offset other than 0x30 (the ntfs3 driver and NTFS 3.0 put it at 0x2A),
// and records of up to 4 KiB on smaller sectors (a volume made for 4 KiB sectors, read from an
// image of 512-byte sectors). Such a record states its size (0x1C): a power of two from
// FoundRecordBytes(bytesPerSector) to 4096, with one update sequence entry per 512 bytes, bytes
// in use within it, and the first 512 bytes ending with its update sequence number.
uint32_t CandidateRecordBytes(std::span<const uint8_t> sector, uint32_t bytesPerSector);

class CProfessionalNtfsRecovery final : public IFullScanStage, private EngineProgress {
  public:
    // MFTs kept at most; the $MFT records of further volumes are left out.
    static constexpr size_t kMaxMftPlacements = 1024;
    // Folders above one item at most; a deeper chain hangs its top folder under the root.
    static constexpr size_t kMaxFolderDepth = 16384;

    CProfessionalNtfsRecovery();
    ~CProfessionalNtfsRecovery() override;
    CProfessionalNtfsRecovery(const CProfessionalNtfsRecovery&) = delete;
    CProfessionalNtfsRecovery& operator=(const CProfessionalNtfsRecovery&) = delete;

    // An image: partition start 0, length = file size / 512, 512-byte sectors. Returns the
    // open's result; an image without an NTFS boot sector opens all the same.
    Result OpenImage(const std::string& imagePath, uint16_t sourceTag) override;
    // A partition (or region) of a disk, in the disk's own sectors. Returns the open's result,
    // or the read error of the first 4 KiB of the partition. Both opens take the starting
    // cluster-size estimate from the partition's size (DefaultSectorsPerCluster) and keep the
    // MFT that a boot sector at the partition start names. Opening again starts afresh.
    Result OpenDisk(int diskNumber, uint64_t partitionStartLba, uint64_t partitionSectorCount,
                    uint16_t driveLetter) override;
    Result SetCallbacks(ScanProgressFn scanProgress, RecoverProgressFn recoverProgress,
                        void* userData, int progressScale) override;
    // Does nothing and returns kOk: the coordinator's sector pass drives this engine.
    Result Scan(const char* logName) override;
    // The root (no folder) is the store's first list; a folder lists its children at `level`.
    Result ListChildren(const RecoveredItem* folder, int level,
                        std::vector<RecoveredItem>& out) override;
    Result CountFiles(const RecoveredItem* folder, int level, int& count) override;
    uint64_t GetItemCount() override;  // records appended since BeginScan
    Result GetItemPath(const RecoveredItem& item, std::string& out) override;  // 87 without store
    // A file is written to `destination`; a folder is created there with its content. The file
    // is read from its record at `location`: resident content from the record, otherwise through
    // the runs of its $DATA at the item's volume start (`partitionStart`) with its cluster size
    // (sparse runs as zeros, compressed units decoded). A file whose $DATA lies behind an
    // $ATTRIBUTE_LIST fails with kErrUnsupportedLayout. Results and reports as CFastNtfsRecovery.
    Result RecoverItem(const RecoveredItem& item, const std::string& destination,
                       int destinationFlag) override;
    Result SkipUsedClusters(uint64_t& position, uint64_t& freeLength) override;  // no map
    Result SetListCallback(ListProgressFn fn, void* userData) override;          // 87 without store
    int ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) override;
    Result BuildClusterMap() override;  // nothing to build: kOk
    Result ExtractForPreview(const RecoveredItem& item, std::string& tempPath, uint8_t* memory,
                             uint64_t& byteCount, PreviewProgressFn fn, void* userData) override;

    // --- The sector pass, called by the coordinator in this order. ---

    // Starts a pass: forgets the folders of an earlier pass and opens the store. Without a name
    // (null or empty) a new store "Pro_Ntfs_<partition start>_<local time>" is made in the
    // scan-log history's current folder; with one, that store is reopened and appended to (a
    // resumed scan), its folders counting as recorded already.
    Result BeginScan(const char* logName) override;
    // One record that passed the candidate test at `foundLba` (the coordinator's sectors):
    // `record` holds at least RecordBytes() bytes from there, or the larger size the record
    // states when CandidateRecordBytes accepts it, and is not changed. A record whose header
    // holds no number of its own (its update sequence array starts before 0x30) takes the number
    // of the place a known MFT keeps there, and gives nothing when no MFT explains its place.
    // Directory records are ignored (folders come from the chains above files); records 1..11 give
    // nothing; record 0 of an MFT is kept to place later records. Returns kOk (also when the
    // record gave nothing), kErrEngineGeneric (-1) without "FILE", kErrInvalidParameter for a
    // record too short or with a header that does not fit, kErrInvalidHandle before BeginScan.
    // Failures cost only this record.
    Result ParseCandidate(std::span<const uint8_t> record, uint64_t foundLba);
    // Records the folders met above the files, each once, under its own name, or as
    // "LostFolder<n>" under the root when its record is gone. A folder that can no longer be read
    // is still recorded (as lost, where its children expect it) and the pass goes on. Returns
    // the first read error, else the store's flush result.
    Result FinishScan() override;

    // --- The run loader, for the coordinator's merged listing. ---

    // The runs of the first unnamed $DATA of the record at `lba`: the read error, -1 without
    // "FILE", kErrUnsupportedLayout (-100) when an $ATTRIBUTE_LIST comes first, when there is no
    // $DATA or when it is resident; else kOk.
    Result LoadDataRuns(uint64_t lba, std::vector<DataRun>& runs);
    // The first data sector of an NTFS item (either NTFS engine's): its volume start
    // (`partitionStart`) + first LCN x `clusterBytes` / BytesPerSector(), from the record at its
    // `location`. Results as LoadDataRuns; kErrUnsupportedLayout also when the first run is
    // sparse, kErrInvalidParameter for an item whose cluster size is unusable.
    Result FirstDataSector(const RecoveredItem& item, uint64_t& lba) override;

    bool IsOpen() const { return reader_.IsOpen(); }
    uint32_t BytesPerSector() const { return bytesPerSector_; }
    uint32_t RecordBytes() const { return recordBytes_; }  // the size assumed before a record tells
    uint32_t SectorsPerClusterEstimate() const { return spcEstimate_; }
    size_t MftPlacementCount() const { return mfts_.size(); }
    ResultStore* Store() override { return store_.get(); }

    // The context the content checks by extension run on: the engine's own unless one is
    // handed here (the full-scan coordinator hands its carver's), which must then outlive the
    // engine's scans.
    void UseCarvingContext(CarvingContext& context) override { carvingContext_ = &context; }

    // ---- IFullScanStage: the coordinator's pass ----

    int32_t StageEngineKind() const override { return kEngineProfessionalNtfs; }
    const char* LogPrefix() const override { return kProfessionalNtfsLogPrefix; }
    // A sector CandidateRecordBytes accepts: the record's size. A folder record is claimed with
    // kind 0 (kept from the carver, never parsed: folders come from the chains above files),
    // any other with kNtfsRecordSectorKind.
    size_t ClaimSector(std::span<const uint8_t> sector, uint32_t bytesPerSector,
                       uint8_t& kind) override;
    bool OwnsSectorKind(uint8_t kind) const override { return kind == kNtfsRecordSectorKind; }
    // ParseCandidate for a record of kNtfsRecordSectorKind.
    void TakeSector(uint8_t kind, std::span<const uint8_t> bytes, uint64_t lba) override;

  private:
    // Where a folder met above a file hangs in the tree (its children are linked one level
    // deeper), where its record lies, and what the item that met it knew of its volume.
    struct FolderPlace {
        uint32_t parent = 0;
        uint32_t level = 0;
        bool lost = false;     // no folder record with this number where it should be
        bool deleted = false;  // the folder, or one above it, is not in use
        bool recorded = false;
        uint64_t lba = 0;
        uint64_t volumeStart = 0;
        uint32_t sectorsPerCluster = 0;
    };
    // An MFT met on the source, with the size of its records (from its record 0).
    struct KnownMft {
        MftPlacement placement;
        uint32_t sectorsPerRecord = 2;
    };
    // A record whose place is known, from which its relatives are located.
    struct Origin {
        const KnownMft* mft = nullptr;  // the MFT that explains it, if one does
        uint64_t lba = 0;
        uint64_t number = 0;
        uint64_t volumeStart = 0;
        uint32_t sectorsPerCluster = 0;
        uint32_t sectorsPerRecord = 2;
    };

    Result FinishOpen(uint64_t partitionStartLba, uint64_t partitionSectors, uint16_t tag,
                      bool failOnBootRead);
    void Reset();
    // Reads the record at `lba` into `buffer` with its fixups: RecordBytes(), or the larger size
    // the record states when CandidateRecordBytes accepts its first sector. The read error, -1
    // without "FILE" or with unusable fixups, 87 for a header that does not fit.
    Result ReadRecordAt(uint64_t lba, std::vector<uint8_t>& buffer);
    int32_t NextRecordIndex() const;

    // The pass (professional_ntfs_scan_recovery.cpp).
    void RegisterBootMft();
    void RegisterMft(std::span<const uint8_t> record, uint64_t recordZeroLba,
                     uint32_t sectorsPerCluster);
    const KnownMft* ExplainingMft(uint64_t number, uint64_t lba, uint32_t sectorsPerRecord) const;
    // The number a known MFT of `sectorsPerRecord`-sector records keeps at `lba`, if one does.
    std::optional<uint64_t> NumberAt(uint64_t lba, uint32_t sectorsPerRecord) const;
    std::optional<uint64_t> Locate(const Origin& from, uint64_t number) const;
    const FolderPlace& PlaceFolder(uint32_t number, const Origin& from);
    bool ReadFolder(uint64_t lba, uint32_t number, uint32_t& parent, bool& inUse);
    bool ContentMatches(const FoundRecordFacts& facts, uint64_t volumeStart, uint32_t spc);
    void RecordFolder(uint32_t number, FolderPlace& place, Result& firstError);
    void RestoreRecordedFolders();

    // Content (professional_ntfs_copy_recovery.cpp).
    Result LoadContent(const RecoveredItem& item, AttributeContent& content);

    SectorReader reader_;
    CarvingContext ownCarvingContext_;
    CarvingContext* carvingContext_ = &ownCarvingContext_;
    Result openResult_ = kErrInvalidHandle;
    uint16_t sourceTag_ = 0;
    uint64_t partitionStart_ = 0;
    uint64_t partitionSectors_ = 0;
    uint32_t bytesPerSector_ = 512;
    uint32_t recordBytes_ = 1024;
    uint32_t sectorsPerRecord_ = 2;
    uint32_t spcEstimate_ = 8;

    std::unique_ptr<ResultStore> store_;

    std::map<uint64_t, KnownMft> mfts_;  // by the LBA of record 0
    std::unordered_map<uint32_t, FolderPlace> places_;
    std::vector<uint32_t> folders_;  // folder numbers in the order they were met
    std::vector<uint8_t> record_;    // the candidate being parsed
    std::vector<uint8_t> folderRecord_;

    std::unique_ptr<NtfsVolume> itemVolume_;  // the volume of the item being copied
};

}  // namespace norvale
