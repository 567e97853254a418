#include "ntfs/metadata_block.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace norvale {
namespace {

using namespace std::literals;

bool OpensWith(std::span<const uint8_t> block, std::string_view signature) {
    return block.size() >= signature.size() &&
           std::memcmp(block.data(), signature.data(), signature.size()) == 0;
}

bool Holds(std::span<const uint8_t> block, std::string_view text) {
    return std::search(block.begin(), block.end(), text.begin(), text.end(),
                       [](uint8_t b, char c) { return b == static_cast<uint8_t>(c); }) !=
           block.end();
}

}  // namespace

bool IsNtfsMetadataBlock(std::span<const uint8_t> block) {
    if (OpensWith(block, "FILE"sv) || OpensWith(block, "INDX"sv)) return true;
    if (OpensWith(block, "RSTR"sv) && Holds(block, "N\0T\0F\0S\0"sv)) return true;
    return OpensWith(block, "$\0S\0T\0A\0"sv);
}

}  // namespace norvale
