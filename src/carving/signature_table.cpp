#include "carving/signature_table.h"

#include <array>

#include "carving/formats/formats.h"

namespace norvale {
namespace {

using enum FileTypeCode;

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
