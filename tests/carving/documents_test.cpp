// Documents, archives, databases, fonts and mail stores whose structure states their length:
// damaged and hostile structures are survived with a bounded length and flagged, and a sound
// one is sized exactly even where other data inside it or after it would mislead a scan.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "carving/formats/formats.h"
#include "carving_test_support.h"
#include "device/bytes.h"

using namespace std::literals;

namespace norvale {
namespace {

using testing::ContextAt;
using testing::kSector;
using testing::Medium;
using testing::NoiseSector;
using testing::Sample;

using Sizer = uint64_t (*)(ByteSpan, CarvingContext&);

struct Sized {
    uint64_t length;
    bool valid;
};

Sized SizeAt(Sizer sizer, const Medium& medium, uint64_t lba, CarvingContext* settings = nullptr) {
    auto reader = medium.Reader();
    auto context = ContextAt(reader.get(), lba);
    if (settings) {
        context->scanProgress = settings->scanProgress;
        context->progressUserData = settings->progressUserData;
    }
    const std::vector<uint8_t> sector = medium.SectorAt(lba);
    const uint64_t length = sizer(sector, *context);
    return {length, context->structureValid};
}

// What the medium holds from `lba` on: every length must stay inside it.
uint64_t BytesFrom(const Medium& medium, uint64_t lba) {
    return medium.Bytes().size() - lba * kSector;
}

void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& bytes) {
    to.insert(to.end(), bytes.begin(), bytes.end());
}

void PutBe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void PutLe64(std::vector<uint8_t>& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// One gzip member of `data`, as zlib writes it (extra flags 0, default compression).
std::vector<uint8_t> GzipMember(const std::vector<uint8_t>& data) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, MAX_WBITS + 16, 8,
                           Z_DEFAULT_STRATEGY),
              Z_OK);
    std::vector<uint8_t> out(deflateBound(&stream, static_cast<uLong>(data.size())) + 64);
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::vector<uint8_t> Text(size_t bytes) {
    std::vector<uint8_t> text;
    for (int line = 0; text.size() < bytes; ++line) {
        const std::string s = "line " + std::to_string(line) + " of a text\n";
        text.insert(text.end(), s.begin(), s.end());
    }
    text.resize(bytes);
    return text;
}

TEST(GzipSizing, MembersRunToTheirCheckedTrailerAndNoFurther) {
    const std::vector<uint8_t> first = GzipMember(Text(200000));
    const std::vector<uint8_t> second = GzipMember(NoiseSector(3, 3000));
    std::vector<uint8_t> joined = first;
    Append(joined, second);
    Medium medium(1024);
    medium.Put(1, joined).Noise(2 + joined.size() / kSector, 4, 9);
    Sized sized = SizeAt(SizeGzip, medium, 1);
    EXPECT_EQ(sized.length, joined.size());
    EXPECT_TRUE(sized.valid);

    // A second member whose CRC does not match is not part of the file; the first still is.
    std::vector<uint8_t> badSecond = joined;
    badSecond[joined.size() - 8] ^= 0x01;
    medium.Put(1, badSecond);
    sized = SizeAt(SizeGzip, medium, 1);
    EXPECT_EQ(sized.length, first.size());
    EXPECT_TRUE(sized.valid);

    // A lone member whose stored length disagrees with what inflated is damaged.
    std::vector<uint8_t> badFirst = first;
    badFirst[first.size() - 1] ^= 0x40;
    Medium alone(64);
    alone.Put(1, badFirst);
    sized = SizeAt(SizeGzip, alone, 1);
    EXPECT_FALSE(sized.valid);
    EXPECT_GT(sized.length, 0u);
    EXPECT_LE(sized.length, BytesFrom(alone, 1));
}

TEST(GzipSizing, StreamThatNeverEndsIsBoundedAndStopsWhenAsked) {
    // Stored deflate blocks that are never final, up to the medium's end.
    std::vector<uint8_t> endless = {0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0, 3};
    const size_t mediumBytes = 12 << 20;
    while (endless.size() + 5 + 65535 < mediumBytes) {
        Append(endless, {0x00, 0xFF, 0xFF, 0x00, 0x00});
        endless.resize(endless.size() + 65535, 'x');
    }
    Medium medium(mediumBytes / kSector);
    medium.Put(0, endless);
    Sized sized = SizeAt(SizeGzip, medium, 0);
    EXPECT_FALSE(sized.valid);
    EXPECT_GT(sized.length, 0u);
    EXPECT_LE(sized.length, BytesFrom(medium, 0));

    // The header followed by noise: the stream breaks off at once.
    Medium noisy(64);
    noisy.Noise(0, 64, 5).Put(0, std::vector<uint8_t>(endless.begin(), endless.begin() + 10));
    sized = SizeAt(SizeGzip, noisy, 0);
    EXPECT_FALSE(sized.valid);
    EXPECT_LE(sized.length, BytesFrom(noisy, 0));

    // A stop request while inflating ends the walk at the next report.
    struct Calls {
        int count = 0;
    } calls;
    CarvingContext settings;
    settings.progressUserData = &calls;
    settings.scanProgress = [](void* user, int, int, int, uint64_t, uint64_t, uint64_t,
                               int) -> int {
        ++static_cast<Calls*>(user)->count;
        return int(kScanCancelled);
    };
    sized = SizeAt(SizeGzip, medium, 0, &settings);
    EXPECT_FALSE(sized.valid);
    EXPECT_LE(calls.count, 2);
}

// The central directory's end record of `zip` (commentless).
size_t EndRecordOf(const std::vector<uint8_t>& zip) {
    const auto at = std::search(zip.rbegin(), zip.rend(), "\x06\x05KP"sv.begin(),
                                "\x06\x05KP"sv.end());
    EXPECT_NE(at, zip.rend());
    return zip.size() - (at - zip.rbegin()) - 4;
}

TEST(ZipSizing, EndRecordCountsOnlyWhereItAgreesWithTheWalk) {
    const std::vector<uint8_t> zip = Sample("archive.zip");
    if (zip.empty()) GTEST_SKIP() << "samples were not written";
    const size_t end = EndRecordOf(zip);
    Medium medium(64);
    // A stored archive's end record in the sectors after ours belongs to other data.
    std::vector<uint8_t> after = NoiseSector(2, 3 * kSector);
    std::memcpy(after.data() + 700, zip.data() + end, 22);
    medium.Put(1, zip).Put(2 + zip.size() / kSector, after);
    Sized sized = SizeAt(SizeZip, medium, 1);
    EXPECT_EQ(sized.length, zip.size());
    EXPECT_TRUE(sized.valid);

    // A signed package: the signing block between the entries and the directory.
    std::vector<uint8_t> block(8 + 12 + 8 + 16, 0);
    PutLe64(block, 0, block.size() - 8);
    PutLe64(block, 8, 4);  // one pair: its id, no value
    PutLe64(block, 20, block.size() - 8);
    std::memcpy(block.data() + 28, "APK Sig Block 42", 16);
    const uint32_t directory = Le32(zip.data() + end + 16);
    std::vector<uint8_t> signedZip(zip.begin(), zip.begin() + directory);
    Append(signedZip, block);
    signedZip.insert(signedZip.end(), zip.begin() + directory, zip.end());
    PutLe32(signedZip, end + block.size() + 16, static_cast<uint32_t>(directory + block.size()));
    medium.Put(1, signedZip);
    sized = SizeAt(SizeZip, medium, 1);
    EXPECT_EQ(sized.length, signedZip.size());
    EXPECT_TRUE(sized.valid);

    struct Damage {
        size_t at;
        uint8_t flip;
    };
    for (const Damage damage : {Damage{end + 16, 0x01},   // the directory's offset
                                Damage{end + 12, 0x04},   // its length
                                Damage{end + 10, 0x01},   // its entry count
                                Damage{size_t{18}, 0x10}}) {  // the first entry's stored size
        std::vector<uint8_t> damaged = zip;
        damaged[damage.at] ^= damage.flip;
        medium.Put(1, damaged);
        sized = SizeAt(SizeZip, medium, 1);
        EXPECT_FALSE(sized.valid) << "damage at " << damage.at;
        EXPECT_GT(sized.length, 0u);
        EXPECT_LE(sized.length, BytesFrom(medium, 1));
    }
}

// A 7z archive: start header, `packed` bytes, then a next header of `header` bytes.
std::vector<uint8_t> SevenZip(size_t packed, std::vector<uint8_t> header, uint64_t offsetDelta = 0) {
    std::vector<uint8_t> archive = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C, 0, 4};
    archive.resize(32);
    PutLe64(archive, 12, packed + offsetDelta);
    PutLe64(archive, 20, header.size());
    PutLe32(archive, 28,
            static_cast<uint32_t>(crc32(0, header.data(), static_cast<uInt>(header.size()))));
    PutLe32(archive, 8, static_cast<uint32_t>(crc32(0, archive.data() + 12, 20)));
    Append(archive, NoiseSector(7, packed));
    Append(archive, header);
    return archive;
}

TEST(SevenZipSizing, StartHeaderIsTrustedOnlyWithBothCrcsAndInsideTheMedium) {
    const std::vector<uint8_t> header = {0x17, 0x06, 0x80, 0x01, 0x09, 0x00, 0x00};
    const std::vector<uint8_t> archive = SevenZip(2000, header);
    Medium medium(32);
    medium.Put(1, archive).Noise(2 + archive.size() / kSector, 3, 4);
    Sized sized = SizeAt(Size7Zip, medium, 1);
    EXPECT_EQ(sized.length, archive.size());
    EXPECT_TRUE(sized.valid);

    // A next header past the medium's end, with a start header whose own CRC matches.
    medium.Put(1, SevenZip(2000, header, uint64_t{1} << 40));
    sized = SizeAt(Size7Zip, medium, 1);
    EXPECT_FALSE(sized.valid);
    EXPECT_LE(sized.length, BytesFrom(medium, 1));

    // The next header's bytes do not match its CRC.
    std::vector<uint8_t> damaged = archive;
    damaged.back() ^= 0x01;
    medium.Put(1, damaged);
    EXPECT_FALSE(SizeAt(Size7Zip, medium, 1).valid);
}

std::vector<uint8_t> SqliteHeader(uint16_t pageSize, uint32_t pages, uint32_t counter,
                                  uint32_t validFor) {
    std::vector<uint8_t> h(kSector, 0);
    std::memcpy(h.data(), "SQLite format 3\0", 16);
    h[16] = static_cast<uint8_t>(pageSize >> 8);
    h[17] = static_cast<uint8_t>(pageSize);
    h[18] = h[19] = 1;
    h[21] = 64;
    h[22] = h[23] = 32;
    PutBe32(h, 24, counter);
    PutBe32(h, 28, pages);
    PutBe32(h, 92, validFor);
    h[100] = 0x0D;
    return h;
}

TEST(SqliteSizing, HeaderPageCountIsUsedOnlyWhileItIsCurrentAndPossible) {
    Medium medium(64);
    medium.Noise(1, 63, 8).Put(1, SqliteHeader(1024, 7, 5, 5));
    Sized sized = SizeAt(SizeSqlite, medium, 1);
    EXPECT_EQ(sized.length, 7 * 1024u);
    EXPECT_TRUE(sized.valid);

    for (const auto& header : {SqliteHeader(1024, 0xFFFFFFFF, 5, 5),  // past the medium
                               SqliteHeader(1024, 7, 6, 5),           // a stale count
                               SqliteHeader(1000, 7, 5, 5),           // no power of two
                               SqliteHeader(1024, 0, 5, 5)}) {
        medium.Put(1, header);
        sized = SizeAt(SizeSqlite, medium, 1);
        EXPECT_FALSE(sized.valid);
        EXPECT_GT(sized.length, 0u);
        EXPECT_LE(sized.length, BytesFrom(medium, 1));
    }
}

TEST(PdfSizing, RevisionsAreFollowedPastPicturesInsideButNotIntoWhatFollows) {
    // A picture stream starting on a sector inside the PDF, then an incremental update.
    std::vector<uint8_t> pdf(2 * kSector, ' ');
    const std::string_view opening = "%PDF-1.4\n1 0 obj\n<< /Length 900 >>\nstream\n"sv;
    std::copy(opening.begin(), opening.end(), pdf.begin());
    const std::vector<uint8_t> jpeg = Sample("photo.jpg");
    std::copy(jpeg.begin(), jpeg.begin() + std::min<size_t>(jpeg.size(), kSector),
              pdf.begin() + kSector);
    for (std::string_view part : {"\nendstream\nendobj\nxref\n0 1\ntrailer\n<<>>\nstartxref\n9\n"
                                  "%%EOF\r\n"sv,
                                  "2 0 obj\n<< /Title (update) >>\nendobj\nxref\n0 1\ntrailer\n"
                                  "<< /Prev 9 >>\nstartxref\n99\n%%EOF\n"sv}) {
        pdf.insert(pdf.end(), part.begin(), part.end());
    }
    Medium medium(32);
    medium.Put(1, pdf);
    std::vector<uint8_t> garbage = NoiseSector(6, 2 * kSector);
    medium.Put(2 + pdf.size() / kSector, garbage);
    Sized sized = SizeAt(SizePdf, medium, 1);
    EXPECT_EQ(sized.length, pdf.size());
    EXPECT_TRUE(sized.valid);

    // Anything but more PDF after a "%%EOF" ends the file there, even in the same sector.
    std::vector<uint8_t> trailed = pdf;
    const std::string_view junk = "\x01\x02 junk after the end"sv;
    trailed.insert(trailed.end(), junk.begin(), junk.end());
    medium.Put(1, trailed);
    EXPECT_EQ(SizeAt(SizePdf, medium, 1).length, pdf.size());

    // No "%%EOF" at all: a guess, flagged.
    std::vector<uint8_t> cut(pdf.begin(), pdf.begin() + 3 * kSector / 2);
    Medium short_(8);
    short_.Put(1, cut);
    sized = SizeAt(SizePdf, short_, 1);
    EXPECT_FALSE(sized.valid);
    EXPECT_LE(sized.length, BytesFrom(short_, 1));
}

// A font of `tables` tables of 100 bytes each after the directory, padded to 4 bytes.
std::vector<uint8_t> Font(std::string_view version, uint16_t tables) {
    const size_t directory = 12 + 16 * size_t{tables};
    std::vector<uint8_t> font(directory, 0);
    std::memcpy(font.data(), version.data(), 4);
    font[5] = static_cast<uint8_t>(tables);
    font[7] = 16;
    for (uint16_t i = 0; i < tables; ++i) {
        const size_t record = 12 + 16 * size_t{i};
        font[record] = 'a';
        font[record + 1] = static_cast<uint8_t>('a' + i);
        font[record + 2] = font[record + 3] = 'x';
        PutBe32(font, record + 8, static_cast<uint32_t>(directory + 100 * i));
        PutBe32(font, record + 12, i + 1 == tables ? 98 : 100);
    }
    font.resize(directory + 100 * tables, 0x55);
    return font;
}

TEST(FontSizing, FurthestTableEndsTheFontAndTablesPastTheMediumAreRefused) {
    const std::vector<uint8_t> font = Font("OTTO"sv, 6);
    Medium medium(16);
    medium.Noise(1, 15, 3).Put(1, font);
    CarvingContext context;
    ASSERT_EQ(DetectOpenType(font, context), FileTypeCode::kOtf);
    Sized sized = SizeAt(SizeTrueType, medium, 1);
    EXPECT_EQ(sized.length, font.size());  // the last table's two padding bytes included
    EXPECT_TRUE(sized.valid);

    std::vector<uint8_t> far = font;
    PutBe32(far, 12 + 16 * 5 + 8, 0x7FFFFFF0);
    medium.Put(1, far);
    sized = SizeAt(SizeTrueType, medium, 1);
    EXPECT_FALSE(sized.valid);
    EXPECT_LE(sized.length, BytesFrom(medium, 1));

    // Tags out of order are no table directory.
    std::vector<uint8_t> unordered = font;
    std::swap(unordered[13], unordered[29]);
    EXPECT_EQ(DetectOpenType(unordered, context), FileTypeCode::kNoFileType);

    // A collection of the font twice; then one whose second font lies past the medium.
    std::vector<uint8_t> collection = {'t', 't', 'c', 'f', 0, 1, 0, 0, 0, 0, 0, 2};
    collection.resize(20);
    PutBe32(collection, 12, 20);
    PutBe32(collection, 16, 20);
    Append(collection, Font("\x00\x01\x00\x00"sv, 3));
    for (int i = 0; i < 3; ++i) {
        const size_t record = 20 + 12 + 16 * i + 8;
        PutBe32(collection, record,
                static_cast<uint32_t>(collection[record] << 24 | collection[record + 1] << 16 |
                                      collection[record + 2] << 8 | collection[record + 3]) +
                    20);
    }
    ASSERT_EQ(DetectFontCollection(collection, context), FileTypeCode::kTtc);
    medium.Put(1, collection);
    sized = SizeAt(SizeFontCollection, medium, 1);
    EXPECT_EQ(sized.length, collection.size());
    EXPECT_TRUE(sized.valid);
    PutBe32(collection, 16, 0x7FFFFF00);
    medium.Put(1, collection);
    sized = SizeAt(SizeFontCollection, medium, 1);
    EXPECT_FALSE(sized.valid);
    EXPECT_LE(sized.length, BytesFrom(medium, 1));
}

TEST(OutlookSizing, StoreLengthIsTrustedOnlyUnderItsHeaderCrc) {
    std::vector<uint8_t> pst(564, 0);
    std::memcpy(pst.data(), "!BDN", 4);
    std::memcpy(pst.data() + 8, "SM\x17\x00\x13\x00\x01\x01", 8);
    PutLe64(pst, 184, 6000);
    pst[512] = 0x80;
    const auto seal = [](std::vector<uint8_t>& header) {
        PutLe32(header, 4, static_cast<uint32_t>(crc32(0xFFFFFFFF, header.data() + 8, 471) ^
                                                 0xFFFFFFFF));
    };
    seal(pst);
    Medium medium(32);
    medium.Noise(1, 31, 2).Put(1, pst);
    Sized sized = SizeAt(SizeOutlookStore, medium, 1);
    EXPECT_EQ(sized.length, 6000u);
    EXPECT_TRUE(sized.valid);

    std::vector<uint8_t> damaged = pst;
    damaged[190] ^= 0x01;  // inside what the CRC covers
    medium.Put(1, damaged);
    sized = SizeAt(SizeOutlookStore, medium, 1);
    EXPECT_FALSE(sized.valid);
    EXPECT_LE(sized.length, BytesFrom(medium, 1));

    PutLe64(pst, 184, uint64_t{1} << 40);  // past the medium, sealed again
    seal(pst);
    medium.Put(1, pst);
    EXPECT_FALSE(SizeAt(SizeOutlookStore, medium, 1).valid);
}

}  // namespace
}  // namespace norvale
