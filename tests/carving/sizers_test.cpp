// Length estimation at its edges: end markers against the boundary, caps and declared sizes,
// lengths past 4 GiB, transport-stream ranges, stop requests and unreadable sectors.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "carving/formats/formats.h"
#include "carving/identify.h"
#include "carving_test_support.h"
#include "device/bytes.h"
#include "support/test_support.h"

using namespace std::literals;

namespace norvale {
namespace {

using testing::kSector;
using testing::Medium;
using testing::Sample;
using testing::SparseSource;

constexpr uint64_t kGiB = 1ull << 30;
constexpr uint64_t kMiB = 1ull << 20;

std::vector<uint8_t> Bytes(std::string_view text, size_t size = kSector) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    bytes.resize(std::max(size, bytes.size()), 0);
    return bytes;
}
const std::vector<uint8_t> kJpegHeader = Bytes("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00"sv);
const std::vector<uint8_t> kMatroskaHeader = Bytes("\x1A\x45\xDF\xA3\x01\x00\x00\x00\x00"sv);

// Identifies and sizes the file at `lba`; the length, or 0 when nothing was carved.
uint64_t LengthAt(SectorReader& reader, uint64_t lba, uint32_t sectorSize = kSector,
                  CarvingContext&& context = CarvingContext()) {
    std::vector<uint8_t> sector(sectorSize);
    uint32_t got = 0;
    EXPECT_EQ(reader.ReadSectors(1, sector.data(), lba, sectorSize, got), kOk);
    std::string name;
    FileTypeCode type = FileTypeCode::kNoFileType;
    uint64_t length = 0;
    (void)IdentifyAndSize(context, sectorSize, reader, sector, lba, {0, 1000, 0, 0}, name, type, length);
    return length;
}
uint64_t LengthAt(const Medium& medium, uint64_t lba, std::set<uint64_t> bad = {}) {
    return LengthAt(*medium.Reader(std::move(bad)), lba);
}
SectorReader ReaderOver(std::unique_ptr<ISectorSource> source) {
    SectorReader reader;
    reader.Attach(std::move(source));
    return reader;
}

TEST(EndMarkers, PictureEndingInItsFirstSectorIsSizedWithoutReadingOn) {
    const std::vector<uint8_t> photo = Sample("photo.jpg");
    ASSERT_LT(photo.size(), kSector);
    Medium medium(16);
    medium.Put(2, photo);
    auto reader = medium.Reader({12});  // a faulty source counts its reads
    auto* source = dynamic_cast<FaultySource*>(reader->Source());
    const uint64_t before = source->ReadCalls();
    EXPECT_EQ(LengthAt(*reader, 2), photo.size());
    EXPECT_EQ(source->ReadCalls(), before + 1);  // the header sector only
}

TEST(EndMarkers, MarkerAfterTheNextFilesHeaderBelongsToThatFile) {
    // No end of image before the PNG at file sector 5; the zero-padded one after it is not ours.
    Medium medium(32);
    medium.Put(1, kJpegHeader).Noise(2, 4, 1).Put(6, Sample("picture.png")).Put(8, {0xFF, 0xD9});
    EXPECT_EQ(LengthAt(medium, 1), 5 * kSector);
    // Two revisions in one chunk: the later "%%EOF" counts, with its line break; the next PDF's
    // does not.
    std::vector<uint8_t> updated = Bytes("%PDF-1.4\n"sv, 1500);
    for (char c : "%%EOF\n1 0 obj\n<<>>\nendobj\ntrailer\n<<>>\n%%EOF\n"sv) updated.push_back(c);
    medium.Put(10, updated).Put(14, Bytes("%PDF-1.5\n"sv, 900)).Put(15, Bytes("\n%%EOF"sv, 6));
    EXPECT_EQ(LengthAt(medium, 10), updated.size());
    EXPECT_EQ(LengthAt(medium, 14), kSector + 6);
    // "\r\n" and "\r" breaks are kept as well; text after the marker is not.
    for (const std::string_view tail : {"%%EOF\r\n"sv, "%%EOF\r"sv, "%%EOFx"sv}) {
        std::vector<uint8_t> pdf = Bytes("%PDF-1.4\n"sv, 700);
        pdf.insert(pdf.end(), tail.begin(), tail.end());
        Medium one(8);
        one.Put(1, pdf);
        EXPECT_EQ(LengthAt(one, 1), pdf.size() - (tail.back() == 'x' ? 1 : 0)) << tail;
    }
}

// An ID3v2 header, `frames` MPEG-1 layer III frames (128 kbit/s, 44.1 kHz: 417 bytes each)
// whose audio data holds the letters "TAG" here and there, and an ID3v1 tag when asked.
std::vector<uint8_t> Mp3Stream(int frames, bool id3v1) {
    std::vector<uint8_t> file = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0};
    for (int f = 0; f < frames; ++f) {
        const size_t start = file.size();
        file.insert(file.end(), {0xFF, 0xFB, 0x90, 0x00});
        file.resize(start + 417, static_cast<uint8_t>(0x21 + f));
        // In the data of some frames, 128 bytes and more before a frame boundary.
        if (f % 5 == 3) std::memcpy(&file[start + 40], "TAG", 3);
        if (f == frames - 1) std::memcpy(&file[start + 417 - 128], "TAG", 3);
    }
    if (id3v1) {
        const size_t start = file.size();
        file.resize(start + 128, ' ');
        std::memcpy(&file[start], "TAGSample", 9);
    }
    return file;
}

TEST(EndMarkers, Id3v1TagCountsOnlyWhereTheMp3FramesEnd) {
    const std::vector<uint8_t> tagged = Mp3Stream(40, true);
    Medium medium(128);
    medium.Put(1, tagged).Put(60, Sample("picture.png"));
    EXPECT_EQ(LengthAt(medium, 1), tagged.size());

    // Without the tag the letters in the audio end nothing: the last frame ends the file.
    const std::vector<uint8_t> bare = Mp3Stream(40, false);
    Medium untagged(128);
    untagged.Put(1, bare).Put(60, Sample("picture.png"));
    EXPECT_EQ(LengthAt(untagged, 1), bare.size());

    // A tag padded after the ID3v2 header, and frames that begin in one chunk and end in the
    // next (4096-byte sectors: a 64 KiB chunk is no multiple of 417).
    std::vector<uint8_t> padded = Mp3Stream(0, false);
    padded[9] = 100;  // a 100-byte ID3v2 body of zeros
    padded.resize(110, 0);
    const std::vector<uint8_t> frames = Mp3Stream(400, true);
    padded.insert(padded.end(), frames.begin() + 10, frames.end());
    Medium large(2000);
    large.Put(8, padded).Put(1000, Sample("picture.png"));
    EXPECT_EQ(LengthAt(*large.Reader(), 1, 4096), padded.size());
}

TEST(EndMarkers, ArchiveSmallerThanASectorEndsInItsFirstSector) {
    const std::vector<uint8_t> zip = Sample("archive.zip");
    ASSERT_LT(zip.size(), 4096u);
    Medium medium(64);
    medium.Put(8, zip).Noise(16, 8, 3).Put(24, Sample("picture.png"));
    EXPECT_EQ(LengthAt(*medium.Reader(), 1, 4096), zip.size());
}

TEST(EndMarkers, MidiIsItsAnnouncedTracksWithinItsBoundary) {
    const auto midi = [](uint8_t announced, std::vector<uint16_t> tracks) {
        std::vector<uint8_t> b = Bytes("MThd\x00\x00\x00\x06\x00\x01\x00"sv, 0);
        b.insert(b.end(), {announced, 0, 96});
        for (uint16_t length : tracks) {
            b.insert(b.end(), {'M', 'T', 'r', 'k', 0, 0, uint8_t(length >> 8), uint8_t(length)});
            b.resize(b.size() + length, 0x40);
        }
        return b;
    };
    Medium medium(64);
    medium.Put(0, midi(3, {100, 1500, 20}));
    EXPECT_EQ(LengthAt(medium, 0), 14 + 3 * 8 + 1620u);
    // A track running past the next file's header is cut there.
    medium.Put(10, midi(2, {100, 5000})).Put(14, Sample("picture.png"));
    EXPECT_EQ(LengthAt(medium, 10), 4 * kSector);
    // Fewer tracks than announced: only the boundary tells the end.
    medium.Put(30, midi(3, {100, 200})).Put(38, Sample("picture.png"));
    EXPECT_EQ(LengthAt(medium, 30), 8 * kSector);
}

TEST(Caps, LengthsAreHeldToTheCapAndToTheMedium) {
    auto source = std::make_unique<SparseSource>(300 * kMiB);
    source->Put(0, Bytes("BM\x00\x00\x00\xF0\x00\x00\x00\x00\x00\x00\x00\x00\x28"sv))
        .Put(kSector, Bytes("FWS\x05\x00\x00\x00\x13"sv))
        .Put(2 * kSector, Bytes("CWS\x0A\x00\x10\x00\x00"sv))
        .Put(3 * kSector, Bytes("II*\x00\x08\x00\x00\x00"sv))  // no end marker, no boundary
        .Put(300 * kMiB - 4 * kSector,
             Bytes("BM\x00\x00\x10\x00\x00\x00\x00\x00\x00\x00\x00\x00\x28"sv));
    SectorReader reader = ReaderOver(std::move(source));
    EXPECT_EQ(LengthAt(reader, 0), 128 * kMiB);  // 0xF0000000 declared
    EXPECT_EQ(LengthAt(reader, 1), 256 * kMiB);  // 0x13000000 declared
    EXPECT_EQ(LengthAt(reader, 2), kSector);     // compressed: one sector
    EXPECT_EQ(LengthAt(reader, 3), 128 * kMiB);
    EXPECT_EQ(LengthAt(reader, 300 * kMiB / kSector - 4), 4 * kSector);  // 1 MiB declared
}

TEST(Caps, LengthsPastFourGibibytesAreExact) {
    // On a sparse image file: a RIFF form of nearly 4 GiB, a font and an icon whose last part
    // ends beyond 4 GiB.
    ::norvale::testing::TempDir dir;
    const std::string path = dir / "sparse.img";
    std::ofstream(path).close();
    std::filesystem::resize_file(path, 5 * kGiB);
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file << "RIFF\xFC\xFF\xFF\xFFWAVEfmt "sv;
    file.seekp(kSector);
    file << "\x00\x01\x00\x00\x00\x01\x00\x10\x00\x01\x00\x01head\x00\x00\x00\x00\xFF\xFF\xFF\x00"
            "\x00\x00\x10\x00\x00\x01\x00\x00"sv;
    file.seekp(2 * kSector);
    file << "\x00\x00\x01\x00\x01\x00\x10\x10\x00\x00\x01\x00\x20\x00\xF0\xFF\xFF\xFF\x16\x00\x00"
            "\x00"sv;
    file.close();
    SectorReader reader;
    ASSERT_EQ(reader.OpenImageFile(path), kOk);
    EXPECT_EQ(LengthAt(reader, 0), 4 * kGiB + 4);
    EXPECT_EQ(LengthAt(reader, 1), 4 * kGiB + 0xF00);
    EXPECT_EQ(LengthAt(reader, 2), 4 * kGiB + 6);

    // A chunked length past 4 GiB (4096-byte sectors keep the boundary scan short).
    auto source = std::make_unique<SparseSource>(5 * kGiB);
    source->Put(3 * 4096, kMatroskaHeader).Put(4 * kGiB + kMiB, Sample("picture.png"));
    SectorReader sparse = ReaderOver(std::move(source));
    EXPECT_EQ(LengthAt(sparse, 3, 4096), 4 * kGiB + kMiB - 3 * 4096);
}

TEST(TransportStreamLength, EndsAtTheNextHeaderOrAtItsFirstBadPacketAndIsRemembered) {
    std::vector<uint8_t> packets(5 * kSector, 0x11);
    for (size_t at = 0; at < packets.size(); at += kTsPacketBytes) packets[at] = 0x47;
    std::vector<uint8_t> broken = packets;
    broken[1128] = 0x48;
    Medium medium(64);
    medium.Put(10, packets)
        .Put(15, Sample("picture.png"))
        .Put(30, broken)
        .Put(35, Sample("picture.png"));
    auto reader = medium.Reader();
    for (const auto& [lba, length] :
         std::initializer_list<std::pair<uint64_t, uint64_t>>{{10, 2560}, {30, 1128}}) {
        auto context = testing::ContextAt(reader.get(), lba);
        context->transportStreamFlag = true;  // as after carving the stream itself
        EXPECT_EQ(SizeTransportStream(medium.SectorAt(lba), *context), length);
        ASSERT_EQ(context->tsRanges.size(), 1u);
        EXPECT_EQ(context->tsRanges[0].firstLba, lba);
        EXPECT_EQ(context->tsRanges[0].lastLba, lba + (length + kSector - 1) / kSector - 1);
    }
}

struct ProgressLog {
    int stopAtCall;
    int answer;
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
    medium.Put(0, kMatroskaHeader).Noise(1, 1500, 9);
    for (const int answer : {int(kScanCancelled), 1}) {
        ProgressLog log{3, answer, {}};
        CarvingContext context;
        context.scanProgress = LogProgress;
        context.progressUserData = &log;
        context.progressScale = 3;
        std::string name;
        FileTypeCode type;
        uint64_t length = 0;
        EXPECT_EQ(IdentifyAndSize(context, kSector, *medium.Reader(), medium.SectorAt(0), 0,
                                  {500, 4000, 0, 7}, name, type, length),
                  answer == kScanCancelled ? kScanCancelled : kOk);
        EXPECT_EQ(length, (1 + 2 * 128) * kSector);  // the third chunk was not taken
        EXPECT_EQ(log.done, (std::vector<uint64_t>{628, 756, 884}));
    }
    // Without a callback the sizer runs to the end of the medium.
    EXPECT_EQ(LengthAt(medium, 0), 2048 * kSector);
}

TEST(UnreadableSectors, FileEndsAtTheLastSectorThatCouldBeRead) {
    Medium medium(1024);
    medium.Put(0, kJpegHeader).Noise(1, 1000, 2);
    EXPECT_EQ(LengthAt(medium, 0, {200}), 200 * kSector);
    // The medium's end is no failure: a file in its last chunk keeps every sector left.
    medium.Put(1014, kJpegHeader);
    EXPECT_EQ(LengthAt(medium, 1014), 10 * kSector);
}

TEST(UnreadableSectors, CompoundFileWithAnUnreadableTableKeepsItsUpperBound) {
    const std::vector<uint8_t> ole = testing::RealFile("container.ole");
    if (ole.empty()) GTEST_SKIP() << "gsf missing";
    const uint32_t tableSectors = Le32(ole.data() + 44);
    const uint32_t lastTableSector = Le32(ole.data() + 76 + 4 * (tableSectors - 1));
    Medium medium(1024);
    medium.Put(4, ole);
    EXPECT_EQ(LengthAt(medium, 4), ole.size());
    EXPECT_EQ(LengthAt(medium, 4, {4 + 1 + lastTableSector}), (tableSectors * 128 + 1) * 512u);
    // A header that cannot be followed leaves the boundary to end the file.
    std::vector<uint8_t> broken = medium.SectorAt(4);
    broken[30] = 10;
    medium.Put(400, broken).Put(410, Sample("picture.png"));
    EXPECT_EQ(LengthAt(medium, 400), 10 * kSector);
}

}  // namespace
}  // namespace norvale
