// Mail stores: Outlook Express folders (.dbx) and Outlook personal folders (.pst).
//
// A personal folders file states its length in its header (the root record's end-of-file
// offset: 64-bit in Unicode files, version 23 and later; 32-bit in the older ANSI files), and
// the header carries a CRC over the bytes that hold it, so the length is trusted only when
// that CRC matches. An Outlook Express folder's header (0x24BC bytes) states at offset 0x7C
// the bytes in use, its first and middle parts, which is the file's length as Outlook Express
// leaves it.
#include <zlib.h>

#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"
#include "device/bytes.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr size_t kDbxHeaderBytes = 0x24BC;
constexpr size_t kDbxLengthOffset = 0x7C;

constexpr uint16_t kFirstUnicodeVersion = 23;
constexpr size_t kPstCrcFrom = 8;
constexpr size_t kPstCrcBytes = 471;
constexpr size_t kUnicodeEndOffset = 184;
constexpr size_t kUnicodeSentinelOffset = 512;
constexpr size_t kAnsiEndOffset = 168;
constexpr size_t kAnsiSentinelOffset = 460;
constexpr uint8_t kSentinel = 0x80;

// The header's CRC: the CRC-32 table walked from zero with no final inversion.
uint32_t PstCrc(const uint8_t* data, size_t bytes) {
    return static_cast<uint32_t>(crc32(0xFFFFFFFFu, data, static_cast<uInt>(bytes)) ^ 0xFFFFFFFFu);
}

// The length the header of a personal folders file states, or 0 when it is not sound.
uint64_t PstLength(ByteSpan header) {
    if (header.size() < kUnicodeSentinelOffset + 2) return 0;
    const uint8_t* p = header.data();
    if (PstCrc(p + kPstCrcFrom, kPstCrcBytes) != Le32(p + 4)) return 0;
    const uint16_t version = Le16(p + 10);
    const bool unicode = version >= kFirstUnicodeVersion;
    if (!unicode && version != 14 && version != 15) return 0;
    const size_t sentinel = unicode ? kUnicodeSentinelOffset : kAnsiSentinelOffset;
    const uint8_t crypt = p[sentinel + 1];
    if (p[sentinel] != kSentinel || (crypt != 0 && crypt != 1 && crypt != 2 && crypt != 0x10)) {
        return 0;
    }
    const uint64_t end = unicode ? Le64(p + kUnicodeEndOffset) : Le32(p + kAnsiEndOffset);
    return end > header.size() ? end : 0;
}

}  // namespace

FileTypeCode DetectOutlookExpress(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    return BytesAt(sector, 0, "\xCF\xAD\x12\xFE"sv) ? FileTypeCode::kDbx
                                                    : FileTypeCode::kNoFileType;
}

FileTypeCode DetectOutlookStore(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "!BDN"sv) && BytesAt(sector, 8, "SM"sv)) return FileTypeCode::kPst;
    return FileTypeCode::kNoFileType;
}

uint64_t SizeOutlookExpress(ByteSpan sector, CarvingContext& context) {
    // The class identifier after the signature: message, folder list, POP3 list or offline.
    const bool knownClass = sector.size() > 4 && BytesAt(sector, 5, "\xFD\x74\x6F"sv) &&
                            sector[4] >= 0xC5 && sector[4] <= 0xC7;
    const bool sound = sector.size() >= kDbxLengthOffset + 4 &&
                       (knownClass || BytesAt(sector, 4, "\x30\x9D\xFE\x26"sv)) &&
                       BytesAt(sector, 8, "\x66\xE3\xD1\x11\x9A\x4E\x00\xC0\x4F\xA3\x09\xD4"sv);
    if (sound) {
        const uint64_t length = Le32(sector.data() + kDbxLengthOffset);
        if (length >= kDbxHeaderBytes && length <= kCap2GiB && BoundByMedium(length, context) == length) {
            return length;
        }
    }
    context.structureValid = false;
    return SizeBoundaryOnly2GiB(sector, context);
}

uint64_t SizeOutlookStore(ByteSpan sector, CarvingContext& context) {
    // ANSI files end at 2 GiB; Unicode files were made for far more (Outlook's own limit is
    // 50 GB), so a checked header is trusted up to 64 GiB. The Unicode header's sentinel lies
    // just past the first 512 bytes.
    uint8_t header[kUnicodeSentinelOffset + 2];
    FileWindow window(sector, context, sizeof header);
    const uint64_t length = window.Read(0, header) ? PstLength(header) : 0;
    if (length != 0 && length <= kCap64GiB && BoundByMedium(length, context) == length) {
        return length;
    }
    context.structureValid = false;
    return SizeBoundaryOnly2GiB(sector, context);
}

}  // namespace norvale
