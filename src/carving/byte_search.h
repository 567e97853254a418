#pragma once
// Byte-level helpers shared by the detectors and sizers: fixed-offset comparisons that never
// read past the span they are given, big-endian field readers for the formats that use them,
// and the forward and backward pattern searches.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

namespace norvale {

using ByteSpan = std::span<const uint8_t>;

// True when `data` holds `pattern` at `offset`. Bytes that are not there compare unequal, so a
// short buffer simply does not match. Write patterns with embedded zero bytes as "..."sv.
// Inline: every detector calls it on every sector of a pass. (GCC 12 reports the guarded
// access below as out of bounds when a caller passes a constant offset past a short buffer.)
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
inline bool BytesAt(ByteSpan data, size_t offset, std::string_view pattern) {
    if (pattern.empty()) return offset <= data.size();
    if (offset >= data.size() || pattern.size() > data.size() - offset) return false;
    // A first-byte test settles almost every call without a library call.
    const uint8_t* at = data.data() + offset;
    if (*at != static_cast<uint8_t>(pattern[0])) return false;
    return std::memcmp(at, pattern.data(), pattern.size()) == 0;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

// Big-endian readers; like Le16/Le32, callers check that the bytes exist.
inline uint16_t BigEndian16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t BigEndian32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

// Offset of the first occurrence of `pattern` in `data`, or nothing. An empty pattern is
// never found.
std::optional<size_t> FindForward(ByteSpan data, std::string_view pattern);
// Offset of the last occurrence of `pattern` in `data`, or nothing.
std::optional<size_t> FindBackward(ByteSpan data, std::string_view pattern);

}  // namespace norvale
