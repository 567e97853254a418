#include "carving_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#include "carving/signature_table.h"
#include "device/sector_source.h"
#include "engine/file_system_registry.h"
#include "fat/directory.h"
#include "ntfs/metadata_block.h"
#include "support/test_support.h"

namespace norvale {

void PrintTo(FileTypeCode code, std::ostream* os) {
    const SignatureRow* row = FirstRowOfType(code);
    *os << ToInt(code) << " (" << (row ? row->extension : "no type") << ")";
}

namespace {

// Carved files end at the structures of the file systems the front ends register: this program
// registers the same tests, without the engines.
class StructuresEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        RegisterFileSystem(
            {.kind = FileSystemKind::Ntfs, .name = "NTFS", .isStructureSector = IsNtfsMetadataBlock});
        RegisterFileSystem(
            {.kind = FileSystemKind::Fat, .name = "FAT", .isStructureSector = IsFatStructureSector});
    }
};
[[maybe_unused]] ::testing::Environment* const kStructures =
    ::testing::AddGlobalTestEnvironment(new StructuresEnvironment);

}  // namespace

namespace testing {

namespace {

// The folder a fixture script writes, made once per build tree and script version and shared by
// every test process (CTest runs each test in a process of its own), or "" when the script
// fails.
std::string MadeOnce(const std::string& scriptName, const char* prefix) {
    namespace fs = std::filesystem;
    const std::string script = SourceDir() + "/tests/fixtures/carving/" + scriptName;
    const std::vector<uint8_t> text = ReadFileBytes(script);
    uint64_t digest = 1469598103934665603ull;  // FNV-1a: a new script makes a new folder
    for (uint8_t b : text) digest = (digest ^ b) * 1099511628211ull;
    char name[64];
    std::snprintf(name, sizeof name, "%s_%016llx", prefix, static_cast<unsigned long long>(digest));
    const fs::path ready = fs::path(NORVALE_BINARY_DIR) / name;
    if (fs::exists(ready)) return ready.string();
    // Written aside and renamed into place, so test programs running side by side never
    // see half a folder; the loser of a race throws its copy away.
    const fs::path scratch = ready.string() + ".tmp" + std::to_string(::getpid());
    fs::remove_all(scratch);
    if (Run("python3 '" + script + "' '" + scratch.string() + "'") != 0) {
        fs::remove_all(scratch);
        return std::string();
    }
    std::error_code ec;
    fs::rename(scratch, ready, ec);
    if (ec) fs::remove_all(scratch);
    return fs::exists(ready) ? ready.string() : std::string();
}

}  // namespace

const std::string& SamplesDir() {
    static const std::string path = MadeOnce("make_samples.py", "carving_samples");
    return path;
}

std::vector<uint8_t> Sample(const std::string& name) {
    if (SamplesDir().empty()) return {};
    return ReadFileBytes(SamplesDir() + "/" + name);
}

const std::string& RealFilesDir() {
    static const std::string path = MadeOnce("make_real_files.py", "carving_real_files");
    return path;
}

std::vector<uint8_t> RealFile(const std::string& name) {
    if (RealFilesDir().empty()) return {};
    return ReadFileBytes(RealFilesDir() + "/" + name);
}

SparseSource& SparseSource::Put(uint64_t offset, std::vector<uint8_t> bytes) {
    pieces_[offset] = std::move(bytes);
    return *this;
}

Result SparseSource::ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& got) {
    got = 0;
    if (offset >= size_) return kOk;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), size_ - offset));
    std::fill_n(out.begin(), n, 0);
    for (const auto& [at, bytes] : pieces_) {
        const uint64_t from = std::max(at, offset);
        const uint64_t to = std::min(at + bytes.size(), offset + n);
        if (from < to) {
            std::memcpy(out.data() + (from - offset), bytes.data() + (from - at), to - from);
        }
    }
    got = n;
    return kOk;
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
