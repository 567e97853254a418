#pragma once
// CProfessionalExfatRecovery: files and folders of exFAT volumes that can no longer be walked
// from their boot region: quick-formatted cards (a new, empty volume over the old directories),
// volumes whose boot region is gone, old volumes under a newer one. The stage reads nothing in a
// pass of its own: the full-scan coordinator reads every sector once and hands over those this
// stage claims (ClaimSector): exFAT directory blocks (kind 4), and exFAT boot sectors and the
// first sectors of FATs (kind 5).
//
//   BeginScan(name or null) -> for every sector, in increasing LBA order: ClaimSector, and
//   TakeSector for the claimed ones -> FinishScan().
//
// During the pass every entry set with a valid checksum, in use or deleted, is decoded and kept
// in a compact form; nothing is placed yet. At the end the old heap start H and cluster size C
// are worked out (ChooseLayouts): exFAT directories have no "." entries, so a folder entry
// whose FirstCluster points at a directory cluster seen in the pass is the evidence: such links
// satisfy lba = H + (cluster - 2) * C. A boot sector seen in the pass (or its backup) proposes
// its own layout. Then every directory cluster is given to the folder whose entry points at it:
// its whole allocation when NoFatChain says it is contiguous or a known FAT describes it, else
// its first cluster, the later ones being found by what a growing directory leaves (a set cut at
// a cluster's end and finished in another cluster, a run of directory sectors that goes on, a
// cluster right after the data of the directory's last file). The tree is rebuilt from those
// parent-to-child links, and folders whose own entry was never found are named
// "LostFolder<first cluster>" at the top. Records go into a "Pro_Exfat_" result store.
//
// A file's data is read from its first cluster on as consecutive clusters (the FAT of a
// formatted card is new and empty); where a FAT is known (the boot region at the partition's
// start or its backup, or a FAT met in the pass before the heap) and still describes a chained
// file whole, the chain is followed. Bytes past ValidDataLength read as zeros.
//
// Memory grows with what is found (entry sets, names, directory runs), never with the size of
// the medium; each list has a cap (ProfessionalExfatLimits). One stage serves one source and one
// thread at a time. The medium is only ever opened read-only.

#include <cstdint>
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
#include "engine/result_store.h"
#include "exfat/boot_region.h"

namespace norvale {

struct ExfatFileEntry;

inline constexpr char kProfessionalExfatLogPrefix[] = "Pro_Exfat_";
// The sector kinds this stage hands the coordinator (values 1-3 belong to NTFS and FAT).
inline constexpr uint8_t kExfatDirectorySectorKind = 4;
inline constexpr uint8_t kExfatBootSectorKind = 5;

// Caps on what one pass keeps until its end.
struct ProfessionalExfatLimits {
    size_t maxSets = 1 << 20;                    // decoded entry sets
    uint64_t maxNameBytes = uint64_t{64} << 20;  // their names, UTF-8
    size_t maxRuns = 1 << 20;                    // runs of consecutive directory sectors
    size_t maxStarts = 1 << 20;                  // sectors opening with an entry set
    size_t maxBootCandidates = 64;               // boot sectors seen in the pass
    size_t maxFatStarts = 64;                    // first sectors of FATs seen in the pass
    size_t maxLayouts = 4;                       // volumes told apart
    size_t maxVoters = 256;                      // folder links scored per candidate layout
    size_t maxOwnedClusters = size_t{1} << 21;   // directory clusters given to a folder
    uint64_t maxDirectoryClusters = 1 << 16;     // clusters one directory may span
    size_t maxCutSets = 1 << 14;                 // sets cut off at a cluster's end
    size_t maxHeads = 1 << 14;                   // clusters opening with their tails
};

// One candidate layout: where cluster 2 lies and how many medium sectors a cluster has.
struct ExfatLayout {
    uint64_t heapLba = 0;  // absolute, in medium sectors
    uint32_t sectorsPerCluster = 0;
    bool fromBoot = false;  // a boot sector seen on the medium proposed it
    int links = 0;          // folder entries whose first cluster it places on a directory
    bool operator==(const ExfatLayout& o) const {
        return heapLba == o.heapLba && sectorsPerCluster == o.sectorsPerCluster;
    }
};

class CProfessionalExfatRecovery final : public IFullScanStage, private EngineProgress {
  public:
    CProfessionalExfatRecovery();
    ~CProfessionalExfatRecovery() override;
    CProfessionalExfatRecovery(const CProfessionalExfatRecovery&) = delete;
    CProfessionalExfatRecovery& operator=(const CProfessionalExfatRecovery&) = delete;

    // ---- IFullScanStage ----
    int32_t StageEngineKind() const override { return kEngineProfessionalExfat; }
    const char* LogPrefix() const override { return kProfessionalExfatLogPrefix; }
    // The context the content checks run on: the stage's own unless one is handed here (the
    // coordinator hands its carver's), which must then outlive the stage's scans.
    void UseCarvingContext(CarvingContext& context) override { carvingContext_ = &context; }
    // Forgets an earlier pass and opens the store: a new "Pro_Exfat_<start>_<time>" without a
    // name, else the saved store of that name, whose records are kept and added to. Also reads
    // the partition's boot region: a valid one makes its FAT available to recoveries.
    Result BeginScan(const char* logName) override;
    // An exFAT directory block (IsExfatDirectorySector): one sector, or two when the last entry
    // set runs on into the next one; an exFAT boot sector or the first sector of a FAT (media
    // entry F8FFFFFF, then FFFFFFFF): one sector. Depends on the bytes only, so a resumed pass
    // claims the same sectors the same way.
    size_t ClaimSector(std::span<const uint8_t> sector, uint32_t bytesPerSector,
                       uint8_t& kind) override;
    bool OwnsSectorKind(uint8_t kind) const override {
        return kind == kExfatDirectorySectorKind || kind == kExfatBootSectorKind;
    }
    void TakeSector(uint8_t kind, std::span<const uint8_t> bytes, uint64_t lba) override;
    // Works out the layouts, rebuilds the tree, writes the records and flushes the store.
    Result FinishScan() override;
    Result FirstDataSector(const RecoveredItem& item, uint64_t& lba) override;

    // ---- IFileRecoveryParse ----
    // Opening reads nothing but the medium's size: a full scan runs on any source. A second
    // open of an open stage does nothing and gives kOk.
    Result OpenImage(const std::string& imagePath, uint16_t sourceTag) override;
    Result OpenDisk(int diskNumber, uint64_t partitionStartLba, uint64_t partitionSectorCount,
                    uint16_t driveLetter) override;
    Result SetCallbacks(ScanProgressFn scanProgress, RecoverProgressFn recoverProgress,
                        void* userData, int progressScale) override;
    Result Scan(const char* logName) override;  // the coordinator drives the pass: kOk
    Result ListChildren(const RecoveredItem* folder, int level,
                        std::vector<RecoveredItem>& out) override;
    Result CountFiles(const RecoveredItem* folder, int level, int& count) override;
    uint64_t GetItemCount() override;
    Result GetItemPath(const RecoveredItem& item, std::string& out) override;
    // Files are written whole (never replacing anything); a folder is created and filled.
    // A file the medium ends before fails with kErrHandleEof.
    Result RecoverItem(const RecoveredItem& item, const std::string& destination,
                       int destinationFlag) override;
    Result SkipUsedClusters(uint64_t& position, uint64_t& freeLength) override;  // no map: 0
    Result SetListCallback(ListProgressFn fn, void* userData) override;
    int ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) override;
    Result BuildClusterMap() override;  // kOk
    Result ExtractForPreview(const RecoveredItem& item, std::string& tempPath, uint8_t* memory,
                             uint64_t& byteCount, PreviewProgressFn fn, void* userData) override;

    // Tests and tools: opens an already open source as a partition of it.
    Result OpenSource(std::unique_ptr<ISectorSource> source, uint64_t partitionStartLba,
                      uint64_t partitionSectors, uint16_t sourceTag);
    void SetLimits(const ProfessionalExfatLimits& limits) { limits_ = limits; }
    bool IsOpen() const { return reader_.IsOpen(); }
    ResultStore* Store() override { return store_.get(); }

    // What the pass kept and what FinishScan worked out (tests watch the caps and the vote).
    struct PassCounts {
        size_t sets = 0, runs = 0, starts = 0, bootCandidates = 0;
        uint64_t nameBytes = 0;
    };
    PassCounts Counts() const;
    const std::vector<ExfatLayout>& Layouts() const { return layouts_; }

  private:
    // One decoded entry set, kept until the end of the pass.
    struct FoundSet {
        uint64_t lba = 0;  // sector of the set's first entry
        uint64_t validDataLength = 0, dataLength = 0;
        uint64_t createdTime = 0, modifiedTime = 0, accessedTime = 0;
        uint32_t firstCluster = 0;
        uint32_t nameOffset = 0;  // in names_
        uint16_t nameLength = 0;
        bool deleted = false, isFolder = false, noFatChain = false;
    };
    // Consecutive directory sectors; `open` while its last sector ran to its end without an
    // end-of-directory entry (the directory may go on in the next cluster).
    struct Run {
        uint64_t firstLba = 0, sectors = 0;
        bool open = false;
        bool root = false;  // holds the bitmap, up-case or label entry of a root directory
    };
    // An entry set cut off at the end of a directory cluster, and the start of a cluster that
    // opens with secondary entries: a directory that went on in a cluster elsewhere.
    struct CutSet {
        uint64_t lba = 0;     // sector of the set's first entry
        uint64_t endLba = 0;  // the sector after the cut
        std::vector<uint8_t> bytes;
    };
    struct Head {
        uint64_t lba = 0;
        size_t leading = 0;  // secondary entries before the first primary or end
        std::vector<uint8_t> bytes;
        bool used = false;
    };
    // Where the chosen layouts put things, built by FinishScan.
    struct Tree;

    // Opening (professional_exfat_recovery.cpp).
    Result FinishOpen(uint64_t partitionStartLba, uint64_t partitionSectors, uint16_t tag);
    bool ReadSectors(uint64_t lba, uint32_t count, std::vector<uint8_t>& out);
    void ResetPass();
    void ProbeLiveVolume();

    // The pass (professional_exfat_scan_recovery.cpp).
    void TakeDirectoryBlock(std::span<const uint8_t> block, uint64_t lba);
    void TakeBootSector(std::span<const uint8_t> sector, uint64_t lba);
    void NoteRun(uint64_t lba, uint64_t sectors, bool open, bool root);
    void KeepSet(const ExfatFileEntry& entry, uint64_t lba);
    void DropTail();
    void JoinCutSets(Tree& tree);
    std::string_view NameOf(const FoundSet& s) const;

    // The end of the pass (professional_exfat_tree_recovery.cpp).
    void ChooseLayouts();
    int ScoreLinks(const ExfatLayout& layout, const std::vector<uint32_t>& voters) const;
    int ContentScore(const ExfatLayout& layout);
    std::optional<uint64_t> ClusterLba(const ExfatLayout& layout, uint64_t cluster) const;
    int LayoutOf(uint64_t lba, const Tree& tree) const;
    void BuildTree(Tree& tree);
    void EmitTree(Tree& tree);
    RecoveredItem RecordOf(const FoundSet& s, const ExfatLayout& layout) const;
    bool ContentMatches(const RecoveredItem& rec);

    // Copying out (professional_exfat_copy_recovery.cpp).
    struct Extent {
        uint64_t lba = 0, sectors = 0;
    };
    Result PlanData(const RecoveredItem& item, std::vector<Extent>& extents, uint64_t& validBytes);
    Result RecoverOneFile(const RecoveredItem& item, std::string path, bool& stopped);
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
    ProfessionalExfatLimits limits_;

    std::unique_ptr<ResultStore> store_;
    std::set<uint32_t> emittedBefore_;  // folders a resumed store already holds

    // A FAT the stage can follow for the layout it belongs to: the one a valid boot region at
    // the partition's start describes (probed by BeginScan), or one whose first sector the pass
    // met before the heap of a layout it worked out (a volume whose boot region is gone).
    struct KnownFat {
        uint64_t heapLba = 0;
        uint32_t sectorsPerCluster = 0;
        ExfatBootRegion boot;
        uint64_t volumeStartByte = 0, volumeBytes = 0;
    };
    const KnownFat* FatFor(uint64_t heapLba, uint32_t sectorsPerCluster) const;
    void PlaceFoundFats();
    std::optional<KnownFat> liveFat_;
    std::vector<KnownFat> foundFats_;  // kept after the pass for recoveries
    std::vector<uint64_t> fatStarts_;  // sectors opening a FAT, met in the pass

    // The pass.
    std::vector<FoundSet> sets_;
    std::string names_;
    std::vector<Run> runs_;
    std::vector<uint64_t> starts_;  // increasing
    std::vector<ExfatLayout> bootCandidates_;
    uint64_t parsedUpTo_ = 0;    // absolute byte: sets starting before it were taken already
    std::vector<uint8_t> tail_;  // an entry set cut off at the end of the last block
    uint64_t tailEndLba_ = 0;    // the sector the tail's set goes on in
    std::vector<CutSet> cutSets_;
    std::vector<Head> heads_;
    std::vector<ExfatLayout> layouts_;
};

}  // namespace norvale
