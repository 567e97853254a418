// 7-Zip archives: the signature header.
//
// The start header that follows the signature states where the archive's header lies (an
// offset from the end of the start header) and how long it is; that header closes the
// archive. The start header carries a CRC-32 of its own, and the header one over its bytes;
// both must match before the length is trusted.
#include <zlib.h>

#include <algorithm>
#include <optional>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"
#include "device/bytes.h"

namespace norvale {

using namespace std::literals;

FileTypeCode Detect7Zip(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "7z\xBC\xAF\x27"sv) ? FileTypeCode::k7z : FileTypeCode::kNoFileType;
}

namespace {

// The archive's header, which 7-Zip stores LZMA-compressed at the end, is described by an
// encoded-header record that closes the file:
//   ... 07 0B 01 00 01 23 03 01 01 05 5D   unpack info: one folder, one LZMA coder (lc3 lp0 pb2)
//   dd dd dd dd                            dictionary size
//   0C nn..                                unpack size, a 7z number of 1 to 9 bytes
//   [0A 01 cc cc cc cc]                    the CRC of the unpacked header, when stored
//   00 00                                  end of unpack info, end of streams info
constexpr std::string_view kEncodedHeaderCoder =
    "\x00\x07\x0B\x01\x00\x01\x23\x03\x01\x01\x05\x5D"sv;
constexpr size_t kUsualRecordBytes = 27;  // with a two-byte unpack size and the CRC

// Bytes from the match to the end of the record, when the record is whole and well formed.
std::optional<size_t> RecordBytes(ByteSpan data, size_t match) {
    size_t at = match + kEncodedHeaderCoder.size() + 4;
    if (at >= data.size() || data[at] != 0x0C) return std::nullopt;
    ++at;
    if (at >= data.size()) return std::nullopt;
    // A 7z number: the count of leading one bits of its first byte gives the bytes that follow.
    size_t extra = 0;
    for (uint8_t mask = 0x80; extra < 8 && (data[at] & mask); mask >>= 1) ++extra;
    at += 1 + extra;
    if (at < data.size() && data[at] == 0x0A) {
        if (at + 1 >= data.size() || data[at + 1] != 0x01) return std::nullopt;
        at += 2 + 4;
    }
    if (at + 2 > data.size() || data[at] != 0 || data[at + 1] != 0) return std::nullopt;
    return at + 2 - match;
}

}  // namespace

namespace {

constexpr uint64_t kStartHeaderBytes = 32;
constexpr uint8_t kHeaderId = 0x01;
constexpr uint8_t kEncodedHeaderId = 0x17;

// The archive's length from its start header, or nothing when the start header or the header
// it points at does not check out.
std::optional<uint64_t> LengthFromStartHeader(FileWindow& window) {
    uint8_t h[kStartHeaderBytes];
    if (!window.Read(0, h)) return std::nullopt;
    if (h[6] != 0 || crc32(0, h + 12, 20) != Le32(h + 8)) return std::nullopt;
    const uint64_t offset = Le64(h + 12);
    const uint64_t size = Le64(h + 20);
    const uint32_t headerCrc = Le32(h + 28);
    const uint64_t limit = window.Limit();
    if (offset > limit || size > limit - offset || kStartHeaderBytes > limit - offset - size) {
        return std::nullopt;
    }
    const uint64_t start = kStartHeaderBytes + offset;
    if (size == 0) return start;  // an empty archive
    const std::optional<uint8_t> id = window.U8(start);
    if (id != kHeaderId && id != kEncodedHeaderId) return std::nullopt;
    uLong crc = crc32(0, nullptr, 0);
    for (uint64_t done = 0; done < size;) {
        const ByteSpan part = window.View(start + done, FileWindow::kMaxView);
        if (part.empty()) return std::nullopt;
        const size_t used = static_cast<size_t>(std::min<uint64_t>(part.size(), size - done));
        crc = crc32(crc, part.data(), static_cast<uInt>(used));
        done += used;
    }
    if (crc != headerCrc) return std::nullopt;
    return start + size;
}

}  // namespace

uint64_t Size7Zip(ByteSpan sector, CarvingContext& context) {
    {
        FileWindow window(sector, context, kCap4GiB);
        if (const std::optional<uint64_t> length = LengthFromStartHeader(window)) return *length;
        context.structureValid = false;
        if (window.Stopped()) return context.sectorSize;
    }
    // A damaged archive: the encoded-header record that 7-Zip writes last.
    return SizeByEndMarker(sector, context, kCap4GiB,
                           [](ByteSpan data, uint32_t) -> std::optional<size_t> {
                               const auto at = FindBackward(data, kEncodedHeaderCoder);
                               if (!at) return std::nullopt;
                               // A record cut by the chunk's end keeps the usual length.
                               return *at + RecordBytes(data, *at).value_or(kUsualRecordBytes);
                           });
}

}  // namespace norvale
