// Real files of every carved family, written by the tools that make them, laid out on a medium
// at sector boundaries between gaps of zeros and of noise. Each is identified and sized at its
// first sector, and the carved bytes are compared with the original.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "carving/carve_only_recovery.h"
#include "carving/identify.h"
#include "carving/signature_table.h"
#include "carving_test_support.h"
#include "device/sector_source.h"
#include "engine/result_store.h"
#include "support/test_support.h"

namespace norvale {
namespace {

using testing::IsolatedHome;
using testing::NoiseSector;
using testing::RealFile;
using testing::Sample;
using testing::TempDir;
using testing::WriteFileBytes;
using enum FileTypeCode;

enum class Ending {
    kWholeFile,   // the carved bytes are the file
    kAtNextFile,  // nothing in the file tells its end: the carve runs to the next file
};

struct Family {
    const char* file;
    FileTypeCode type;
    Ending ending;
};

const Family kFamilies[] = {
    {"photo.jpg", kJpg, Ending::kWholeFile},
    {"camera.jpg", kJpg, Ending::kWholeFile},
    {"cmyk.jpg", kJpg, Ending::kWholeFile},
    {"bare.jpg", kJpg, Ending::kWholeFile},
    {"progressive.jpg", kJpg, Ending::kWholeFile},
    {"restart.jpg", kJpg, Ending::kWholeFile},
    {"gray.jpg", kJpg, Ending::kWholeFile},
    {"exif_thumbnail.jpg", kJpg, Ending::kWholeFile},
    {"multi_picture.jpg", kJpg, Ending::kWholeFile},
    {"large.jpg", kJpg, Ending::kWholeFile},
    {"picture.png", kPng, Ending::kWholeFile},
    {"animation.gif", kGif, Ending::kWholeFile},
    {"bitmap.bmp", kBmp, Ending::kWholeFile},
    {"bitmap_v5.bmp", kBmp, Ending::kWholeFile},
    {"bitmap_os2.bmp", kBmp, Ending::kWholeFile},
    {"favicon.ico", kIco, Ending::kWholeFile},
    {"scan.tif", kTif, Ending::kWholeFile},
    {"layers.psd", kPsd, Ending::kWholeFile},
    {"clip.mp4", kMp4, Ending::kWholeFile},
    {"strips.tif", kTif, Ending::kWholeFile},
    {"tiles.tif", kTif, Ending::kWholeFile},
    {"motorola.tif", kTif, Ending::kWholeFile},
    {"pages.tif", kTif, Ending::kWholeFile},
    {"big.tif", kTif, Ending::kWholeFile},
    {"exif.tif", kTif, Ending::kWholeFile},
    {"canon.cr2", kCr2, Ending::kWholeFile},
    {"nikon.nef", kNef, Ending::kWholeFile},
    {"sony.arw", kArw, Ending::kWholeFile},
    {"converted.dng", kDng, Ending::kWholeFile},
    {"olympus.orf", kOrf, Ending::kWholeFile},
    {"panasonic.rw2", kRw2, Ending::kWholeFile},
    {"raw.psd", kPsd, Ending::kWholeFile},
    {"rle.psd", kPsd, Ending::kWholeFile},
    {"layered.psd", kPsd, Ending::kWholeFile},
    {"comment.gif", kGif, Ending::kWholeFile},
    {"large.png", kPng, Ending::kWholeFile},
    {"small.png", kPng, Ending::kWholeFile},
    {"palette.bmp", kBmp, Ending::kWholeFile},
    {"palette_rle.bmp", kBmp, Ending::kWholeFile},
    {"clip_producer.mp4", kMp4, Ending::kWholeFile},
    {"clip.mov", kMov, Ending::kWholeFile},
    {"phone.3gp", k3gp, Ending::kWholeFile},
    {"h264.mp4", kMp4, Ending::kWholeFile},
    {"faststart.mp4", kMp4, Ending::kWholeFile},
    {"fragmented.mp4", kMp4, Ending::kWholeFile},
    {"large_box.mp4", kMp4, Ending::kWholeFile},
    {"camera.mov", kMov, Ending::kWholeFile},
    {"h263.3gp", k3gp, Ending::kWholeFile},
    {"phone.3g2", k3gp, Ending::kWholeFile},
    {"song.m4a", kM4a, Ending::kWholeFile},
    {"photo.heic", kHeic, Ending::kWholeFile},
    {"small.heic", kHeic, Ending::kWholeFile},
    {"photo.avif", kAvif, Ending::kWholeFile},
    {"clip.avi", kAvi, Ending::kWholeFile},
    {"clip.mkv", kMkv, Ending::kWholeFile},
    {"clip.flv", kFlv, Ending::kWholeFile},
    // MPEG streams apart: their boundary scan passes over MPEG headers, so one running into
    // the next would take it in.
    {"program.mpg", kMpeg, Ending::kWholeFile},
    {"capture.ts", kTs, Ending::kWholeFile},
    {"program_end.mpg", kMpeg, Ending::kWholeFile},
    {"camera.mts", kMts, Ending::kWholeFile},
    {"dvd.vob", kMpeg, Ending::kWholeFile},
    {"broadcast.mxf", kMxf, Ending::kWholeFile},
    {"studio.mxf", kMxf, Ending::kWholeFile},
    {"long.mkv", kMkv, Ending::kWholeFile},
    {"clip_vp8.webm", kMkv, Ending::kWholeFile},
    {"clip_vp9.webm", kMkv, Ending::kWholeFile},
    {"live.webm", kMkv, Ending::kWholeFile},
    {"long.flv", kFlv, Ending::kWholeFile},
    {"short.flv", kFlv, Ending::kWholeFile},
    {"mpeg2.mpg", kMpeg, Ending::kWholeFile},
    {"mpeg2_end.mpg", kMpeg, Ending::kWholeFile},
    {"long.vob", kMpeg, Ending::kWholeFile},
    {"long.ts", kTs, Ending::kWholeFile},
    {"clip.m2ts", kMts, Ending::kWholeFile},
    {"long.m2ts", kMts, Ending::kWholeFile},
    {"long.wmv", kWmv, Ending::kWholeFile},
    {"tone.wav", kWav, Ending::kWholeFile},
    {"song.mp3", kMp3, Ending::kWholeFile},
    {"radio.mp2", kMp2, Ending::kWholeFile},
    {"ringtone.mmf", kMmf, Ending::kWholeFile},
    {"tune.mid", kMid, Ending::kWholeFile},
    {"lossless.ape", kApe, Ending::kWholeFile},
    {"clip.wmv", kWmv, Ending::kWholeFile},
    {"song.wma", kWmv, Ending::kWholeFile},
    {"stream.rm", kRmvb, Ending::kAtNextFile},
    {"stream_indexed.rm", kRmvb, Ending::kWholeFile},
    {"banner.swf", kSwf, Ending::kWholeFile},
    {"report.pdf", kPdf, Ending::kWholeFile},
    {"letter.docx", kDocx, Ending::kWholeFile},
    {"budget.xlsx", kXlsx, Ending::kWholeFile},
    {"slides.pptx", kPptx, Ending::kWholeFile},
    {"archive.zip", kZip, Ending::kWholeFile},
    {"backup.7z", k7z, Ending::kWholeFile},
    {"archive.rar", kRar, Ending::kWholeFile},
    {"setup.cab", kCab, Ending::kWholeFile},
    {"notes.gz", kGz, Ending::kWholeFile},
    {"container.ole", kOle, Ending::kWholeFile},
    {"large.ole", kOle, Ending::kWholeFile},
    {"library.db", kDb, Ending::kWholeFile},
    {"mail.dbx", kDbx, Ending::kWholeFile},
    {"mail.pst", kPst, Ending::kWholeFile},
    {"font.ttf", kTtf, Ending::kWholeFile},
    {"voice.wav", kWav, Ending::kWholeFile},
    {"stereo.wav", kWav, Ending::kWholeFile},
    {"tagged.mp3", kMp3, Ending::kWholeFile},
    {"untagged.mp3", kMp3, Ending::kWholeFile},
    {"vbr.mp3", kMp3, Ending::kWholeFile},
    {"tagged.flac", kFlac, Ending::kWholeFile},
    {"plain.flac", kFlac, Ending::kWholeFile},
    {"cover.flac", kFlac, Ending::kWholeFile},
    {"song.ogg", kOgg, Ending::kWholeFile},
    {"voice.opus", kOpus, Ending::kWholeFile},
    {"photo.webp", kWebp, Ending::kWholeFile},
    {"icon.webp", kWebp, Ending::kWholeFile},
    {"records.db", kDb, Ending::kWholeFile},
    {"catalog.db", kDb, Ending::kWholeFile},
    {"empty.db", kDb, Ending::kWholeFile},
    {"named.gz", kGz, Ending::kWholeFile},
    {"joined.gz", kGz, Ending::kWholeFile},
    {"commented.zip", kZip, Ending::kWholeFile},
    {"minutes.odt", kZip, Ending::kWholeFile},
    {"streamed.zip", kZip, Ending::kWholeFile},
    {"streamed32.zip", kZip, Ending::kWholeFile},
    {"plain_header.7z", k7z, Ending::kWholeFile},
    {"manual.pdf", kPdf, Ending::kWholeFile},
    {"updated.pdf", kPdf, Ending::kWholeFile},
    {"memo.ole", kOle, Ending::kWholeFile},
    {"compressed.cab", kCab, Ending::kWholeFile},
    {"mail_ansi.pst", kPst, Ending::kWholeFile},
    {"serif.ttf", kTtf, Ending::kWholeFile},
    {"sans.otf", kOtf, Ending::kWholeFile},
    {"family.ttc", kTtc, Ending::kWholeFile},
};

void PrintTo(const Family& family, std::ostream* os) {
    *os << family.file;
}

uint64_t Digest(std::span<const uint8_t> bytes) {
    uint64_t digest = 1469598103934665603ull;
    for (uint8_t b : bytes) digest = (digest ^ b) * 1099511628211ull;
    return digest;
}

// Files placed one after another at sector boundaries, each sector's unused tail zero.
class Layout {
  public:
    explicit Layout(uint32_t sectorSize) : sectorSize_(sectorSize) {}
    uint64_t Add(const std::vector<uint8_t>& file) {
        const uint64_t lba = bytes_.size() / sectorSize_;
        bytes_.insert(bytes_.end(), file.begin(), file.end());
        bytes_.resize((bytes_.size() + sectorSize_ - 1) / sectorSize_ * sectorSize_, 0);
        return lba;
    }
    void Zeros(size_t sectors) { bytes_.resize(bytes_.size() + sectors * sectorSize_, 0); }
    void Noise(size_t sectors, uint32_t seed) {
        const std::vector<uint8_t> noise = NoiseSector(seed, sectors * sectorSize_);
        bytes_.insert(bytes_.end(), noise.begin(), noise.end());
    }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

  private:
    uint32_t sectorSize_;
    std::vector<uint8_t> bytes_;
};

struct Carved {
    uint64_t lba;
    FileTypeCode type;
    uint64_t length;
};

// The containers whose header states their length: a carving pass examines the sectors
// inside them too, so that files stored inside are found.
bool ExaminesInside(FileTypeCode type) {
    static const std::set<FileTypeCode> kContainers = {kDoc, kOle, kXls, kPpt, kWav, kAvi,
                                                       kWmv, kSwf, kBmp, kCab, kTtf, kIco};
    return kContainers.count(type) > 0;
}

// The engine's own pass over `image` saved as a file: what it recorded, by first sector.
std::vector<Carved> CarvingPass(const std::vector<uint8_t>& image, uint32_t sectorSize) {
    IsolatedHome home;
    TempDir dir;
    const std::string path = dir / "raw.img";
    WriteFileBytes(path, image);
    CCarveOnlyRecovery engine;
    engine.SetImageSectorSize(sectorSize);
    EXPECT_EQ(engine.OpenImage(path, 0x8001), kOk);
    EXPECT_EQ(engine.Scan(nullptr), kOk);
    std::vector<RecoveredItem> items;
    EXPECT_EQ(engine.ListChildren(nullptr, 0, items), kOk);
    std::vector<Carved> found;
    for (const RecoveredItem& item : items) {
        const std::string name(item.Name());
        const SignatureRow* row = FirstRowWithExtension(ExtensionOf(name));
        EXPECT_NE(row, nullptr) << name;
        EXPECT_EQ(name, std::to_string(item.location) + "." + (row ? row->extension : "?"));
        found.push_back({item.location, row ? row->code : kNoFileType, item.fileSize});
    }
    std::sort(found.begin(), found.end(),
              [](const Carved& a, const Carved& b) { return a.lba < b.lba; });
    return found;
}

// What the carve of `file` placed at `start` must hold, `nextStart` being the next file's LBA.
void ExpectCarve(const Family& family, const std::vector<uint8_t>& file,
                 const std::vector<uint8_t>& image, uint32_t sectorSize, uint64_t start,
                 uint64_t nextStart, const Carved& carved) {
    SCOPED_TRACE(family.file);
    EXPECT_EQ(carved.type, family.type);
    const uint64_t offset = start * sectorSize;
    ASSERT_LE(offset + carved.length, image.size());
    const std::span<const uint8_t> carve(image.data() + offset, carved.length);
    std::span<const uint8_t> original(file);
    switch (family.ending) {
        case Ending::kWholeFile:
            break;
        case Ending::kAtNextFile:
            EXPECT_EQ(carved.length, (nextStart - start) * sectorSize);
            ASSERT_GE(carved.length, file.size());
            EXPECT_EQ(Digest(carve.first(file.size())), Digest(file));
            return;
    }
    EXPECT_EQ(carved.length, original.size());
    EXPECT_EQ(Digest(carve), Digest(original));
}

// The real files and samples are written once per build tree by their scripts (tools run for
// a minute or more on a busy machine). CTest runs this first as the setup of every carving test,
// so no test spends its own time limit on it.
TEST(Fixtures, RealFilesAreMade) {
    EXPECT_FALSE(testing::RealFilesDir().empty());
    EXPECT_FALSE(testing::SamplesDir().empty());
}

class RealFileSizing : public ::testing::TestWithParam<std::tuple<Family, uint32_t>> {};

TEST_P(RealFileSizing, CarveMatchesTheOriginal) {
    const auto& [family, sectorSize] = GetParam();
    const std::vector<uint8_t> file = RealFile(family.file);
    if (file.empty()) GTEST_SKIP() << family.file << " was not made: its tool is missing";
    Layout layout(sectorSize);
    layout.Noise(3, 1);
    const uint64_t start = layout.Add(file);
    layout.Zeros(2);
    layout.Noise(3, 2);
    const uint64_t nextStart = layout.Add(Sample("picture.png"));
    layout.Zeros(2);

    const std::vector<Carved> found = CarvingPass(layout.Bytes(), sectorSize);
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[0].lba, start);
    ExpectCarve(family, file, layout.Bytes(), sectorSize, start, nextStart, found[0]);
}

INSTANTIATE_TEST_SUITE_P(EveryFamily, RealFileSizing,
                         ::testing::Combine(::testing::ValuesIn(kFamilies),
                                            ::testing::Values(512u, 4096u)),
                         [](const auto& info) {
                             std::string name = std::get<0>(info.param).file;
                             for (char& c : name) {
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             }
                             return name + "_" + std::to_string(std::get<1>(info.param));
                         });

class MixedImage : public ::testing::TestWithParam<uint32_t> {};

TEST_P(MixedImage, SectorPassFindsEveryFileWithItsLengthAndNothingElse) {
    const uint32_t sectorSize = GetParam();
    struct Placed {
        const Family* family;
        std::vector<uint8_t> file;
        uint64_t lba;
    };
    std::vector<Placed> placed;
    Layout layout(sectorSize);
    uint32_t seed = 100;
    for (const Family& family : kFamilies) {
        std::vector<uint8_t> file = RealFile(family.file);
        if (file.empty()) continue;
        const uint64_t lba = layout.Add(file);
        placed.push_back({&family, std::move(file), lba});
        if (seed % 2) layout.Zeros(1 + seed % 3);
        layout.Noise(1 + seed % 2, seed);
        ++seed;
    }
    if (placed.size() < 2) GTEST_SKIP() << "no real files were made";
    const uint64_t end = layout.Add(Sample("picture.png"));
    const std::vector<uint8_t>& image = layout.Bytes();

    const std::vector<Carved> found = CarvingPass(image, sectorSize);
    for (size_t i = 0; i < placed.size(); ++i) {
        const auto it = std::find_if(found.begin(), found.end(),
                                     [&](const Carved& c) { return c.lba == placed[i].lba; });
        if (it == found.end()) {
            ADD_FAILURE() << placed[i].family->file << " not carved at LBA " << placed[i].lba;
            continue;
        }
        const uint64_t nextStart = i + 1 < placed.size() ? placed[i + 1].lba : end;
        ExpectCarve(*placed[i].family, placed[i].file, image, sectorSize, placed[i].lba, nextStart,
                    *it);
    }
    // Anything else must have been found inside a container whose inside the pass examines.
    for (const Carved& c : found) {
        if (c.lba == end) continue;
        const auto owner = std::find_if(placed.rbegin(), placed.rend(),
                                        [&](const Placed& p) { return p.lba <= c.lba; });
        ASSERT_NE(owner, placed.rend()) << "carved at LBA " << c.lba;
        const bool inside = owner->lba == c.lba ||
                            (ExaminesInside(owner->family->type) &&
                             c.lba * sectorSize < owner->lba * sectorSize + owner->file.size());
        EXPECT_TRUE(inside) << "false positive of type " << ::testing::PrintToString(c.type)
                            << " at LBA " << c.lba << " after " << owner->family->file;
    }
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, MixedImage, ::testing::Values(512u, 4096u));

// A container whose structure checks out is passed over whole: the picture stored in it is
// part of it, not a file of its own.
TEST(ContainerSizedByItsHeader, PictureStoredInsideIsPartOfIt) {
    const std::vector<uint8_t> album = RealFile("album.ole");
    const std::vector<uint8_t> photo = RealFile("photo.jpg");
    if (album.empty() || photo.empty()) GTEST_SKIP() << "gsf or ImageMagick missing";
    Layout layout(512);
    layout.Noise(2, 7);
    const uint64_t start = layout.Add(album);
    layout.Zeros(4);
    const std::vector<Carved> found = CarvingPass(layout.Bytes(), 512);

    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found[0].lba, start);
    EXPECT_EQ(found[0].type, kOle);
    EXPECT_EQ(found[0].length, album.size());
    const auto stored = std::search(album.begin(), album.end(), photo.begin(), photo.end());
    ASSERT_NE(stored, album.end());
    ASSERT_EQ((stored - album.begin()) % 512, 0);
    const uint64_t photoLba = start + (stored - album.begin()) / 512;
    EXPECT_EQ(std::find_if(found.begin(), found.end(),
                           [&](const Carved& c) { return c.lba == photoLba; }),
              found.end());
}

}  // namespace
}  // namespace norvale
