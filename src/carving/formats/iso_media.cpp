// ISO base media files: MP4, 3GP, QuickTime, M4A, HEIF stills and Canon CR3. The "ftyp" box at
// offset 4 carries the major and compatible brands that tell the families apart; older
// QuickTime files open with their "moov", "wide", "free" or "skip" atom instead.
//
// A file is a run of top-level boxes, each stating its own length (32 bits, or 64 bits after
// a size of 1). The sizer walks that run from box to box, reading only the headers it lands
// on, and the file ends where the next bytes are no longer a top-level box.
#include <algorithm>
#include <initializer_list>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr uint32_t Tag(std::string_view s) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(s[0])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[2])) << 8) |
           static_cast<uint32_t>(static_cast<uint8_t>(s[3]));
}

bool IsOneOf(uint32_t tag, std::initializer_list<std::string_view> names) {
    for (std::string_view name : names) {
        if (tag == Tag(name)) return true;
    }
    return false;
}

// Brands by family. The major brand decides; a major brand we do not know is judged by the
// compatible brands it lists.
bool IsCr3Brand(uint32_t b) {
    return b == Tag("crx ");
}
bool IsHeicBrand(uint32_t b) {
    return IsOneOf(b, {"heic", "heix", "hevc", "hevx", "heim", "heis", "hevm", "hevs"});
}
bool IsAvifBrand(uint32_t b) {
    return IsOneOf(b, {"avif", "avis"});
}
bool IsHeifBrand(uint32_t b) {
    return IsOneOf(b, {"mif1", "msf1"});
}
bool IsM4aBrand(uint32_t b) {
    return IsOneOf(b, {"M4A ", "M4B ", "M4P "});
}
bool Is3gpBrand(uint32_t b) {
    return (b >> 8) == (Tag("3gp ") >> 8) || (b >> 8) == (Tag("3g2 ") >> 8) ||
           IsOneOf(b, {"3ge6", "3ge7", "3gg6", "3gr6", "3gs6", "3gs7"});
}
bool IsQuickTimeBrand(uint32_t b) {
    return b == Tag("qt  ");
}
bool IsMp4Brand(uint32_t b) {
    if ((b >> 8) == (Tag("iso ") >> 8)) return true;  // isom, iso2 ... iso9
    return IsOneOf(b, {"mp41", "mp42", "mp71", "avc1", "dash", "M4V ", "M4VH", "M4VP", "f4v ",
                       "f4p ", "MSNV", "NDAS", "XAVC", "mmp4", "isml", "piff", "cmfc", "dby1",
                       "CAEP", "FACE"});
}

FileTypeCode FamilyOfBrand(uint32_t b) {
    if (IsCr3Brand(b)) return FileTypeCode::kCr3;
    if (IsHeicBrand(b)) return FileTypeCode::kHeic;
    if (IsAvifBrand(b)) return FileTypeCode::kAvif;
    if (IsHeifBrand(b)) return FileTypeCode::kHeif;
    if (IsM4aBrand(b)) return FileTypeCode::kM4a;
    if (Is3gpBrand(b)) return FileTypeCode::k3gp;
    if (IsQuickTimeBrand(b)) return FileTypeCode::kMov;
    if (IsMp4Brand(b)) return FileTypeCode::kMp4;
    return FileTypeCode::kNoFileType;
}

// The compatible brands of the "ftyp" box, as far as the sector holds them.
template <typename Fn>
void ForEachCompatibleBrand(ByteSpan sector, Fn&& fn) {
    const uint32_t boxBytes = BigEndian32(sector.data());
    if (boxBytes < 16) return;
    const size_t end = std::min<size_t>(boxBytes, sector.size());
    for (size_t at = 16; at + 4 <= end; at += 4) fn(BigEndian32(sector.data() + at));
}

// A HEIF still names its coding among the compatible brands of a generic major brand.
FileTypeCode HeifFamily(ByteSpan sector) {
    FileTypeCode code = FileTypeCode::kHeif;
    ForEachCompatibleBrand(sector, [&](uint32_t b) {
        if (IsHeicBrand(b)) code = FileTypeCode::kHeic;
        if (IsAvifBrand(b) && code == FileTypeCode::kHeif) code = FileTypeCode::kAvif;
    });
    return code;
}

// Top-level boxes that files in use carry. Other types are taken only when they are printable
// and what follows them checks out.
bool IsKnownTopLevelBox(uint32_t type) {
    return IsOneOf(type, {"ftyp", "styp", "moov", "moof", "mdat", "mfra", "free", "skip", "wide",
                          "meta", "sidx", "ssix", "prft", "emsg", "uuid", "pdin", "meco", "udta",
                          "pnot", "PICT", "junk"});
}

bool IsPrintableType(uint32_t type) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = static_cast<uint8_t>(type >> shift);
        if ((c < 0x20 || c > 0x7E) && c != 0xA9) return false;
    }
    return true;
}

// The boxes an old QuickTime file (without "ftyp") may open with.
bool IsQuickTimeOpeningBox(uint32_t type) {
    return IsOneOf(type, {"moov", "mdat", "wide", "free", "skip", "pnot"});
}

// A "moov" atom whose first child is the movie header (or its compressed or profile form).
bool IsMovieBoxAt(ByteSpan sector, size_t at) {
    if (at > sector.size() || sector.size() - at < 16) return false;
    const uint32_t size = BigEndian32(sector.data() + at);
    return BytesAt(sector, at + 4, "moov"sv) && size >= 16 &&
           (BytesAt(sector, at + 12, "mvhd"sv) || BytesAt(sector, at + 12, "cmov"sv) ||
            BytesAt(sector, at + 12, "prfl"sv));
}

// An old QuickTime first sector: its movie atom, or the "wide" placeholder before the media
// data, possibly behind a free atom.
bool IsOldQuickTimeOpening(ByteSpan sector) {
    if (sector.size() < 32) return false;
    size_t at = 0;
    const uint32_t first = BigEndian32(sector.data() + 4);
    if (first == Tag("free") || first == Tag("skip")) {
        const uint32_t size = BigEndian32(sector.data());
        if (size < 8 || size > sector.size() - 16) return false;
        at = size;
    }
    if (IsMovieBoxAt(sector, at)) return true;
    return BytesAt(sector, at, "\x00\x00\x00\x08wide"sv) && BytesAt(sector, at + 12, "mdat"sv);
}

constexpr uint64_t kIsoMediaCap = kCap6GiB;
// Fragmented recordings hold a pair of boxes per fragment; even a day of one-second fragments
// stays far below this.
constexpr uint32_t kMaxTopLevelBoxes = 1u << 20;

struct BoxHeader {
    uint32_t type = 0;
    uint64_t size = 0;  // 0: "runs to the end of the file"
    bool complete = false;  // the header's bytes were all there
};

BoxHeader ReadBoxHeader(FileWindow& window, uint64_t offset) {
    BoxHeader box;
    const ByteSpan head = window.View(offset, 16);
    if (head.size() < 8) return box;
    box.type = BigEndian32(head.data() + 4);
    box.size = BigEndian32(head.data());
    if (box.size == 1) {
        if (head.size() < 16) return box;
        box.size = (uint64_t{BigEndian32(head.data() + 8)} << 32) | BigEndian32(head.data() + 12);
        if (box.size < 16) box.size = 2;  // no sound 64-bit size is this small
    }
    box.complete = true;
    return box;
}

// After an unknown box: the next box must be one we know, or the file must end there (the
// rest of the sector zero, or the limit).
bool ContinuesSoundly(FileWindow& window, uint64_t offset, uint32_t sectorSize) {
    if (offset == window.Limit()) return true;
    const BoxHeader next = ReadBoxHeader(window, offset);
    if (next.complete && IsKnownTopLevelBox(next.type) && next.type != Tag("ftyp") &&
        next.size >= 8) {
        return true;
    }
    if (sectorSize == 0 || offset % sectorSize == 0) return false;
    const uint64_t sectorEnd = offset + (sectorSize - offset % sectorSize);
    const ByteSpan tail = window.View(offset, static_cast<size_t>(sectorEnd - offset));
    if (tail.size() != sectorEnd - offset) return false;
    for (uint8_t b : tail) {
        if (b != 0) return false;
    }
    return true;
}

}  // namespace

FileTypeCode ClassifyIsoBrands(ByteSpan sector) {
    if (sector.size() < 16 || !BytesAt(sector, 4, "ftyp"sv)) return FileTypeCode::kNoFileType;
    const uint32_t major = BigEndian32(sector.data() + 8);
    if (IsHeifBrand(major)) return HeifFamily(sector);
    FileTypeCode code = FamilyOfBrand(major);
    if (code != FileTypeCode::kNoFileType) return code;
    // An unregistered major brand: the first compatible brand of a family we know decides,
    // a generic HEIF brand giving way to the coding named beside it. Canon's raw files are
    // known by their major brand alone.
    bool heif = false;
    ForEachCompatibleBrand(sector, [&](uint32_t b) {
        if (IsHeifBrand(b)) heif = true;
        if (code == FileTypeCode::kNoFileType && !IsCr3Brand(b)) code = FamilyOfBrand(b);
    });
    if (heif && (code == FileTypeCode::kNoFileType || code == FileTypeCode::kMp4)) {
        return HeifFamily(sector);
    }
    return code;
}

FileTypeCode DetectMp4(ByteSpan sector, CarvingContext&) {
    // The earliest row of the family: it hands every brand family to its own row.
    if (sector.size() < 32) return FileTypeCode::kNoFileType;
    return ClassifyIsoBrands(sector);
}

FileTypeCode Detect3gp(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 32) return FileTypeCode::kNoFileType;
    return ClassifyIsoBrands(sector) == FileTypeCode::k3gp ? FileTypeCode::k3gp
                                                          : FileTypeCode::kNoFileType;
}

FileTypeCode DetectQuickTime(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "moov"sv)) return FileTypeCode::kMov;
    if (sector.size() >= 32 && ClassifyIsoBrands(sector) == FileTypeCode::kMov) {
        return FileTypeCode::kMov;
    }
    if (IsOldQuickTimeOpening(sector)) return FileTypeCode::kMov;
    return FileTypeCode::kNoFileType;
}

uint64_t SizeIsoMedia(ByteSpan sector, CarvingContext& context) {
    FileWindow window(sector, context, kIsoMediaCap);
    const FileTypeCode family = ClassifyIsoBrands(sector);
    const bool heif = family == FileTypeCode::kHeic || family == FileTypeCode::kHeif ||
                      family == FileTypeCode::kAvif;

    bool opening = false;  // "ftyp", or an old QuickTime opening
    bool movie = false;
    bool meta = false;
    bool sound = true;
    uint64_t offset = 0;
    for (uint32_t step = 0;; ++step) {
        if (step == kMaxTopLevelBoxes) {
            sound = false;
            break;
        }
        const BoxHeader box = ReadBoxHeader(window, offset);
        if (window.Stopped()) break;
        if (!box.complete) {
            // The limit, an unreadable sector, or a box header cut off by the medium's end.
            if (offset < window.Limit() && window.Limit() - offset >= 8 && box.type != 0 &&
                IsKnownTopLevelBox(box.type)) {
                sound = false;
            }
            break;
        }
        const bool known = IsKnownTopLevelBox(box.type);
        if (!known && !IsPrintableType(box.type)) break;
        if (offset == 0) {
            opening = box.type == Tag("ftyp") ? family != FileTypeCode::kNoFileType
                                              : IsQuickTimeOpeningBox(box.type);
            if (!opening) {
                sound = false;
                break;
            }
        } else if (box.type == Tag("ftyp") || (box.type == Tag("moov") && movie)) {
            break;  // another file begins
        }
        if (box.size == 0) {
            // Runs to the end of a file whose end the medium does not tell.
            if (known) sound = false;
            break;
        }
        if (box.size < 8) {
            if (known) sound = false;
            break;
        }
        if (box.size > window.Limit() - offset) {
            // A box of ours running past the medium (or the cap) is a cut-off file; an
            // unknown one is bytes that only look like a box.
            if (known) sound = false;
            break;
        }
        if (!known && !ContinuesSoundly(window, offset + box.size, context.sectorSize)) break;
        if (box.type == Tag("moov")) movie = true;
        if (box.type == Tag("meta")) meta = true;
        offset += box.size;
    }
    if (window.Stopped()) {
        context.structureValid = false;
        return std::max<uint64_t>(offset, std::min<uint64_t>(sector.size(), window.Limit()));
    }
    if (sound && opening && (movie || (heif && meta)) && offset > 0) return offset;
    context.structureValid = false;
    return SizeToBoundary(context, kIsoMediaCap);
}

}  // namespace norvale
