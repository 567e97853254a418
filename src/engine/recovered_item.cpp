#include "engine/recovered_item.h"

namespace norvale {
namespace {

constexpr size_t kLongestNameBytes = kItemNameBytes - 1;
// Longer tails after a dot are not extensions a kind is read from; such names are cut at
// their end like any other text.
constexpr size_t kLongestKeptExtensionBytes = 32;

// The longest start of `s` of at most `limit` bytes that ends before a character, not in one.
std::string_view Utf8Head(std::string_view s, size_t limit) {
    if (s.size() <= limit) return s;
    size_t n = limit;
    while (n > 0 && (static_cast<uint8_t>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

}  // namespace

const char* EngineKindName(int32_t kind) {
    switch (kind) {
        case kEngineFastNtfs:
            return "ntfs-deleted";
        case kEngineFastFat:
            return "fat-deleted";
        case kEngineProfessionalNtfs:
            return "ntfs-full";
        case kEngineProfessionalFat:
            return "fat-full";
        case kEngineFileType:
            return "carved";
        case kEngineFastExfat:
            return "exfat-deleted";
        case kEngineProfessionalExfat:
            return "exfat-full";
    }
    return "unknown";
}

std::string FitItemName(std::string_view name) {
    if (name.size() <= kLongestNameBytes) return std::string(name);
    const size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && dot > 0 &&
        name.size() - dot <= kLongestKeptExtensionBytes) {
        const std::string_view extension = name.substr(dot);
        std::string out(Utf8Head(name.substr(0, dot), kLongestNameBytes - extension.size()));
        out += extension;
        return out;
    }
    return std::string(Utf8Head(name, kLongestNameBytes));
}

void CopyItemName(char (&dst)[kItemNameBytes], std::string_view src) {
    std::memset(dst, 0, kItemNameBytes);
    const std::string fitted = FitItemName(src);
    std::memcpy(dst, fitted.data(), fitted.size());
}

void RecoveredItem::SetName(std::string_view n) {
    CopyItemName(name, n);
}

}  // namespace norvale
