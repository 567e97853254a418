#pragma once
// The fast-mode engine for ext volumes: it opens the disk and finds nothing, so a fast scan of
// an ext volume completes at once with an empty listing.

#include "device/sector_reader.h"
#include "engine/recovery_parse.h"

namespace norvale {

class CFastExtRecovery final : public IFileRecoveryParse {
  public:
    Result OpenImage(const std::string& imagePath, uint16_t sourceTag) override;
    Result OpenDisk(int diskNumber, uint64_t partitionStartLba, uint64_t partitionSectorCount,
                    uint16_t driveLetter) override;
    Result SetCallbacks(ScanProgressFn, RecoverProgressFn, void*, int) override { return kOk; }
    Result Scan(const char*) override { return kOk; }
    Result ListChildren(const RecoveredItem*, int, std::vector<RecoveredItem>&) override {
        return kOk;
    }
    Result CountFiles(const RecoveredItem*, int, int&) override { return kOk; }
    uint64_t GetItemCount() override { return 0; }
    Result GetItemPath(const RecoveredItem&, std::string&) override { return kOk; }
    Result RecoverItem(const RecoveredItem&, const std::string&, int) override { return kOk; }
    Result SkipUsedClusters(uint64_t&, uint64_t&) override { return kOk; }
    Result SetListCallback(ListProgressFn, void*) override { return kOk; }
    int ListByType(const std::string&, std::vector<RecoveredItem>&) override { return 0; }
    Result BuildClusterMap() override { return kOk; }
    Result ExtractForPreview(const RecoveredItem&, std::string&, uint8_t*, uint64_t&,
                             PreviewProgressFn, void*) override {
        return kOk;
    }
    ~CFastExtRecovery() override = default;  // the reader closes the disk

    uint64_t PartitionStartLba() const { return partitionStartLba_; }
    uint64_t PartitionSectorCount() const { return partitionSectorCount_; }

  private:
    SectorReader disk_;
    uint64_t partitionStartLba_ = 0;
    uint64_t partitionSectorCount_ = 0;
};

}  // namespace norvale
