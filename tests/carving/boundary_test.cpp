// Where a carved file without a length of its own ends: at the next sector that begins a
// recognisable file or holds a file-system structure, measured in whole sectors.
#include "carving/boundary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "carving_test_support.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::ContextAt;
using testing::kSector;
using testing::Medium;
using testing::NoiseSector;
using testing::Sample;
using namespace std::literals;

// A chunk of sectors: noise unless given.
std::vector<uint8_t> Chunk(size_t sectors, std::map<size_t, std::vector<uint8_t>> given = {}) {
    std::vector<uint8_t> chunk;
    for (size_t i = 0; i < sectors; ++i) {
        std::vector<uint8_t> sector = given.count(i) ? given[i] : NoiseSector(1000 + i);
        sector.resize(kSector, 0);
        chunk.insert(chunk.end(), sector.begin(), sector.end());
    }
    return chunk;
}

std::vector<uint8_t> FirstSectorOf(const std::string& sample) {
    std::vector<uint8_t> bytes = Sample(sample);
    if (bytes.empty()) ADD_FAILURE() << "sample " << sample << " missing";
    bytes.resize(kSector, 0);
    return bytes;
}

// The first sector of `image` (512-byte sectors) that `want` accepts; empty when none.
template <typename Want>
std::vector<uint8_t> FindSector(const std::vector<uint8_t>& image, Want want) {
    for (size_t at = 0; at + kSector <= image.size(); at += kSector) {
        std::vector<uint8_t> sector(image.begin() + at, image.begin() + at + kSector);
        if (want(sector)) return sector;
    }
    return {};
}

bool StartsWith(const std::vector<uint8_t>& sector, std::string_view text) {
    return sector.size() >= text.size() && std::equal(text.begin(), text.end(), sector.begin());
}

// A FAT volume made by mkfs.fat and mtools, labelled CARD, with files in its root and in a
// subfolder; returns its image.
std::vector<uint8_t> FatVolumeWithFiles(const ::norvale::testing::TempDir& dir) {
    if (!::norvale::testing::HaveTool("mkfs.fat") || !::norvale::testing::HaveTool("mmd"))
        return {};
    const std::string image = dir / "fat.img";
    const std::string file = dir / "note.txt";
    ::norvale::testing::WriteFileBytes(file, std::vector<uint8_t>(700, 'x'));
    const std::string command = "mkfs.fat -n CARD -C '" + image + "' 2048 >/dev/null && mmd -i '" +
                                image + "' ::/PHOTOS && mcopy -i '" + image + "' '" + file +
                                "' ::/NOTE.TXT && mcopy -i '" + image + "' '" + file +
                                "' '::/A longer name.txt' && mcopy -i '" + image + "' '" + file +
                                "' '::/PHOTOS/Holiday notes from the lake.txt'";
    if (::norvale::testing::Run(command) != 0) return {};
    return ::norvale::testing::ReadFileBytes(image);
}

TEST(FindBoundary, StopsAtTheNextFileHeaderAndCountsWholeSectorsBeforeIt) {
    Medium medium(64);
    auto reader = medium.Reader();
    auto context = ContextAt(reader.get(), 100);
    const std::vector<uint8_t> chunk = Chunk(8, {{3, FirstSectorOf("picture.png")}});
    uint64_t length = 5 * kSector;
    EXPECT_TRUE(FindBoundary(chunk, length, *context));
    EXPECT_EQ(length, 5u * kSector + 3u * kSector);
    EXPECT_EQ(context->cursorLba, 104u);  // advanced once per sector examined
}

TEST(FindBoundary, ChunkWithoutBoundaryLeavesTheLengthAlone) {
    Medium medium(64);
    auto reader = medium.Reader();
    auto context = ContextAt(reader.get(), 100);
    std::vector<uint8_t> chunk =
        Chunk(6, {{2, std::vector<uint8_t>(kSector, 0)}, {4, std::vector<uint8_t>(kSector, 0xFF)}});
    uint64_t length = 7;
    EXPECT_FALSE(FindBoundary(chunk, length, *context));
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(context->cursorLba, 106u);
}

TEST(FindBoundary, HeaderInTheFirstSectorAddsNothing) {
    auto context = ContextAt(nullptr, 0);
    const std::vector<uint8_t> chunk = Chunk(2, {{0, FirstSectorOf("report.pdf")}});
    uint64_t length = kSector;
    EXPECT_TRUE(FindBoundary(chunk, length, *context));
    EXPECT_EQ(length, kSector);
}

TEST(FindBoundary, TrailingPartialSectorIsNotExamined) {
    auto context = ContextAt(nullptr, 0);
    std::vector<uint8_t> chunk = Chunk(2);
    const std::vector<uint8_t> pdf = FirstSectorOf("report.pdf");
    chunk.insert(chunk.end(), pdf.begin(), pdf.begin() + 100);
    uint64_t length = 0;
    EXPECT_FALSE(FindBoundary(chunk, length, *context));
}

TEST(FindBoundary, ExecutableEndsAFileEvenThoughItIsNeverCarved) {
    auto context = ContextAt(nullptr, 0);
    const std::vector<uint8_t> chunk = Chunk(4, {{2, FirstSectorOf("library.dll")}});
    uint64_t length = 0;
    EXPECT_TRUE(FindBoundary(chunk, length, *context));
    EXPECT_EQ(length, 2u * kSector);
}

TEST(FindBoundary, DetectorsThatReadAheadReadAtTheSectorUnderTest) {
    // A transport stream at LBA 33 ends a file carved from LBA 30 at its third sector after
    // the header: the stream's look-ahead must read from 33, not from the file's start.
    const std::vector<uint8_t> capture = Sample("capture.ts");
    ASSERT_FALSE(capture.empty());
    Medium medium(64);
    medium.Noise(30, 3, 5).Put(33, capture);
    auto reader = medium.Reader();
    auto context = ContextAt(reader.get(), 30);
    const std::vector<uint8_t> chunk(medium.Bytes().begin() + 31 * kSector,
                                     medium.Bytes().begin() + 39 * kSector);
    uint64_t length = kSector;
    EXPECT_TRUE(FindBoundary(chunk, length, *context));
    EXPECT_EQ(length, 3u * kSector);
}

TEST(FindBoundary, StopsAtARealFatDirectorySector) {
    ::norvale::testing::TempDir dir;
    const std::vector<uint8_t> image = FatVolumeWithFiles(dir);
    if (image.empty()) GTEST_SKIP() << "mkfs.fat/mtools not available";
    const std::vector<uint8_t> root =
        FindSector(image, [](const auto& s) { return StartsWith(s, "CARD       \x08"sv); });
    ASSERT_FALSE(root.empty());
    EXPECT_TRUE(IsFileSystemMetadataSector(root));

    auto context = ContextAt(nullptr, 0);
    const std::vector<uint8_t> chunk = Chunk(6, {{4, root}});
    uint64_t length = 0;
    EXPECT_TRUE(FindBoundary(chunk, length, *context));
    EXPECT_EQ(length, 4u * kSector);

    // The first sector of a subfolder, "." and ".." before its files, ends a file as well: a
    // carved file running over it would hide the folder from the scan that follows.
    const std::vector<uint8_t> folder =
        FindSector(image, [](const auto& s) { return StartsWith(s, ".          \x10"sv); });
    ASSERT_FALSE(folder.empty());
    EXPECT_TRUE(IsFileSystemMetadataSector(folder));
    length = 0;
    EXPECT_TRUE(FindBoundary(Chunk(6, {{2, folder}}), length, *context));
    EXPECT_EQ(length, 2u * kSector);
}

TEST(FindBoundary, StopsAtARealNtfsFileRecord) {
    if (!::norvale::testing::HaveTool("mkfs.ntfs")) GTEST_SKIP() << "mkfs.ntfs not available";
    ::norvale::testing::TempDir dir;
    const std::string image = dir / "ntfs.img";
    ASSERT_EQ(::norvale::testing::Run("truncate -s 4M '" + image + "' && mkfs.ntfs -F -f -q '" +
                                      image + "' >/dev/null 2>&1"),
              0);
    const std::vector<uint8_t> bytes = ::norvale::testing::ReadFileBytes(image);
    const std::vector<uint8_t> record =
        FindSector(bytes, [](const auto& s) { return StartsWith(s, "FILE"sv); });
    ASSERT_FALSE(record.empty());

    auto context = ContextAt(nullptr, 0);
    const std::vector<uint8_t> chunk = Chunk(5, {{1, record}});
    uint64_t length = 0;
    EXPECT_TRUE(FindBoundary(chunk, length, *context));
    EXPECT_EQ(length, 1u * kSector);
    EXPECT_TRUE(
        IsFileSystemMetadataSector(std::vector<uint8_t>(bytes.begin(), bytes.begin() + kSector)))
        << "the NTFS boot sector";
}

TEST(FindBoundary, MpegVariantLooksPastFurtherPackHeaders) {
    const std::vector<uint8_t> pack = FirstSectorOf("program.mpg");
    const std::vector<uint8_t> chunk =
        Chunk(6, {{1, pack}, {2, pack}, {4, FirstSectorOf("photo.jpg")}});
    auto context = ContextAt(nullptr, 0);
    uint64_t plain = 0;
    EXPECT_TRUE(FindBoundary(chunk, plain, *context));
    EXPECT_EQ(plain, 1u * kSector);
    uint64_t mpeg = 0;
    EXPECT_TRUE(FindBoundaryMpeg(chunk, mpeg, *context));
    EXPECT_EQ(mpeg, 4u * kSector);
}

TEST(FindBoundary, MpegVariantStillStopsAtFileSystemStructures) {
    std::vector<uint8_t> record(kSector, 0);
    std::copy_n("FILE0", 5, record.begin());
    const std::vector<uint8_t> chunk = Chunk(4, {{1, FirstSectorOf("program.mpg")}, {3, record}});
    auto context = ContextAt(nullptr, 0);
    uint64_t length = 0;
    EXPECT_TRUE(FindBoundaryMpeg(chunk, length, *context));
    EXPECT_EQ(length, 3u * kSector);
}

// --- the structure test on its own ---------------------------------------------------------

struct StructureCase {
    const char* name;
    std::vector<uint8_t> sector;
    bool structure;
};

std::vector<uint8_t> SectorStartingWith(std::string_view head, size_t bytes = kSector) {
    std::vector<uint8_t> sector = NoiseSector(77, bytes);
    std::copy(head.begin(), head.end(), sector.begin());
    return sector;
}

std::vector<uint8_t> BootSector(std::string_view oem) {
    std::vector<uint8_t> sector(kSector, 0);
    sector[0] = 0xEB;
    sector[1] = 0x52;
    sector[2] = 0x90;
    std::copy(oem.begin(), oem.end(), sector.begin() + 3);
    sector[510] = 0x55;
    sector[511] = 0xAA;
    return sector;
}

std::vector<uint8_t> RestartPage(bool namesNtfs) {
    std::vector<uint8_t> sector = SectorStartingWith("RSTR"sv);
    const std::string_view client = namesNtfs ? "N\0T\0F\0S\0"sv : "N\0T\0X\0S\0"sv;
    std::copy(client.begin(), client.end(), sector.begin() + 300);
    return sector;
}

class StructureTest : public ::testing::TestWithParam<StructureCase> {};

TEST_P(StructureTest, IsRecognisedExactlyWhenItIsAStructure) {
    EXPECT_EQ(IsFileSystemMetadataSector(GetParam().sector), GetParam().structure);
}

INSTANTIATE_TEST_SUITE_P(
    Sectors, StructureTest,
    ::testing::Values(
        StructureCase{"NtfsFileRecord", SectorStartingWith("FILE0"sv), true},
        StructureCase{"NtfsIndexBlock", SectorStartingWith("INDX("sv), true},
        StructureCase{"NtfsRestartPage", RestartPage(true), true},
        StructureCase{"RestartPageOfAnotherClient", RestartPage(false), false},
        StructureCase{"AttributeDefinitions", SectorStartingWith("$\0S\0T\0A\0N\0D\0"sv), true},
        StructureCase{"AsciiDollarSta", SectorStartingWith("$STANDARD"sv), false},
        StructureCase{"Fat32BootSector", BootSector("MSWIN4.1"), true},
        StructureCase{"Fat16BootSector", BootSector("MSDOS5.0"), true},
        StructureCase{"NtfsBootSector", BootSector("NTFS    "), true},
        StructureCase{"ExfatBootSector", BootSector("EXFAT   "), true},
        StructureCase{"BootSectorOfAnotherSystem", BootSector("SYSLINUX"), false},
        StructureCase{"ShortBufferIsNeverAStructure", SectorStartingWith("FILE0"sv, 31), false},
        StructureCase{"ZeroSector", std::vector<uint8_t>(kSector, 0), false},
        StructureCase{"ErasedSector", std::vector<uint8_t>(kSector, 0xFF), false},
        StructureCase{"Noise", NoiseSector(3), false}, StructureCase{"EmptyBuffer", {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FileSystemStructure, WindowsFormattedExfatBootSectorIsOne) {
    NORVALE_REQUIRE_CORPUS();
    ::norvale::testing::TempDir dir;
    const std::string image = ::norvale::testing::CorpusImage("exfat_win.raw.gz", dir.Path());
    ASSERT_FALSE(image.empty());
    const std::vector<uint8_t> bytes = ::norvale::testing::ReadFileBytes(image);
    ASSERT_GE(bytes.size(), kSector);
    EXPECT_TRUE(
        IsFileSystemMetadataSector(std::vector<uint8_t>(bytes.begin(), bytes.begin() + kSector)));
}

}  // namespace
}  // namespace norvale
