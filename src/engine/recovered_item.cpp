#include "engine/recovered_item.h"

namespace norvale {

void CopyItemName(char (&dst)[kItemNameBytes], std::string_view src) {
    std::memset(dst, 0, kItemNameBytes);
    size_t n = src.size();
    if (n > kItemNameBytes - 1) {
        n = kItemNameBytes - 1;
        // Back off over continuation bytes to the lead byte of the cut character, dropping it.
        while (n > 0 && (static_cast<uint8_t>(src[n]) & 0xC0) == 0x80) --n;
    }
    std::memcpy(dst, src.data(), n);
}

void RecoveredItem::SetName(std::string_view n) {
    CopyItemName(name, n);
}

}  // namespace norvale
