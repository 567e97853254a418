#pragma once
// CProfessionalFatRecovery: files and folders of FAT volumes that can no longer be walked from
// their boot sector: formatted cards (a new, empty file system over the old data), volumes whose
// boot sector is gone, old volumes under a newer one of another kind. The engine does not read
// the medium in a pass of its own. The professional coordinator reads every sector once and
// hands this engine the ones that look like FAT directories:
//
//   BeginScan(name or null) -> ProbeBootSector() -> for every sector, in increasing LBA order:
//   OnDotSector() when IsDotEntryPair holds, else OnDirectorySector() when IsDirectoryBlock
//   holds -> FinishScan().
//
// From the subdirectories' "." entries the engine infers the layouts (cluster size and where
// cluster 2 lies) of the volumes the medium held, records every file entry it can place in a
// "Pro_Fat_" result store, and at the end emits the folders above them; a folder whose own
// entry was never found is named "LostFolder<first cluster>". With no FAT to follow, a file's
// data is read as the clusters that follow its first cluster.
//
// Memory grows with what is found (files waiting for a layout, directory sectors no layout
// placed yet, folders), never with the size of the medium; every list has a cap. One engine
// serves one source and one thread at a time. The medium is only ever opened read-only.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
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
#include "fat/directory_scan.h"
#include "fat/layout_guess.h"

namespace norvale {

inline constexpr char kProfessionalFatLogPrefix[] = "Pro_Fat_";
// The kinds of the pass sectors this stage takes, as saved with a stopped scan.
inline constexpr uint8_t kFatDotSectorKind = 2;
inline constexpr uint8_t kFatDirectorySectorKind = 3;

// Caps on what one pass keeps while it waits for a layout to place it.
struct ProfessionalFatLimits {
    size_t maxGuesses = 1024;
    size_t maxAnchors = 4096;
    size_t maxHeldFiles = 1 << 17;
    uint64_t maxOrphanBytes = uint64_t{64} << 20;
    size_t maxPendingTails = 256;
    size_t maxFolderEntries = 1 << 18;
    size_t maxDataEnds = 1 << 18;
};

class CProfessionalFatRecovery final : public IFullScanStage, private EngineProgress {
  public:
    CProfessionalFatRecovery();
    ~CProfessionalFatRecovery() override;
    CProfessionalFatRecovery(const CProfessionalFatRecovery&) = delete;
    CProfessionalFatRecovery& operator=(const CProfessionalFatRecovery&) = delete;

    // ---- The pass, driven by the professional coordinator ----

    // Starts a pass: forgets everything of an earlier one and opens the result store, a new one
    // "Pro_Fat_<start>_<local time>" without a name, else the saved store of that name (a
    // resumed scan), whose records are kept and added to. Both in the scan-log history's current
    // folder. Then probes the boot sector (ProbeBootSector; its failure costs only the guess).
    // Returns the store's open result, or the open result when the engine is not open.
    Result BeginScan(const char* logName) override;
    // Reads the partition's first 4096 bytes; when they hold a FAT boot sector its layout
    // becomes the first guess and names the root (the FAT32 root cluster, 0 for the fixed root
    // of FAT12/16; 2 when no boot sector is found). kOk, or the read's error. Once the boot
    // sector gave its guess, asking again in the same pass does nothing.
    Result ProbeBootSector();
    // A sector that opens a subdirectory (IsDotEntryPair holds), read at `lba` (absolute, in the
    // medium's sectors). Its files are recorded at once when a layout places it, else held.
    void OnDotSector(std::span<const uint8_t> sector, uint64_t lba);
    // A sector of directory entries (IsDirectoryBlock holds) that does not open a directory.
    // Kept until FinishScan when no layout places it yet.
    void OnDirectorySector(std::span<const uint8_t> sector, uint64_t lba);
    // Places what the pass kept (sectors and files), emits the folders above every recorded
    // file and flushes the store. Returns the flush result. Also to be called after a stop.
    Result FinishScan() override;

    // ---- IFileRecoveryParse ----

    // Opening reads nothing but the medium's size: a professional scan runs on any source.
    // A second open of an open engine does nothing and gives kOk.
    Result OpenImage(const std::string& imagePath, uint16_t sourceTag) override;
    Result OpenDisk(int diskNumber, uint64_t partitionStartLba, uint64_t partitionSectorCount,
                    uint16_t driveLetter) override;
    Result SetCallbacks(ScanProgressFn scanProgress, RecoverProgressFn recoverProgress,
                        void* userData, int progressScale) override;
    // Does nothing: the coordinator drives the pass. Returns kOk.
    Result Scan(const char* logName) override;
    // The root (no folder) lists the children of key 0 at level 0.
    Result ListChildren(const RecoveredItem* folder, int level,
                        std::vector<RecoveredItem>& out) override;
    Result CountFiles(const RecoveredItem* folder, int level, int& count) override;
    // Records added by this engine object (not those of a resumed store's earlier run).
    uint64_t GetItemCount() override;
    Result GetItemPath(const RecoveredItem& item, std::string& out) override;
    // A file is written to `destination` (its folder created when missing) from the clusters
    // following its first one, as far as its size says. A folder is created at `destination`
    // and filled with its content. Files never replace existing ones. Every file ends with one
    // report at 100% carrying its result; a file the medium ends before is kept as far as it
    // was read and fails with kErrHandleEof.
    Result RecoverItem(const RecoveredItem& item, const std::string& destination,
                       int destinationFlag) override;
    Result SkipUsedClusters(uint64_t& position, uint64_t& freeLength) override;  // no map: 0
    Result SetListCallback(ListProgressFn fn, void* userData) override;
    int ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) override;
    Result BuildClusterMap() override;  // no map to build: kOk
    Result ExtractForPreview(const RecoveredItem& item, std::string& tempPath, uint8_t* memory,
                             uint64_t& byteCount, PreviewProgressFn fn, void* userData) override;

    // Tests and tools: opens an already open source as a partition of it.
    Result OpenSource(std::unique_ptr<ISectorSource> source, uint64_t partitionStartLba,
                      uint64_t partitionSectors, uint16_t sourceTag);
    void SetLimits(const ProfessionalFatLimits& limits) { limits_ = limits; }

    // What the current pass holds (tests watch the caps with it).
    struct PassCounts {
        size_t guesses = 0, anchors = 0, heldFiles = 0, orphanSectors = 0, pendingTails = 0;
        size_t folderEntries = 0, referencedFolders = 0;
    };
    PassCounts Counts() const;
    const std::vector<FatLayoutGuess>& Guesses() const { return guesses_; }
    uint32_t RootCluster() const { return rootCluster_; }
    bool IsOpen() const { return reader_.IsOpen(); }
    uint32_t SectorSize() const { return sectorSize_; }
    ResultStore* Store() override { return store_.get(); }

    // The context the content checks by extension run on: the engine's own unless one is
    // handed here (the full-scan coordinator hands its carver's), which must then outlive the
    // engine's scans.
    void UseCarvingContext(CarvingContext& context) override { carvingContext_ = &context; }

    // ---- IFullScanStage: the coordinator's pass ----

    int32_t StageEngineKind() const override { return kEngineProfessionalFat; }
    const char* LogPrefix() const override { return kProfessionalFatLogPrefix; }
    // One sector: kFatDotSectorKind when IsDotEntryPair holds, else kFatDirectorySectorKind
    // when IsDirectoryBlock holds; else 0.
    size_t ClaimSector(std::span<const uint8_t> sector, uint32_t bytesPerSector,
                       uint8_t& kind) override;
    bool OwnsSectorKind(uint8_t kind) const override {
        return kind == kFatDotSectorKind || kind == kFatDirectorySectorKind;
    }
    // OnDotSector or OnDirectorySector, by kind.
    void TakeSector(uint8_t kind, std::span<const uint8_t> bytes, uint64_t lba) override;
    // Where the data of an item of either FAT engine starts: its first cluster under the layout
    // the item was found with (the sector before the data area for a root-level entry of key 0).
    Result FirstDataSector(const RecoveredItem& item, uint64_t& lba) override;

  private:
    static constexpr int kNoGuess = -1;
    static constexpr size_t kMaxTreeDepth = 4096;  // parent walks end here at the latest
    static constexpr size_t kMaxCachedSectors = 1 << 16;

    struct HeldFile {
        RecoveredItem record;  // recordIndex still holds the parent key
        uint32_t parentKey = 0;
        bool highWordLost = false;  // deleted entry with high word 0: probe once placed
        bool resolved = false;
    };
    struct FolderEntry {
        RecoveredItem record;  // recordIndex holds the parent key until it is emitted
        int guess = kNoGuess;
    };
    struct FolderNote {
        int guess = kNoGuess;
        uint64_t lba = 0;
    };
    struct Orphan {
        std::vector<uint8_t> bytes;
        bool used = false;
    };
    struct Tail {
        uint8_t checksum = 0;
        uint32_t key = 0;
        uint64_t lba = 0;     // sector of the tail's first byte
        uint64_t endLba = 0;  // the sector right after the block the tail ended
        bool endsCluster = false;
        int guess = kNoGuess;
        std::vector<uint8_t> bytes;
    };
    struct Run {
        bool valid = false;
        int guess = kNoGuess;
        uint32_t cluster = 0;
        uint64_t startLba = 0;
        uint32_t span = 0;
        uint32_t key = 0;
        bool open = false;  // the last sector parsed in it did not end its directory
    };
    struct DotInfo {
        bool readOk = false;
        DotSectorInfo info;
        uint64_t lba = 0;
    };
    struct ParseResult {
        uint32_t key = 0;        // the directory the block was found to belong to
        bool endMarker = false;  // the block ended its directory
        std::optional<Tail> tail;
    };

    Result OpenPassStore(const char* logName);

    // Opening and reads (professional_fat_recovery.cpp).
    Result FinishOpen(uint64_t partitionStartLba, uint64_t partitionSectors, uint16_t tag);
    bool ReadSector(uint64_t lba, std::vector<uint8_t>& sector);
    uint64_t MediumEnd() const;

    // The pass (professional_fat_scan_recovery.cpp).
    void ResetPass();
    std::optional<uint64_t> ClusterLba(int guess, uint32_t cluster) const;
    int GuessPlacing(uint32_t cluster, uint64_t lba) const;
    enum class Evidence { kNone, kConfirmed, kContradicted };
    Evidence ParentEvidence(uint32_t parent, int guess);
    Evidence SubfolderEvidence(const DirectoryBlockScan& scan, int guess);
    // Files of the block whose extension the catalogue knows: +1 for each whose first cluster
    // under the layout holds content of that kind, -1 for each whose does not.
    int ContentEvidence(const DirectoryBlockScan& scan, int guess);
    int GuessForAnchor(const DotAnchor& anchor, uint32_t parent);
    std::optional<uint32_t> GrownDirectory(const DirectoryBlockScan& scan, int guess,
                                           uint32_t cluster) const;
    std::optional<std::pair<int, uint32_t>> AlignedGuess(std::span<const uint8_t> sector,
                                                         uint64_t lba, bool deferContradicted);
    DotInfo FirstSectorOf(int guess, uint32_t cluster);
    bool IsRootKey(uint32_t key) const { return key < 2 || key == rootCluster_; }
    uint32_t LinkKey(uint32_t key) const { return IsRootKey(key) ? 0 : key; }
    ParseResult ParseBlock(std::span<const uint8_t> block, uint64_t lba, uint64_t endLba,
                           uint32_t key, int guess);
    ParseResult ParseChain(std::span<const uint8_t> block, uint64_t lba, uint64_t endLba,
                           uint32_t key, int guess);
    uint32_t DecideKey(const DirectoryBlockScan& scan, uint64_t& lba, uint32_t key, int guess);
    void TakeFolder(const FoundDirEntry& found, std::span<const uint8_t> block, uint32_t key,
                    uint64_t lba, int guess);
    void TakeFile(const FoundDirEntry& found, std::span<const uint8_t> block, uint32_t key,
                  uint64_t lba, int guess);
    RecoveredItem EntryRecord(const FoundDirEntry& found, std::span<const uint8_t> block) const;
    void EmitFile(RecoveredItem rec, uint32_t parentKey, bool highWordLost, int guess);
    void SetPlacement(RecoveredItem& rec, int guess) const;
    uint32_t FolderCluster(const FoundDirEntry& found, int guess);
    uint32_t ProbeCluster(uint32_t stated, uint64_t fileSize, bool asFolder, std::string_view name,
                          int guess);
    bool ContentMatches(uint32_t cluster, std::string_view name, int guess);
    uint32_t ChainDepth(uint32_t key, int guess);
    void RegisterFoldersAbove(uint32_t key, int guess, uint64_t lba);
    Tail MakeTail(std::span<const uint8_t> block, const DirectoryBlockScan& scan, uint64_t lba,
                  uint64_t endLba, uint32_t key, int guess) const;
    Orphan* OrphanContinuing(const Tail& tail);
    bool TailContinuesInto(const Tail& tail, std::span<const uint8_t> sector,
                           uint64_t sectorLba) const;
    std::optional<size_t> PendingTailFor(std::span<const uint8_t> sector, uint64_t lba) const;
    ParseResult ParseJoined(const Tail& tail, std::span<const uint8_t> sector, uint64_t sectorLba);
    void DropStaleTails(uint64_t lba);
    void SetRun(int guess, uint64_t lba, uint32_t key, bool open);
    bool RunCovers(uint64_t lba) const;
    void ParseAligned(std::span<const uint8_t> sector, uint64_t lba, int guess, uint32_t cluster);
    void KeepOrphan(std::span<const uint8_t> sector, uint64_t lba);
    // Files held while no layout placed their folder, tried under the layouts from
    // `firstGuess` on (a layout just learnt; the end of the pass tries them all).
    void PlaceHeldFiles(size_t firstGuess);
    void PlaceOrphans();
    void EmitFolders();
    int GuessHoldingInCluster(uint32_t key, uint64_t lba) const;
    int32_t NextRecordIndex() const;

    // Copying out (professional_fat_copy_recovery.cpp).
    Result RecoverOneFile(const RecoveredItem& item, std::string path, bool& stopped);
    // Reads the item's data from its first cluster on, the clusters following each other, and
    // hands it to `sink(bytes, n)` piece by piece until `total` bytes are done; after each
    // piece `report(done)` may stop the copy with its non-zero answer.
    template <typename Sink, typename Report>
    Result CopyData(const RecoveredItem& item, uint64_t total, uint64_t& done, Sink sink,
                    Report report);

    SectorReader reader_;
    CarvingContext ownCarvingContext_;
    CarvingContext* carvingContext_ = &ownCarvingContext_;
    Result openResult_ = kErrInvalidHandle;
    uint32_t sectorSize_ = 512;
    uint64_t partitionStartLba_ = 0;
    uint64_t partitionSectors_ = 0;
    uint16_t sourceTag_ = 0;
    ProfessionalFatLimits limits_;

    std::unique_ptr<ResultStore> store_;
    std::set<uint32_t> emittedBefore_;  // folders a resumed store already holds

    // The pass.
    uint32_t rootCluster_ = 2;
    bool bootGuess_ = false;
    std::vector<FatLayoutGuess> guesses_;
    std::vector<DotAnchor> anchors_;
    std::vector<HeldFile> heldFiles_;
    size_t unresolvedHeld_ = 0;
    std::map<uint32_t, FolderEntry> folderEntries_;
    std::map<uint32_t, FolderNote> referencedFolders_;
    std::set<std::pair<int, uint32_t>> registeredFrom_;
    std::map<uint64_t, Orphan> orphans_;
    uint64_t orphanBytes_ = 0;
    std::vector<Tail> pendingTails_;
    Run run_;
    std::map<std::pair<int, uint32_t>, DotInfo> dotInfoCache_;
    std::map<std::pair<int, uint32_t>, uint32_t> depthCache_;
    // (layout, cluster right after a recorded file's data) -> the file's directory: where a
    // directory that ran out of room most likely went on.
    std::unordered_map<uint64_t, uint32_t> dataEnds_;
};

}  // namespace norvale
