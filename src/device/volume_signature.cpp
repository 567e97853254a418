#include "device/volume_signature.h"

#include <cstring>

namespace norvale {

bool IsBitLockerBootSector(std::span<const uint8_t> sector) {
    if (sector.size() >= 11 && std::memcmp(sector.data() + 3, "-FVE-FS-", 8) == 0) return true;
    if (sector.size() < 0x1E0 + 30) return false;
    const uint8_t* p = sector.data() + 0x1E0;
    for (int i = 0; i < 8; ++i) {
        if (p[i] != 'x') return false;
    }
    for (int i = 8; i < 27; ++i) {
        if (p[i] != 0xFF) return false;
    }
    return p[27] == 0x00 && p[28] == 0x1F && p[29] == 0x2C;
}

}  // namespace norvale
