#include "ntfs/mft_scanner.h"

#include <algorithm>
#include <new>

#include "ntfs/ntfs_volume.h"
#include "ntfs/run_list.h"

namespace norvale {

MftScanner::MftScanner(NtfsVolume& volume, uint32_t batchRecords)
    : volume_(volume), batchRecords_(std::max<uint32_t>(1, batchRecords)) {}

Result MftScanner::Init() {
    try {
        buffer_.assign(size_t{volume_.RecordBytes()} * batchRecords_, 0);
    } catch (const std::bad_alloc&) {
        return kErrNotEnoughMemory;
    }
    next_ = 0;
    count_ = 0;
    return kOk;
}

uint64_t MftScanner::RecordsTotal() const {
    return volume_.MftRecordCount();
}

std::span<uint8_t> MftScanner::Record(uint32_t i) {
    return std::span<uint8_t>(buffer_).subspan(size_t{i} * volume_.RecordBytes(),
                                               volume_.RecordBytes());
}

uint64_t MftScanner::RecordLba(uint32_t i) const {
    if (split_) return volume_.RecordToLba(first_).value_or(0);
    return lba_ + uint64_t{i} * volume_.Geometry().sectorsPerRecord;
}

void MftScanner::SkipUnmapped() {
    // Jump over a whole sparse run at once rather than record by record.
    const NtfsGeometry& g = volume_.Geometry();
    const std::vector<DataRun>& runs = volume_.MftRuns();
    RunPosition at;
    if (!LocateVcn(runs, first_ * g.recordBytes / g.clusterBytes, at)) {
        next_ = RecordsTotal();
        return;
    }
    uint64_t runEnd = 0;  // in clusters
    for (size_t i = 0; i <= at.index; ++i) runEnd += runs[i].length;
    const unsigned __int128 endByte = (unsigned __int128)runEnd * g.clusterBytes;
    const unsigned __int128 nextRecord = (endByte + g.recordBytes - 1) / g.recordBytes;
    next_ = std::max<uint64_t>(
        next_, static_cast<uint64_t>(std::min<unsigned __int128>(nextRecord, RecordsTotal())));
}

Result MftScanner::Next() {
    count_ = 0;
    const NtfsGeometry& g = volume_.Geometry();
    const uint64_t total = RecordsTotal();
    if (buffer_.empty() && total > next_) return kErrNotEnoughMemory;
    while (next_ < total) {
        uint64_t lba = 0;
        const uint64_t n = ContiguousRecords(g, volume_.MftRuns(), next_,
                                             std::min<uint64_t>(batchRecords_, total - next_), lba);
        first_ = next_;
        if (n > 0) {
            next_ += n;
            split_ = false;
            lba_ = lba;
            const Result r = volume_.ReadSectors(lba, n * g.sectorsPerRecord, buffer_.data());
            if (r != kOk) return r;
            count_ = static_cast<uint32_t>(n);
            return kOk;
        }
        ++next_;
        if (!volume_.RecordToLba(first_)) {
            SkipUnmapped();
            continue;
        }
        split_ = true;
        const Result r = volume_.ReadRecordRaw(first_, Record(0));
        if (r != kOk) return r;
        count_ = 1;
        return kOk;
    }
    return kOk;
}

}  // namespace norvale
