// Detectors against real files of each family (written at test time by the standard library
// of python3 and by real tools, or assembled from the formats' public descriptions where no
// local tool writes them). Each case names its sample, so a failure names the format.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "carving/formats/formats.h"
#include "carving/identify.h"
#include "carving/signature_table.h"
#include "carving_test_support.h"

namespace norvale {
namespace {

using testing::ContextAt;
using testing::kSector;
using testing::Medium;
using testing::Sample;
using enum FileTypeCode;

struct SampleCase {
    const char* file;
    FileTypeCode type;
    const char* carvedExtension;  // null: recognised, never carved
};

constexpr SampleCase kSamples[] = {
    {"picture.png", kPng, "png"},
    {"animation.gif", kGif, "gif"},
    {"bitmap.bmp", kBmp, "bmp"},
    {"photo.jpg", kJpg, "jpg"},
    {"camera.jpg", kJpg, "jpg"},
    {"scan.tiff", kTif, "tif"},
    {"scan_motorola.tif", kTif, "tif"},
    {"favicon.ico", kIco, "ico"},
    {"layers.psd", kPsd, "psd"},
    {"tone.wav", kWav, "wav"},
    {"clip.avi", kAvi, "avi"},
    {"clip.mp4", kMp4, "mp4"},
    {"clip_mp42.mp4", kMp4, "mp4"},
    {"phone.3gp", k3gp, "3gp"},
    {"movie.mov", kMov, "mov"},
    {"clip.flv", kFlv, "flv"},
    {"clip.mkv", kMkv, "mkv"},
    {"program.mpg", kMpeg, "mpeg"},
    {"video.mpeg", kMpeg, "mpeg"},
    {"song.wma", kWmv, "wmv"},
    {"stream.rm", kRmvb, "rmvb"},
    {"banner.swf", kSwf, "swf"},
    {"banner_zlib.swf", kSwf, "swf"},
    {"broadcast.mxf", kMxf, "mxf"},
    {"song.mp3", kMp3, "mp3"},
    {"radio.mp2", kMp2, "mp2"},
    {"tune.mid", kMid, "mid"},
    {"lossless.ape", kApe, "ape"},
    {"ringtone.mmf", kMmf, "mmf"},
    {"capture.ts", kTs, "ts"},
    {"camera.mts", kMts, "mts"},
    {"report.pdf", kPdf, "pdf"},
    {"letter.docx", kDocx, "docx"},
    {"budget.xlsx", kXlsx, "xlsx"},
    {"slides.pptx", kPptx, "pptx"},
    {"second_round.docx", kDocx, "docx"},
    {"late_word.zip", kZip, "zip"},
    {"archive.zip", kZip, "zip"},
    {"tool_archive.zip", kZip, "zip"},
    {"notes.gz", kGz, "gz"},
    {"tool_notes.gz", kGz, "gz"},
    {"backup.7z", k7z, "7z"},
    {"archive.rar", kRar, "rar"},
    {"setup.cab", kCab, "cab"},
    {"program.exe", kExe, nullptr},
    {"library.dll", kDll, nullptr},
    {"driver.sys", kSys, nullptr},
    {"disk.gho", kGho, nullptr},
    {"library.db", kDb, "db"},
    {"tool_library.db", kDb, "db"},
    {"mail.dbx", kDbx, "dbx"},
    {"mail.pst", kPst, "pst"},
    {"font.ttf", kTtf, "ttf"},
    {"by_class_word.doc", kDoc, "doc"},
    {"by_class_excel.xls", kXls, "xls"},
    {"by_class_powerpoint.ppt", kPpt, "ppt"},
    {"by_name_word.doc", kDoc, "doc"},
    {"by_name_excel.xls", kXls, "xls"},
    {"by_name_powerpoint.ppt", kPpt, "ppt"},
    {"by_stream_word.doc", kDoc, "doc"},
    {"by_stream_excel.xls", kXls, "xls"},
    {"generic.ole", kOle, "ole"},
};

constexpr uint64_t kSampleLba = 8;

std::string ExtensionOf(const std::string& file) {
    return file.substr(file.rfind('.') + 1);
}

// The sample at kSampleLba of a medium with noise before it and zeros after.
Medium MediumWith(const std::vector<uint8_t>& sample) {
    Medium medium(64);
    medium.Noise(0, kSampleLba, 99).Put(kSampleLba, sample);
    return medium;
}

class SampleDetection : public ::testing::TestWithParam<SampleCase> {
  protected:
    void SetUp() override {
        bytes_ = Sample(GetParam().file);
        if (bytes_.empty()) GTEST_SKIP() << GetParam().file << " was not written (tool missing)";
        medium_ = MediumWith(bytes_);
        reader_ = medium_.Reader();
        sector_ = medium_.SectorAt(kSampleLba);
    }

    std::vector<uint8_t> bytes_;
    Medium medium_;
    std::unique_ptr<SectorReader> reader_;
    std::vector<uint8_t> sector_;
};

TEST_P(SampleDetection, FirstSectorIsRecognisedAsItsType) {
    auto context = ContextAt(reader_.get(), kSampleLba);
    EXPECT_EQ(DetectFileType(sector_, *context), GetParam().type);
}

TEST_P(SampleDetection, CarvedUnderTheNameOfItsTypeOrRefusedWhenNeverCarved) {
    CarvingContext context;
    std::string name = "untouched";
    FileTypeCode type = kNoFileType;
    uint64_t length = 12345;
    const Result r = IdentifyAndSize(context, kSector, *reader_, sector_, kSampleLba, {1, 64, 0, 0},
                                     name, type, length);
    if (GetParam().carvedExtension == nullptr) {
        EXPECT_EQ(r, kErrInvalidParameter);
        EXPECT_EQ(name, "untouched");
        EXPECT_EQ(type, kNoFileType);
        EXPECT_EQ(length, 12345u);
        return;
    }
    ASSERT_EQ(r, kOk);
    EXPECT_EQ(name, "8." + std::string(GetParam().carvedExtension));
    EXPECT_EQ(type, GetParam().type);
    EXPECT_GT(length, 0u);
}

TEST_P(SampleDetection, ContentFitsItsOwnExtension) {
    CarvingContext context;
    EXPECT_TRUE(CheckTypeByExtension(context, sector_, ExtensionOf(GetParam().file), reader_.get(),
                                     kSector, kSampleLba));
}

// Buffers cut anywhere (a file's resident stream can be a few bytes long) are judged from the
// bytes that are there; the sanitizer build catches any read past them.
TEST_P(SampleDetection, CutBuffersAreJudgedWithoutReadingPastThem) {
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 64; ++n) lengths.push_back(n);
    for (size_t n : {100, 187, 188, 189, 376, 511}) lengths.push_back(n);
    for (size_t n : lengths) {
        const std::vector<uint8_t> cut(sector_.begin(), sector_.begin() + n);
        for (const SignatureRow& row : FileSignatureTable()) {
            auto context = ContextAt(reader_.get(), kSampleLba);
            const FileTypeCode code = row.detector(cut, *context);
            if (n < 4) {
                EXPECT_EQ(code, kNoFileType) << row.extension << " on " << n << " bytes";
            }
        }
    }
}

std::string CaseName(const ::testing::TestParamInfo<SampleCase>& info) {
    std::string name = info.param.file;
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(RealFiles, SampleDetection, ::testing::ValuesIn(kSamples), CaseName);

// A sample's first sector is refused for the extension of every other type, except where one
// format is a kind of another: an OOXML package is a ZIP, and every compound file fits fla.
TEST(ContentCheck, SamplesAreRefusedForTheExtensionsOfOtherTypes) {
    std::vector<std::string> wrongly;
    for (const SampleCase& subject : kSamples) {
        const std::vector<uint8_t> bytes = Sample(subject.file);
        if (bytes.empty()) continue;
        const Medium medium = MediumWith(bytes);
        auto reader = medium.Reader();
        const std::vector<uint8_t> sector = medium.SectorAt(kSampleLba);
        for (const SampleCase& other : kSamples) {
            if (other.type == subject.type) continue;
            const std::string extension = ExtensionOf(other.file);
            const bool isZip =
                extension == "zip" &&
                (subject.type == kDocx || subject.type == kXlsx || subject.type == kPptx);
            CarvingContext context;
            if (CheckTypeByExtension(context, sector, extension, reader.get(), kSector,
                                     kSampleLba) &&
                !isZip) {
                wrongly.push_back(std::string(subject.file) + " as ." + extension);
            }
        }
        const bool isCompound = subject.type == kDoc || subject.type == kXls ||
                                subject.type == kPpt || subject.type == kOle;
        CarvingContext context;
        EXPECT_EQ(CheckTypeByExtension(context, sector, "fla", reader.get(), kSector, kSampleLba),
                  isCompound)
            << subject.file;
    }
    EXPECT_TRUE(wrongly.empty()) << ::testing::PrintToString(wrongly);
}

// Headers other than JFIF and Exif open a picture only when their segments chain up, and a
// bitmap's newer information headers only with one plane, a real depth and pixels after them.
TEST(HeaderShapes, JpegSegmentsAndBitmapHeadersMustHoldTogether) {
    auto jpeg = [](std::vector<uint8_t> head) {
        head.resize(512, 0x5A);
        CarvingContext context;
        return DetectJpeg(head, context) == kJpg;
    };
    auto segment = [](uint8_t marker, size_t length) {
        std::vector<uint8_t> s = {0xFF, marker, uint8_t(length >> 8), uint8_t(length)};
        s.resize(2 + length, 0x11);
        return s;
    };
    auto join = [](std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> all = {0xFF, 0xD8};
        for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    const std::vector<uint8_t> sos = {0xFF, 0xDA, 0x00, 0x0C};
    EXPECT_TRUE(jpeg(join({segment(0xDB, 67), segment(0xC4, 31), sos})));  // tables first
    EXPECT_TRUE(jpeg(join({segment(0xEE, 14), segment(0xDB, 67), segment(0xC0, 17), sos})));
    EXPECT_TRUE(jpeg(join({segment(0xE2, 3000)})));  // an ICC profile longer than the sector
    EXPECT_FALSE(jpeg(join({segment(0xDB, 67), {0x12, 0x34, 0x56, 0x78}})));  // no marker
    EXPECT_FALSE(jpeg(join({{0xFF, 0xDB, 0x00, 0x01}})));  // shorter than its own length
    EXPECT_FALSE(jpeg(join({sos})));                       // a scan with no tables
    EXPECT_FALSE(jpeg(join({{0xFF, 0xD9, 0x00, 0x00}})));  // ends at once
    EXPECT_FALSE(jpeg(join({segment(0xDB, 67)})));         // one table, then filler

    auto bmp = [](uint32_t header, uint16_t planes, uint16_t depth, uint32_t pixelsAt) {
        auto PutLe32 = [](uint8_t* p, uint32_t v) {
            for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
        };
        std::vector<uint8_t> b(512, 0);
        b[0] = 'B';
        b[1] = 'M';
        PutLe32(b.data() + 2, 20000);
        PutLe32(b.data() + 10, pixelsAt);
        PutLe32(b.data() + 14, header);
        const size_t at = header == 12 ? 22 : 26;
        b[at] = uint8_t(planes);
        b[at + 2] = uint8_t(depth);
        CarvingContext context;
        return DetectBmp(b, context) == kBmp;
    };
    for (uint32_t header : {12u, 16u, 52u, 56u, 64u, 108u, 124u})
        EXPECT_TRUE(bmp(header, 1, 24, 14 + header)) << header;
    EXPECT_FALSE(bmp(124, 2, 24, 138));
    EXPECT_FALSE(bmp(124, 1, 7, 138));
    EXPECT_FALSE(bmp(124, 1, 24, 100));    // pixels inside the headers
    EXPECT_FALSE(bmp(124, 1, 24, 30000));  // pixels past the file's end
    EXPECT_FALSE(bmp(100, 1, 24, 114));    // no such header
}

}  // namespace
}  // namespace norvale
