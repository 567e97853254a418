// Length estimation at its edges: end markers and the boundary, caps and declared sizes, 64-bit
// lengths, transport-stream ranges, stop requests and unreadable sectors.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "carving/identify.h"
#include "carving/sizer_frame.h"
#include "carving_test_support.h"
#include "device/bytes.h"
#include "device/sector_source.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::kSector;
using testing::Medium;
using testing::RealFile;
using testing::Sample;
using testing::SparseSource;
using enum FileTypeCode;

constexpr uint64_t kGiB = 1ull << 30;
constexpr uint64_t kMiB = 1ull << 20;

std::vector<uint8_t> Bytes(std::string_view text, size_t size = 0) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    if (size > bytes.size()) bytes.resize(size, 0);
    return bytes;
}

std::vector<uint8_t> JpegHeader() {
    return Bytes("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00"sv, kSector);
}
std::vector<uint8_t> MatroskaHeader() {
    return Bytes("\x1A\x45\xDF\xA3\x01\x00\x00\x00\x00\x00\x00\x1F\x42\x86\x81\x01"sv, kSector);
}
std::vector<uint8_t> PngHeader() {
    return Sample("picture.png");
}

struct Sized {
    Result result = kErrInvalidParameter;
    FileTypeCode type = kNoFileType;
    uint64_t length = 0;
};

Sized SizeAt(SectorReader& reader, uint64_t lba, CarvingContext& context,
             uint32_t sectorSize = kSector) {
    std::vector<uint8_t> sector(sectorSize);
    uint32_t got = 0;
    EXPECT_EQ(reader.ReadSectors(1, sector.data(), lba, sectorSize, got), kOk);
    Sized sized;
    std::string name;
    sized.result = IdentifyAndSize(context, sectorSize, reader, sector, lba, {0, 1000, 0, 0}, name,
                                   sized.type, sized.length);
    return sized;
}

Sized SizeAt(const Medium& medium, uint64_t lba, std::set<uint64_t> bad = {}) {
    auto reader = medium.Reader(std::move(bad));
    CarvingContext context;
    return SizeAt(*reader, lba, context);
}

SectorReader ReaderOver(std::unique_ptr<ISectorSource> source) {
    SectorReader reader;
    reader.Attach(std::move(source));
    return reader;
}

// --- end markers and boundaries ------------------------------------------------------------

TEST(EndMarkers, PictureEndingInItsFirstSectorIsSizedWithoutReadingOn) {
    const std::vector<uint8_t> photo = Sample("photo.jpg");
    ASSERT_LT(photo.size(), kSector);
    Medium medium(16);
    medium.Put(2, photo);
    auto reader = medium.Reader({12});  // counts the reads
    CarvingContext context;
    auto* source = dynamic_cast<FaultySource*>(reader->Source());
    const uint64_t before = source->ReadCalls();
    const Sized sized = SizeAt(*reader, 2, context);
    EXPECT_EQ(sized.length, photo.size());
    EXPECT_EQ(source->ReadCalls(), before + 1);  // the header sector only
}

TEST(EndMarkers, MarkerPastTheNextFilesHeaderBelongsToThatFile) {
    // No end of image before the PNG at file sector 5; the zero-padded one after it is not ours.
    Medium medium(32);
    medium.Put(1, JpegHeader()).Noise(2, 4, 1).Put(6, PngHeader());
    medium.Put(8, Bytes("\xFF\xD9"sv));
    EXPECT_EQ(SizeAt(medium, 1).length, 5 * kSector);
}

TEST(EndMarkers, OnlyAZeroPaddedFooterEndsAGif) {
    std::vector<uint8_t> gif = Sample("animation.gif");
    gif.back() = 0x3B;
    std::vector<uint8_t> file = gif;
    file.insert(file.end() - 2, {0x00, 0x3B, 0x55});  // a footer-like pair inside the data
    file.resize(3 * kSector - 5, 0x77);
    file.insert(file.end(), {0x00, 0x3B});  // the real trailer, zeros after it
    Medium medium(16);
    medium.Put(0, file);
    EXPECT_EQ(SizeAt(medium, 0).length, file.size());
}

TEST(EndMarkers, PdfEndsAtTheLastEndOfFileMarkerBeforeTheNextPdf) {
    // Two revisions in one chunk: the later "%%EOF" counts. The next PDF's marker does not.
    std::vector<uint8_t> first = Bytes("%PDF-1.4\n"sv, 1500);
    const std::string update = "%%EOF\n1 0 obj\n<<>>\nendobj\ntrailer\n<<>>\n%%EOF\n";
    first.insert(first.end(), update.begin(), update.end());
    std::vector<uint8_t> second = Bytes("%PDF-1.5\n"sv, 900);
    second.insert(second.end(), {'%', '%', 'E', 'O', 'F'});
    Medium medium(32);
    medium.Put(0, first).Put(4, second);
    EXPECT_EQ(SizeAt(medium, 0).length, first.size() - 1);
    EXPECT_EQ(SizeAt(medium, 4).length, second.size());
}

TEST(EndMarkers, ZipSmallerThanASectorEndsInItsFirstSector) {
    const std::vector<uint8_t> zip = Sample("archive.zip");
    ASSERT_LT(zip.size(), 4096u);
    Medium medium(64);
    medium.Put(8, zip).Noise(16, 8, 3).Put(24, PngHeader());
    auto reader = medium.Reader();
    CarvingContext context;
    EXPECT_EQ(SizeAt(*reader, 1, context, 4096).length, zip.size());
}

TEST(EndMarkers, MidiIsItsAnnouncedTracksWithinItsBoundary) {
    const auto midi = [](uint16_t announced, std::vector<uint32_t> tracks) {
        std::vector<uint8_t> bytes = Bytes("MThd\x00\x00\x00\x06\x00\x01"sv);
        bytes.insert(bytes.end(), {uint8_t(announced >> 8), uint8_t(announced), 0, 96});
        for (uint32_t length : tracks) {
            bytes.insert(bytes.end(), {'M', 'T', 'r', 'k', uint8_t(length >> 24),
                                       uint8_t(length >> 16), uint8_t(length >> 8), uint8_t(length)});
            bytes.resize(bytes.size() + length, 0x40);
        }
        return bytes;
    };
    Medium medium(64);
    medium.Put(0, midi(3, {100, 1500, 20}));
    EXPECT_EQ(SizeAt(medium, 0).length, 14 + 3 * 8 + 1620u);
    // A track running past the next file's header is cut there.
    medium.Put(10, midi(2, {100, 5000})).Put(14, PngHeader());
    EXPECT_EQ(SizeAt(medium, 10).length, 4 * kSector);
    // Fewer tracks than announced: only the boundary tells the end.
    medium.Put(20, midi(3, {100, 200})).Put(28, PngHeader());
    EXPECT_EQ(SizeAt(medium, 20).length, 8 * kSector);
}

// --- caps and declared lengths -------------------------------------------------------------

TEST(Caps, FileWithoutEndOrBoundaryIsCutAtItsCap) {
    auto reader = ReaderOver(std::move(std::make_unique<SparseSource>(200 * kMiB)
                                           ->Put(0, Bytes("II*\x00\x08\x00\x00\x00"sv, kSector))));
    CarvingContext context;
    EXPECT_EQ(SizeAt(reader, 0, context).length, 128 * kMiB);
}

TEST(Caps, DeclaredLengthsAreHeldToTheCapAndTheMedium) {
    const auto bmp = [](uint32_t declared) {
        std::vector<uint8_t> b = Bytes("BM"sv, kSector);
        for (int i = 0; i < 4; ++i) b[2 + i] = uint8_t(declared >> (8 * i));
        b[14] = 40;
        return b;
    };
    auto big = ReaderOver(std::move(std::make_unique<SparseSource>(300 * kMiB)
                                        ->Put(0, bmp(0xF0000000))
                                        .Put(kSector, Bytes("FWS\x05\x00\x00\x00\x13"sv, kSector))
                                        .Put(2 * kSector, Bytes("CWS\x0A\x00\x10\x00\x00"sv, kSector))));
    CarvingContext context;
    EXPECT_EQ(SizeAt(big, 0, context).length, 128 * kMiB);
    EXPECT_EQ(SizeAt(big, 1, context).length, 256 * kMiB);  // 0x13000000 declared
    EXPECT_EQ(SizeAt(big, 2, context).length, kSector);     // compressed: one sector
    Medium small(8);
    small.Put(4, bmp(1 * kMiB));
    EXPECT_EQ(SizeAt(small, 4).length, 4 * kSector);  // what is left of the medium
}

// Declared lengths past 4 GiB on a sparse image file of 5 GiB: a RIFF form of nearly 4 GiB,
// a font and an icon whose last parts end beyond it, and a Matroska file whose boundary lies
// beyond it.
TEST(Caps, LengthsPastFourGibibytesAreExact) {
    ::norvale::testing::TempDir dir;
    const std::string path = dir / "sparse.img";
    const auto put = [&](uint64_t offset, const std::vector<uint8_t>& bytes) {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(static_cast<std::streamoff>(offset));
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    };
    std::ofstream(path).close();
    std::filesystem::resize_file(path, 5 * kGiB);
    put(0, Bytes("RIFF\xFC\xFF\xFF\xFFWAVEfmt "sv, kSector));
    std::vector<uint8_t> font = Bytes("\x00\x01\x00\x00\x00\x01\x00\x10\x00\x00\x00\x01"sv);
    const std::vector<uint8_t> record = Bytes("head\x00\x00\x00\x00\xFF\xFF\xFF\x00\x00\x00\x10\x00"sv);
    font.insert(font.end(), record.begin(), record.end());
    font.insert(font.end(), {0x00, 0x01, 0x00, 0x00});
    put(kSector, font);
    put(2 * kSector, Bytes("\x00\x00\x01\x00\x01\x00\x10\x10\x00\x00\x01\x00\x20\x00"
                           "\xF0\xFF\xFF\xFF\x16\x00\x00\x00"sv));
    put(3 * kSector, MatroskaHeader());
    put(4 * kGiB + kMiB, PngHeader());

    SectorReader reader;
    ASSERT_EQ(reader.OpenImageFile(path), kOk);
    CarvingContext context;
    EXPECT_EQ(SizeAt(reader, 0, context).length, 4 * kGiB + 4);
    EXPECT_EQ(SizeAt(reader, 1, context).length, 4 * kGiB - 0x100 + 0x1000 - kSector);
    EXPECT_EQ(SizeAt(reader, 2, context).length, 4 * kGiB + 6);
    EXPECT_EQ(SizeAt(reader, 3, context).length, 4 * kGiB + kMiB - 3 * kSector);
}

// --- transport streams ---------------------------------------------------------------------

std::vector<uint8_t> PacketRun(size_t bytes) {
    std::vector<uint8_t> run(bytes, 0x11);
    for (size_t at = 0; at < bytes; at += kTsPacketBytes) run[at] = 0x47;
    return run;
}

TEST(TransportStreamLength, EndsAtTheNextHeaderOrAtItsFirstBadPacket) {
    Medium medium(64);
    medium.Put(10, PacketRun(5 * kSector)).Put(15, PngHeader());
    auto reader = medium.Reader();
    CarvingContext context;
    Sized sized = SizeAt(*reader, 10, context);
    EXPECT_EQ(sized.type, kTs);
    EXPECT_EQ(sized.length, 2560u);
    ASSERT_EQ(context.tsRanges.size(), 1u);
    EXPECT_EQ(context.tsRanges[0].firstLba, 10u);
    EXPECT_EQ(context.tsRanges[0].lastLba, 14u);

    std::vector<uint8_t> broken = PacketRun(5 * kSector);
    broken[1128] = 0x48;
    medium.Put(30, broken).Put(35, PngHeader());
    reader = medium.Reader();
    context.transportStreamFlag = false;
    sized = SizeAt(*reader, 30, context);
    EXPECT_EQ(sized.length, 1128u);
    EXPECT_EQ(context.tsRanges.back().lastLba, 32u);
}

TEST(TransportStreamLength, RunInsideTheStreamJustCarvedIsNotANewFile) {
    // A run whose sector before it does not end on the packet grid would pass for a new
    // stream; the range of the stream already carved keeps it out.
    Medium medium(64);
    std::vector<uint8_t> stream = PacketRun(20 * kSector);
    for (size_t at = 4 * kSector - 188; at < 5 * kSector + 1; ++at) stream[at] = 0x11;
    medium.Put(10, stream);
    for (size_t at = 15 * kSector; at < 15 * kSector + 4096; at += 188) medium.Put(at / kSector, {});
    auto reader = medium.Reader();
    CarvingContext context;
    ASSERT_EQ(SizeAt(*reader, 10, context).type, kTs);
    EXPECT_EQ(SizeAt(*reader, 15, context).result, kErrInvalidParameter);
}

// --- stop requests and unreadable sectors --------------------------------------------------

struct ProgressLog {
    int stopAtCall = 0;
    int answer = 0;
    std::vector<uint64_t> done;
};

int LogProgress(void* user, int percent, int scale, int, uint64_t done, uint64_t total,
                uint64_t files, int) {
    auto* log = static_cast<ProgressLog*>(user);
    log->done.push_back(done);
    EXPECT_EQ(percent, static_cast<int>(done * 100 / total) + 10);
    EXPECT_EQ(scale, 3);
    EXPECT_EQ(files, 7u);
    return static_cast<int>(log->done.size()) == log->stopAtCall ? log->answer : 0;
}

TEST(StopRequests, StopWhileSizingCancelsAndOtherAnswersKeepThePartialLength) {
    Medium medium(2048);
    medium.Put(0, MatroskaHeader()).Noise(1, 1500, 9);
    const auto run = [&](ProgressLog& log, Sized& sized) {
        auto reader = medium.Reader();
        CarvingContext context;
        context.scanProgress = LogProgress;
        context.progressUserData = &log;
        context.progressScale = 3;
        std::vector<uint8_t> sector = medium.SectorAt(0);
        std::string name;
        sized.result = IdentifyAndSize(context, kSector, *reader, sector, 0, {500, 4000, 0, 7},
                                       name, sized.type, sized.length);
    };
    ProgressLog cancel{3, kScanCancelled, {}};
    Sized sized;
    run(cancel, sized);
    EXPECT_EQ(sized.result, kScanCancelled);
    EXPECT_EQ(sized.length, (1 + 2 * 128) * kSector);
    EXPECT_EQ(cancel.done, (std::vector<uint64_t>{628, 756, 884}));

    ProgressLog other{3, 1, {}};
    run(other, sized);
    EXPECT_EQ(sized.result, kOk);
    EXPECT_EQ(sized.length, (1 + 2 * 128) * kSector);

    // Without a callback the sizer runs to the end of the medium.
    EXPECT_EQ(SizeAt(medium, 0).length, 2048 * kSector);
}

TEST(UnreadableSectors, FileEndsAtTheLastSectorThatCouldBeRead) {
    Medium medium(1024);
    medium.Put(0, JpegHeader()).Noise(1, 1000, 2);
    EXPECT_EQ(SizeAt(medium, 0, {200}).length, 200 * kSector);
    // The medium's end is no failure: a file in its last chunk keeps every sector left.
    EXPECT_EQ(SizeAt(medium, 1014).type, kNoFileType);
    medium.Put(1014, JpegHeader());
    EXPECT_EQ(SizeAt(medium, 1014).length, 10 * kSector);
}

TEST(UnreadableSectors, CompoundFileWithAnUnreadableTableKeepsItsUpperBound) {
    const std::vector<uint8_t> ole = RealFile("container.ole");
    if (ole.empty()) GTEST_SKIP() << "gsf missing";
    const uint32_t fatSectors = Le32(ole.data() + 44);
    const uint32_t lastFat = Le32(ole.data() + 76 + 4 * (fatSectors - 1));
    Medium medium(8);
    medium.Put(4, ole);
    EXPECT_EQ(SizeAt(medium, 4).length, ole.size());
    EXPECT_EQ(SizeAt(medium, 4, {4 + 1 + lastFat}).length, (fatSectors * 128 + 1) * 512u);
    // A header that cannot be followed leaves the boundary to end the file.
    std::vector<uint8_t> broken = medium.SectorAt(4);
    broken[30] = 10;
    medium.Put(40, broken).Put(50, PngHeader());
    EXPECT_EQ(SizeAt(medium, 40).length, 10 * kSector);
}

}  // namespace
}  // namespace norvale
