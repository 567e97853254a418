#pragma once
// One source scanned from the command line: resolves the SOURCE, builds the source entry, runs
// the scan driver with a progress bar and turns Ctrl-C into a stop request. scan, list and
// recover all start with one of these.

#include <string>
#include <vector>

#include "engine/recovered_item.h"
#include "engine/recovery_driver.h"
#include "engine/source_info.h"

namespace norvale::cli {

struct ScanOptions {
    std::string source;
    std::string mode = "deleted";  // deleted | full | carve
    bool resume = false;           // --resume: continue a saved full scan without asking
    bool restart = false;          // --restart: discard a saved full scan
    bool quiet = false;            // no progress bar
    int partition = 0;             // --partition N of a disk or partitioned image; 0: all
    bool damaged = false;          // --damaged: carved finds whose structure does not check out too
    unsigned threads = 0;          // --threads N: workers of the whole-medium pass; 0: every core
    bool direct = false;           // --direct: read a block device around the page cache
};

class ScanSession {
  public:
    // Returns the exit code to use when the scan could not run (2 for bad input, 1 when the
    // source could not be scanned), or 0 when it ran (stopped or not).
    int Run(const ScanOptions& options);

    bool Stopped() const { return stopped_; }
    // The engine's scan result: kOk, kScanCancelled, or the error that ended the scan early
    // (its logs could not be written, for one); what was found before is still listed.
    Result ScanResult() const { return scanResult_; }
    // Whether Ctrl-C stopped CollectItems: its list is then incomplete.
    bool CollectStopped() const { return collectStopped_; }
    std::vector<SourceInfo>& Sources() { return sources_; }
    IFileRecoveryParse* Engine() { return sources_.empty() ? nullptr : sources_[0].engine.get(); }
    const SourceInfo& Source() const { return sources_[0]; }
    // The disk, partition or image file the person named.
    const std::string& MediumPath() const { return mediumPath_; }
    // True when the medium's partitions were scanned one by one: results are listed and
    // recovered per partition.
    bool IsDisk() const { return isDisk_; }
    // The display name of source `index` when it is a partition picked out of a partition
    // table ("Partition 1 (CARD, FAT32)"); empty otherwise.
    std::string PartitionName(size_t index) const {
        return index < partitionNames_.size() ? partitionNames_[index] : std::string();
    }
    // The index of the source with tag `tag`; sources_.size() when none has it.
    size_t IndexOfTag(uint16_t tag) const;
    // Major:minor numbers of the scanned block device (0 for an image file).
    unsigned long DeviceNumber() const { return deviceNumber_; }
    // Whether carved finds whose structure did not check out are listed too (--damaged).
    bool IncludeDamaged() const { return includeDamaged_; }
    // The items of source `index` as scan reports them: the engine's count, less the damaged
    // carves that the listings leave out.
    uint64_t ShownItemCount(size_t index);

  private:
    std::vector<SourceInfo> sources_;
    bool stopped_ = false;
    Result scanResult_ = kOk;
    bool collectStopped_ = false;
    unsigned long deviceNumber_ = 0;
    std::string mediumPath_;
    bool isDisk_ = false;
    bool includeDamaged_ = false;
    bool carving_ = false;  // the mode finds files by their signatures (full or carve)
    std::vector<std::string> partitionNames_;

    friend std::vector<RecoveredItem> CollectItems(ScanSession&, const std::string&, bool);
};

// Collects the items of the session's engines that match `pattern` (no progress shown when
// quiet).
std::vector<RecoveredItem> CollectItems(ScanSession& session, const std::string& pattern,
                                        bool quiet);

// Runs `driver` over `items` into `root` with Ctrl-C turned into a stop request.
RecoveryOutcome RecoverWithInterrupt(RecoveryDriver& driver,
                                     const std::vector<RecoveredItem>& items,
                                     const std::string& root);

// Builds the search pattern from --type and --ext; all six kinds when both are empty.
// Returns false with a message for an unknown kind.
bool PatternFromOptions(const std::string& types, const std::string& exts, std::string& pattern,
                        std::string& error);

}  // namespace norvale::cli
