// JPEG sizing on real pictures gone wrong: split in two around another file, cut short, and
// headers made to cost the decoder as much as possible.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "carving/carving_context.h"
#include "carving/file_type_recovery.h"
#include "carving/identify.h"
#include "carving_test_support.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::IsolatedHome;
using testing::Medium;
using testing::ReadFileBytes;
using testing::RealFile;
using testing::TempDir;
using testing::WriteFileBytes;

// Runs the engine's pass over `medium` sector by sector as the carving scan does and returns
// what it recorded.
std::vector<RecoveredItem> Pass(CFileTypeRecovery& engine, SectorReader& reader,
                                 uint64_t sectors) {
    std::vector<uint8_t> sector(512);
    uint64_t found = 0;
    for (uint64_t lba = 0; lba < sectors;) {
        uint32_t got = 0;
        EXPECT_EQ(reader.ReadSectors(1, sector.data(), lba, 512, got), kOk);
        uint64_t consumed = 1;
        (void)engine.CarveSector(512, sector, lba, lba, sectors, 0, reader, consumed, found);
        lba += consumed;
    }
    std::vector<RecoveredItem> items;
    EXPECT_EQ(engine.ListChildren(nullptr, 0, items), kOk);
    return items;
}

struct Split {
    const char* picture;
    const char* gap;  // a real file between the pieces, or "" for noise
};

class SplitPicture : public ::testing::TestWithParam<Split> {};

TEST_P(SplitPicture, ComesBackByteExactAndTheFileInTheGapIsFoundToo) {
    const std::vector<uint8_t> picture = RealFile(GetParam().picture);
    const std::string gapName = GetParam().gap;
    const std::vector<uint8_t> gapFile = gapName.empty() ? testing::NoiseSector(9, 40 * 512)
                                                         : RealFile(gapName);
    if (picture.empty() || gapFile.empty()) GTEST_SKIP() << "ImageMagick missing";
    // The first piece: a little over half the picture, whole sectors.
    const uint64_t firstSectors = picture.size() / 512 / 2 + 1;
    const std::vector<uint8_t> first(picture.begin(), picture.begin() + firstSectors * 512);
    const std::vector<uint8_t> rest(picture.begin() + firstSectors * 512, picture.end());
    const uint64_t start = 20;
    const uint64_t gapLba = start + firstSectors;
    const uint64_t restLba = gapLba + (gapFile.size() + 511) / 512 + 3;
    Medium medium(restLba + rest.size() / 512 + 20);
    medium.Put(start, first).Put(gapLba, gapFile).Put(restLba, rest);
    if (gapName.empty()) medium.Noise(gapLba, (gapFile.size() + 511) / 512 + 3, 11);

    IsolatedHome home;
    TempDir dir;
    const std::string image = dir / "raw.img";
    WriteFileBytes(image, medium.Bytes());
    CFileTypeRecovery engine;
    SectorReader reader;
    ASSERT_EQ(engine.OpenImage(image, 0x8001), kOk);
    ASSERT_EQ(reader.OpenImageFile(image), kOk);
    const std::vector<RecoveredItem> items =
        Pass(engine, reader, medium.Bytes().size() / 512);

    const RecoveredItem* carved = nullptr;
    bool gapFound = false;
    for (const RecoveredItem& item : items) {
        if (uint64_t{item.location} == start) carved = &item;
        gapFound |= uint64_t{item.location} == gapLba;
    }
    ASSERT_NE(carved, nullptr);
    EXPECT_EQ(uint64_t{carved->fileSize}, picture.size());
    EXPECT_EQ(int32_t{carved->objectKey}, static_cast<int32_t>(firstSectors));
    EXPECT_EQ(uint64_t{carved->dataAreaStart}, restLba);
    EXPECT_EQ(int32_t{carved->contentValid}, 1);
    if (!gapName.empty()) {
        EXPECT_TRUE(gapFound) << "the file in the gap was passed over";
    }

    const std::string out = dir / "out/picture.jpg";
    ASSERT_EQ(engine.RecoverItem(*carved, out, 0), kOk);
    EXPECT_EQ(ReadFileBytes(out), picture);
    std::string temp;
    uint64_t size = 0;
    ASSERT_EQ(engine.ExtractForPreview(*carved, temp, nullptr, size, nullptr, nullptr), kOk);
    EXPECT_EQ(ReadFileBytes(temp), picture);
}

INSTANTIATE_TEST_SUITE_P(RealPictures, SplitPicture,
                         ::testing::Values(Split{"photo.jpg", "picture.png"},
                                           Split{"progressive.jpg", "tone.wav"},
                                           Split{"restart.jpg", ""},
                                           Split{"exif_thumbnail.jpg", "report.pdf"},
                                           Split{"large.jpg", "picture.png"}),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

// Sizes what begins at `lba` of `medium` as the carving pass would.
uint64_t SizeAt(const Medium& medium, uint64_t lba, bool& structureValid,
                double* seconds = nullptr) {
    const auto reader = medium.Reader();
    CarvingContext context;
    const std::vector<uint8_t> sector = medium.SectorAt(lba);
    std::string name;
    FileTypeCode type = FileTypeCode::kNoFileType;
    uint64_t length = 0;
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(IdentifyAndSize(context, 512, *reader, sector, lba, {1, 64, 0, 0}, name, type,
                              length),
              kOk);
    if (seconds) {
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    }
    EXPECT_EQ(type, FileTypeCode::kJpg);
    EXPECT_EQ(context.firstPieceSectors, 0u);
    structureValid = context.structureValid;
    return length;
}

TEST(JpegSizing, PictureCutShortIsDamagedAndKeepsItsPiece) {
    const std::vector<uint8_t> picture = RealFile("progressive.jpg");
    if (picture.empty()) GTEST_SKIP() << "ImageMagick missing";
    const size_t cut = picture.size() / 512 / 2 * 512;
    const std::vector<uint8_t> piece(picture.begin(), picture.begin() + cut);
    for (const bool noiseAfter : {false, true}) {
        SCOPED_TRACE(noiseAfter ? "noise after" : "zeros after");
        Medium medium(400);
        medium.Put(10, piece);
        if (noiseAfter) medium.Noise(10 + cut / 512, 300, 5);
        bool valid = true;
        const uint64_t length = SizeAt(medium, 10, valid);
        EXPECT_FALSE(valid);
        // The piece, and little of what follows it.
        EXPECT_GE(length, cut);
        EXPECT_LE(length, cut + 4 * 512);
    }
    // The same picture whole checks out.
    Medium whole(400);
    whole.Put(10, picture);
    bool valid = false;
    EXPECT_EQ(SizeAt(whole, 10, valid), picture.size());
    EXPECT_TRUE(valid);
}

// SOI, a quantisation table, a frame of the given size, a Huffman table, a scan header, some
// compressed-looking bytes and EOI.
std::vector<uint8_t> Hostile(uint16_t width, uint16_t height, bool progressive,
                             bool bogusTable) {
    std::vector<uint8_t> f = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
    f.insert(f.end(), 64, 1);
    f.insert(f.end(), {0xFF, uint8_t(progressive ? 0xC2 : 0xC0), 0x00, 0x11, 0x08,
                       uint8_t(height >> 8), uint8_t(height), uint8_t(width >> 8), uint8_t(width),
                       0x03, 0x01, 0x22, 0x00, 0x02, 0x11, 0x00, 0x03, 0x11, 0x00});
    // A DC table: one code of length 1 (symbol 0), or counts that overflow the code space.
    f.insert(f.end(), {0xFF, 0xC4, 0x00, 0x14, 0x00});
    for (int i = 0; i < 16; ++i) f.push_back(bogusTable ? 0xFF : (i == 0 ? 1 : 0));
    f.push_back(0x00);
    f.insert(f.end(), {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00,
                       0x00, 0x3F, 0x00});
    f.insert(f.end(), 2000, 0x00);
    f.insert(f.end(), {0xFF, 0xD9});
    return f;
}

TEST(JpegSizing, HostileHeadersStayCheapAndAreNotTrusted) {
    struct Case {
        uint16_t width, height;
        bool progressive, bogusTable;
        bool judged;  // false: too large to decode in the memory allowed; the walk decides
    };
    for (const Case c : {Case{65535, 65535, false, true, true}, Case{65535, 65535, true, false, true},
                         Case{32768, 32768, true, false, false},
                         Case{4000, 3000, false, true, true}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) +
                     (c.progressive ? " progressive" : "") + (c.bogusTable ? " bogus" : ""));
        Medium medium(200, 0);
        const std::vector<uint8_t> file = Hostile(c.width, c.height, c.progressive, c.bogusTable);
        medium.Put(4, file);
        bool valid = true;
        double seconds = 0;
        const uint64_t length = SizeAt(medium, 4, valid, &seconds);
        if (c.judged) {
            EXPECT_FALSE(valid);
        }
        EXPECT_GE(length, 1u);
        EXPECT_LE(length, 200u * 512);
        EXPECT_LT(seconds, 0.5);
    }
}

}  // namespace
}  // namespace norvale
