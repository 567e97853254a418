#pragma once
// SectorReader: one open source plus its size in sectors, with a range-checked read of whole
// sectors at an absolute LBA. Every engine reads the scanned medium through one of these.

#include <cstdint>
#include <memory>
#include <string>

#include "device/sector_source.h"

namespace norvale {

inline constexpr uint32_t kMaxPieceBytes = 0x10000;  // at most 64 KiB per system read

class SectorReader {
  public:
    SectorReader() = default;
    SectorReader(const SectorReader&) = delete;
    SectorReader& operator=(const SectorReader&) = delete;
    SectorReader(SectorReader&&) = default;
    SectorReader& operator=(SectorReader&&) = default;

    // Opens the whole-disk device of `diskNumber` read-only. totalSectors = device length /
    // logical sector size; when the length is unknown, cylinders * heads * sectors per track.
    Result OpenPhysicalDisk(int diskNumber);
    // The same through `opener` (device/sector_source.h) instead of the process's.
    Result OpenPhysicalDisk(int diskNumber, const DiskSourceOpener& opener);
    // Opens an image file (or a block device given by path) read-only; totalSectors =
    // size / 512 whatever sector size the caller later reads with.
    Result OpenImageFile(const std::string& path);
    // Takes an already open source (tests, in-memory media); totalSectors = size / 512.
    void Attach(std::unique_ptr<ISectorSource> source);

    // Reads the source `other` holds, for another thread: its length as `other` tells it, the
    // source borrowed (it must outlive this reader and allow concurrent reads). False, and
    // nothing attached, when `other` holds no source or its source reads on one thread only.
    bool Borrow(SectorReader& other);

    // Reads `count` whole sectors of `sectorSize` bytes at `startLba` into `buffer`.
    // Refuses with 87 (sectorsRead untouched) when startLba + count passes totalSectors.
    // Reads in pieces of at most 64 KiB; a failed or empty piece ends with 30. sectorsRead is
    // the number of whole sectors that arrived, also on failure.
    Result ReadSectors(uint32_t count, void* buffer, uint64_t startLba, uint32_t sectorSize,
                       uint32_t& sectorsRead);

    void Close();
    bool IsOpen() const { return source_ != nullptr; }
    uint64_t TotalSectors() const { return totalSectors_; }
    // Sector size the medium itself reports (512 for images).
    uint32_t MediumSectorSize() const { return source_ ? source_->SectorSize() : 512; }
    ISectorSource* Source() { return source_.get(); }

  private:
    // Holds an opened disk; its length as OpenPhysicalDisk tells it.
    Result TakeDisk(std::unique_ptr<ISectorSource> source);
    std::unique_ptr<ISectorSource> source_;
    uint64_t totalSectors_ = 0;
};

}  // namespace norvale
