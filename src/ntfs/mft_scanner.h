#pragma once
// Reads the whole MFT in order, in batches of up to 1024 records, through the MFT's own runs:
// the pass over every record that the deleted-file scan makes. One buffer, allocated once,
// holds a batch; records come out raw (PrepareRecord checks and fixes each one).

#include <cstdint>
#include <span>
#include <vector>

#include "device/result.h"

namespace norvale {

class NtfsVolume;

class MftScanner {
  public:
    static constexpr uint32_t kBatchRecords = 1024;

    // `volume` must have its MFT runs loaded and must outlive the scanner.
    explicit MftScanner(NtfsVolume& volume, uint32_t batchRecords = kBatchRecords);

    // Allocates the batch buffer (record size x batch records); kErrNotEnoughMemory on failure.
    Result Init();

    // Reads the next batch. kOk with Count() > 0, or kOk with Count() == 0 once every record
    // has been read, or the read error; after an error the next call goes on after the failed
    // batch. A batch never spans two MFT runs; records in sparse runs are skipped, and a record
    // split across two runs comes as a batch of its own.
    Result Next();

    uint64_t FirstRecord() const { return first_; }  // number of the batch's first record
    uint32_t Count() const { return count_; }
    std::span<uint8_t> Record(uint32_t i);
    uint64_t RecordLba(uint32_t i) const;  // LBA of record i of the batch (its first sector)

    // Progress: records passed so far (read, skipped or failed) out of the MFT's records.
    uint64_t RecordsDone() const { return next_; }
    uint64_t RecordsTotal() const;

  private:
    void SkipUnmapped();

    NtfsVolume& volume_;
    uint32_t batchRecords_;
    std::vector<uint8_t> buffer_;
    uint64_t next_ = 0;
    uint64_t first_ = 0;
    uint32_t count_ = 0;
    uint64_t lba_ = 0;
    bool split_ = false;  // the batch is one record read in pieces
};

}  // namespace norvale
