#pragma once
// FileTypeCode: the small number that names a carvable type. The values are stored nowhere but
// are compared across the whole carving code (detectors return them, the signature table is
// keyed by them), so they are fixed here once.

#include <cstdint>

namespace norvale {

enum class FileTypeCode : int32_t {
    kDoc = 0,
    kDocx = 1,
    kOle = 2,
    kXls = 3,
    kXlsx = 4,
    kPpt = 5,
    kPptx = 6,
    kMso07 = 7,
    kPdf = 8,
    kGho = 9,
    kJpg = 10,
    kMp2 = 11,
    kMp3 = 12,
    kMid = 13,
    kMmf = 14,
    kMpeg = 15,
    k3gp = 16,
    kMov = 17,
    kMp4 = 18,
    kMkv = 19,
    kTs = 20,
    kWav = 21,
    kAvi = 22,
    kRmvb = 23,
    kWmv = 24,
    kApe = 25,
    kSwf = 26,
    kFlv = 27,
    kPsd = 28,
    kBmp = 29,
    kPng = 30,
    kGif = 31,
    kTif = 32,
    kCab = 33,
    k7z = 34,
    kZip = 35,
    kGz = 36,
    kRar = 37,
    kPst = 38,
    kDb = 39,
    kDbx = 40,
    kExe = 41,
    kDll = 42,
    kSys = 43,
    kFla = 44,
    kTtf = 45,
    kIco = 46,
    kMts = 47,
    kMxf = 48,
    kNoFileType = 49,  // no type; detectors answer it for "not mine"
    // Families added later; their codes follow the first catalogue's.
    kCr2 = 50,
    kNef = 51,
    kArw = 52,
    kDng = 53,
    kOrf = 54,
    kRw2 = 55,
    kCr3 = 56,
    kHeic = 57,
    kHeif = 58,
    kAvif = 59,
    kWebp = 60,
    kFlac = 61,
    kOgg = 62,
    kOpus = 63,
    kM4a = 64,
    kOtf = 65,
    kTtc = 66,
};

inline constexpr int32_t kFileTypeCount = 49;  // codes 0 .. 48 name the first catalogue's types
inline constexpr int32_t kFileTypeCodeEnd = 67;  // every type code is below it

// True for the values that name a type: 0 .. 48 and 50 .. kFileTypeCodeEnd - 1.
inline constexpr bool IsFileTypeCode(int32_t value) {
    return value >= 0 && value < kFileTypeCodeEnd && value != 49;
}

inline constexpr int32_t ToInt(FileTypeCode code) {
    return static_cast<int32_t>(code);
}

}  // namespace norvale
