// ISO base media (MP4, MOV, 3GP, M4A, HEIF) and MXF sized by their own structure: brands
// that pick the family, box and item walks that end where the file ends, and damaged or
// hostile structures that end quickly as damaged finds with a bounded length.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "carving/formats/formats.h"
#include "carving/identify.h"
#include "carving/signature_table.h"
#include "carving_test_support.h"

using namespace std::literals;

namespace norvale {
namespace {

using testing::kSector;
using testing::Medium;
using testing::RealFile;
using enum FileTypeCode;

using Bytes = std::vector<uint8_t>;

void PutBe(Bytes& out, uint64_t value, int bytes) {
    // Fields wider than the value (a 9-byte BER length) lead with zeros.
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(i < 8 ? static_cast<uint8_t>(value >> (8 * i)) : uint8_t{0});
    }
}
void PutText(Bytes& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

// A box of `body` bytes (pattern filled) whose header states `stated` (the true size unless
// given); `large` writes the 64-bit form.
Bytes Box(std::string_view type, size_t body, uint64_t stated = 0, bool large = false) {
    Bytes out;
    const uint64_t size = (large ? 16 : 8) + body;
    if (large) {
        PutBe(out, 1, 4);
        PutText(out, type);
        PutBe(out, stated ? stated : size, 8);
    } else {
        PutBe(out, stated ? stated : size, 4);
        PutText(out, type);
    }
    for (size_t i = 0; i < body; ++i) out.push_back(static_cast<uint8_t>(i * 7 + 1));
    return out;
}
Bytes Ftyp(std::string_view major, std::initializer_list<std::string_view> compatible) {
    Bytes out;
    PutBe(out, 16 + 4 * compatible.size(), 4);
    PutText(out, "ftyp");
    PutText(out, major);
    PutBe(out, 0, 4);
    for (std::string_view brand : compatible) PutText(out, brand);
    return out;
}
Bytes Moov() {
    Bytes out;
    PutBe(out, 8 + 108, 4);
    PutText(out, "moov");
    PutBe(out, 108, 4);
    PutText(out, "mvhd");
    out.resize(out.size() + 100, 0);
    return out;
}
Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

struct Sized {
    FileTypeCode type = kNoFileType;
    uint64_t length = 0;
    bool valid = false;
    Result result = kOk;
};

Sized SizeAt(const Medium& medium, uint64_t lba, CarvingContext&& context = CarvingContext(),
             uint32_t sectorSize = kSector) {
    auto reader = medium.Reader();
    Bytes sector(sectorSize);
    uint32_t got = 0;
    EXPECT_EQ(reader->ReadSectors(1, sector.data(), lba, sectorSize, got), kOk);
    Sized sized;
    std::string name;
    sized.result = IdentifyAndSize(context, sectorSize, *reader, sector, lba, {0, 1000, 0, 0},
                                   name, sized.type, sized.length);
    sized.valid = context.structureValid;
    return sized;
}

TEST(IsoMediaBrands, EachBrandFamilyGoesToItsOwnRowAndThatRowAgrees) {
    struct Case {
        Bytes ftyp;
        FileTypeCode code;
    };
    const Case cases[] = {
        {Ftyp("isom", {"isom", "iso2", "avc1", "mp41"}), kMp4},
        {Ftyp("XAVC", {"XAVC", "mp42", "iso2"}), kMp4},
        {Ftyp("dash", {"iso6", "mp41"}), kMp4},
        {Ftyp("3gp5", {"3gp5", "isom"}), k3gp},
        {Ftyp("3g2a", {"3g2a"}), k3gp},
        {Ftyp("qt  ", {"qt  "}), kMov},
        {Ftyp("M4A ", {"M4A ", "isom", "iso2"}), kM4a},
        {Ftyp("M4B ", {"M4B "}), kM4a},
        {Ftyp("heic", {"mif1", "heic"}), kHeic},
        {Ftyp("mif1", {"mif1", "heic", "miaf"}), kHeic},
        {Ftyp("msf1", {"msf1", "hevc"}), kHeic},
        {Ftyp("mif1", {"mif1", "miaf"}), kHeif},
        {Ftyp("avif", {"avif", "mif1", "miaf"}), kAvif},
        {Ftyp("mif1", {"avif", "mif1"}), kAvif},
        {Ftyp("crx ", {"crx ", "isom"}), kCr3},
        // An unregistered major brand is judged by the families it declares itself
        // compatible with.
        {Ftyp("abcd", {"abcd", "isom"}), kMp4},
        {Ftyp("abcd", {"mif1", "isom"}), kHeif},
        {Ftyp("abcd", {"abcd", "wxyz"}), kNoFileType},
        {Ftyp("abcd", {"crx "}), kNoFileType},
    };
    for (const Case& c : cases) {
        Bytes sector = c.ftyp;
        sector.resize(kSector, 0);
        const std::string brand(c.ftyp.begin() + 8, c.ftyp.begin() + 12);
        SCOPED_TRACE(brand);
        CarvingContext context;
        EXPECT_EQ(ClassifyIsoBrands(sector), c.code);
        EXPECT_EQ(DetectMp4(sector, context), c.code);  // the family's earliest row
        EXPECT_EQ(DetectFileType(sector, context), c.code);
        // Canon's row is answered by the camera RAW detectors, checked with them.
        if (c.code == kNoFileType || c.code == kCr3) continue;
        EXPECT_EQ(FirstRowOfType(c.code)->detector(sector, context), c.code);
    }
}

TEST(IsoMediaBrands, OldQuickTimeOpeningsAreMoviesAndStrayAtomsAreNot) {
    CarvingContext context;
    const auto detect = [&](Bytes bytes) {
        bytes.resize(kSector, 0);
        return DetectFileType(bytes, context);
    };
    EXPECT_EQ(detect(Join({Moov(), Box("mdat", 64)})), kMov);
    EXPECT_EQ(detect(Join({Box("wide", 0), Box("mdat", 64)})), kMov);
    EXPECT_EQ(detect(Join({Box("free", 24), Box("wide", 0), Box("mdat", 64)})), kMov);
    EXPECT_EQ(detect(Box("mdat", 400)), kNoFileType);       // could be any file's inside
    EXPECT_EQ(detect(Box("moov", 200)), kNoFileType);       // no movie header
    EXPECT_EQ(detect(Join({Box("free", 24), Box("mdat", 64)})), kNoFileType);
}

// Sound files in the shapes writers use, between noise: the walk ends at the file's last box.
TEST(IsoMediaSizing, WalkEndsAtTheLastBoxWhateverFollows) {
    const Bytes mp4 = Join({Ftyp("isom", {"isom"}), Box("free", 0), Box("mdat", 3000), Moov()});
    const Bytes large = Join({Ftyp("mp42", {"isom"}), Box("mdat", 3000, 0, true), Moov(),
                              Box("udta", 40)});
    const Bytes fragmented =
        Join({Ftyp("iso5", {"iso6"}), Moov(), Box("moof", 100), Box("mdat", 900),
              Box("moof", 100), Box("mdat", 700), Box("mfra", 60)});
    const Bytes heif = Join({Ftyp("heic", {"mif1", "heic"}), Box("meta", 300), Box("mdat", 2000)});
    const Bytes quickTime = Join({Box("wide", 0), Box("mdat", 1500), Moov()});
    // A box type we do not list, followed by one we do.
    const Bytes extra = Join({Ftyp("isom", {"isom"}), Moov(), Box("Xtra", 50), Box("mdat", 900)});
    // Exactly two sectors, and the next sector opens another MP4.
    Bytes exact = Join({Ftyp("isom", {"isom"}), Moov()});
    exact = Join({exact, Box("mdat", 2 * kSector - exact.size() - 8)});

    for (const Bytes* file : std::initializer_list<const Bytes*>{&mp4, &large, &fragmented, &heif, &quickTime, &extra, &exact}) {
        SCOPED_TRACE(file - &mp4);
        Medium medium(64);
        medium.Noise(0, 64, 5).Put(4, *file);
        if (file == &exact) medium.Put(6, mp4);
        const Sized sized = SizeAt(medium, 4);
        EXPECT_EQ(sized.length, file->size());
        EXPECT_TRUE(sized.valid);
    }
}

TEST(IsoMediaSizing, RealFilesComeBackWholeOnFourKiBSectors) {
    for (const char* name : {"h264.mp4", "fragmented.mp4", "camera.mov", "photo.heic"}) {
        const Bytes file = RealFile(name);
        if (file.empty()) GTEST_SKIP() << name << " was not made: its tool is missing";
        SCOPED_TRACE(name);
        const uint64_t sectors = file.size() / kSector + 80;
        Medium medium(sectors);
        medium.Noise(0, sectors, 3).Put(64, file);  // 4 KiB sector 8
        const Sized sized = SizeAt(medium, 8, CarvingContext(), 4096);
        EXPECT_EQ(sized.length, file.size());
        EXPECT_TRUE(sized.valid);
    }
}

// Damaged and hostile structures: each is a damaged find, ends at once, and never runs past
// the medium.
TEST(IsoMediaSizing, BrokenStructuresEndQuicklyAsDamagedFinds) {
    const Bytes ftyp = Ftyp("isom", {"isom", "mp41"});
    struct Case {
        const char* what;
        Bytes file;
    };
    const Case cases[] = {
        {"no movie box", Join({ftyp, Box("free", 0), Box("mdat", 3000)})},
        {"media data past the medium", Join({ftyp, Moov(), Box("mdat", 100, 900000)})},
        {"64-bit size past the medium", Join({ftyp, Moov(), Box("mdat", 100, 1ull << 40, true)})},
        {"64-bit size that wraps", Join({ftyp, Moov(), Box("mdat", 100, ~0ull, true)})},
        {"64-bit size below its header", Join({ftyp, Moov(), Box("mdat", 100, 9, true)})},
        {"size below a header", Join({ftyp, Moov(), Box("mdat", 100, 4)})},
        {"runs to the end of the file",
         Join({ftyp, Moov(), Bytes{0, 0, 0, 0, 'm', 'd', 'a', 't'}, Box("free", 100)})},
        {"movie box past the medium", Join({ftyp, Box("mdat", 100), Box("moov", 50, 1u << 31)})},
        {"ftyp alone", ftyp},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Medium medium(256);
        medium.Put(2, c.file);
        if (std::string_view(c.what) != "size below a header") medium.Put(40, c.file);
        const auto start = std::chrono::steady_clock::now();
        const Sized sized = SizeAt(medium, 2);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(sized.type, kMp4);
        EXPECT_FALSE(sized.valid);
        EXPECT_GT(sized.length, 0u);
        EXPECT_LE(sized.length, (256 - 2) * kSector);
    }
}

TEST(IsoMediaSizing, StopRequestEndsALongWalk) {
    // Thousands of fragments, far more than the progress report interval.
    Bytes file = Join({Ftyp("iso5", {"iso6"}), Moov()});
    const Bytes fragment = Join({Box("moof", 100), Box("mdat", 70000)});
    for (int i = 0; i < 90; ++i) file.insert(file.end(), fragment.begin(), fragment.end());
    Medium medium(file.size() / kSector + 4);
    medium.Put(0, file);
    int calls = 0;
    CarvingContext context;
    context.progressUserData = &calls;
    context.scanProgress = [](void* user, int, int, int, uint64_t, uint64_t, uint64_t, int) {
        ++*static_cast<int*>(user);
        return int(kScanCancelled);
    };
    const Sized sized = SizeAt(medium, 0, std::move(context));
    EXPECT_EQ(sized.result, kScanCancelled);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(sized.valid);
    EXPECT_LT(sized.length, file.size());
}

// --- MXF ----------------------------------------------------------------------------------

constexpr std::string_view kPartitionKey = "\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01"sv;
constexpr std::string_view kRipKey = "\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01\x11\x01\x00"sv;
constexpr std::string_view kEssenceKey = "\x06\x0E\x2B\x34\x01\x02\x01\x01\x0D\x01\x03\x01\x15\x01\x05\x00"sv;

Bytes Partition(uint8_t kind, uint64_t thisPartition, uint64_t footer) {
    Bytes out;
    PutText(out, kPartitionKey);
    out.push_back(kind);
    out.push_back(0x04);
    out.push_back(0x00);
    out.push_back(0x83);
    PutBe(out, 88, 3);
    PutBe(out, 0x00010003, 4);
    PutBe(out, 1, 4);
    PutBe(out, thisPartition, 8);
    PutBe(out, 0, 8);
    PutBe(out, footer, 8);
    out.resize(out.size() + 88 - 32, 0);
    return out;
}
Bytes Essence(size_t bytes, uint64_t stated = 0) {
    Bytes out;
    PutText(out, kEssenceKey);
    out.push_back(0x84);
    PutBe(out, stated ? stated : bytes, 4);
    for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(i * 13 + 5));
    return out;
}
Bytes Rip(uint32_t statedDelta = 0) {
    Bytes out;
    PutText(out, kRipKey);
    out.push_back(0x81);
    out.push_back(12 + 4);
    PutBe(out, 0, 12);
    PutBe(out, 16 + 2 + 16 + statedDelta, 4);
    return out;
}
// Header, essence, footer and random index pack; `footerField` is what the header says of
// the footer's place (the true place unless given).
Bytes Mxf(uint64_t footerField = ~0ull, size_t essence = 5000, bool rip = true) {
    const uint64_t headerBytes = Partition(2, 0, 0).size();
    const uint64_t footerAt = headerBytes + Essence(essence).size();
    return Join({Partition(2, 0, footerField == ~0ull ? footerAt : footerField), Essence(essence),
                 Partition(4, footerAt, footerAt), rip ? Rip() : Bytes{}});
}

TEST(MxfSizing, EndsAtTheIndexPackOrTheFooterWithOrWithoutTheHeadersPointer) {
    const Bytes closed = Mxf();
    const Bytes open = Mxf(0);            // an open header names no footer: walked item by item
    const Bytes wrong = Mxf(200);         // a footer pointer that lands mid-item is not trusted
    const Bytes noRip = Mxf(~0ull, 4000, false);
    for (const Bytes* file : {&closed, &open, &wrong, &noRip}) {
        SCOPED_TRACE(file - &closed);
        Medium medium(64);
        medium.Noise(0, 64, 9).Put(3, *file);
        medium.Put(3 + (file->size() + kSector - 1) / kSector, Mxf());
        const Sized sized = SizeAt(medium, 3);
        EXPECT_EQ(sized.type, kMxf);
        EXPECT_EQ(sized.length, file->size());
        EXPECT_TRUE(sized.valid);
    }
    const Bytes real = RealFile("studio.mxf");
    if (real.empty()) GTEST_SKIP() << "ffmpeg is missing";
    Bytes walked = real;  // the same file with its footer pointer cleared
    std::memset(walked.data() + 20 + 24, 0, 8);
    for (const Bytes* file : std::initializer_list<const Bytes*>{&real, &walked}) {
        Medium medium(file->size() / kSector + 8);
        medium.Noise(0, file->size() / kSector + 8, 4).Put(1, *file);
        const Sized sized = SizeAt(medium, 1);
        EXPECT_EQ(sized.length, file->size());
        EXPECT_TRUE(sized.valid);
    }
}

TEST(MxfSizing, BrokenStructuresEndQuicklyAsDamagedFinds) {
    Bytes misplaced = Mxf(0);  // a footer that claims another place
    misplaced[Partition(2, 0, 0).size() + Essence(5000).size() + 20 + 15] ^= 0x40;
    struct Case {
        const char* what;
        Bytes file;
    };
    const Case cases[] = {
        {"no footer", Join({Partition(2, 0, 0), Essence(5000)})},
        {"item past the medium", Join({Partition(2, 0, 0), Essence(100, 1u << 30)})},
        {"huge BER length", Join({Partition(2, 0, 0), Bytes(kEssenceKey.begin(), kEssenceKey.end()),
                                  Bytes{0x88, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}})},
        {"index pack of the wrong length", Join({Mxf(~0ull, 5000, false), Rip(3)})},
        {"misplaced footer", misplaced},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Medium medium(128);
        medium.Put(2, c.file);
        const Sized sized = SizeAt(medium, 2);
        EXPECT_EQ(sized.type, kMxf);
        EXPECT_FALSE(sized.valid);
        EXPECT_GT(sized.length, 0u);
        EXPECT_LE(sized.length, (128 - 2) * kSector);
    }
}

}  // namespace
}  // namespace norvale
