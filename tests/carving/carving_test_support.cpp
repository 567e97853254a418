#include "carving_test_support.h"

#include <cstring>
#include <random>

#include "carving/signature_table.h"
#include "device/sector_source.h"
#include "support/test_support.h"

namespace norvale {

void PrintTo(FileTypeCode code, std::ostream* os) {
    const SignatureRow* row = FirstRowOfType(code);
    *os << ToInt(code) << " (" << (row ? row->extension : "no type") << ")";
}

namespace testing {

const std::string& SamplesDir() {
    static const TempDir dir;  // removed with its content when the test program ends
    static const std::string path = [] {
        const std::string script = SourceDir() + "/tests/fixtures/carving/make_samples.py";
        std::string output;
        if (Run("python3 '" + script + "' '" + dir.Path() + "'", &output) != 0) {
            return std::string();
        }
        return dir.Path();
    }();
    return path;
}

std::vector<uint8_t> Sample(const std::string& name) {
    if (SamplesDir().empty()) return {};
    return ReadFileBytes(SamplesDir() + "/" + name);
}

Medium& Medium::Put(uint64_t lba, const std::vector<uint8_t>& bytes) {
    const size_t at = lba * kSector;
    if (at + bytes.size() > bytes_.size()) {
        bytes_.resize((at + bytes.size() + kSector - 1) / kSector * kSector, 0);
    }
    std::memcpy(bytes_.data() + at, bytes.data(), bytes.size());
    return *this;
}

Medium& Medium::Noise(uint64_t lba, uint64_t sectors, uint32_t seed) {
    for (uint64_t i = 0; i < sectors; ++i)
        Put(lba + i, NoiseSector(seed + static_cast<uint32_t>(i)));
    return *this;
}

std::vector<uint8_t> Medium::SectorAt(uint64_t lba) const {
    return {bytes_.begin() + lba * kSector, bytes_.begin() + (lba + 1) * kSector};
}

std::unique_ptr<SectorReader> Medium::Reader(std::set<uint64_t> badSectors) const {
    auto reader = std::make_unique<SectorReader>();
    std::unique_ptr<ISectorSource> source = std::make_unique<MemorySource>(bytes_);
    if (!badSectors.empty()) {
        source = std::make_unique<FaultySource>(std::move(source), std::move(badSectors));
    }
    reader->Attach(std::move(source));
    return reader;
}

std::unique_ptr<CarvingContext> ContextAt(SectorReader* reader, uint64_t lba) {
    auto context = std::make_unique<CarvingContext>();
    context->reader = reader;
    context->sectorSize = kSector;
    context->startLba = lba;
    context->cursorLba = lba;
    return context;
}

std::vector<uint8_t> NoiseSector(uint32_t seed, size_t bytes) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> out(bytes);
    for (uint8_t& b : out) b = static_cast<uint8_t>(generator());
    return out;
}

}  // namespace testing
}  // namespace norvale
