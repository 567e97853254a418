#pragma once
// The device seam: everything that reads a scanned medium reads through an ISectorSource.
// Real media are files or block devices opened read-only; tests use an in-memory source or a
// source that fails on chosen sectors, so engines are exercised against faults without a disk.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "device/result.h"

namespace norvale {

class ISectorSource {  // one open disk or image; not thread-safe
  public:
    virtual ~ISectorSource() = default;
    // Reads up to out.size() bytes at byte `offset`, sets `got`; returns kOk or a result number.
    // Reading at or past the end gives kOk with got == 0.
    virtual Result ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& got) = 0;
    virtual uint64_t SizeBytes() const = 0;
    // Logical sector size the medium reports (512 for image files and memory).
    virtual uint32_t SectorSize() const { return 512; }
    // Cylinder/head/sector geometry where the medium reports one; false otherwise. Used only
    // when the medium cannot tell its length.
    virtual bool Geometry(uint64_t& /*cylinders*/, uint32_t& /*heads*/,
                          uint32_t& /*sectorsPerTrack*/) const {
        return false;
    }
    // True when ReadAt may be called from several threads at once (the source keeps no state
    // between reads). Passes that read ahead on threads of their own ask this first.
    virtual bool ConcurrentReads() const { return false; }
};

// A file or block device opened O_RDONLY. The size of a block device comes from
// BLKGETSIZE64 and its sector size from BLKSSZGET; a regular file has 512-byte sectors.
class FileSource final : public ISectorSource {
  public:
    ~FileSource() override;
    // Opens `path` read-only; a directory or anything that is neither a regular file nor a
    // block device is refused with kErrInvalidParameter (or kErrDirectoryName for a folder).
    static Result Open(const std::string& path, std::unique_ptr<FileSource>& out);

    Result ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& got) override;
    uint64_t SizeBytes() const override { return size_; }
    uint32_t SectorSize() const override { return sectorSize_; }
    bool IsBlockDevice() const { return isBlockDevice_; }
    bool ConcurrentReads() const override { return true; }  // pread on one descriptor
    // HDIO_GETGEO on a block device; false for files and devices without a geometry.
    bool Geometry(uint64_t& cylinders, uint32_t& heads, uint32_t& sectorsPerTrack) const override;
    int Fd() const { return fd_; }

  private:
    FileSource() = default;
    int fd_ = -1;
    uint64_t size_ = 0;
    uint32_t sectorSize_ = 512;
    bool isBlockDevice_ = false;
};

// A source over bytes held in memory (tests, fixtures decompressed in memory).
class MemorySource final : public ISectorSource {
  public:
    explicit MemorySource(std::vector<uint8_t> bytes, uint32_t sectorSize = 512)
        : bytes_(std::move(bytes)), sectorSize_(sectorSize) {}
    Result ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& got) override;
    uint64_t SizeBytes() const override { return bytes_.size(); }
    uint32_t SectorSize() const override { return sectorSize_; }
    bool ConcurrentReads() const override { return true; }
    std::vector<uint8_t>& Bytes() { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
    uint32_t sectorSize_;
};

// Wraps another source and fails every read that touches one of the chosen 512-byte sectors:
// the bytes before the first bad sector are delivered (a short read), then `failure` is
// returned. Counts the reads it served, so tests can check that nothing was read.
class FaultySource final : public ISectorSource {
  public:
    FaultySource(std::unique_ptr<ISectorSource> inner, std::set<uint64_t> badSectors,
                 Result failure = kErrCrc, uint32_t unit = 512)
        : inner_(std::move(inner)),
          bad_(std::move(badSectors)),
          failure_(failure),
          unit_(unit ? unit : 512) {}
    Result ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& got) override;
    uint64_t SizeBytes() const override { return inner_->SizeBytes(); }
    uint32_t SectorSize() const override { return inner_->SectorSize(); }
    bool Geometry(uint64_t& cylinders, uint32_t& heads, uint32_t& perTrack) const override {
        return inner_->Geometry(cylinders, heads, perTrack);
    }
    // As safe as the source it wraps: it keeps only a count besides.
    bool ConcurrentReads() const override { return inner_->ConcurrentReads(); }
    uint64_t ReadCalls() const { return readCalls_; }

  private:
    std::unique_ptr<ISectorSource> inner_;
    std::set<uint64_t> bad_;
    Result failure_;
    uint32_t unit_;
    std::atomic<uint64_t> readCalls_{0};
};

// How a physical disk number becomes a source. The default opens the whole-disk device that
// the disk table names (see disk_table.h). Engines open their disk by number deep inside their
// OpenDisk, so the opener stays one per process rather than a parameter of every engine; only
// tests replace it, so that engines opened by disk number read from memory, and they do so
// through a scoped guard (tests/support/scoped_disk_opener.h). An empty function restores the
// default; the opener that was installed before is returned.
using DiskSourceOpener = std::function<Result(int diskNumber, std::unique_ptr<ISectorSource>&)>;
DiskSourceOpener SetDiskSourceOpener(DiskSourceOpener opener);
Result OpenDiskSource(int diskNumber, std::unique_ptr<ISectorSource>& out);
// The same through `opener` rather than the installed one (empty: the whole-disk device). A
// disk number given to an image file still opens that file.
Result OpenDiskSource(int diskNumber, std::unique_ptr<ISectorSource>& out,
                      const DiskSourceOpener& opener);

}  // namespace norvale
