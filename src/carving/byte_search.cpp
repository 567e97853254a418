#include "carving/byte_search.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace norvale {

std::optional<size_t> FindForward(ByteSpan data, std::string_view pattern) {
    if (pattern.empty() || pattern.size() > data.size()) return std::nullopt;
    const auto* first = reinterpret_cast<const uint8_t*>(pattern.data());
    const auto it = std::search(data.begin(), data.end(),
                                std::boyer_moore_horspool_searcher(first, first + pattern.size()));
    if (it == data.end()) return std::nullopt;
    return static_cast<size_t>(it - data.begin());
}

std::optional<size_t> FindBackward(ByteSpan data, std::string_view pattern) {
    if (pattern.empty() || pattern.size() > data.size()) return std::nullopt;
    const auto* first = reinterpret_cast<const uint8_t*>(pattern.data());
    const auto it = std::find_end(data.begin(), data.end(), first, first + pattern.size());
    if (it == data.end()) return std::nullopt;
    return static_cast<size_t>(it - data.begin());
}

}  // namespace norvale
