#include "carving/signature_table.h"

#include <array>
#include <string_view>

#include "carving/formats/formats.h"

namespace norvale {
namespace {

using enum FileTypeCode;
using namespace std::string_view_literals;

// One row per line; the order is behaviour (see signature_table.h).
constexpr std::array<SignatureRow, kSignatureRowCount> kRows{{
    {"mpeg", kMpeg, DetectMpegStream, SizeMpegEndCode},
    {"mpg", kMpeg, DetectMpegStream, SizeMpegEndCode},
    {"vob", kMpeg, DetectMpegStream, SizeMpegEndCode},
    {"mp4", kMp4, DetectMp4, SizeIsoMedia},
    {"rmvb", kRmvb, DetectRealMedia, SizeRealMedia},
    {"rm", kRmvb, DetectRealMedia, SizeRealMedia},
    {"wmv", kWmv, DetectAsf, SizeAsf},
    {"asf", kWmv, DetectAsf, SizeAsf},
    {"wma", kWmv, DetectAsf, SizeAsf},
    {"swf", kSwf, DetectSwf, SizeSwf},
    {"avi", kAvi, DetectAvi, SizeRiff},
    {"flv", kFlv, DetectFlv, SizeFlv},
    {"3gp", k3gp, Detect3gp, SizeIsoMedia},
    {"mkv", kMkv, DetectMatroska, SizeMatroska},
    {"ts", kTs, DetectTransportStream, SizeTransportStream},
    {"mts", kMts, DetectBdav, SizeBdav},
    {"mxf", kMxf, DetectMxf, SizeMxf},
    {"mp3", kMp3, DetectId3Mp3, SizeMp3},
    {"mid", kMid, DetectMidi, SizeMidi},
    {"ape", kApe, DetectApe, SizeApe},
    {"wav", kWav, DetectWave, SizeRiff},
    {"mov", kMov, DetectQuickTime, SizeIsoMedia},
    {"mp2", kMp2, DetectMpegAudioFrame, SizeMpegAudioFrames},
    {"mmf", kMmf, DetectSmaf, SizeSmaf},
    {"gif", kGif, DetectGif, SizeGif},
    {"bmp", kBmp, DetectBmp, SizeBmp},
    {"dib", kBmp, DetectBmp, SizeBmp},
    {"jpg", kJpg, DetectJpeg, SizeJpeg},
    {"jpeg", kJpg, DetectJpeg, SizeJpeg},
    {"jpe", kJpg, DetectJpeg, SizeJpeg},
    {"jfif", kJpg, DetectJpeg, SizeJpeg},
    {"png", kPng, DetectPng, SizePng},
    {"psd", kPsd, DetectPsd, SizePsd},
    {"tif", kTif, DetectTiff, SizeTiff},
    {"tiff", kTif, DetectTiff, SizeTiff},
    {"ico", kIco, DetectIcon, SizeIcon},
    {"doc", kDoc, DetectCompoundFile, SizeCompoundFile},
    {"dot", kDoc, DetectCompoundFile, SizeCompoundFile},
    {"wps", kDoc, DetectCompoundFile, SizeCompoundFile},
    {"wpt", kDoc, DetectCompoundFile, SizeCompoundFile},
    {"xls", kXls, DetectCompoundFile, SizeCompoundFile},
    {"xlt", kXls, DetectCompoundFile, SizeCompoundFile},
    {"xla", kXls, DetectCompoundFile, SizeCompoundFile},
    {"et", kXls, DetectCompoundFile, SizeCompoundFile},
    {"ett", kXls, DetectCompoundFile, SizeCompoundFile},
    {"ppt", kPpt, DetectCompoundFile, SizeCompoundFile},
    {"pot", kPpt, DetectCompoundFile, SizeCompoundFile},
    {"pps", kPpt, DetectCompoundFile, SizeCompoundFile},
    {"dps", kPpt, DetectCompoundFile, SizeCompoundFile},
    {"dpt", kPpt, DetectCompoundFile, SizeCompoundFile},
    {"ole", kOle, DetectCompoundFile, SizeCompoundFile},
    {"docx", kDocx, DetectOoxml, SizeOoxml},
    {"docm", kDocx, DetectOoxml, SizeOoxml},
    {"dotm", kDocx, DetectOoxml, SizeOoxml},
    {"dotx", kDocx, DetectOoxml, SizeOoxml},
    {"xlsx", kXlsx, DetectOoxml, SizeOoxml},
    {"xlsb", kXlsx, DetectOoxml, SizeOoxml},
    {"xlsm", kXlsx, DetectOoxml, SizeOoxml},
    {"xlsx", kXlsx, DetectOoxml, SizeOoxml},
    {"xlam", kXlsx, DetectOoxml, SizeOoxml},
    {"xltx", kXlsx, DetectOoxml, SizeOoxml},
    {"xltm", kXlsx, DetectOoxml, SizeOoxml},
    {"pptx", kPptx, DetectOoxml, SizeOoxml},
    {"pptm", kPptx, DetectOoxml, SizeOoxml},
    {"potx", kPptx, DetectOoxml, SizeOoxml},
    {"potm", kPptx, DetectOoxml, SizeOoxml},
    {"ppsx", kPptx, DetectOoxml, SizeOoxml},
    {"ppsm", kPptx, DetectOoxml, SizeOoxml},
    {"mso07", kMso07, DetectOoxml, SizeOoxml},
    {"pdf", kPdf, DetectPdf, SizePdf},
    {"gz", kGz, DetectGzip, SizeGzip},
    {"gzip", kGz, DetectGzip, SizeGzip},
    {"7z", k7z, Detect7Zip, Size7Zip},
    {"zip", kZip, DetectZip, SizeZip},
    {"rar", kRar, DetectRar, SizeRar},
    {"cab", kCab, DetectCabinet, SizeCabinet},
    {"exe", kExe, DetectPeImage, nullptr},
    {"dll", kDll, DetectPeImage, nullptr},
    {"sys", kSys, DetectPeImage, nullptr},
    {"gho", kGho, DetectDiskImageBackup, nullptr},
    {"db", kDb, DetectSqlite, SizeSqlite},
    {"dbx", kDbx, DetectOutlookExpress, SizeOutlookExpress},
    {"pst", kPst, DetectOutlookStore, SizeOutlookStore},
    {"fla", kFla, DetectCompoundFilePrefix, SizeBoundaryOnly256MiB},
    {"ttf", kTtf, DetectTrueType, SizeTrueType},
    {"ico", kIco, DetectIcon, SizeIcon},
    // Families added later. A detector of an earlier row that sees one of these answers its
    // code (a TIFF detector seeing a CR2, an ISO media detector seeing a HEIC), so the file
    // takes this row's extension and sizer.
    {"cr2", kCr2, DetectCr2, SizeTiff},
    {"nef", kNef, DetectNef, SizeTiff},
    {"nrw", kNef, DetectNef, SizeTiff},
    {"arw", kArw, DetectArw, SizeTiff},
    {"dng", kDng, DetectDng, SizeTiff},
    {"orf", kOrf, DetectOrf, SizeTiff},
    {"rw2", kRw2, DetectRw2, SizeTiff},
    {"cr3", kCr3, DetectCr3, SizeIsoMedia},
    {"heic", kHeic, DetectHeic, SizeIsoMedia},
    {"heif", kHeif, DetectHeif, SizeIsoMedia},
    {"avif", kAvif, DetectAvif, SizeIsoMedia},
    {"webp", kWebp, DetectWebp, SizeRiff},
    {"flac", kFlac, DetectFlac, SizeFlac},
    {"ogg", kOgg, DetectOgg, SizeOgg},
    {"oga", kOgg, DetectOgg, SizeOgg},
    {"opus", kOpus, DetectOgg, SizeOgg},
    {"m4a", kM4a, DetectM4a, SizeIsoMedia},
    {"otf", kOtf, DetectOpenType, SizeTrueType},
    {"ttc", kTtc, DetectFontCollection, SizeFontCollection},
}};

// The first bytes of every magic each detector tests (see DetectorGate). The ISO media
// detectors need "ftyp" at 4; QuickTime also takes an old-style opening ("moov" at 0, or a
// "moov", "free", "skip" or "wide" box first); OOXML also takes a sector whose first entry
// name sits at 31; an MP3 opens with an ID3 tag or a frame sync.
constexpr std::array kGates{
    DetectorGate{DetectMpegStream, {0, "\x00"sv}, {}},
    DetectorGate{DetectMp4, {4, "f"sv}, {}},
    DetectorGate{DetectRealMedia, {0, "."sv}, {}},
    DetectorGate{DetectAsf, {0, "\x30"sv}, {}},
    DetectorGate{DetectSwf, {0, "CF"sv}, {}},
    DetectorGate{DetectAvi, {0, "R"sv}, {}},
    DetectorGate{DetectFlv, {0, "F"sv}, {}},
    DetectorGate{Detect3gp, {4, "f"sv}, {}},
    DetectorGate{DetectMatroska, {0, "\x1A"sv}, {}},
    DetectorGate{DetectTransportStream, {0, "\x47"sv}, {}},
    DetectorGate{DetectBdav, {4, "\x47"sv}, {}},
    DetectorGate{DetectMxf, {0, "\x06"sv}, {}},
    DetectorGate{DetectId3Mp3, {0, "I\xFF"sv}, {}},
    DetectorGate{DetectMidi, {0, "M"sv}, {}},
    DetectorGate{DetectApe, {0, "M"sv}, {}},
    DetectorGate{DetectWave, {0, "R"sv}, {}},
    DetectorGate{DetectQuickTime, {0, "m"sv}, {4, "fmsw"sv}},
    DetectorGate{DetectMpegAudioFrame, {0, "\xFF"sv}, {}},
    DetectorGate{DetectSmaf, {0, "M"sv}, {}},
    DetectorGate{DetectGif, {0, "G"sv}, {}},
    DetectorGate{DetectBmp, {0, "B"sv}, {}},
    DetectorGate{DetectJpeg, {0, "\xFF"sv}, {}},
    DetectorGate{DetectPng, {0, "\x89"sv}, {}},
    DetectorGate{DetectPsd, {0, "8"sv}, {}},
    DetectorGate{DetectTiff, {0, "IM"sv}, {}},
    DetectorGate{DetectIcon, {0, "\x00"sv}, {}},
    DetectorGate{DetectCompoundFile, {0, "\xD0"sv}, {}},
    DetectorGate{DetectOoxml, {0, "P"sv}, {31, "["sv}},
    DetectorGate{DetectPdf, {0, "%"sv}, {}},
    DetectorGate{DetectGzip, {0, "\x1F"sv}, {}},
    DetectorGate{Detect7Zip, {0, "7"sv}, {}},
    DetectorGate{DetectZip, {0, "P"sv}, {}},
    DetectorGate{DetectRar, {0, "R"sv}, {}},
    DetectorGate{DetectCabinet, {0, "M"sv}, {}},
    DetectorGate{DetectPeImage, {0, "M"sv}, {}},
    DetectorGate{DetectDiskImageBackup, {0, "\xFE"sv}, {}},
    DetectorGate{DetectSqlite, {0, "S"sv}, {}},
    DetectorGate{DetectOutlookExpress, {0, "\xCF"sv}, {}},
    DetectorGate{DetectOutlookStore, {0, "!"sv}, {}},
    DetectorGate{DetectCompoundFilePrefix, {0, "\xD0"sv}, {}},
    DetectorGate{DetectTrueType, {0, "\x00t"sv}, {}},
    DetectorGate{DetectCr2, {0, "IM"sv}, {}},
    DetectorGate{DetectNef, {0, "IM"sv}, {}},
    DetectorGate{DetectArw, {0, "IM"sv}, {}},
    DetectorGate{DetectDng, {0, "IM"sv}, {}},
    DetectorGate{DetectOrf, {0, "IM"sv}, {}},
    DetectorGate{DetectRw2, {0, "I"sv}, {}},
    DetectorGate{DetectCr3, {4, "f"sv}, {}},
    DetectorGate{DetectHeic, {4, "f"sv}, {}},
    DetectorGate{DetectHeif, {4, "f"sv}, {}},
    DetectorGate{DetectAvif, {4, "f"sv}, {}},
    DetectorGate{DetectWebp, {0, "R"sv}, {}},
    DetectorGate{DetectFlac, {0, "f"sv}, {}},
    DetectorGate{DetectOgg, {0, "O"sv}, {}},
    DetectorGate{DetectM4a, {4, "f"sv}, {}},
    DetectorGate{DetectOpenType, {0, "O\x00"sv}, {}},
    DetectorGate{DetectFontCollection, {0, "t"sv}, {}},
};

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::span<const SignatureRow> FileSignatureTable() {
    return kRows;
}

std::span<const DetectorGate> DetectorGates() {
    return kGates;
}

const SignatureRow* FirstRowOfType(FileTypeCode code) {
    for (const SignatureRow& row : kRows) {
        if (row.code == code) return &row;
    }
    return nullptr;
}

const SignatureRow* FirstRowWithExtension(std::string_view extension) {
    for (const SignatureRow& row : kRows) {
        if (EqualsIgnoringAsciiCase(row.extension, extension)) return &row;
    }
    return nullptr;
}

}  // namespace norvale
