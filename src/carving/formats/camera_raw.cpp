// Camera RAW files. Most are TIFF inside: Canon's CR2 marks its header with "CR" and a
// version after the first directory offset; Olympus (ORF) and Panasonic (RW2) put their own
// numbers in place of 42; Nikon's NEF and Sony's ARW are plain TIFFs told apart by the camera
// maker in the first directory (with sub-directories, where their raw data lie), and a DNG by
// its version tag there. All of them are sized by
// SizeTiff. Canon's CR3 is ISO base media with the brand "crx ", sized by SizeIsoMedia.
//
// The first directory usually sits right after the header, but a DNG's holds many entries and
// may run past a 512-byte sector; the maker's name is stored out of line after it. What lies
// past the sector is read from the source (at the cursor, the sector under test), at most the
// first 16 KiB, and only when the span given is a whole sector.
#include <algorithm>
#include <string_view>
#include <vector>

#include "carving/formats/formats.h"
#include "device/bytes.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr size_t kLookAheadBytes = 16 * 1024;
constexpr uint32_t kMaxClassifiedEntries = 512;
constexpr uint16_t kMakeTag = 271;
constexpr uint16_t kSubIfdsTag = 330;
constexpr uint16_t kDngVersionTag = 50706;

// The first bytes of the file: the sector, and what follows it when asked for.
class FileStart {
  public:
    FileStart(ByteSpan sector, CarvingContext& context) : sector_(sector), context_(context) {}

    // `n` bytes at `offset`, or empty.
    ByteSpan Bytes(uint64_t offset, size_t n) {
        if (offset > kLookAheadBytes || n > kLookAheadBytes - offset) return {};
        const size_t end = static_cast<size_t>(offset) + n;
        if (end <= sector_.size()) return sector_.subspan(static_cast<size_t>(offset), n);
        const uint32_t sectorSize = context_.sectorSize;
        if (sectorSize == 0 || sector_.size() != sectorSize || context_.reader == nullptr) {
            return {};
        }
        if (end > more_.size()) {
            const size_t sectors = (end + sectorSize - 1) / sectorSize;
            if (sectors > kLookAheadBytes / sectorSize + 1) return {};
            std::vector<uint8_t> bytes(sectors * sectorSize);
            if (!context_.ReadSectors(context_.cursorLba, static_cast<uint32_t>(sectors), bytes)) {
                return {};
            }
            more_ = std::move(bytes);
        }
        return ByteSpan(more_).subspan(static_cast<size_t>(offset), n);
    }

  private:
    ByteSpan sector_;
    CarvingContext& context_;
    std::vector<uint8_t> more_;
};

uint32_t Read16(const uint8_t* p, bool little) {
    return little ? Le16(p) : static_cast<uint32_t>(p[0] << 8 | p[1]);
}

uint32_t Read32(const uint8_t* p, bool little) {
    return little ? Le32(p)
                  : (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]);
}

// The maker-specific type of a TIFF with these bytes first, from its first directory.
FileTypeCode ClassifyByFirstDirectory(ByteSpan sector, CarvingContext& context) {
    const bool little = sector[0] == 'I';
    FileStart file(sector, context);
    const uint32_t ifd = Read32(sector.data() + 4, little);
    if (ifd < 8) return FileTypeCode::kNoFileType;
    const ByteSpan countBytes = file.Bytes(ifd, 2);
    if (countBytes.empty()) return FileTypeCode::kNoFileType;
    const uint32_t count = Read16(countBytes.data(), little);
    if (count == 0 || count > kMaxClassifiedEntries) return FileTypeCode::kNoFileType;
    uint64_t makeAt = 0;
    uint32_t makeBytes = 0;
    bool subDirectories = false;
    for (uint32_t i = 0; i < count; ++i) {
        const ByteSpan entry = file.Bytes(uint64_t{ifd} + 2 + i * 12, 12);
        if (entry.empty()) return FileTypeCode::kNoFileType;
        const uint32_t tag = Read16(entry.data(), little);
        const uint32_t type = Read16(entry.data() + 2, little);
        const uint32_t values = Read32(entry.data() + 4, little);
        if (tag == kDngVersionTag && type == 1 && values == 4 && entry[8] == 1) {
            return FileTypeCode::kDng;
        }
        if (tag == kSubIfdsTag) subDirectories = true;
        if (tag == kMakeTag && type == 2 && values >= 4) {
            const uint64_t inlineAt = uint64_t{ifd} + 2 + i * 12 + 8;
            makeAt = values <= 4 ? inlineAt : Read32(entry.data() + 8, little);
            makeBytes = values;
        }
    }
    // The raw data of a NEF or ARW lies in a sub-directory; a TIFF picture from a camera of
    // the same maker has none.
    if (makeBytes == 0 || !subDirectories) return FileTypeCode::kNoFileType;
    const ByteSpan make = file.Bytes(makeAt, std::min<uint32_t>(makeBytes, 5));
    if (BytesAt(make, 0, "NIKON"sv)) return FileTypeCode::kNef;
    if (BytesAt(make, 0, "SONY"sv)) return FileTypeCode::kArw;
    return FileTypeCode::kNoFileType;
}

bool IsTiffHeader(ByteSpan sector) {
    return sector.size() >= 8 &&
           (BytesAt(sector, 0, "II\x2A\x00"sv) || BytesAt(sector, 0, "MM\x00\x2A"sv));
}

// A header with its own mark instead of 42 and a first directory after it.
bool HasMarkAndDirectory(ByteSpan sector, std::string_view mark) {
    if (sector.size() < 16 || !BytesAt(sector, 0, mark)) return false;
    const bool little = sector[0] == 'I';
    const uint32_t ifd = Read32(sector.data() + 4, little);
    return ifd >= 8 && ifd < (uint32_t{1} << 27);
}

}  // namespace

FileTypeCode ClassifyCameraRaw(ByteSpan sector, CarvingContext& context) {
    if (!IsTiffHeader(sector)) return FileTypeCode::kNoFileType;
    if (sector.size() >= 12 && BytesAt(sector, 0, "II"sv) && BytesAt(sector, 8, "CR\x02\x00"sv)) {
        return FileTypeCode::kCr2;
    }
    return ClassifyByFirstDirectory(sector, context);
}

namespace {
// `kind` when the classifier names the file so, else "not mine".
FileTypeCode RawOfKind(FileTypeCode kind, ByteSpan sector, CarvingContext& context) {
    return ClassifyCameraRaw(sector, context) == kind ? kind : FileTypeCode::kNoFileType;
}
}  // namespace

FileTypeCode DetectCr2(ByteSpan sector, CarvingContext& context) {
    return RawOfKind(FileTypeCode::kCr2, sector, context);
}

FileTypeCode DetectNef(ByteSpan sector, CarvingContext& context) {
    return RawOfKind(FileTypeCode::kNef, sector, context);
}

FileTypeCode DetectArw(ByteSpan sector, CarvingContext& context) {
    return RawOfKind(FileTypeCode::kArw, sector, context);
}

FileTypeCode DetectDng(ByteSpan sector, CarvingContext& context) {
    return RawOfKind(FileTypeCode::kDng, sector, context);
}

FileTypeCode DetectOrf(ByteSpan sector, CarvingContext&) {
    if (HasMarkAndDirectory(sector, "IIRO"sv) || HasMarkAndDirectory(sector, "IIRS"sv) ||
        HasMarkAndDirectory(sector, "MMOR"sv)) {
        return FileTypeCode::kOrf;
    }
    return FileTypeCode::kNoFileType;
}

FileTypeCode DetectRw2(ByteSpan sector, CarvingContext&) {
    return HasMarkAndDirectory(sector, "IIU\x00"sv) ? FileTypeCode::kRw2
                                                    : FileTypeCode::kNoFileType;
}

FileTypeCode DetectCr3(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16 || !BytesAt(sector, 4, "ftypcrx "sv)) return FileTypeCode::kNoFileType;
    const uint32_t box = uint32_t{sector[0]} << 24 | uint32_t{sector[1]} << 16 |
                         uint32_t{sector[2]} << 8 | sector[3];
    return box >= 16 && box <= 4096 ? FileTypeCode::kCr3 : FileTypeCode::kNoFileType;
}

}  // namespace norvale
