// Sound files whose structure breaks: forms that claim more than the medium holds, AVI
// extensions cut short, FLAC and Ogg streams whose checksums fail part-way, MP3 frames that the
// medium cuts. The length stays bounded and the find is marked as not checking out; sound
// structures around the breaks (chained Ogg streams, tags after the frames) still size exactly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "carving/identify.h"
#include "carving_test_support.h"

using namespace std::literals;

namespace norvale {
namespace {

using testing::kSector;
using testing::Medium;
using testing::NoiseSector;
using testing::RealFile;
using testing::Sample;
using enum FileTypeCode;

struct Sized {
    FileTypeCode type = kNoFileType;
    uint64_t length = 0;
    bool valid = false;
};

Sized SizeAt(const Medium& medium, uint64_t lba) {
    auto reader = medium.Reader();
    const std::vector<uint8_t> sector = medium.SectorAt(lba);
    CarvingContext context;
    Sized out;
    std::string name;
    EXPECT_EQ(IdentifyAndSize(context, kSector, *reader, sector, lba, {0, 1000, 0, 0}, name,
                              out.type, out.length),
              kOk);
    out.valid = context.structureValid;
    return out;
}

void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

std::vector<uint8_t> Text(std::string_view s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& more) {
    to.insert(to.end(), more.begin(), more.end());
}

// "RIFF" form `form` holding one chunk `chunk` with `bytes` bytes of data.
std::vector<uint8_t> Form(std::string_view form, std::string_view chunk, std::string_view list,
                          size_t bytes) {
    std::vector<uint8_t> b = Text("RIFF....");
    Append(b, Text(form));
    Append(b, Text(chunk));
    b.resize(b.size() + 4);
    PutLe32(b, b.size() - 4, uint32_t(bytes));
    Append(b, Text(list));
    b.resize(20 + bytes + (bytes & 1), 0x33);
    PutLe32(b, 4, uint32_t(b.size() - 8));
    return b;
}

TEST(RiffForms, AviExtensionsJoinTheFileAndBrokenOnesAreBounded) {
    std::vector<uint8_t> avi = Form("AVI ", "LIST", "hdrl", 3001);
    const size_t first = avi.size();
    Append(avi, Form("AVIX", "LIST", "movi", 2000));
    Append(avi, Form("AVIX", "LIST", "movi", 4095));
    Medium medium(64);
    medium.Put(2, avi);
    Sized s = SizeAt(medium, 2);
    EXPECT_EQ(s.type, kAvi);
    EXPECT_EQ(s.length, avi.size());
    EXPECT_TRUE(s.valid);

    // An extension whose movie list claims more than it holds: the file ends before it.
    std::vector<uint8_t> bad = avi;
    PutLe32(bad, first + 16, 1u << 30);
    medium.Put(2, bad);
    s = SizeAt(medium, 2);
    EXPECT_EQ(s.length, first);
    EXPECT_FALSE(s.valid);

    // An extension that claims more than the medium holds: up to the medium's end.
    std::vector<uint8_t> cut = avi;
    PutLe32(cut, first + 4, 0xFFFFFF00u);
    Medium small(40);
    small.Put(2, cut);
    s = SizeAt(small, 2);
    EXPECT_EQ(s.length, 38 * kSector);
    EXPECT_FALSE(s.valid);
}

TEST(RiffForms, FormsClaimingMoreThanTheMediumOrChunksThatDoNotFitAreDamage) {
    // A wave form of 3.9 GiB on a medium of 40 sectors, another file after it: cut there.
    std::vector<uint8_t> wave = Form("WAVE", "fmt ", "", 16);
    Append(wave, Text("data\x00\x10\x00\x00"sv));
    wave.resize(1500, 0x21);
    PutLe32(wave, 4, 0xF0000000u);
    Medium medium(40);
    medium.Put(3, wave).Put(20, Sample("picture.png"));
    Sized s = SizeAt(medium, 3);
    EXPECT_EQ(s.type, kWav);
    EXPECT_EQ(s.length, 17 * kSector);
    EXPECT_FALSE(s.valid);

    // Within the medium but its chunks overrun the form: the declared size, marked damaged.
    PutLe32(wave, 4, 4000);
    medium.Put(3, wave);
    s = SizeAt(medium, 3);
    EXPECT_EQ(s.length, 4008u);
    EXPECT_FALSE(s.valid);

    // The data chunk within the form: sound.
    PutLe32(wave, 4, 1492);
    PutLe32(wave, 40, 1500 - 44);
    medium.Put(3, wave);
    s = SizeAt(medium, 3);
    EXPECT_EQ(s.length, 1500u);
    EXPECT_TRUE(s.valid);
}

// A real file with one byte changed at `at`, placed at sector 2 of a medium with a PNG after it.
Sized DamagedAt(const std::vector<uint8_t>& file, size_t at, Medium* keep = nullptr) {
    std::vector<uint8_t> damaged = file;
    damaged[at] ^= 0x5A;
    const uint64_t after = 2 + (file.size() + kSector - 1) / kSector + 6;
    Medium medium(after + 8);
    medium.Put(2, damaged).Put(after, Sample("picture.png"));
    if (keep) *keep = medium;
    Sized s = SizeAt(medium, 2);
    EXPECT_LE(s.length, (after - 2) * kSector);
    return s;
}

TEST(ChecksummedStreams, FlacAndOggFramesThatFailTheirChecksumMarkTheFileDamaged) {
    for (const char* name : {"plain.flac", "tagged.flac", "song.ogg", "voice.opus"}) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> file = RealFile(name);
        if (file.empty()) GTEST_SKIP() << name << " was not made: ffmpeg is missing";
        const Sized whole = DamagedAt(file, file.size() - 1);  // the last byte: the last CRC
        EXPECT_FALSE(whole.valid);
        const Sized middle = DamagedAt(file, file.size() / 2);
        EXPECT_FALSE(middle.valid);
        EXPECT_GE(middle.length, file.size() / 2);  // the sound part is kept
        // Cut in the middle, zeros after: damaged and bounded.
        std::vector<uint8_t> cut(file.begin(), file.begin() + file.size() / 2);
        Medium medium(16);
        medium.Put(2, cut);
        const Sized shortened = SizeAt(medium, 2);
        EXPECT_FALSE(shortened.valid);
        EXPECT_LE(shortened.length, 14 * kSector + cut.size());
    }
}

TEST(ChecksummedStreams, ChainedOggStreamsAreOneFileAndAStrayPageIsNot) {
    const std::vector<uint8_t> vorbis = RealFile("song.ogg");
    const std::vector<uint8_t> opus = RealFile("voice.opus");
    if (vorbis.empty() || opus.empty()) GTEST_SKIP() << "ffmpeg is missing";
    std::vector<uint8_t> chained = vorbis;
    Append(chained, opus);
    Medium medium(8);
    medium.Put(1, chained);
    Sized s = SizeAt(medium, 1);
    EXPECT_EQ(s.type, kOgg);
    EXPECT_EQ(s.length, chained.size());
    EXPECT_TRUE(s.valid);

    // A page of the first stream again after its end: not a new stream, the file ends before.
    std::vector<uint8_t> stray = vorbis;
    size_t lastPage = vorbis.size() - 27;
    while (lastPage > 0 && std::memcmp(&vorbis[lastPage], "OggS", 4) != 0) --lastPage;
    stray.insert(stray.end(), vorbis.begin() + lastPage, vorbis.end());
    medium.Put(1, stray);
    s = SizeAt(medium, 1);
    EXPECT_EQ(s.length, vorbis.size());
    EXPECT_TRUE(s.valid);
}

// `frames` MPEG-1 layer III frames of 128 kbit/s at 44.1 kHz (417 bytes), no ID3v2 tag: the
// first one carries "Info".
std::vector<uint8_t> BareMp3(int frames) {
    std::vector<uint8_t> b;
    for (int f = 0; f < frames; ++f) {
        const size_t at = b.size();
        b.insert(b.end(), {0xFF, 0xFB, 0x90, 0x00});
        b.resize(at + 417, uint8_t(0x30 + f));
        if (f == 0) std::memcpy(&b[at + 36], "Info", 4);
    }
    return b;
}

std::vector<uint8_t> ApeTag(bool withHeader) {
    std::vector<uint8_t> items = Text("\x06\x00\x00\x00\x00\x00\x00\x00Title\x00Sample"sv);
    auto block = [&](uint32_t flags) {
        std::vector<uint8_t> b = Text("APETAGEX\xD0\x07\x00\x00"sv);
        b.resize(32, 0);
        PutLe32(b, 12, uint32_t(items.size() + 32));
        PutLe32(b, 16, 1);
        PutLe32(b, 20, flags);
        return b;
    };
    std::vector<uint8_t> tag;
    if (withHeader) tag = block(0xA0000000u);
    Append(tag, items);
    Append(tag, block(withHeader ? 0x80000000u : 0));
    return tag;
}

TEST(Mp3Frames, TagsAfterTheFramesCountInEitherOrderAndFramesCutShortAreDamage) {
    std::vector<uint8_t> id3v1 = Text("TAGSample");
    id3v1.resize(128, ' ');
    for (bool header : {true, false}) {
        for (bool apeFirst : {true, false}) {
            std::vector<uint8_t> file = BareMp3(30);
            Append(file, apeFirst ? ApeTag(header) : id3v1);
            Append(file, apeFirst ? id3v1 : ApeTag(header));
            Medium medium(64);
            medium.Put(1, file).Put(40, Sample("picture.png"));
            const Sized s = SizeAt(medium, 1);
            EXPECT_EQ(s.type, kMp3);
            EXPECT_EQ(s.length, file.size()) << header << apeFirst;
            EXPECT_TRUE(s.valid);
        }
    }
    // The medium ends inside a frame: damaged, held to the medium.
    std::vector<uint8_t> frames = BareMp3(30);
    frames.resize(19 * kSector);
    Medium small(20);
    small.Put(1, frames);
    const Sized s = SizeAt(small, 1);
    EXPECT_FALSE(s.valid);
    EXPECT_EQ(s.length, 19 * kSector);

    // A bare layer II run ends after its last whole frame, whatever follows in its sector.
    std::vector<uint8_t> run;
    for (int f = 0; f < 9; ++f) {
        run.insert(run.end(), {0xFF, 0xFD, 0xE4, 0x00});
        run.resize(run.size() + 1148, 0x44);
    }
    const size_t frameBytes = run.size();
    Append(run, NoiseSector(9, 100));
    Medium radio(64);
    radio.Put(1, run);
    const Sized mp2 = SizeAt(radio, 1);
    EXPECT_EQ(mp2.type, kMp2);
    EXPECT_EQ(mp2.length, frameBytes);
    EXPECT_TRUE(mp2.valid);
}

TEST(MidiTracks, ClosedTracksSizeExactlyPastAnyHeaderInsideThem) {
    // A track whose events hold a PNG signature at a sector start: the tracks close with their
    // end-of-track events, so the file is not cut there.
    std::vector<uint8_t> midi = Text("MThd\x00\x00\x00\x06\x00\x01\x00\x02\x00\x60"sv);
    std::vector<uint8_t> events(3000, 0x40);
    const std::vector<uint8_t> png = Sample("picture.png");
    ASSERT_FALSE(png.empty());
    ASSERT_LT(png.size(), 2000u);
    std::copy(png.begin(), png.end(), events.begin() + (512 - 22));
    events.insert(events.end(), {0xFF, 0x2F, 0x00});
    for (int t = 0; t < 2; ++t) {
        Append(midi, Text("MTrk"));
        midi.insert(midi.end(), {0, 0, uint8_t(events.size() >> 8), uint8_t(events.size())});
        Append(midi, events);
    }
    Medium medium(64);
    medium.Put(4, midi);
    const Sized s = SizeAt(medium, 4);
    EXPECT_EQ(s.type, kMid);
    EXPECT_EQ(s.length, midi.size());
    EXPECT_TRUE(s.valid);
    // One track fewer than announced: damaged.
    midi[11] = 3;
    medium.Put(4, midi);
    EXPECT_FALSE(SizeAt(medium, 4).valid);
}

}  // namespace
}  // namespace norvale
