#pragma once
// CFastFatRecovery: the deleted-file engine for FAT12, FAT16 and FAT32 volumes. The scan walks
// the directory tree that is still intact, breadth first from the root, through live and
// deleted folders alike, and records every deleted file, every file inside a deleted folder and
// the folders above them. The data of a deleted file is read from its first cluster on; since
// deletion clears the chain, a cleared entry is taken to continue in the next cluster.
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
#include "fat/boot_sector.h"
#include "fat/directory.h"
#include "fat/fat_table.h"

namespace norvale {

// Largest cluster the engine copies (100 MiB); a larger one means a damaged boot sector.
inline constexpr uint32_t kMaxCopyClusterBytes = 0x6400000;

class CFastFatRecovery final : public IFileRecoveryParse, private EngineProgress {
  public:
    CFastFatRecovery();
    ~CFastFatRecovery() override;
    CFastFatRecovery(const CFastFatRecovery&) = delete;
    CFastFatRecovery& operator=(const CFastFatRecovery&) = delete;

    // Both opens read the partition's first 4096 bytes and refuse, with kErrUnsupportedLayout,
    // a boot sector that is not FAT. A second open of an open engine does nothing and gives kOk.
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
    Result ListChildren(const RecoveredItem* folder, int level,
                        std::vector<RecoveredItem>& out) override;
    Result CountFiles(const RecoveredItem* folder, int level, int& count) override;
    uint64_t GetItemCount() override;
    Result GetItemPath(const RecoveredItem& item, std::string& out) override;
    // A file is written to `destination` (its folder is created when missing). A folder is
    // created at `destination` and filled with its content, sub-folders included; children get
    // names that cannot leave the folder and never replace an existing file (a second
    // "!mg_0001.jpg" becomes "!mg_0001(1).jpg"). Every file ends with one report at 100%
    // carrying its result; a file that cannot be written whole fails with the write's error and
    // the next one is tried. A chain that ends before the stated size (the next cluster belongs
    // to a live file) gives a shorter file, which counts as written. Returns the callback's
    // answer when it stopped the run, else the first failure, kOk when every file was written.
    // `destinationFlag` is not needed: the store knows at which level each folder's children
    // were linked.
    Result RecoverItem(const RecoveredItem& item, const std::string& destination,
                       int destinationFlag) override;
    // Positions count the volume's sectors from the partition start; 0 stands for the start of
    // the data area. Gives no free space before BuildClusterMap succeeded.
    Result SkipUsedClusters(uint64_t& position, uint64_t& freeLength) override;
    Result SetListCallback(ListProgressFn fn, void* userData) override;
    int ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) override;
    // Builds the map of clusters in use from the FAT. kOk when the map may be used to skip used
    // space; an error when the engine is not open or the map cannot be allocated.
    Result BuildClusterMap() override;
    Result ExtractForPreview(const RecoveredItem& item, std::string& tempPath, uint8_t* memory,
                             uint64_t& byteCount, PreviewProgressFn fn, void* userData) override;

    bool IsOpen() const { return table_ != nullptr; }
    const FatGeometry& Geometry() const { return geometry_; }
    ResultStore* Store() { return store_.get(); }

    // The context the content checks by extension run on: the engine's own unless one is
    // handed here (the full-scan coordinator hands its carver's), which must then outlive the
    // engine's scans.
    void UseCarvingContext(CarvingContext& context) { carvingContext_ = &context; }

  private:
    Result FinishOpen(uint64_t partitionStartLba, uint64_t partitionSectors, uint16_t tag);

    // The walk (fast_fat_scan_recovery.cpp).
    struct WalkState;
    Result RunScan();
    void WalkDirectory(uint32_t key);
    bool WalkBlock(WalkState& w, uint64_t lba, uint32_t sectors, bool mustOpenFolder);
    void RecordFolderEntry(WalkState& w, DirEntryBytes e, const std::string& name);
    void RecordDeletedFile(WalkState& w, DirEntryBytes e, const std::string& name,
                           uint64_t entryLba);
    void MarkFoldersAbove(uint32_t key);
    void EmitFolders();
    uint32_t FirstCluster(DirEntryBytes e, bool asFolder, std::string_view name);
    bool ReadFirstSector(uint32_t cluster, std::vector<uint8_t>& sector, uint64_t& lba);
    bool ContentMatches(uint32_t cluster, std::string_view name);
    uint32_t ChainDepth(uint32_t key);
    RecoveredItem BaseRecord(DirEntryBytes e, const std::string& name) const;

    // Copying out (fast_fat_copy_recovery.cpp).
    // Reads one data cluster into `buffer` (a cluster long); `got` sectors arrived. The read's
    // error, or kErrReadFault when nothing arrived.
    Result ReadDataCluster(uint32_t cluster, std::vector<uint8_t>& buffer, uint32_t& got);
    Result RecoverOneFile(const RecoveredItem& item, std::string path, bool& stopped);

    SectorReader reader_;
    CarvingContext ownCarvingContext_;
    CarvingContext* carvingContext_ = &ownCarvingContext_;
    Result openResult_ = kErrInvalidHandle;
    std::vector<uint8_t> bootBlock_;
    FatGeometry geometry_;
    std::unique_ptr<FatTable> table_;
    uint16_t sourceTag_ = 0;
    uint64_t partitionStartLba_ = 0;  // as the caller gave it, in the medium's sectors

    std::unique_ptr<ResultStore> store_;
    // Folders met during the scan by first cluster; the record's recordIndex holds the key of
    // the directory the folder was found in until the record is emitted.
    std::map<uint32_t, RecoveredItem> folderMap_;
    std::vector<uint32_t> pendingDirectories_;  // FIFO, read from pendingHead_
    size_t pendingHead_ = 0;
    std::vector<uint32_t> foldersToEmit_;  // in the order they were marked
    std::set<uint32_t> foldersToEmitSet_;
    std::map<uint32_t, uint32_t> depthCache_;  // ChainDepth answers of this scan

    std::vector<uint8_t> clusterMap_;  // bit j: cluster j + 2 is in use
};

}  // namespace norvale
