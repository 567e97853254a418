#pragma once
// CFastNtfsRecovery: the deleted-file engine for NTFS volumes. It trusts the volume's own
// metadata: the MFT is found from the boot sector and read once, record by record; every file
// record that is neither in use nor a directory is a deleted file. Its folder comes from the
// parent reference of its $FILE_NAME: a folder record that still names a folder is listed under
// its own name (live or deleted), one that is gone (reused by a file, unreadable, outside the
// MFT) becomes "LostFolder<record>" directly under the root. The data comes back from the
// record's resident value or through its runs, also when they continue in other records
// (attribute lists); sparse stretches read as zeros, compressed units are decoded (LZNT1), and
// encrypted content is copied as the volume stores it.
//
// One engine serves one source. It is not thread-safe: scan, listing, preview and recovery are
// called by one thread at a time. The medium is only ever opened read-only.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "carving/carving_context.h"
#include "device/sector_reader.h"
#include "engine/engine_progress.h"
#include "engine/recovered_item.h"
#include "engine/recovery_parse.h"
#include "engine/result_store.h"
#include "ntfs/attribute_content.h"
#include "ntfs/boot_sector.h"
#include "ntfs/ntfs_volume.h"

namespace norvale {

class CFastNtfsRecovery final : public IFileRecoveryParse, private EngineProgress {
  public:
    CFastNtfsRecovery();
    ~CFastNtfsRecovery() override;
    CFastNtfsRecovery(const CFastNtfsRecovery&) = delete;
    CFastNtfsRecovery& operator=(const CFastNtfsRecovery&) = delete;

    // Both opens read the volume's boot sector and refuse, with kErrUnsupportedLayout, one that
    // is not NTFS (or the read error). The MFT's runs are loaded from record 0; when that fails
    // the open still succeeds and Scan reports the failure. A second open of an open engine
    // does nothing and gives kOk.
    Result OpenImage(const std::string& imagePath, uint16_t sourceTag) override;
    Result OpenDisk(int diskNumber, uint64_t partitionStartLba, uint64_t partitionSectorCount,
                    uint16_t driveLetter) override;
    Result SetCallbacks(ScanProgressFn scanProgress, RecoverProgressFn recoverProgress,
                        void* userData, int progressScale) override;
    // Without a name: a new scan into a new store "Fast_<start>_<local time>" in the folder the
    // scan-log history names. MFT records that cannot be read are left out and the scan goes
    // on; it fails with the read error only when no record could be read at all (or the MFT
    // could not be located at open). Returns kOk, the callback's answer when it asked to stop
    // (the folders above what was found are still recorded), or the error of opening the store.
    // With a name: reopens that store for listing and reads nothing from the medium.
    Result Scan(const char* logName) override;
    Result ListChildren(const RecoveredItem* folder, int level,
                        std::vector<RecoveredItem>& out) override;
    Result CountFiles(const RecoveredItem* folder, int level, int& count) override;
    uint64_t GetItemCount() override;
    Result GetItemPath(const RecoveredItem& item, std::string& out) override;
    // A file is written to `destination` (its folder is created when missing). A folder is
    // created at `destination` and filled with its content, sub-folders included; children get
    // names that cannot leave the folder and never replace an existing file. Every file ends
    // with one report at 100% carrying its result; a file that cannot be written whole fails
    // with the write's error and the next one is tried. Content the volume no longer describes
    // in full (runs missing from a damaged attribute list) is written as far as it goes and
    // fails with kErrHandleEof. Returns the callback's answer when it stopped the run, else the
    // first failure, kOk when every file was written. `destinationFlag` is not needed: the
    // store knows at which level each folder's children were linked.
    Result RecoverItem(const RecoveredItem& item, const std::string& destination,
                       int destinationFlag) override;
    // Positions and lengths count the volume's sectors from the partition start. Gives no free
    // space before BuildClusterMap succeeded.
    Result SkipUsedClusters(uint64_t& position, uint64_t& freeLength) override;
    Result SetListCallback(ListProgressFn fn, void* userData) override;
    int ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) override;
    // Reads the cluster allocation bitmap ($Bitmap, record 6). kOk, the read error, or the
    // open's error when the engine is not open.
    Result BuildClusterMap() override;
    Result ExtractForPreview(const RecoveredItem& item, std::string& tempPath, uint8_t* memory,
                             uint64_t& byteCount, PreviewProgressFn fn, void* userData) override;

    bool IsOpen() const { return volume_ != nullptr; }
    const NtfsGeometry& Geometry() const { return geometry_; }
    ResultStore* Store() { return store_.get(); }

    // The context the content checks by extension run on: the engine's own unless one is
    // handed here (the full-scan coordinator hands its carver's), which must then outlive the
    // engine's scans.
    void UseCarvingContext(CarvingContext& context) { carvingContext_ = &context; }

  private:
    // Where a folder met above a deleted file hangs in the tree: its parent's key and the level
    // at which it is linked (its children are linked one level deeper). A lost folder hangs
    // under the root at level 0 and is named after its record.
    struct FolderPlace {
        uint32_t parent = 0;
        uint32_t level = 0;
        bool lost = false;
    };
    // What the scan takes from one file record.
    struct RecordFacts;

    Result FinishOpen(uint64_t partitionStartLba, uint64_t partitionSectors, uint16_t tag);

    // The scan (fast_ntfs_scan_recovery.cpp).
    Result RunScan();
    void ParseDeletedRecord(std::span<uint8_t> record, uint64_t number, uint64_t lba);
    // The first $FILE_NAME (found through the attribute list when the record holds none), the
    // name to show and, `withData`, the unnamed $DATA. False when the record has no name.
    bool ReadFacts(std::span<const uint8_t> record, uint64_t number, RecordFacts& facts,
                   bool withData);
    bool ContentMatches(const RecordFacts& facts);
    uint32_t ChildLevel(uint32_t parent);
    const FolderPlace& PlaceFolder(uint32_t number);
    bool ReadFolderParent(uint32_t number, uint32_t& parent);
    void EmitFolder(uint32_t number);
    RecoveredItem BaseRecord(const RecordFacts& facts, uint64_t number, uint64_t lba) const;

    // Content (fast_ntfs_content_recovery.cpp): the item's unnamed $DATA, followed through its
    // attribute list, with the compression unit its record states.
    Result LoadContent(const RecoveredItem& item, AttributeContent& content);

    // Copying out (fast_ntfs_copy_recovery.cpp).
    Result RecoverOneFile(const RecoveredItem& item, std::string path, bool& stopped);

    SectorReader reader_;
    CarvingContext ownCarvingContext_;
    CarvingContext* carvingContext_ = &ownCarvingContext_;
    std::unique_ptr<NtfsVolume> volume_;
    NtfsGeometry geometry_;
    Result openResult_ = kErrInvalidHandle;
    Result mftResult_ = kErrInvalidHandle;
    uint16_t sourceTag_ = 0;
    uint64_t partitionStartLba_ = 0;  // as the caller gave it, in the medium's sectors

    std::unique_ptr<ResultStore> store_;
    // Folders met above deleted files, each once, in the order they were met; the second pass
    // lists them.
    std::vector<uint32_t> directories_;
    std::unordered_map<uint32_t, FolderPlace> places_;
    std::vector<uint8_t> record_;  // one record, for the reads outside the batches

    std::vector<uint8_t> bitmap_;  // bit k of byte i: cluster 8i + k is in use
};

}  // namespace norvale
