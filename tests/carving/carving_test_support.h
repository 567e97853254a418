#pragma once
// Shared helpers of the carving tests: the generated sample files, in-memory media laid out
// sector by sector, and readable names for type codes in failure messages.

#include <cstdint>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "carving/carving_context.h"
#include "carving/file_type.h"
#include "device/sector_reader.h"
#include "device/sector_source.h"

namespace norvale {

// gtest prints a failing FileTypeCode as its number and the extension it is carved with.
void PrintTo(FileTypeCode code, std::ostream* os);

namespace testing {

inline constexpr uint32_t kSector = 512;

// The folder of sample files written once per build tree by
// tests/fixtures/carving/make_samples.py; "" when python3 could not write them.
const std::string& SamplesDir();
// The bytes of one sample, empty when it is missing.
std::vector<uint8_t> Sample(const std::string& name);

// A medium of `sectors` sectors (zero-filled unless `fill` says otherwise) with `bytes` copied
// to the start of sector `lba`, growing the medium when they do not fit.
class Medium {
  public:
    explicit Medium(uint64_t sectors = 64, uint8_t fill = 0) : bytes_(sectors * kSector, fill) {}
    Medium& Put(uint64_t lba, const std::vector<uint8_t>& bytes);
    Medium& Noise(uint64_t lba, uint64_t sectors, uint32_t seed);
    std::vector<uint8_t> SectorAt(uint64_t lba) const;
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

    // A reader over a copy of the medium; reads touching `badSectors` fail.
    std::unique_ptr<SectorReader> Reader(std::set<uint64_t> badSectors = {}) const;

  private:
    std::vector<uint8_t> bytes_;
};

// The folder of real files written by tests/fixtures/carving/make_real_files.py with the
// tools installed here. They are made once per build tree (the first test program that asks
// writes them) and reused while the script is unchanged; "" when python3 could not run it.
const std::string& RealFilesDir();
std::vector<uint8_t> RealFile(const std::string& name);

// A large medium that holds zeros except where bytes were put, without storing the zeros:
// for caps of hundreds of megabytes and lengths past 4 GiB.
class SparseSource final : public ISectorSource {
  public:
    explicit SparseSource(uint64_t size) : size_(size) {}
    SparseSource& Put(uint64_t offset, std::vector<uint8_t> bytes);
    Result ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& got) override;
    uint64_t SizeBytes() const override { return size_; }

  private:
    uint64_t size_;
    std::map<uint64_t, std::vector<uint8_t>> pieces_;
};

// A context pointed at `reader` with its cursor and start at `lba`.
std::unique_ptr<CarvingContext> ContextAt(SectorReader* reader, uint64_t lba);

// `sector` bytes of deterministic noise.
std::vector<uint8_t> NoiseSector(uint32_t seed, size_t bytes = kSector);

}  // namespace testing
}  // namespace norvale
