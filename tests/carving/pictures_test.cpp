// Picture sizers on built structures: each kind of TIFF piece may be the one that ends the
// file, and damaged TIFF, PSD, GIF, PNG and BMP files (loops, pointers past the medium, absurd
// counts, wrong checksums, missing ends) are sized within bounds and marked as not checking
// out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "carving/identify.h"
#include "carving_test_support.h"

namespace norvale {
namespace {

using testing::kSector;
using testing::Medium;
using testing::Sample;
using testing::SparseSource;
using enum FileTypeCode;
using namespace std::literals;

constexpr uint64_t kStart = 2;

struct Sized {
    FileTypeCode type = kNoFileType;
    uint64_t length = 0;
    bool valid = false;
};

Sized SizeAt(SectorReader& reader, uint64_t lba, CarvingContext& context) {
    std::vector<uint8_t> sector(kSector);
    uint32_t got = 0;
    EXPECT_EQ(reader.ReadSectors(1, sector.data(), lba, kSector, got), kOk);
    std::string name;
    Sized out;
    EXPECT_EQ(IdentifyAndSize(context, kSector, reader, sector, lba, {0, 1000, 0, 0}, name,
                              out.type, out.length),
              kOk);
    out.valid = context.structureValid;
    return out;
}

// `file` at kStart on a 64-sector medium of zeros.
Sized SizeOf(const std::vector<uint8_t>& file) {
    Medium medium(64);
    medium.Put(kStart, file);
    CarvingContext context;
    return SizeAt(*medium.Reader(), kStart, context);
}

constexpr uint64_t kRoom = (64 - kStart) * kSector;  // what the medium holds from kStart

// Writes numbers into a growing file in one byte order.
class Writer {
  public:
    explicit Writer(bool little = true) : little_(little) {}
    Writer& N(uint64_t at, uint64_t value, unsigned bytes) {
        if (bytes_.size() < at + bytes) bytes_.resize(at + bytes, 0);
        for (unsigned i = 0; i < bytes; ++i) {
            const unsigned shift = 8 * (little_ ? i : bytes - 1 - i);
            bytes_[at + i] = shift < 64 ? uint8_t(value >> shift) : uint8_t{0};
        }
        return *this;
    }
    Writer& Text(uint64_t at, std::string_view text) {
        if (bytes_.size() < at + text.size()) bytes_.resize(at + text.size(), 0);
        for (size_t i = 0; i < text.size(); ++i) bytes_[at + i] = uint8_t(text[i]);
        return *this;
    }
    // A classic TIFF directory entry.
    Writer& Entry(uint64_t at, uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        N(at, tag, 2).N(at + 2, type, 2).N(at + 4, count, 4);
        return type == 3 && count == 1 ? N(at + 8, value, 2) : N(at + 8, value, 4);
    }
    std::vector<uint8_t>& Bytes() { return bytes_; }

  private:
    bool little_;
    std::vector<uint8_t> bytes_;
};

// Where the pieces of the built TIFF lie; each may be moved far out to end the file.
struct TiffLayout {
    uint32_t secondStrip = 1100;  // 50 bytes
    uint32_t tile = 1200;         // 64 bytes, in a sub-directory
    uint32_t makerNote = 1300;    // 33 bytes, in the Exif directory
    uint32_t jpeg = 1400;         // 40 bytes, in the second directory
    uint32_t secondIfd = 800;     // two entries
    uint32_t subIfd = 400;
    uint32_t nextOfSecond = 0;
    uint16_t firstCount = 6;
};

std::vector<uint8_t> BuildTiff(bool little, const TiffLayout& l) {
    Writer w(little);
    w.Text(0, little ? "II*\x00"sv : "MM\x00*"sv).N(4, 8, 4);
    w.N(8, l.firstCount, 2);
    w.Entry(10, 256, 3, 1, 16);
    w.Entry(22, 273, 4, 2, 200).N(200, 1000, 4).N(204, l.secondStrip, 4);
    w.Entry(34, 279, 4, 2, 208).N(208, 100, 4).N(212, 50, 4);
    w.Entry(46, 330, 4, 1, l.subIfd);
    w.Entry(58, 34665, 4, 1, 600);
    w.Entry(70, 34853, 4, 1, 700);
    w.N(82, l.secondIfd, 4);
    if (l.subIfd == 400) {
        w.N(400, 2, 2).Entry(402, 324, 4, 1, l.tile).Entry(414, 325, 4, 1, 64).N(426, 0, 4);
    }
    w.N(600, 1, 2).Entry(602, 37500, 7, 33, l.makerNote).N(614, 0, 4);
    w.N(700, 1, 2).Entry(702, 0, 1, 4, 0x00000202).N(714, 0, 4);  // GPS version, inline
    w.N(l.secondIfd, 2, 2).Entry(l.secondIfd + 2, 513, 4, 1, l.jpeg);
    w.Entry(l.secondIfd + 14, 514, 4, 1, 40).N(l.secondIfd + 26, l.nextOfSecond, 4);
    // The pieces' bytes, so the file is as long as it says.
    for (const uint64_t end : {l.secondStrip + 50ull, l.tile + 64ull, l.makerNote + 33ull,
                               l.jpeg + 40ull, 1100ull}) {
        if (end < kRoom) w.N(end - 1, 0x11, 1);
    }
    return w.Bytes();
}

TEST(TiffLength, WhicheverPieceLiesFurthestEndsTheFileInEitherByteOrder) {
    struct Case {
        const char* what;
        TiffLayout layout;
        uint64_t end;
    };
    const auto with = [](auto change) {
        TiffLayout l;
        change(l);
        return l;
    };
    const Case cases[] = {
        {"preview JPEG", {}, 1440},
        {"strip", with([](TiffLayout& l) { l.secondStrip = 9001; }), 9051},
        {"tile of a sub-directory", with([](TiffLayout& l) { l.tile = 9001; }), 9065},
        {"maker note of the Exif directory", with([](TiffLayout& l) { l.makerNote = 9001; }),
         9034},  // an odd end: no pad byte is added
        {"JPEG of the next directory", with([](TiffLayout& l) { l.jpeg = 9001; }), 9041},
        {"next directory itself", with([](TiffLayout& l) { l.secondIfd = 9000; }), 9030},
        // A sub-directory pointer back to the first directory is walked once.
        {"sub-directory that is the first", with([](TiffLayout& l) { l.subIfd = 8; }), 1440},
    };
    for (const bool little : {true, false}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + (little ? " II" : " MM"));
            const Sized sized = SizeOf(BuildTiff(little, c.layout));
            EXPECT_EQ(sized.type, kTif);
            EXPECT_TRUE(sized.valid);
            EXPECT_EQ(sized.length, c.end);
        }
    }

    // BigTIFF: 64-bit counts and offsets, 20-byte entries.
    Writer big;
    big.Text(0, "II+\x00\x08\x00\x00\x00"sv).N(8, 16, 8).N(16, 2, 8);
    big.N(24, 273, 2).N(26, 16, 2).N(28, 1, 8).N(36, 100, 8);
    big.N(44, 279, 2).N(46, 16, 2).N(48, 1, 8).N(56, 77, 8).N(64, 0, 8).N(176, 1, 1);
    const Sized sized = SizeOf(big.Bytes());
    EXPECT_EQ(sized.type, kTif);
    EXPECT_TRUE(sized.valid);
    EXPECT_EQ(sized.length, 177u);
}

TEST(TiffLength, LoopsPointersPastTheMediumAndAbsurdCountsDoNotCheckOut) {
    const auto damaged = [](auto change) {
        TiffLayout l;
        change(l);
        return BuildTiff(true, l);
    };
    std::vector<std::pair<const char*, std::vector<uint8_t>>> files = {
        {"chain back to the first", damaged([](TiffLayout& l) { l.nextOfSecond = 8; })},
        {"directory its own next", damaged([](TiffLayout& l) { l.nextOfSecond = 800; })},
        {"strip past the medium", damaged([](TiffLayout& l) { l.secondStrip = 0xFFFFFF00; })},
        {"entries past the directory", damaged([](TiffLayout& l) { l.firstCount = 0xFFFF; })},
    };
    std::vector<uint8_t> hugeCount = BuildTiff(true, {});
    hugeCount[606] = hugeCount[607] = hugeCount[608] = hugeCount[609] = 0xFF;  // 4 G bytes
    files.push_back({"maker note of 4 GiB", hugeCount});
    std::vector<uint8_t> doubles = BuildTiff(true, {});
    doubles[604] = 12;  // DOUBLE
    doubles[609] = 0x40;
    files.push_back({"doubles past the medium", doubles});
    std::vector<uint8_t> noFirst = BuildTiff(true, {});
    noFirst[4] = 0;
    files.push_back({"no first directory", noFirst});

    for (const auto& [what, file] : files) {
        SCOPED_TRACE(what);
        const Sized sized = SizeOf(file);
        EXPECT_EQ(sized.type, kTif);
        EXPECT_FALSE(sized.valid);
        EXPECT_GT(sized.length, 0u);
        EXPECT_LE(sized.length, kRoom);
    }
}

// A PSD header (or PSB with `large`) of one channel, 3 rows of 4 pixels, grey.
Writer PsdHead(bool large, uint16_t channels = 1, uint32_t rows = 3, uint32_t width = 4,
               uint16_t depth = 8) {
    Writer w(false);
    w.Text(0, "8BPS"sv).N(4, large ? 2 : 1, 2).N(12, channels, 2).N(14, rows, 4);
    w.N(18, width, 4).N(22, depth, 2).N(24, 1, 2);
    return w;
}

TEST(PsdLength, SectionsAndMergedDataGiveTheLengthAndDamageIsBounded) {
    // Colour data 0, resources 10, layers 6, then RLE rows of 2, 3 and 4 bytes.
    for (const bool large : {false, true}) {
        Writer w = PsdHead(large);
        uint64_t at = 26;
        w.N(at, 0, 4).N(at + 4, 10, 4);
        at += 18;
        w.N(at, 6, large ? 8 : 4);
        at += (large ? 8 : 4) + 6;
        w.N(at, 1, 2);
        at += 2;
        const unsigned entry = large ? 4 : 2;
        w.N(at, 2, entry).N(at + entry, 3, entry).N(at + 2 * entry, 4, entry);
        at += 3 * entry + 9;
        w.N(at - 1, 0x80, 1);
        w.Bytes().resize(512, 0);  // the detector wants a sector
        const Sized sized = SizeOf(w.Bytes());
        EXPECT_EQ(sized.type, kPsd);
        EXPECT_TRUE(sized.valid) << large;
        EXPECT_EQ(sized.length, at) << large;
    }
    // Raw samples: 3 channels x 5 rows x 7 pixels x 2 bytes.
    Writer raw = PsdHead(false, 3, 5, 7, 16);
    raw.N(26, 0, 12).N(38, 0, 2);
    raw.Bytes().resize(512, 0);
    EXPECT_EQ(SizeOf(raw.Bytes()).length, 40u + 3 * 5 * 14);

    const auto damaged = [](uint64_t resources, uint16_t compression) {
        Writer w = PsdHead(false);
        w.N(26, 0, 4).N(30, resources, 4).N(34, 0, 4).N(38, compression, 2).N(40, 0x0101, 2);
        w.Bytes().resize(512, 0x01);
        return SizeOf(w.Bytes());
    };
    for (const Sized& sized : {damaged(0x7FFFFFFF, 0), damaged(0, 2), damaged(0, 9)}) {
        EXPECT_FALSE(sized.valid);
        EXPECT_GT(sized.length, 0u);
        EXPECT_LE(sized.length, kRoom);
    }
}

std::vector<uint8_t> Gif(std::initializer_list<uint8_t> blocks) {
    std::vector<uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0,
                                0, 0, 0, 0xFF, 0xFF, 0xFF};
    gif.insert(gif.end(), blocks);
    return gif;
}

TEST(GifLength, BlockWalkEndsAtTheTrailerNotAtLookalikeBytes) {
    // A comment holding the bytes of a trailer, then an image and the real trailer.
    const std::vector<uint8_t> gif = Gif({0x21, 0xFE, 3, 0x00, 0x3B, 0x00, 0,        //
                                          0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0,           //
                                          2, 2, 0x44, 0x01, 0, 0x3B});
    const Sized sized = SizeOf(gif);
    EXPECT_EQ(sized.type, kGif);
    EXPECT_TRUE(sized.valid);
    EXPECT_EQ(sized.length, gif.size());

    // No trailer after the image, an image whose sub-blocks run past the medium, an unknown
    // block, no image at all.
    std::vector<uint8_t> longRun = Gif({0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2});
    longRun.resize(kRoom, 0xFF);
    for (const auto& file : {Gif({0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 0x01, 0}),
                             longRun, Gif({0x99, 0x3B}), Gif({0x3B})}) {
        const Sized damaged = SizeOf(file);
        EXPECT_EQ(damaged.type, kGif);
        EXPECT_FALSE(damaged.valid);
        EXPECT_GT(damaged.length, 0u);
        EXPECT_LE(damaged.length, kRoom);
    }
}

TEST(PngLength, ChunkWalkChecksEveryCrcAndStopsPromptly) {
    const std::vector<uint8_t> png = Sample("picture.png");
    ASSERT_GT(png.size(), 60u);
    Medium noisy(64);
    noisy.Noise(0, 64, 5).Put(kStart, png);
    CarvingContext context;
    Sized sized = SizeAt(*noisy.Reader(), kStart, context);
    EXPECT_TRUE(sized.valid);
    EXPECT_EQ(sized.length, png.size());

    std::vector<uint8_t> wrongCrc = png;
    wrongCrc[41] ^= 0x01;  // inside the chunk after the header
    std::vector<uint8_t> hugeChunk = png;
    hugeChunk[33] = 0x80;  // the second chunk's length past 2 GiB
    for (const auto& file : {wrongCrc, hugeChunk}) {
        const Sized damaged = SizeOf(file);
        EXPECT_EQ(damaged.type, kPng);
        EXPECT_FALSE(damaged.valid);
        EXPECT_GT(damaged.length, 0u);
        EXPECT_LE(damaged.length, kRoom);
    }

    // A 100 MiB chunk whose CRC takes reading: a stop request ends the walk at once.
    std::vector<uint8_t> head(png.begin(), png.begin() + 33);
    const uint8_t idat[] = {0x06, 0x40, 0x00, 0x00, 'I', 'D', 'A', 'T'};
    head.insert(head.end(), idat, idat + 8);
    auto source = std::make_unique<SparseSource>(uint64_t{200} << 20);
    source->Put(0, head);
    SectorReader reader;
    reader.Attach(std::move(source));
    int calls = 0;
    CarvingContext stopping;
    stopping.progressUserData = &calls;
    stopping.scanProgress = [](void* user, int, int, int, uint64_t, uint64_t, uint64_t, int) {
        ++*static_cast<int*>(user);
        return int(kScanCancelled);
    };
    std::vector<uint8_t> sector(kSector);
    std::copy(head.begin(), head.end(), sector.begin());
    std::string name;
    FileTypeCode type = kNoFileType;
    uint64_t length = 0;
    EXPECT_EQ(IdentifyAndSize(stopping, kSector, reader, sector, 0, {0, 1000, 0, 0}, name, type,
                              length),
              kScanCancelled);
    EXPECT_EQ(calls, 1);
    EXPECT_GT(length, 0u);
    EXPECT_FALSE(stopping.structureValid);
}

// A 124-byte header bitmap of 10 x -3 pixels (top-down), 24 bits: rows of 32 bytes.
std::vector<uint8_t> Bitmap(uint32_t declared, uint32_t compression = 0, uint32_t image = 0) {
    Writer w;
    w.Text(0, "BM"sv).N(2, declared, 4).N(10, 138, 4).N(14, 124, 4).N(18, 10, 4);
    w.N(22, uint32_t(-3), 4).N(26, 1, 2).N(28, 24, 2).N(30, compression, 4).N(34, image, 4);
    w.Bytes().resize(512, 0x33);
    return w.Bytes();
}

TEST(BmpLength, PixelsTheHeadersImplyBackTheStatedSize) {
    const uint64_t pixelsEnd = 138 + 3 * 32;
    struct Case {
        std::vector<uint8_t> file;
        uint64_t length;
        bool valid;
    };
    const Case cases[] = {
        {Bitmap(pixelsEnd), pixelsEnd, true},
        {Bitmap(pixelsEnd + 2), pixelsEnd + 2, true},  // a writer's padding kept
        {Bitmap(0), pixelsEnd, true},                  // size left out
        {Bitmap(150), pixelsEnd, true},                // only the headers counted
        {Bitmap(0, 1, 70), 138 + 70, true},            // RLE states its size
        {Bitmap(5000, 1, 0), 5000, false},             // RLE without its size
        {Bitmap(0x7FFFFFFF), kRoom, false},            // past the medium
    };
    for (const Case& c : cases) {
        const Sized sized = SizeOf(c.file);
        EXPECT_EQ(sized.type, kBmp);
        EXPECT_EQ(sized.valid, c.valid) << c.length;
        EXPECT_EQ(sized.length, c.length);
    }
}

}  // namespace
}  // namespace norvale
