// 7-Zip archives: the signature header.
#include <optional>
#include <string_view>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

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

uint64_t Size7Zip(ByteSpan sector, CarvingContext& context) {
    return SizeByEndMarker(sector, context, kCap4GiB,
                           [](ByteSpan data, uint32_t) -> std::optional<size_t> {
                               const auto at = FindBackward(data, kEncodedHeaderCoder);
                               if (!at) return std::nullopt;
                               // A record cut by the chunk's end keeps the usual length.
                               return *at + RecordBytes(data, *at).value_or(kUsualRecordBytes);
                           });
}

}  // namespace norvale
