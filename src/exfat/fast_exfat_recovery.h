#pragma once
// CFastExfatRecovery: the deleted-file engine for exFAT volumes. The scan walks the directory
// tree from the root, breadth first, through live and deleted folders alike, and records every
// deleted file (an entry set whose entry types lost their in-use bit), every file inside a
// deleted folder and the folders above them. Live files of live folders are not listed, as on
// FAT. An entry set is trusted only when it decodes whole with a matching checksum.
//
// Where a file's data lies (fast_exfat_content_recovery.cpp): a file stored without a FAT chain
// lies in consecutive clusters from its first one. A chained file follows its FAT chain as long as
// the chain still describes it: exactly as many clusters as its size needs, linking on no further
// than that, and none of them in use by something else when the file is deleted. Otherwise, as after
// a driver that clears the chain on deletion, its clusters are taken from the first one on, passing
// over clusters the allocation bitmap marks in use. Bytes past the valid data length read as zeros.
//
// Records: objectKey is the first cluster, clusterBytes the cluster size, dataAreaStart the
// cluster heap's first sector and location the sector (in the volume's sectors, counted from
// the medium's start) that holds the file's stream extension entry: recovery reads the chain
// flag and the valid data length back from there, also for a scan reopened from its logs.
//
// One engine serves one source. It is not thread-safe: scan, listing, preview and recovery are
// called by one thread at a time. The medium is only ever opened read-only.

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "carving/carving_context.h"
#include "device/sector_reader.h"
#include "engine/engine_progress.h"
#include "engine/recovered_item.h"
#include "engine/recovery_parse.h"
#include "engine/result_store.h"
#include "exfat/entry_set.h"
#include "exfat/exfat_volume.h"

namespace norvale {

// What decides where a file's bytes lie, as its stream extension entry states it.
struct ExfatContentFacts {
    uint32_t firstCluster = 0;
    uint64_t dataLength = 0;
    uint64_t validDataLength = 0;
    bool noFatChain = false;
    bool entryDeleted = true;  // the entry set itself lost its in-use bits
    bool stale = true;         // deleted, or inside a deleted folder: the FAT may have moved on
};

class CFastExfatRecovery final : public IFileRecoveryParse, private EngineProgress {
  public:
    CFastExfatRecovery();
    ~CFastExfatRecovery() override;
    CFastExfatRecovery(const CFastExfatRecovery&) = delete;
    CFastExfatRecovery& operator=(const CFastExfatRecovery&) = delete;

    // Both opens read the volume's boot region and refuse, with kErrUnsupportedLayout, one that
    // is not exFAT or does not fit the medium. A second open of an open engine gives kOk.
    Result OpenImage(const std::string& imagePath, uint16_t sourceTag) override;
    Result OpenDisk(int diskNumber, uint64_t partitionStartLba, uint64_t partitionSectorCount,
                    uint16_t driveLetter) override;
    Result SetCallbacks(ScanProgressFn scanProgress, RecoverProgressFn recoverProgress,
                        void* userData, int progressScale) override;
    // Without a name: a new scan into a new store "Fast_<start>_<local time>" in the folder the
    // scan-log history names. Returns kOk, the callback's answer when it asked to stop (the
    // folders above what was found are still recorded), or the error of opening the store.
    // With a name: reopens that store for listing and reads nothing from the medium.
    Result Scan(const char* logName) override;
    // Folders list their children at their depth below the root (the root's at level 0).
    Result ListChildren(const RecoveredItem* folder, int level,
                        std::vector<RecoveredItem>& out) override;
    Result CountFiles(const RecoveredItem* folder, int level, int& count) override;
    uint64_t GetItemCount() override;
    Result GetItemPath(const RecoveredItem& item, std::string& out) override;
    // As CFastFatRecovery: a file is written to `destination`, a folder is created there with
    // its content; every file ends with one report at 100% carrying its result, and a file the
    // volume cannot give whole fails and leaves nothing under its name.
    Result RecoverItem(const RecoveredItem& item, const std::string& destination,
                       int destinationFlag) override;
    // Positions count the volume's sectors from the partition start; 0 stands for the start of
    // the cluster heap. Gives no free space before BuildClusterMap succeeded.
    Result SkipUsedClusters(uint64_t& position, uint64_t& freeLength) override;
    Result SetListCallback(ListProgressFn fn, void* userData) override;
    int ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) override;
    // Takes the map of clusters in use from the allocation bitmap. kOk when the map may be used
    // to skip used space; an error when the engine is not open, the volume has no readable
    // bitmap (nothing is then known to be free) or the map cannot be allocated.
    Result BuildClusterMap() override;
    Result ExtractForPreview(const RecoveredItem& item, std::string& tempPath, uint8_t* memory,
                             uint64_t& byteCount, PreviewProgressFn fn, void* userData) override;

    bool IsOpen() const { return open_; }
    ResultStore* Store() { return store_.get(); }

    // The context the content checks by extension run on: the engine's own unless one is
    // handed here (the full-scan coordinator hands its carver's), which must then outlive the
    // engine's scans.
    void UseCarvingContext(CarvingContext& context) { carvingContext_ = &context; }

  private:
    Result FinishOpen(uint64_t partitionStartLba, uint64_t partitionSectors, uint16_t tag);

    // The walk (fast_exfat_scan_recovery.cpp).
    struct Directory {
        uint32_t key = 0;      // first cluster: the folder's objectKey
        uint32_t depth = 0;    // 0 for the root
        bool deleted = false;  // the folder or one above it was deleted
        ExfatContentFacts facts;
    };
    struct WalkState;
    Result RunScan();
    void WalkDirectory(const Directory& dir);
    void TakeEntrySet(WalkState& w, const ExfatFileEntry& entry, uint64_t streamLba);
    void RecordFolder(WalkState& w, const ExfatFileEntry& entry);
    void RecordFile(WalkState& w, const ExfatFileEntry& entry, uint64_t streamLba);
    void MarkFoldersAbove(uint32_t key);
    void EmitFolders();
    bool ContentMatches(uint32_t cluster, std::string_view name);
    RecoveredItem BaseRecord(const ExfatFileEntry& entry) const;

    // Content (fast_exfat_content_recovery.cpp).
    class ClusterCursor;
    // Whether the FAT chain from the first cluster is the file's: `clusters` heap clusters
    // linked one to the next and ending there, none of them in use when the entry is deleted.
    bool ChainDescribes(const ExfatContentFacts& facts, uint64_t clusters);
    // The facts of a stored file: read back from its stream extension entry, or, when that
    // sector no longer holds it, its size with a chain or the run of free clusters.
    ExfatContentFacts FactsOf(const RecoveredItem& item);
    // The clusters of a directory in order, at most as many as a directory can have; none for
    // a deleted folder whose first cluster is in use again.
    std::vector<uint32_t> DirectoryClusters(const Directory& dir);
    // Hands the first `total` bytes of the item in order to `sink` (zeros past the valid data
    // length), counting them in `done` and telling `copied` after each cluster; a nonzero
    // answer of `copied` ends the copy with that answer. kErrHandleEof when the volume ends
    // before `total` bytes.
    Result CopyContent(const RecoveredItem& item, uint64_t total, uint64_t& done,
                       const ChunkSink& sink, const CopiedFn& copied);

    // Copying out (fast_exfat_copy_recovery.cpp).
    Result RecoverOneFile(const RecoveredItem& item, std::string path, bool& stopped);

    SectorReader reader_;
    ExfatVolume volume_;
    bool open_ = false;
    CarvingContext ownCarvingContext_;
    CarvingContext* carvingContext_ = &ownCarvingContext_;
    Result openResult_ = kErrInvalidHandle;
    uint16_t sourceTag_ = 0;
    uint64_t partitionStartLba_ = 0;  // in the volume's sectors

    std::unique_ptr<ResultStore> store_;
    // Folders met during the scan by first cluster; the record's recordIndex holds the key of
    // the directory the folder was found in until the record is emitted.
    std::map<uint32_t, RecoveredItem> folderMap_;
    std::map<uint32_t, uint32_t> depthOf_;  // folder key -> depth below the root
    std::vector<Directory> pending_;        // FIFO, read from pendingHead_
    size_t pendingHead_ = 0;
    std::vector<uint32_t> foldersToEmit_;  // in the order they were marked
    std::set<uint32_t> foldersToEmitSet_;

    std::vector<uint8_t> clusterMap_;  // bit j: cluster j + 2 is in use
};

// A new, unopened engine: the maker the file-system registry installs for exFAT's deleted-file
// scan.
std::unique_ptr<IFileRecoveryParse> MakeFastExfatRecovery();

}  // namespace norvale
