#include "device/sector_reader.h"

#include <limits>

#include "device/chunked_io.h"

namespace norvale {

Result SectorReader::OpenPhysicalDisk(int diskNumber) {
    Close();
    std::unique_ptr<ISectorSource> source;
    if (Result r = OpenDiskSource(diskNumber, source); r != kOk) return r;
    return TakeDisk(std::move(source));
}

Result SectorReader::OpenPhysicalDisk(int diskNumber, const DiskSourceOpener& opener) {
    Close();
    std::unique_ptr<ISectorSource> source;
    if (Result r = OpenDiskSource(diskNumber, source, opener); r != kOk) return r;
    return TakeDisk(std::move(source));
}

Result SectorReader::TakeDisk(std::unique_ptr<ISectorSource> source) {
    const uint32_t sectorSize = source->SectorSize() ? source->SectorSize() : 512;
    uint64_t total = source->SizeBytes() / sectorSize;
    if (total == 0) {
        // A device that cannot tell its length may still report its geometry.
        uint64_t cylinders = 0;
        uint32_t heads = 0;
        uint32_t perTrack = 0;
        if (source->Geometry(cylinders, heads, perTrack)) total = cylinders * heads * perTrack;
    }
    source_ = std::move(source);
    totalSectors_ = total;
    return kOk;
}

Result SectorReader::OpenImageFile(const std::string& path) {
    Close();
    std::unique_ptr<FileSource> file;
    if (Result r = FileSource::Open(path, file); r != kOk) return r;
    totalSectors_ = file->SizeBytes() / 512;
    source_ = std::move(file);
    return kOk;
}

void SectorReader::Attach(std::unique_ptr<ISectorSource> source) {
    source_ = std::move(source);
    totalSectors_ = source_ ? source_->SizeBytes() / 512 : 0;
}

namespace {

// Another reader's source, not owned.
class BorrowedSource final : public ISectorSource {
  public:
    explicit BorrowedSource(ISectorSource& inner) : inner_(inner) {}
    Result ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& got) override {
        return inner_.ReadAt(offset, out, got);
    }
    uint64_t SizeBytes() const override { return inner_.SizeBytes(); }
    uint32_t SectorSize() const override { return inner_.SectorSize(); }
    bool Geometry(uint64_t& cylinders, uint32_t& heads, uint32_t& perTrack) const override {
        return inner_.Geometry(cylinders, heads, perTrack);
    }
    bool ConcurrentReads() const override { return true; }

  private:
    ISectorSource& inner_;
};

}  // namespace

bool SectorReader::Borrow(SectorReader& other) {
    if (!other.source_ || !other.source_->ConcurrentReads()) return false;
    source_ = std::make_unique<BorrowedSource>(*other.source_);
    totalSectors_ = other.totalSectors_;
    return true;
}

Result SectorReader::ReadSectors(uint32_t count, void* buffer, uint64_t startLba,
                                 uint32_t sectorSize, uint32_t& sectorsRead) {
    // The count is a signed 32-bit quantity for the range check. A "negative" count would pass
    // the check and then ask for gigabytes, so it is refused outright; so is a start so large
    // that start + count wraps.
    if (count > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
        return kErrInvalidParameter;
    }
    if (startLba > totalSectors_ || count > totalSectors_ - startLba) return kErrInvalidParameter;

    uint64_t offset = 0;
    if (sectorSize == 0 || __builtin_mul_overflow(startLba, uint64_t{sectorSize}, &offset)) {
        return kErrInvalidParameter;
    }
    const uint64_t bytes = uint64_t{count} * sectorSize;
    if (bytes > std::numeric_limits<uint32_t>::max() || (bytes > 0 && buffer == nullptr)) {
        return kErrInvalidParameter;
    }
    if (!source_) return kErrInvalidHandle;

    size_t got = 0;
    Result r = ReadSourceBytes(*source_, offset,
                               {static_cast<uint8_t*>(buffer), static_cast<size_t>(bytes)}, got);
    sectorsRead = static_cast<uint32_t>(got / sectorSize);
    return r;
}

void SectorReader::Close() {
    source_.reset();
    totalSectors_ = 0;
}

}  // namespace norvale
