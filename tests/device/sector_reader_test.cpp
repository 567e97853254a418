#include "device/sector_reader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <numeric>

#include "device/disk_enumerator.h"
#include "support/scoped_disk_opener.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::TempDir;

std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 7 + i / 512) & 0xFF);
    return bytes;
}

// Passes reads through and remembers how big they were and whether any happened.
class CountingSource final : public ISectorSource {
  public:
    explicit CountingSource(std::vector<uint8_t> bytes, uint32_t sectorSize = 512)
        : inner_(std::move(bytes), sectorSize) {}
    Result ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& got) override {
        ++calls;
        largest = std::max(largest, out.size());
        return inner_.ReadAt(offset, out, got);
    }
    uint64_t SizeBytes() const override { return inner_.SizeBytes(); }
    uint32_t SectorSize() const override { return inner_.SectorSize(); }
    int calls = 0;
    size_t largest = 0;

  private:
    MemorySource inner_;
};

SectorReader ReaderOver(std::vector<uint8_t> bytes, CountingSource** counter = nullptr) {
    auto source = std::make_unique<CountingSource>(std::move(bytes));
    if (counter) *counter = source.get();
    SectorReader reader;
    reader.Attach(std::move(source));
    return reader;
}

TEST(SectorReaderRange, ReadEndingOnLastSectorSucceedsAndOneMoreIsRefusedUntouched) {
    const auto bytes = Pattern(16 * 512);
    CountingSource* counter = nullptr;
    SectorReader reader = ReaderOver(bytes, &counter);
    ASSERT_EQ(reader.TotalSectors(), 16u);

    std::vector<uint8_t> buf(4 * 512);
    uint32_t got = 99;
    EXPECT_EQ(reader.ReadSectors(4, buf.data(), 12, 512, got), kOk);
    EXPECT_EQ(got, 4u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), bytes.begin() + 12 * 512));

    const int callsBefore = counter->calls;
    got = 99;
    EXPECT_EQ(reader.ReadSectors(4, buf.data(), 13, 512, got), kErrInvalidParameter);
    EXPECT_EQ(got, 99u) << "a refused read leaves sectorsRead alone";
    EXPECT_EQ(reader.ReadSectors(1, buf.data(), 16, 512, got), kErrInvalidParameter);
    EXPECT_EQ(counter->calls, callsBefore) << "a refused read must not reach the medium";
}

TEST(SectorReaderRange, CountsThatWouldWrapAreRefusedWithoutReading) {
    CountingSource* counter = nullptr;
    SectorReader reader = ReaderOver(Pattern(64 * 512), &counter);
    std::vector<uint8_t> buf(512);
    uint32_t got = 7;
    // Taken as signed 32-bit, these counts are negative and would pass a naive range check.
    EXPECT_EQ(reader.ReadSectors(0x80000000u, buf.data(), 0, 512, got), kErrInvalidParameter);
    EXPECT_EQ(reader.ReadSectors(0xFFFFFFFFu, buf.data(), 1, 512, got), kErrInvalidParameter);
    // A start near the top of the 64-bit range must not wrap around the end check.
    EXPECT_EQ(reader.ReadSectors(2, buf.data(), UINT64_MAX - 1, 512, got), kErrInvalidParameter);
    EXPECT_EQ(reader.ReadSectors(1, buf.data(), 0, 0, got), kErrInvalidParameter);
    EXPECT_EQ(got, 7u);
    EXPECT_EQ(counter->calls, 0);
}

TEST(SectorReaderRange, ByteCountPast4GiBIsRefusedNotTruncated) {
    // A large sector size times a count inside the source needs more than 32 bits; wrapped, it
    // would read less than the caller asked for, or overrun a buffer sized by the wrapped value.
    class HugeSource final : public ISectorSource {
      public:
        Result ReadAt(uint64_t, std::span<uint8_t>, size_t& got) override {
            ++calls;
            got = 0;
            return kOk;
        }
        uint64_t SizeBytes() const override { return uint64_t{1} << 40; }
        int calls = 0;
    };
    auto huge = std::make_unique<HugeSource>();
    HugeSource* source = huge.get();
    SectorReader reader;
    reader.Attach(std::move(huge));
    uint8_t one[512];
    uint32_t got = 5;
    EXPECT_EQ(reader.ReadSectors(0x10000, one, 0, 0x10000, got), kErrInvalidParameter);
    EXPECT_EQ(reader.ReadSectors(0x100001, one, 0, 4096, got), kErrInvalidParameter);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(source->calls, 0);
}

TEST(SectorReaderRange, ZeroSectorReadSucceedsWithNothingRead) {
    SectorReader reader = ReaderOver(Pattern(4 * 512));
    uint32_t got = 3;
    EXPECT_EQ(reader.ReadSectors(0, nullptr, 0, 512, got), kOk);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(reader.ReadSectors(0, nullptr, 4, 512, got), kOk) << "count 0 at the end is inside";
    EXPECT_EQ(reader.ReadSectors(0, nullptr, 5, 512, got), kErrInvalidParameter);
}

TEST(SectorReaderRange, ClosedReaderReadsNothing) {
    SectorReader reader = ReaderOver(Pattern(4 * 512));
    reader.Close();
    EXPECT_FALSE(reader.IsOpen());
    uint8_t buf[512];
    uint32_t got = 0;
    EXPECT_NE(reader.ReadSectors(1, buf, 0, 512, got), kOk);
    reader.Close();  // closing twice is harmless
}

TEST(SectorReaderPieces, LargeReadArrivesWholeInPiecesOfAtMost64KiB) {
    const auto bytes = Pattern(2048 * 512);
    CountingSource* counter = nullptr;
    SectorReader reader = ReaderOver(bytes, &counter);
    std::vector<uint8_t> buf(300 * 2048);
    uint32_t got = 0;
    // 2048-byte sectors over an image whose range check counts 512-byte units.
    ASSERT_EQ(reader.ReadSectors(300, buf.data(), 2, 2048, got), kOk);
    EXPECT_EQ(got, 300u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), bytes.begin() + 2 * 2048));
    EXPECT_LE(counter->largest, size_t{kMaxPieceBytes});
    EXPECT_EQ(counter->calls, 10) << "600 KiB is ten pieces, the last one short";
}

TEST(SectorReaderFaults, FailureInsideReadGives30AndTheWholeSectorsBeforeIt) {
    const auto bytes = Pattern(512 * 512);
    auto faulty = std::make_unique<FaultySource>(std::make_unique<MemorySource>(bytes),
                                                 std::set<uint64_t>{200});
    FaultySource* fault = faulty.get();
    SectorReader reader;
    reader.Attach(std::move(faulty));
    std::vector<uint8_t> buf(256 * 512);
    uint32_t got = 0;
    // Sector 200 lies inside the first 64 KiB piece: the good part before it arrives, then the
    // next piece starts on the bad sector and fails.
    EXPECT_EQ(reader.ReadSectors(256, buf.data(), 100, 512, got), kErrReadFault);
    EXPECT_EQ(got, 100u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 100 * 512, bytes.begin() + 100 * 512));
    EXPECT_GE(fault->ReadCalls(), 2u);

    // With 4096-byte sectors the partial sector before the bad unit does not count.
    EXPECT_EQ(reader.ReadSectors(8, buf.data(), 24, 4096, got), kErrReadFault);
    EXPECT_EQ(got, 1u) << "units 192..199 arrive, one whole 4096-byte sector";

    // Reads that avoid the bad sector are unaffected.
    EXPECT_EQ(reader.ReadSectors(100, buf.data(), 201, 512, got), kOk);
    EXPECT_EQ(got, 100u);
}

TEST(SectorReaderFaults, FailureOnFirstSectorReadsNothing) {
    SectorReader reader;
    reader.Attach(std::make_unique<FaultySource>(std::make_unique<MemorySource>(Pattern(8 * 512)),
                                                 std::set<uint64_t>{3}, kErrCrc));
    uint8_t buf[2 * 512];
    uint32_t got = 9;
    EXPECT_EQ(reader.ReadSectors(2, buf, 3, 512, got), kErrReadFault);
    EXPECT_EQ(got, 0u);
}

TEST(SectorReaderImage, ThousandByteImageHoldsOneSectorAndItsEndIsAShortRead) {
    TempDir dir;
    const auto bytes = Pattern(1000);
    testing::WriteFileBytes(dir / "odd.img", bytes);
    SectorReader reader;
    ASSERT_EQ(reader.OpenImageFile(dir / "odd.img"), kOk);
    EXPECT_EQ(reader.TotalSectors(), 1u);
    EXPECT_EQ(reader.MediumSectorSize(), 512u);

    uint8_t buf[1024];
    uint32_t got = 0;
    ASSERT_EQ(reader.ReadSectors(1, buf, 0, 512, got), kOk);
    EXPECT_TRUE(std::equal(buf, buf + 512, bytes.begin()));
    EXPECT_EQ(reader.ReadSectors(1, buf, 1, 512, got), kErrInvalidParameter);

    // A 1024-byte sector passes the 512-unit range check but the file ends inside it.
    got = 9;
    EXPECT_EQ(reader.ReadSectors(1, buf, 0, 1024, got), kErrReadFault);
    EXPECT_EQ(got, 0u);
}

TEST(SectorReaderImage, UnusablePathsAreRefusedWithTheirReason) {
    TempDir dir;
    SectorReader reader;
    EXPECT_EQ(reader.OpenImageFile(dir / "missing.img"), kErrFileNotFound);
    EXPECT_EQ(reader.OpenImageFile(dir.Path()), kErrDirectoryName);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    // Must return at once instead of waiting for a writer.
    EXPECT_EQ(reader.OpenImageFile(dir / "fifo"), kErrInvalidParameter);
    EXPECT_FALSE(reader.IsOpen());
    EXPECT_EQ(reader.TotalSectors(), 0u);
}

// Each reader is handed its opener: no process-wide state to put back.
class DiskOpenerTest : public ::testing::Test {};

TEST_F(DiskOpenerTest, PhysicalDiskSizeComesFromTheMediumSectorSize) {
    const auto bytes = Pattern(64 * 4096);
    const DiskSourceOpener opener = [&](int disk, std::unique_ptr<ISectorSource>& out) {
        if (disk != 3) return kErrFileNotFound;
        out = std::make_unique<MemorySource>(bytes, 4096);
        return kOk;
    };
    SectorReader reader;
    ASSERT_EQ(reader.OpenPhysicalDisk(3, opener), kOk);
    EXPECT_EQ(reader.MediumSectorSize(), 4096u);
    EXPECT_EQ(reader.TotalSectors(), 64u);
    std::vector<uint8_t> buf(4096);
    uint32_t got = 0;
    ASSERT_EQ(reader.ReadSectors(1, buf.data(), 63, 4096, got), kOk);
    EXPECT_TRUE(std::equal(buf.begin(), buf.end(), bytes.end() - 4096));

    // The disk table asks the process's opener.
    testing::ScopedDiskOpener installed(opener);
    uint64_t length = 0;
    ASSERT_EQ(GetDiskLength(3, length), kOk);
    EXPECT_EQ(length, bytes.size());
}

TEST_F(DiskOpenerTest, DiskThatCannotTellItsLengthIsSizedByItsGeometry) {
    class GeometryOnly final : public ISectorSource {
      public:
        Result ReadAt(uint64_t, std::span<uint8_t>, size_t& got) override {
            got = 0;
            return kOk;
        }
        uint64_t SizeBytes() const override { return 0; }
        bool Geometry(uint64_t& c, uint32_t& h, uint32_t& s) const override {
            c = 10;
            h = 4;
            s = 8;
            return true;
        }
    };
    const DiskSourceOpener opener = [](int, std::unique_ptr<ISectorSource>& out) {
        out = std::make_unique<GeometryOnly>();
        return kOk;
    };
    SectorReader reader;
    ASSERT_EQ(reader.OpenPhysicalDisk(0, opener), kOk);
    EXPECT_EQ(reader.TotalSectors(), 320u);
    uint8_t buf[512];
    uint32_t got = 9;
    // Inside the range, but the device delivers nothing: a short read, not a success.
    EXPECT_EQ(reader.ReadSectors(1, buf, 319, 512, got), kErrReadFault);
    EXPECT_EQ(got, 0u);
}

TEST_F(DiskOpenerTest, OpenerFailureReachesTheCallerAndLeavesReaderClosed) {
    SectorReader reader;
    EXPECT_EQ(reader.OpenPhysicalDisk(
                  0, [](int, std::unique_ptr<ISectorSource>&) { return kErrAccessDenied; }),
              kErrAccessDenied);
    EXPECT_FALSE(reader.IsOpen());
    // An opener that claims success without a source is not trusted.
    EXPECT_NE(reader.OpenPhysicalDisk(0, [](int, std::unique_ptr<ISectorSource>&) { return kOk; }),
              kOk);
    EXPECT_FALSE(reader.IsOpen());
    // The process's opener (what engines open through) is replaced for a scope only.
    {
        testing::ScopedDiskOpener denied(
            [](int, std::unique_ptr<ISectorSource>&) { return kErrAccessDenied; });
        EXPECT_EQ(reader.OpenPhysicalDisk(0), kErrAccessDenied);
        {
            testing::ScopedDiskOpener notReady(
                [](int, std::unique_ptr<ISectorSource>&) { return kErrNotReady; });
            EXPECT_EQ(reader.OpenPhysicalDisk(0), kErrNotReady);
        }
        EXPECT_EQ(reader.OpenPhysicalDisk(0), kErrAccessDenied);
    }
}

}  // namespace
}  // namespace norvale
