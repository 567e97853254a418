// The pattern searches the sizers build on: first and last occurrence, patterns at the very
// ends of the buffer, overlapping occurrences, and buffers shorter than the pattern.
#include "carving/byte_search.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace norvale {
namespace {

using namespace std::literals;

std::vector<uint8_t> Bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

TEST(ByteSearch, ForwardFindsTheFirstAndBackwardTheLastOccurrence) {
    const auto data = Bytes("%%EOF\nxref\n%%EOF\n%%EOF"sv);
    EXPECT_EQ(FindForward(data, "%%EOF"sv), 0u);
    EXPECT_EQ(FindBackward(data, "%%EOF"sv), data.size() - 5);
    EXPECT_EQ(FindForward(data, "xref"sv), 6u);
    EXPECT_EQ(FindBackward(data, "xref"sv), 6u);
}

TEST(ByteSearch, OverlappingOccurrencesAndEmbeddedZeros) {
    const auto data = Bytes("\x00\x00\x00\x01\xB7\x00\x00\x01"sv);
    EXPECT_EQ(FindForward(data, "\x00\x00\x01"sv), 1u);
    EXPECT_EQ(FindBackward(data, "\x00\x00\x01"sv), 5u);
    EXPECT_EQ(FindForward(Bytes("aaaa"sv), "aaa"sv), 0u);
    EXPECT_EQ(FindBackward(Bytes("aaaa"sv), "aaa"sv), 1u);
}

TEST(ByteSearch, MissingPatternsAndShortBuffersFindNothing) {
    EXPECT_FALSE(FindForward(Bytes("PK\x05"sv), "PK\x05\x06"sv));
    EXPECT_FALSE(FindBackward(Bytes("PK\x05"sv), "PK\x05\x06"sv));
    EXPECT_FALSE(FindForward({}, "x"sv));
    EXPECT_FALSE(FindBackward(Bytes("abc"sv), ""sv));
    EXPECT_FALSE(FindForward(Bytes("abc"sv), ""sv));
    EXPECT_FALSE(FindForward(Bytes("trailer"sv), "trailers"sv));
}

TEST(ByteSearch, FixedOffsetComparisonNeverReachesPastTheBuffer) {
    const auto data = Bytes("RIFF\x10\x00\x00\x00WAVE"sv);
    EXPECT_TRUE(BytesAt(data, 8, "WAVE"sv));
    EXPECT_FALSE(BytesAt(data, 9, "WAVE"sv));
    EXPECT_FALSE(BytesAt(data, 100, "W"sv));
    EXPECT_TRUE(BytesAt(data, data.size(), ""sv));
}

}  // namespace
}  // namespace norvale
