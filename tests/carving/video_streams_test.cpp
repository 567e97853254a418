// Video streams sized by their own structure: Matroska segments (stated and unknown sizes),
// FLV tag chains, MPEG program-stream packs, BDAV packet runs and ASF objects. A structure that
// checks out gives the exact length; a damaged or hostile one is flagged and stays bounded.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "carving/formats/formats.h"
#include "carving_test_support.h"
#include "device/bytes.h"
#include "device/result.h"

using namespace std::literals;

namespace norvale {
namespace {

using testing::ContextAt;
using testing::kSector;
using testing::Medium;
using testing::RealFile;
using testing::Sample;

using Sizer = uint64_t (*)(ByteSpan, CarvingContext&);

struct Sized {
    uint64_t length;
    bool valid;
};

constexpr uint64_t kAt = 4;  // where the file under test begins

// Sizes the file at `lba` of `medium` as IdentifyAndSize would, with what the pass holds.
Sized SizeAt(const Medium& medium, Sizer sizer, uint64_t lba = kAt) {
    auto reader = medium.Reader();
    auto context = ContextAt(reader.get(), lba);
    const std::vector<uint8_t> sector = medium.SectorAt(lba);
    context->held = sector;
    context->structureValid = true;
    const uint64_t length = sizer(sector, *context);
    return {length, context->structureValid};
}

void Append(std::vector<uint8_t>& to, std::string_view bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}
void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

// --- Matroska -------------------------------------------------------------------------------

// An element with an 8-byte size field (`size` all ones: unknown).
std::vector<uint8_t> Element(uint32_t id, uint64_t size, const std::vector<uint8_t>& body = {}) {
    std::vector<uint8_t> e;
    for (int shift = 24; shift >= 0; shift -= 8) {
        if ((id >> shift) != 0) e.push_back(static_cast<uint8_t>(id >> shift));
    }
    e.push_back(0x01);
    for (int shift = 48; shift >= 0; shift -= 8) e.push_back(static_cast<uint8_t>(size >> shift));
    Append(e, body);
    return e;
}
std::vector<uint8_t> Element(uint32_t id, const std::vector<uint8_t>& body) {
    return Element(id, body.size(), body);
}
constexpr uint64_t kUnknown = 0x00FFFFFFFFFFFFFF;

std::vector<uint8_t> EbmlHeader(std::string_view docType) {
    return Element(0x1A45DFA3,
                   Element(0x4282, std::vector<uint8_t>(docType.begin(), docType.end())));
}
std::vector<uint8_t> Blocks(int count) {
    std::vector<uint8_t> blocks = Element(0xE7, std::vector<uint8_t>{0x00});
    for (int i = 0; i < count; ++i) Append(blocks, Element(0xA3, std::vector<uint8_t>(300, 0x5A)));
    return blocks;
}

TEST(MatroskaLength, SegmentOfStatedSizeEndsTheFileAndAnyBreachIsFlagged) {
    std::vector<uint8_t> body = Element(0x1549A966, {0x2A, 0xD7, 0xB1, 0x83, 0x0F, 0x42, 0x40});
    Append(body, Element(0x1F43B675, Blocks(10)));
    Append(body, Element(0xEC, std::vector<uint8_t>(40, 0)));
    std::vector<uint8_t> file = EbmlHeader("webm");
    const size_t segmentAt = file.size();
    Append(file, Element(0x18538067, body));
    Medium medium(64);
    medium.Put(kAt, file).Put(kAt + 12, Sample("picture.png"));

    const Sized whole = SizeAt(medium, SizeMatroska);
    EXPECT_EQ(whole.length, file.size());
    EXPECT_TRUE(whole.valid);

    const auto damaged = [&](auto change) {
        std::vector<uint8_t> bad = file;
        change(bad);
        Medium m(64);
        m.Put(kAt, bad).Put(kAt + 12, Sample("picture.png"));
        const Sized sized = SizeAt(m, SizeMatroska);
        EXPECT_FALSE(sized.valid);
        EXPECT_GT(sized.length, 0u);
        EXPECT_LE(sized.length, m.Bytes().size() - kAt * kSector);
    };
    // A segment size past the medium, a child past the segment, another document type.
    damaged([&](std::vector<uint8_t>& b) { b[segmentAt + 5] = 0x40; });
    damaged([&](std::vector<uint8_t>& b) { b[segmentAt + 12 + 8] += 1; });
    damaged([&](std::vector<uint8_t>& b) { std::memcpy(b.data() + 22, "wxyz", 4); });
}

TEST(MatroskaLength, LiveSegmentEndsAtTheFirstElementThatIsNoPartOfIt) {
    // Unknown-size segment and clusters, as a live recorder writes them.
    std::vector<uint8_t> file = EbmlHeader("matroska");
    Append(file, Element(0x18538067, kUnknown));
    Append(file, Element(0x1654AE6B, std::vector<uint8_t>(60, 0xAE)));
    for (int cluster = 0; cluster < 3; ++cluster) {
        Append(file, Element(0x1F43B675, kUnknown));
        Append(file, Blocks(4));
    }
    Append(file, Element(0x1C53BB6B, std::vector<uint8_t>(20, 0xBB)));  // cues close it
    Medium medium(64);
    medium.Put(kAt, file);
    const Sized alone = SizeAt(medium, SizeMatroska);
    EXPECT_EQ(alone.length, file.size());
    EXPECT_TRUE(alone.valid);

    // Another recording laid right after it, with no gap, ends it too.
    std::vector<uint8_t> twice = file;
    Append(twice, file);
    medium.Put(kAt, twice);
    EXPECT_EQ(SizeAt(medium, SizeMatroska).length, file.size());

    // Clusters that never end: blocks up to the medium's last byte.
    std::vector<uint8_t> endless = EbmlHeader("webm");
    Append(endless, Element(0x18538067, kUnknown));
    Append(endless, Element(0x1F43B675, kUnknown));
    while (endless.size() + 312 < 40 * kSector)
        Append(endless, Element(0xA3, std::vector<uint8_t>(300, 1)));
    Append(endless, Element(0xA3, 40 * kSector));  // its data runs off the medium
    Medium full(kAt + 40);
    full.Put(kAt, endless);
    const Sized cut = SizeAt(full, SizeMatroska);
    EXPECT_FALSE(cut.valid);
    EXPECT_LE(cut.length, 40 * kSector);
}

int StopAtOnce(void* user, int, int, int, uint64_t, uint64_t, uint64_t, int) {
    ++*static_cast<int*>(user);
    return int(kScanCancelled);
}

TEST(MatroskaLength, StopRequestEndsALongWalkAtOnce) {
    // 8 MiB of blocks in one live cluster: the walk reads past the first report.
    std::vector<uint8_t> file = EbmlHeader("webm");
    Append(file, Element(0x18538067, kUnknown));
    Append(file, Element(0x1F43B675, kUnknown));
    const std::vector<uint8_t> block = Element(0xA3, std::vector<uint8_t>(4000, 7));
    while (file.size() < (8u << 20)) Append(file, block);
    Medium medium(kAt + file.size() / kSector + 8);
    medium.Put(kAt, file);
    auto reader = medium.Reader();
    auto context = ContextAt(reader.get(), kAt);
    int calls = 0;
    context->scanProgress = StopAtOnce;
    context->progressUserData = &calls;
    context->sectorsTotal = 100;
    EXPECT_EQ(SizeMatroska(medium.SectorAt(kAt), *context), kSector);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(context->lastProgressResult, int(kScanCancelled));
    EXPECT_FALSE(context->structureValid);
}

// --- FLV ------------------------------------------------------------------------------------

std::vector<uint8_t> FlvTag(uint8_t type, size_t dataBytes, uint32_t backPointer = 0) {
    std::vector<uint8_t> tag = {type,
                                static_cast<uint8_t>(dataBytes >> 16),
                                static_cast<uint8_t>(dataBytes >> 8),
                                static_cast<uint8_t>(dataBytes),
                                0,
                                0,
                                0,
                                0,
                                0,
                                0,
                                0};
    tag.resize(tag.size() + dataBytes, 0x33);
    if (backPointer == 0) backPointer = static_cast<uint32_t>(11 + dataBytes);
    for (int shift = 24; shift >= 0; shift -= 8)
        tag.push_back(static_cast<uint8_t>(backPointer >> shift));
    return tag;
}

TEST(FlvLength, TagChainEndsAfterTheLastBackPointerAndAMismatchIsDamage) {
    std::vector<uint8_t> file;
    Append(file, "FLV\x01\x05\x00\x00\x00\x09\x00\x00\x00\x00"sv);
    Append(file, FlvTag(18, 200));
    const size_t firstTagEnd = file.size();
    Append(file, FlvTag(9, 1500));
    Append(file, FlvTag(8, 417));
    Medium medium(64);
    medium.Put(kAt, file).Noise(kAt + 5, 4, 3);  // noise from the next sector on
    const Sized whole = SizeAt(medium, SizeFlv);
    EXPECT_EQ(whole.length, file.size());
    EXPECT_TRUE(whole.valid);

    // The second tag's back pointer disagrees: the tags before it are all that checks out.
    std::vector<uint8_t> bad = file;
    bad[firstTagEnd + 11 + 1500 + 3] ^= 0x01;
    medium.Put(kAt, bad);
    const Sized damaged = SizeAt(medium, SizeFlv);
    EXPECT_FALSE(damaged.valid);
    EXPECT_EQ(damaged.length, firstTagEnd);

    // A tag whose data runs off the medium.
    Medium small(kAt + 2);
    std::vector<uint8_t> runaway(file.begin(), file.begin() + firstTagEnd);
    Append(runaway, "\x09\xFF\xFF\xF0\x00\x00\x00\x00\x00\x00\x00"sv);
    small.Put(kAt, runaway);
    const Sized off = SizeAt(small, SizeFlv);
    EXPECT_FALSE(off.valid);
    EXPECT_LE(off.length, 2 * kSector);

    // Tags up to the medium's last byte: the recording may go on past it.
    std::vector<uint8_t> filling(file.begin(), file.begin() + 13);
    Append(filling, FlvTag(9, 2 * kSector - 13 - 15));
    Medium exact(kAt + 2);
    exact.Put(kAt, filling);
    const Sized atEnd = SizeAt(exact, SizeFlv);
    EXPECT_FALSE(atEnd.valid);
    EXPECT_EQ(atEnd.length, 2 * kSector);
}

// --- MPEG program streams -------------------------------------------------------------------

// An MPEG-2 pack header with system clock `clock`, a system header and one video packet,
// padded to 2048 bytes as DVD writers do.
std::vector<uint8_t> Pack(uint64_t clock, size_t bytes = 2048) {
    std::vector<uint8_t> pack = {
        0x00,
        0x00,
        0x01,
        0xBA,
        static_cast<uint8_t>(0x44 | ((clock >> 27) & 0x38) | ((clock >> 28) & 0x03)),
        static_cast<uint8_t>(clock >> 20),
        static_cast<uint8_t>(0x04 | ((clock >> 12) & 0xF8) | ((clock >> 13) & 0x03)),
        static_cast<uint8_t>(clock >> 5),
        static_cast<uint8_t>(0x04 | ((clock << 3) & 0xF8)),
        0x01,
        0x01,
        0x89,
        0xC3,
        0xF8};
    Append(pack, "\x00\x00\x01\xBB\x00\x06\x80\x00\x01\x04\xE1\xFF"sv);
    const size_t payload = bytes - pack.size() - 6;
    pack.insert(pack.end(), {0x00, 0x00, 0x01, 0xE0, static_cast<uint8_t>(payload >> 8),
                             static_cast<uint8_t>(payload)});
    pack.resize(bytes, 0x77);
    return pack;
}

TEST(ProgramStreamLength, PackRunEndsAtItsEndCodeOrWhereThePacksStop) {
    std::vector<uint8_t> stream;
    for (uint64_t i = 0; i < 5; ++i) Append(stream, Pack(1000 + 3600 * i));
    Medium medium(64);
    medium.Put(kAt, stream).Noise(kAt + 20, 4, 5);  // noise follows on the next sector
    Sized sized = SizeAt(medium, SizeMpegEndCode);
    EXPECT_EQ(sized.length, stream.size());
    EXPECT_TRUE(sized.valid);

    std::vector<uint8_t> ended = stream;
    Append(ended, "\x00\x00\x01\xB9"sv);
    medium.Put(kAt, ended);
    sized = SizeAt(medium, SizeMpegEndCode);
    EXPECT_EQ(sized.length, ended.size());
    EXPECT_TRUE(sized.valid);

    // A second recording right after the first: its clock starts again.
    std::vector<uint8_t> twice = stream;
    Append(twice, stream);
    medium.Put(kAt, twice);
    EXPECT_EQ(SizeAt(medium, SizeMpegEndCode).length, stream.size());
}

TEST(ProgramStreamLength, PacketsRunningOffTheMediumAreDamage) {
    // A packet length past the medium, and a run of packs that fills the medium to its end.
    std::vector<uint8_t> runaway = Pack(1000);
    Append(runaway, "\x00\x00\x01\xE0\xFF\xFF"sv);
    Medium medium(kAt + 6);
    medium.Put(kAt, runaway);
    Sized sized = SizeAt(medium, SizeMpegEndCode);
    EXPECT_FALSE(sized.valid);
    EXPECT_LE(sized.length, 6 * kSector);

    std::vector<uint8_t> filling;
    for (uint64_t i = 0; i < 3; ++i) Append(filling, Pack(1000 + i));
    Medium exact(kAt + 12);
    exact.Put(kAt, filling);
    sized = SizeAt(exact, SizeMpegEndCode);
    EXPECT_FALSE(sized.valid);
    EXPECT_EQ(sized.length, filling.size());
}

// --- BDAV -----------------------------------------------------------------------------------

TEST(BdavLength, PacketRunEndsAtTheNextStreamOrIsDamageAtTheMediumsEnd) {
    const std::vector<uint8_t> stream = Sample("camera.mts");
    ASSERT_FALSE(stream.empty());
    ASSERT_EQ(stream.size() % kSector, 0u);  // the second copy begins on a sector boundary
    std::vector<uint8_t> twice = stream;
    Append(twice, stream);
    Medium medium(64);
    medium.Put(kAt, twice);
    Sized sized = SizeAt(medium, SizeBdav);
    EXPECT_EQ(sized.length, stream.size());
    EXPECT_TRUE(sized.valid);

    // A stream that runs to the medium's last byte may go on past it.
    Medium exact(kAt + stream.size() / kSector);
    exact.Put(kAt, stream);
    sized = SizeAt(exact, SizeBdav);
    EXPECT_FALSE(sized.valid);
    EXPECT_EQ(sized.length, stream.size());
}

// --- ASF ------------------------------------------------------------------------------------

TEST(AsfLength, ObjectWalkGivesTheLengthAndSizesPastTheMediumAreDamage) {
    const std::vector<uint8_t> clip = RealFile("clip.wmv");
    if (clip.empty()) GTEST_SKIP() << "ffmpeg missing";
    Medium medium(kAt + clip.size() / kSector + 8);
    medium.Put(kAt, clip);
    Sized sized = SizeAt(medium, SizeAsf);
    EXPECT_EQ(sized.length, clip.size());
    EXPECT_TRUE(sized.valid);

    const uint64_t dataAt = Le64(clip.data() + 16);
    ASSERT_LT(dataAt + 24, clip.size());
    std::vector<uint8_t> bad = clip;
    bad[dataAt + 16 + 6] = 0x7F;  // a data object far larger than the medium
    medium.Put(kAt, bad);
    sized = SizeAt(medium, SizeAsf);
    EXPECT_FALSE(sized.valid);
    EXPECT_LE(sized.length, medium.Bytes().size() - kAt * kSector);
}

}  // namespace
}  // namespace norvale
