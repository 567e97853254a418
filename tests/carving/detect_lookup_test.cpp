// The catalogue's lookup (DetectFileType) leaves out the rows that cannot answer and answers
// all-zero sectors without asking; it must give the answer of every row asked in turn
// (DetectFileTypeAllRows) on every sector, under every setting of the stream flags.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "carving/candidate_rows.h"
#include "carving/identify.h"
#include "carving_test_support.h"
#include "device/sector_reader.h"
#include "device/sector_source.h"

namespace norvale {
namespace {

namespace fs = std::filesystem;
using testing::kSector;

// A medium held in memory that the test rewrites between questions, with one context per
// lookup pointed at it (the detectors that read ahead read it).
class Asker {
  public:
    explicit Asker(std::vector<uint8_t> bytes, uint32_t sectorSize = kSector)
        : sectorSize_(sectorSize) {
        auto source = std::make_unique<MemorySource>(std::move(bytes));
        source_ = source.get();
        reader_.Attach(std::move(source));
        fast_.reader = plain_.reader = &reader_;
        fast_.sectorSize = plain_.sectorSize = sectorSize;
    }

    std::vector<uint8_t>& Bytes() { return source_->Bytes(); }
    std::span<const uint8_t> SectorAt(uint64_t lba) const {
        return std::span<const uint8_t>(source_->Bytes()).subspan(lba * sectorSize_, sectorSize_);
    }

    // Asks both lookups about `sector`, read at `lba`, under each flag setting.
    void Check(std::span<const uint8_t> sector, uint64_t lba, const std::string& what) {
        for (int flags = 0; flags < 4; ++flags) {
            for (CarvingContext* c : {&fast_, &plain_}) {
                c->startLba = c->cursorLba = lba;
                c->transportStreamFlag = (flags & 1) != 0;
                c->bdavFlag = (flags & 2) != 0;
                c->tsRanges.clear();
                // A stream carved just before this sector, as the pass leaves it behind one.
                if (flags == 3 && lba > 0) c->tsRanges.push_back({0, lba - 1});
            }
            const FileTypeCode fast = DetectFileType(sector, fast_);
            const FileTypeCode plain = DetectFileTypeAllRows(sector, plain_);
            ++asked_;
            if (plain != FileTypeCode::kNoFileType) ++recognised_;
            if (fast != plain && ++disagreements_ <= 10) {
                ADD_FAILURE() << what << " (" << sector.size() << " bytes at " << lba << ", flags "
                              << flags << "): lookup says " << ::testing::PrintToString(fast)
                              << ", every row says " << ::testing::PrintToString(plain);
            }
        }
    }
    void CheckSector(uint64_t lba, const std::string& what) { Check(SectorAt(lba), lba, what); }

    int asked() const { return asked_; }
    int recognised() const { return recognised_; }

  private:
    uint32_t sectorSize_;
    MemorySource* source_ = nullptr;
    SectorReader reader_;
    CarvingContext fast_;
    CarvingContext plain_;
    int asked_ = 0;
    int recognised_ = 0;
    int disagreements_ = 0;
};

std::vector<uint8_t> Noise(size_t bytes, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> out(bytes);
    for (uint8_t& b : out) b = static_cast<uint8_t>(random());
    return out;
}

// Every sample and real file the carving tests make, in name order.
std::vector<fs::path> FixtureFiles() {
    std::vector<fs::path> files;
    for (const std::string& dir : {testing::SamplesDir(), testing::RealFilesDir()}) {
        if (dir.empty()) continue;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.is_regular_file() && entry.file_size() > 0) files.push_back(entry.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<uint8_t> ReadWhole(const fs::path& path) {
    std::vector<uint8_t> bytes(static_cast<size_t>(fs::file_size(path)));
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return {};
    const size_t got = std::fread(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    bytes.resize(got);
    return bytes;
}

TEST(CatalogueLookup, NoiseAndEveryByteAtTheTestedOffsetsGetTheAnswerOfEveryRow) {
    constexpr uint64_t kSectors = 2048;
    Asker asker(Noise(kSectors * kSector, 7));
    for (uint64_t lba = 0; lba < kSectors; ++lba) asker.CheckSector(lba, "noise");
    // Every value of each of the first bytes, in noise and in zeros; shorter spans too.
    for (const bool zeros : {false, true}) {
        std::vector<uint8_t> sector = zeros ? std::vector<uint8_t>(kSector, 0) : Noise(kSector, 9);
        for (size_t at = 0; at < 40; ++at) {
            const uint8_t kept = sector[at];
            for (int v = 0; v < 256; ++v) {
                sector[at] = static_cast<uint8_t>(v);
                asker.Check(sector, 100, zeros ? "zeros with one byte set" : "noise, one byte set");
            }
            sector[at] = kept;
        }
        for (size_t length = 0; length <= 64; ++length) {
            asker.Check(std::span<const uint8_t>(sector).first(length), 100, "short span");
        }
    }
}

TEST(CatalogueLookup, ZeroSectorsGetTheAnswerOfEveryRowWhateverFollowsThem) {
    // With today's detectors zero sectors are answered without asking any of them.
    EXPECT_TRUE(CandidateRows::Get().ZeroSectorsNeverMatch(512));
    EXPECT_TRUE(CandidateRows::Get().ZeroSectorsNeverMatch(4096));
    EXPECT_FALSE(CandidateRows::Get().ZeroSectorsNeverMatch(500));

    for (const uint32_t size : {512u, 1024u, 2048u, 4096u, 65536u}) {
        // A zero sector between noise and a grid of stream packets.
        std::vector<uint8_t> bytes = Noise(size_t{size} * 16, size);
        std::fill_n(bytes.begin() + size * 4, size, 0);
        for (size_t at = size_t{size} * 5; at < bytes.size(); at += 188) bytes[at] = 0x47;
        Asker asker(std::move(bytes), size);
        for (uint64_t lba = 0; lba < 16; ++lba) asker.CheckSector(lba, "zero sector in noise");
        const std::vector<uint8_t> zeros(size, 0);
        for (const size_t length :
             {size_t{0}, size_t{1}, size_t{31}, size_t{32}, size_t{512}, size_t{size}}) {
            asker.Check(std::span<const uint8_t>(zeros).first(length), 4, "zeros");
        }
    }
}

FileTypeCode NeverAnswers(ByteSpan, CarvingContext&) {
    return FileTypeCode::kNoFileType;
}
FileTypeCode MatchesZeros(ByteSpan sector, CarvingContext&) {
    return sector[0] == 0 ? FileTypeCode::kPng : FileTypeCode::kNoFileType;
}
FileTypeCode ReadsAhead(ByteSpan, CarvingContext& context) {
    std::vector<uint8_t> next(context.sectorSize);
    (void)context.ReadSectors(context.cursorLba + 1, 1, next);
    return FileTypeCode::kNoFileType;
}
FileTypeCode ReadsThroughTheReader(ByteSpan, CarvingContext& context) {
    std::vector<uint8_t> next(context.sectorSize);
    uint32_t got = 0;
    (void)context.reader->ReadSectors(1, next.data(), context.cursorLba + 1, context.sectorSize,
                                      got);
    return FileTypeCode::kNoFileType;
}
FileTypeCode AnswersBehindABdavStreamOnly(ByteSpan, CarvingContext& context) {
    return context.bdavFlag && !context.transportStreamFlag ? FileTypeCode::kMts
                                                            : FileTypeCode::kNoFileType;
}

TEST(CatalogueLookup, ZeroSectorsAreAskedAboutOnceADetectorMatchesZerosOrReadsOn) {
    const SignatureRow quiet{"png", FileTypeCode::kPng, NeverAnswers, nullptr};
    EXPECT_TRUE(ZeroSpanMatchesNoRow(std::array{quiet, quiet}, 512));
    for (const SignatureDetector detector :
         {MatchesZeros, ReadsAhead, ReadsThroughTheReader, AnswersBehindABdavStreamOnly}) {
        const std::array rows{quiet, SignatureRow{"mts", FileTypeCode::kMts, detector, nullptr}};
        EXPECT_FALSE(ZeroSpanMatchesNoRow(rows, 512));
        EXPECT_FALSE(ZeroSpanMatchesNoRow(rows, 4096));
    }
}

// Each fixture file at sector 1 of a medium (noise before, zeros after), every sector of it
// asked about, then its first sector with its opening bytes moved, dropped, cut and altered.
TEST(CatalogueLookup, SectorsOfRealFilesAndTheirAlteredOpeningsGetTheAnswerOfEveryRow) {
    const std::vector<fs::path> files = FixtureFiles();
    if (files.empty()) GTEST_SKIP() << "no sample or real files could be made here";
    int firstSectorsRecognised = 0;
    for (const fs::path& path : files) {
        const std::string name = path.filename().string();
        std::vector<uint8_t> file = ReadWhole(path);
        file.resize(std::min<size_t>(file.size(), size_t{8} << 20));
        const uint64_t fileSectors = (file.size() + kSector - 1) / kSector;
        std::vector<uint8_t> medium = Noise(kSector, 3);
        medium.insert(medium.end(), file.begin(), file.end());
        medium.resize((fileSectors + 1 + 64) * kSector, 0);
        Asker asker(std::move(medium));

        // Whole sectors of the file: its first, then a spread of the rest.
        asker.CheckSector(1, name);
        if (asker.recognised() > 0) ++firstSectorsRecognised;
        const uint64_t step = std::max<uint64_t>(1, fileSectors / 256);
        for (uint64_t s = 1; s < fileSectors; s += step) asker.CheckSector(1 + s, name);

        const std::vector<uint8_t> first(asker.SectorAt(1).begin(), asker.SectorAt(1).end());
        std::vector<uint8_t>& bytes = asker.Bytes();
        const auto plant = [&](const std::vector<uint8_t>& sector, const std::string& what) {
            std::copy(sector.begin(), sector.end(), bytes.begin() + kSector);
            asker.CheckSector(1, name + ", " + what);
        };
        for (const bool zeros : {false, true}) {
            const std::vector<uint8_t> ground =
                zeros ? std::vector<uint8_t>(kSector, 0) : Noise(kSector, 11);
            for (const size_t shift : {1, 2, 3, 4, 5, 8, 27, 31, 64}) {
                std::vector<uint8_t> moved = ground;
                std::copy_n(first.begin(), kSector - shift, moved.begin() + shift);
                plant(moved, "opening moved by " + std::to_string(shift));
            }
            // The opening less its first box or header, so later structures come first.
            for (size_t dropped = 1; dropped <= 64; ++dropped) {
                std::vector<uint8_t> rest = ground;
                std::copy(first.begin() + dropped, first.end(), rest.begin());
                plant(rest, "first " + std::to_string(dropped) + " bytes dropped");
            }
            for (const size_t kept : {1, 2, 3, 4, 8, 16, 32, 64}) {
                std::vector<uint8_t> cut = ground;
                std::copy_n(first.begin(), kept, cut.begin());
                plant(cut, "first " + std::to_string(kept) + " bytes only");
            }
        }
        for (size_t at = 0; at < 40; ++at) {
            for (const uint8_t flip : {0x01, 0x20, 0x80, 0xFF}) {
                std::vector<uint8_t> altered = first;
                altered[at] ^= flip;
                plant(altered, "byte " + std::to_string(at) + " altered");
            }
        }
    }
    // The files are real: most open with something the catalogue knows.
    EXPECT_GT(firstSectorsRecognised, static_cast<int>(files.size() / 2));
}

}  // namespace
}  // namespace norvale
