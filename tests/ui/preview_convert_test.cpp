// The converters of the preview over real files made by the usual tools (ImageMagick,
// Ghostscript, zip, 7z, gzip) and over damaged copies of them: pictures keep their size, the
// first page of a PDF is drawn, office documents give their text, archives their listing, and
// damage never crashes or reads without bound.

#include "app/preview_convert.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <fstream>

#include "app/preview_archive.h"
#include "app/preview_office.h"
#include "app/preview_picture.h"
#include "app/preview_text.h"
#include "engine/recovered_item.h"
#include "support/test_support.h"
#include "ui/qt_test_app.h"

namespace norvale {
namespace {

using testing::HaveTool;
using testing::RunShell;
using testing::TempDir;

void WriteText(const std::string& path, const std::string& text) {
    const size_t slash = path.rfind('/');
    RunShell("mkdir -p '" + path.substr(0, slash) + "'");
    std::ofstream(path, std::ios::binary) << text;
}

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

class PreviewConvertTest : public ::testing::Test {
  protected:
    void SetUp() override { testing::TestApplication(); }
    std::string Path(const std::string& name) const { return dir_ / name; }
    // Zips the files (paths relative to `folder`) into `archive`.
    void Zip(const std::string& folder, const std::string& archive, const std::string& files) {
        ASSERT_EQ(RunShell("cd '" + folder + "' && zip -q -X -r '" + archive + "' " + files), 0);
    }

    TempDir dir_;
};

const char* kWordXml =
    R"(<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<w:document xmlns:w="http://schemas.openxmlformats.org/wordprocessingml/2006/main">
<w:body>
<w:p><w:r><w:t>First paragraph</w:t></w:r></w:p>
<w:p><w:r><w:t xml:space="preserve">Fish &amp; </w:t></w:r><w:r><w:tab/><w:t>chips</w:t></w:r></w:p>
<w:p><w:r><w:delText>not this</w:delText><w:t>Ü-umlaut</w:t></w:r></w:p>
</w:body></w:document>)";

// ---- pictures ------------------------------------------------------------------------------

TEST_F(PreviewConvertTest, PhotosKeepTheirSizeWhateverTheCopyIsCalled) {
    if (!HaveTool("convert")) GTEST_SKIP() << "ImageMagick missing";
    // The engine always writes pictures to "tmp.jpg": a PNG under that name still decodes.
    ASSERT_EQ(RunShell("convert -size 40x30 xc:red '" + Path("photo.jpg") + "'"), 0);
    ASSERT_EQ(RunShell("convert -size 7x5 xc:blue png:'" + Path("tmp.jpg") + "'"), 0);
    const auto jpeg = LoadPreviewPicture(Q(Path("photo.jpg")));
    ASSERT_TRUE(jpeg);
    EXPECT_EQ(jpeg->originalSize, QSize(40, 30));
    EXPECT_EQ(jpeg->image.size(), QSize(40, 30));
    const auto png = LoadPreviewPicture(Q(Path("tmp.jpg")));
    ASSERT_TRUE(png);
    EXPECT_EQ(png->originalSize, QSize(7, 5));
    EXPECT_EQ(QColor(png->image.pixel(3, 2)), QColor(Qt::blue));
}

TEST_F(PreviewConvertTest, LargePhotoIsDecodedScaledButReportsItsOwnSize) {
    if (!HaveTool("convert")) GTEST_SKIP() << "ImageMagick missing";
    ASSERT_EQ(RunShell("convert -size 6000x300 xc:white '" + Path("wide.jpg") + "'"), 0);
    const auto picture = LoadPreviewPicture(Q(Path("wide.jpg")));
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->originalSize, QSize(6000, 300));
    EXPECT_EQ(picture->image.width(), kMaxPreviewPictureSide);
    EXPECT_NEAR(picture->image.height(), 300 * kMaxPreviewPictureSide / 6000, 1);
}

// A camera RAW file as a DNG writes it: the sensor data (16-bit colour filter array, which no
// picture reader decodes) in the first directory, and a small RGB thumbnail in a sub-directory.
std::string CameraRawWithThumbnail(int thumbWidth, int thumbHeight, QColor colour) {
    struct Tag {
        uint16_t tag, type;
        uint32_t count;
        std::string value;  // little-endian bytes
    };
    auto le = [](uint64_t v, int bytes) {
        std::string out;
        for (int i = 0; i < bytes; ++i) out += char((v >> (8 * i)) & 0xff);
        return out;
    };
    auto l32 = [&](uint32_t v) { return Tag{0, 4, 1, le(v, 4)}; };
    auto tag = [](uint16_t id, Tag t) { return t.tag = id, t; };
    auto shorts = [&](std::initializer_list<uint16_t> vs) {
        std::string out;
        for (uint16_t v : vs) out += le(v, 2);
        return Tag{0, 3, uint32_t(vs.size()), out};
    };
    std::string file = "II*" + le(0, 1) + le(8, 4);
    auto writeDirectory = [&](size_t at, const std::vector<Tag>& tags) {
        file.resize(std::max(file.size(), at));
        std::string dir = le(tags.size(), 2), values;
        size_t valueAt = at + 2 + tags.size() * 12 + 4;
        for (const Tag& t : tags) {
            dir += le(t.tag, 2) + le(t.type, 2) + le(t.count, 4);
            if (t.value.size() <= 4) {
                dir += t.value + std::string(4 - t.value.size(), '\0');
            } else {
                dir += le(valueAt + values.size(), 4);
                values += t.value + std::string(t.value.size() % 2, '\0');
            }
        }
        file.replace(at, std::string::npos, dir + le(0, 4) + values);
    };
    const uint32_t side = 32, sub = 512, thumb = 1024;
    const uint32_t thumbBytes = uint32_t(thumbWidth * thumbHeight * 3);
    const uint32_t sensor = thumb + thumbBytes;
    writeDirectory(
        8, {tag(0xfe, l32(0)), tag(0x100, l32(side)), tag(0x101, l32(side)),
            tag(0x102, shorts({16})), tag(0x103, shorts({1})), tag(0x106, shorts({32803})),
            tag(0x111, l32(sensor)), tag(0x115, shorts({1})), tag(0x116, l32(side)),
            tag(0x117, l32(side * side * 2)), tag(0x14a, l32(sub)), tag(0x828d, shorts({2, 2})),
            Tag{0x828e, 1, 4, std::string("\0\1\1\2", 4)},
            Tag{0xc612, 1, 4, std::string("\1\4\0\0", 4)},
            Tag{0xc614, 2, 12, std::string("Test camera", 12)}});
    writeDirectory(sub, {tag(0xfe, l32(1)), tag(0x100, l32(uint32_t(thumbWidth))),
                         tag(0x101, l32(uint32_t(thumbHeight))), tag(0x102, shorts({8, 8, 8})),
                         tag(0x103, shorts({1})), tag(0x106, shorts({2})), tag(0x111, l32(thumb)),
                         tag(0x115, shorts({3})), tag(0x116, l32(uint32_t(thumbHeight))),
                         tag(0x117, l32(thumbBytes))});
    file.resize(thumb);
    for (int i = 0; i < thumbWidth * thumbHeight; ++i)
        file += {char(colour.red()), char(colour.green()), char(colour.blue())};
    for (uint32_t i = 0; i < side * side; ++i) file += le(1000, 2);
    return file;
}

TEST_F(PreviewConvertTest, CameraRawShowsTheThumbnailTheCameraStored) {
    WriteText(Path("IMG_0001.dng"), CameraRawWithThumbnail(24, 12, QColor(200, 30, 40)));
    const auto picture = LoadPreviewPicture(Q(Path("IMG_0001.dng")));
    ASSERT_TRUE(picture);
    EXPECT_TRUE(picture->fromRaw);
    EXPECT_EQ(picture->originalSize, QSize(24, 12));
    EXPECT_EQ(QColor(picture->image.pixel(5, 5)), QColor(200, 30, 40));
    // Cut short (a carved file that ran into other data): a part or nothing, never a crash.
    const std::string whole = CameraRawWithThumbnail(24, 12, QColor(200, 30, 40));
    for (size_t keep : {size_t(100), size_t(600), size_t(1100), whole.size() - 10}) {
        WriteText(Path("cut.dng"), whole.substr(0, keep));
        LoadPreviewPicture(Q(Path("cut.dng")));
    }
}

TEST_F(PreviewConvertTest, DamagedOrForeignPictureBytesNeverCrash) {
    if (!HaveTool("convert")) GTEST_SKIP() << "ImageMagick missing";
    ASSERT_EQ(RunShell("convert -size 64x48 gradient:red-blue '" + Path("cut.jpg") + "'"), 0);
    testing::TruncateAt(Path("cut.jpg"), 300);
    LoadPreviewPicture(Q(Path("cut.jpg")));  // a partial picture or none: either is fine
    WriteText(Path("garbage.jpg"), std::string(5000, '\x5a'));
    EXPECT_FALSE(LoadPreviewPicture(Q(Path("garbage.jpg"))));
    WriteText(Path("empty.jpg"), "");
    EXPECT_FALSE(LoadPreviewPicture(Q(Path("empty.jpg"))));
    EXPECT_FALSE(LoadPreviewPicture(Q(Path("missing.jpg"))));
}

// ---- PDF -----------------------------------------------------------------------------------

TEST_F(PreviewConvertTest, FirstPageOfPdfIsDrawnWithThePageShape) {
    if (!HaveTool("gs")) GTEST_SKIP() << "Ghostscript missing";
    // Two pages, the first 200 x 400 points with a thick black line on it.
    ASSERT_EQ(RunShell("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite -o '" + Path("two.pdf") +
                       "' -c '<</PageSize [200 400]>> setpagedevice 20 setlinewidth newpath 20 20 "
                       "moveto 180 380 lineto stroke showpage <</PageSize [400 100]>> "
                       "setpagedevice showpage'"),
              0);
    const QImage page = RenderPdfFirstPage(Q(Path("two.pdf")), 800);
    ASSERT_FALSE(page.isNull());
    EXPECT_EQ(page.height(), 800);
    EXPECT_NEAR(page.width(), 400, 2);
    bool dark = false;
    for (int y = 0; y < page.height() && !dark; y += 4)
        for (int x = 0; x < page.width() && !dark; x += 4) dark = qGray(page.pixel(x, y)) < 64;
    EXPECT_TRUE(dark) << "the line of the first page is drawn";

    testing::TruncateAt(Path("two.pdf"), 120);
    RenderPdfFirstPage(Q(Path("two.pdf")));  // damaged: no crash, picture or not
    WriteText(Path("fake.pdf"), "%PDF-1.4\nnothing here\n");
    EXPECT_TRUE(RenderPdfFirstPage(Q(Path("fake.pdf"))).isNull());
}

// ---- office documents ----------------------------------------------------------------------

TEST_F(PreviewConvertTest, WordDocumentGivesItsParagraphs) {
    if (!HaveTool("zip")) GTEST_SKIP() << "zip missing";
    WriteText(Path("doc/[Content_Types].xml"), "<Types/>");
    WriteText(Path("doc/word/document.xml"), kWordXml);
    Zip(Path("doc"), Path("letter.docx"), "'[Content_Types].xml' word");
    const auto text = OfficeZipText(Q(Path("letter.docx")));
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, QString::fromUtf8("First paragraph\nFish & \tchips\nÜ-umlaut\n"));
    // The same through the converter entry, as the preview calls it.
    const auto converted = ConvertOfficeText(Q(Path("letter.docx")), PreviewConverter::kWord);
    ASSERT_TRUE(converted);
    EXPECT_EQ(*converted, *text);
}

TEST_F(PreviewConvertTest, SpreadsheetSlidesAndOpenDocumentGiveTheirText) {
    if (!HaveTool("zip")) GTEST_SKIP() << "zip missing";
    WriteText(Path("xl/xl/sharedStrings.xml"),
              R"(<sst xmlns="x"><si><t>Name</t></si><si><r><t>Total </t></r><r><t>sum</t></r>)"
              R"(<rPh><t>phonetic</t></rPh></si></sst>)");
    Zip(Path("xl"), Path("book.xlsx"), "xl");
    EXPECT_EQ(OfficeZipText(Q(Path("book.xlsx"))).value_or("<none>"), "Name\nTotal sum\n");

    // Slides in their numbered order, not the order of the names: 2 before 10.
    for (int n : {10, 2, 1})
        WriteText(Path("pp/ppt/slides/slide" + std::to_string(n) + ".xml"),
                  "<p:sld xmlns:p='p' xmlns:a='a'><a:p><a:r><a:t>Slide " + std::to_string(n) +
                      "</a:t></a:r></a:p></p:sld>");
    WriteText(Path("pp/ppt/slides/_rels/slide1.xml.rels"), "<Relationships/>");
    Zip(Path("pp"), Path("talk.pptx"), "ppt");
    EXPECT_EQ(OfficeZipText(Q(Path("talk.pptx"))).value_or("<none>"),
              "Slide 1\n\nSlide 2\n\nSlide 10\n");

    WriteText(Path("od/content.xml"),
              R"(<office:document-content xmlns:office="o" xmlns:text="t"><office:meta>)"
              R"(hidden</office:meta><office:body><office:text><text:h>Title</text:h>)"
              R"(<text:p>one<text:s/>two<text:tab/>three</text:p></office:text></office:body>)"
              R"(</office:document-content>)");
    Zip(Path("od"), Path("notes.odt"), "content.xml");
    EXPECT_EQ(OfficeZipText(Q(Path("notes.odt"))).value_or("<none>"), "Title\none two\tthree\n");
}

TEST_F(PreviewConvertTest, DamagedOfficeZipsGiveWhatIsThereOrNothing) {
    if (!HaveTool("zip")) GTEST_SKIP() << "zip missing";
    // XML cut in the middle: the text before the cut.
    WriteText(Path("cut/word/document.xml"), std::string(kWordXml).substr(0, 260));
    Zip(Path("cut"), Path("cut.docx"), "word");
    const QString cut = OfficeZipText(Q(Path("cut.docx"))).value_or("<none>");
    EXPECT_TRUE(cut.startsWith("First paragraph\nFish & ")) << cut.toStdString();
    EXPECT_FALSE(cut.contains("chips"));
    // A zip without any text part, and bytes that are no zip.
    WriteText(Path("other/readme.txt"), "hello");
    Zip(Path("other"), Path("other.docx"), "readme.txt");
    EXPECT_FALSE(OfficeZipText(Q(Path("other.docx"))));
    WriteText(Path("plain.docx"), std::string(3000, 'q'));
    EXPECT_FALSE(OfficeZipText(Q(Path("plain.docx"))));
    // A zip cut short anywhere: no crash.
    const std::vector<uint8_t> whole = testing::ReadFileBytes(Path("cut.docx"));
    for (size_t n = 0; n < whole.size(); n += 7) {
        OfficeZipTextFromBytes(
            QByteArrayView(reinterpret_cast<const char*>(whole.data()), qsizetype(n)));
    }
}

TEST_F(PreviewConvertTest, ExplodingMemberIsCutAtTheLimit) {
    if (!HaveTool("zip")) GTEST_SKIP() << "zip missing";
    // 48 MiB of zeros compress to a few dozen KiB.
    ASSERT_EQ(RunShell("mkdir -p '" + Path("bomb/word") + "' && head -c 50331648 /dev/zero > '" +
                       Path("bomb/word/document.xml") + "'"),
              0);
    Zip(Path("bomb"), Path("bomb.docx"), "word");
    ::unlink(Path("bomb/word/document.xml").c_str());
    ArchiveLimits limits;
    limits.maxMemberBytes = 1 << 20;
    std::vector<ZipMember> members;
    ASSERT_TRUE(ReadZipMembers(
        Q(Path("bomb.docx")), [](const QString&) { return true; }, members, limits));
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(members[0].data.size(), 1 << 20);
    EXPECT_FALSE(members[0].complete);
}

// A stand-in program (LibreOffice, the media probe) running `body`.
std::string FakeOffice(const TempDir& dir, const std::string& body) {
    static int made = 0;
    const std::string path = dir / ("fake-program-" + std::to_string(++made));
    WriteText(path, "#!/bin/sh\n" + body);
    ::chmod(path.c_str(), 0755);
    return path;
}

TEST_F(PreviewConvertTest, LegacyDocumentGoesThroughTheOfficeProgram) {
    if (!HaveTool("zip")) GTEST_SKIP() << "zip missing";
    WriteText(Path("doc/word/document.xml"), kWordXml);
    Zip(Path("doc"), Path("prepared.docx"), "word");
    WriteText(Path("old.doc"), std::string("\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", 8) + "binary");
    const std::string fake =
        FakeOffice(dir_,
                   "out=''; for a; do [ \"$prev\" = --outdir ] && out=$a; prev=$a; done\n"
                   "[ \"$5\" = --convert-to ] && [ \"$6\" = docx ] || exit 3\n"
                   "cp '" +
                       Path("prepared.docx") + "' \"$out/old.docx\"\n");
    OfficeConvertOptions options;
    options.program = Q(fake);
    options.workFolder = Q(dir_.Path());
    const auto text = ConvertOfficeText(Q(Path("old.doc")), PreviewConverter::kWord, options);
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->startsWith("First paragraph\n"));
    // The conversion's folder goes with it.
    EXPECT_EQ(RunShell("ls -d '" + dir_.Path() + "'/office-* 2>/dev/null"), 2);

    // Without the program, or when it fails, there is no text (the caller shows raw bytes).
    options.program = Q(FakeOffice(dir_, "exit 1\n"));
    EXPECT_FALSE(ConvertOfficeText(Q(Path("old.doc")), PreviewConverter::kWord, options));
    options.program = Q(dir_ / "no-such-program");
    EXPECT_FALSE(ConvertOfficeText(Q(Path("old.doc")), PreviewConverter::kWord, options));
}

// True when process `pid` has ended (gone, or a zombie nobody reaped yet).
bool Ended(const std::string& pidFile) {
    std::ifstream in(pidFile);
    int pid = 0;
    if (!(in >> pid) || pid <= 0) return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    const size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

TEST_F(PreviewConvertTest, HungOfficeProgramIsEndedAtTheTimeLimit) {
    WriteText(Path("old.xls"), "not a zip");
    // The helper it starts must end with it: it shares the program's process group.
    const std::string fake =
        FakeOffice(dir_, "sleep 30 & echo $! > '" + Path("helper.pid") + "'\necho $$ > '" +
                             Path("main.pid") + "'\nsleep 30\n");
    OfficeConvertOptions options;
    options.program = Q(fake);
    options.workFolder = Q(dir_.Path());
    options.timeoutMs = 300;
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(ConvertOfficeText(Q(Path("old.xls")), PreviewConverter::kExcel, options));
    EXPECT_LT(clock.elapsed(), 5000);
    for (int i = 0; i < 50 && !(Ended(Path("main.pid")) && Ended(Path("helper.pid"))); ++i)
        ::usleep(20000);
    EXPECT_TRUE(Ended(Path("main.pid")));
    EXPECT_TRUE(Ended(Path("helper.pid")));
}

// ---- archives ------------------------------------------------------------------------------

TEST_F(PreviewConvertTest, ArchivesOfEachFormatListTheirEntries) {
    if (!HaveTool("zip") || !HaveTool("tar")) GTEST_SKIP() << "zip or tar missing";
    WriteText(Path("tree/a.txt"), "alpha");
    WriteText(Path("tree/sub/b.bin"), std::string(1234, 'b'));
    Zip(Path("tree"), Path("t.zip"), "a.txt sub");
    ASSERT_EQ(RunShell("tar -czf '" + Path("t.tar.gz") + "' -C '" + Path("tree") + "' a.txt sub"),
              0);
    std::vector<std::string> archives = {"t.zip", "t.tar.gz"};
    if (HaveTool("7z")) {
        ASSERT_EQ(RunShell("cd '" + Path("tree") + "' && 7z a -bd -y '" + Path("t.7z") +
                           "' a.txt sub >/dev/null"),
                  0);
        archives.push_back("t.7z");
    }
    for (const std::string& name : archives) {
        SCOPED_TRACE(name);
        const ArchiveListing listing = ListArchive(Q(Path(name)));
        EXPECT_TRUE(listing.opened);
        EXPECT_FALSE(listing.truncated);
        EXPECT_FALSE(listing.damaged);
        bool sawA = false, sawB = false, sawFolder = false;
        for (const ArchiveEntry& e : listing.entries) {
            if (e.path == "a.txt") sawA = e.size == 5 && !e.folder;
            if (e.path == "sub/b.bin") sawB = e.size == 1234;
            if (e.path.startsWith("sub") && e.folder) sawFolder = true;
        }
        EXPECT_TRUE(sawA && sawB && sawFolder);
    }
}

TEST_F(PreviewConvertTest, LoneCompressedFileIsOneEntryAndPlainBytesAreNoArchive) {
    if (!HaveTool("gzip")) GTEST_SKIP() << "gzip missing";
    WriteText(Path("notes.txt"), "some notes");
    ASSERT_EQ(RunShell("gzip -k '" + Path("notes.txt") + "'"), 0);
    const ArchiveListing lone = ListArchive(Q(Path("notes.txt.gz")), "notes.txt");
    ASSERT_TRUE(lone.opened);
    ASSERT_EQ(lone.entries.size(), 1u);
    EXPECT_EQ(lone.entries[0].path, "notes.txt");
    // Text saved as ".zip", garbage, nothing: not archives, so the raw bytes are shown.
    EXPECT_FALSE(ListArchive(Q(Path("notes.txt"))).opened);
    EXPECT_FALSE(ListArchiveBytes(QByteArray(4096, '\x37')).opened);
    EXPECT_FALSE(ListArchive(Q(Path("missing.zip"))).opened);
}

TEST_F(PreviewConvertTest, ListingStopsAtTheEntryLimitAndAtDamage) {
    if (!HaveTool("tar")) GTEST_SKIP() << "tar missing";
    for (int i = 0; i < 30; ++i) WriteText(Path("many/f" + std::to_string(i)), "x");
    ASSERT_EQ(RunShell("tar -cf '" + Path("many.tar") + "' -C '" + Path("many") + "' ."), 0);
    ArchiveLimits limits;
    limits.maxEntries = 10;
    const ArchiveListing capped = ListArchive(Q(Path("many.tar")), "data", limits);
    EXPECT_TRUE(capped.truncated);
    EXPECT_EQ(capped.entries.size(), 10u);

    // A tar cut inside the data of its second member: the members up to the cut are listed,
    // and the damage is said.
    for (const char* name : {"one", "two", "three"})
        WriteText(Path("big/") + name, std::string(10000, 'd'));
    ASSERT_EQ(RunShell("tar -cf '" + Path("big.tar") + "' -C '" + Path("big") + "' one two three"),
              0);
    testing::TruncateAt(Path("big.tar"), 512 + 10240 + 512 + 5000);
    const ArchiveListing cut = ListArchive(Q(Path("big.tar")));
    EXPECT_TRUE(cut.opened);
    EXPECT_TRUE(cut.damaged);
    ASSERT_EQ(cut.entries.size(), 2u);
    EXPECT_EQ(cut.entries[1].path, "two");

    // A zip cut anywhere: no crash.
    if (!HaveTool("zip")) GTEST_SKIP() << "zip missing: zips cut short not tried";
    Zip(Path("many"), Path("many.zip"), ".");
    const std::vector<uint8_t> whole = testing::ReadFileBytes(Path("many.zip"));
    for (size_t n = 0; n < whole.size(); n += 13)
        ListArchiveBytes(QByteArrayView(reinterpret_cast<const char*>(whole.data()), qsizetype(n)));
}

// ---- text ----------------------------------------------------------------------------------

TEST(PreviewText, BytesShowAsTextInTheirEncodingWithoutControlCharacters) {
    EXPECT_EQ(PreviewBytesAsText("caf\xc3\xa9\r\nline\ttwo"), QString::fromUtf8("café\nline\ttwo"));
    EXPECT_EQ(PreviewBytesAsText(QByteArrayView("\xff\xfeh\0i\0", 6)), "hi");
    EXPECT_EQ(PreviewBytesAsText(QByteArrayView("a\0b\x01\x1b", 5)), "a.b..");
    // Not UTF-8: one character per byte.
    EXPECT_EQ(PreviewBytesAsText("caf\xe9"), QString::fromUtf8("café"));
    // A character cut by the end of a partial read is dropped, the rest stays UTF-8; the same
    // bytes as a whole file are not UTF-8.
    EXPECT_EQ(PreviewBytesAsText("\xc3\xa9t\xe2\x82", true), QString::fromUtf8("ét"));
    EXPECT_EQ(PreviewBytesAsText("\xc3\xa9t\xc3", false), QString::fromLatin1("\xc3\xa9t\xc3"));
}

// ---- the whole preparation -----------------------------------------------------------------

class PrepareTest : public PreviewConvertTest {
  protected:
    PreviewRequest Request(const std::string& itemName, const std::string& file) {
        PreviewRequest request;
        request.item.SetName(itemName);
        request.kind = DecidePreviewKind(itemName);
        request.tempPath = file.empty() ? "" : Path(file);
        return request;
    }
};

TEST_F(PrepareTest, EachKindOfCopyLandsOnItsPage) {
    // Media reach the player only when the probe finds a stream in them.
    WriteText(Path("tmp.avi"), "RIFF....AVI ");
    PreviewConvertOptions probeFinds;
    probeFinds.mediaProbe = Q(FakeOffice(dir_, "echo video\n"));
    PreviewContent media = PreparePreviewContent(Request("clip.avi", "tmp.avi"), probeFinds);
    EXPECT_EQ(media.page, PreviewPage::kMedia);
    EXPECT_EQ(media.mediaPath, Q(Path("tmp.avi")));
    EXPECT_FALSE(media.audio);
    EXPECT_TRUE(PreparePreviewContent(Request("song.mp3", "tmp.avi"), probeFinds).audio);
    PreviewConvertOptions probeFails;
    probeFails.mediaProbe = Q(FakeOffice(dir_, "echo damaged >&2; exit 1\n"));
    EXPECT_EQ(PreparePreviewContent(Request("clip.avi", "tmp.avi"), probeFails).messageKey,
              "MSG1207");

    // A picture that cannot be decoded: the picture message.
    WriteText(Path("tmp.jpg"), "not a picture");
    PreviewContent picture = PreparePreviewContent(Request("photo.jpg", "tmp.jpg"));
    EXPECT_EQ(picture.page, PreviewPage::kText);
    EXPECT_EQ(picture.messageKey, "MSG0905");

    // Converters that fail show the first 8,192 bytes as text.
    WriteText(Path("report.pdf"), std::string(20000, 'P'));
    PreviewContent pdf = PreparePreviewContent(Request("report.pdf", "report.pdf"));
    EXPECT_EQ(pdf.page, PreviewPage::kText);
    EXPECT_EQ(pdf.text, QString(8192, u'P'));
    WriteText(Path("old.doc"), std::string(9000, 'D'));
    OfficeConvertOptions noOffice;
    noOffice.program = Q(Path("no-office"));
    PreviewConvertOptions options;
    options.office = noOffice;
    EXPECT_EQ(PreparePreviewContent(Request("old.doc", "old.doc"), options).text.size(), 8192);
    WriteText(Path("fake.zip"), "just text");
    EXPECT_EQ(PreparePreviewContent(Request("fake.zip", "fake.zip")).text, "just text");

    // Bytes in memory: text. Nothing extracted, or a copy that is gone: the empty page.
    PreviewRequest inMemory = Request("notes.txt", "");
    inMemory.memory = {'h', 'i', '!', 'x'};
    inMemory.memoryBytes = 3;
    EXPECT_EQ(PreparePreviewContent(inMemory).text, "hi!");
    EXPECT_EQ(PreparePreviewContent(Request("notes.txt", "")).page, PreviewPage::kEmpty);
    EXPECT_EQ(PreparePreviewContent(Request("photo.jpg", "gone.jpg")).page, PreviewPage::kEmpty);
}

}  // namespace
}  // namespace norvale
