#include "ntfs/lznt1.h"

#include <algorithm>
#include <cstring>

#include "device/bytes.h"

namespace norvale {

bool DecompressLznt1(std::span<const uint8_t> in, std::span<uint8_t> out) {
    size_t cursor = 0;
    for (size_t slot = 0; slot < out.size(); slot += kLznt1ChunkBytes) {
        if (cursor + 2 > in.size()) return true;
        const uint16_t header = Le16(in.data() + cursor);
        if (header == 0) return true;
        const size_t length = (header & 0x0FFFu) + 1;
        cursor += 2;
        if (length > in.size() - cursor) return false;
        const std::span<const uint8_t> chunk = in.subspan(cursor, length);
        cursor += length;
        const std::span<uint8_t> target =
            out.subspan(slot, std::min<size_t>(kLznt1ChunkBytes, out.size() - slot));
        if ((header & 0x8000u) == 0) {
            // A chunk that did not compress is stored as it is.
            std::memcpy(target.data(), chunk.data(), std::min(chunk.size(), target.size()));
            continue;
        }
        size_t at = 0;  // output position within the chunk
        size_t i = 0;
        while (i < chunk.size() && at < target.size()) {
            const uint8_t flags = chunk[i++];
            for (int bit = 0; bit < 8 && i < chunk.size() && at < target.size(); ++bit) {
                if ((flags & (1u << bit)) == 0) {
                    target[at++] = chunk[i++];
                    continue;
                }
                if (i + 2 > chunk.size() || at == 0) return false;
                const uint16_t token = Le16(chunk.data() + i);
                i += 2;
                // The further into the chunk, the more bits the offset takes.
                unsigned offsetBits = 4;
                while ((size_t{1} << offsetBits) < at) ++offsetBits;
                const unsigned lengthBits = 16 - offsetBits;
                const size_t back = (token >> lengthBits) + 1;
                size_t count = (token & ((1u << lengthBits) - 1)) + 3;
                if (back > at) return false;
                count = std::min(count, target.size() - at);
                for (size_t k = 0; k < count; ++k, ++at) target[at] = target[at - back];
            }
        }
    }
    return true;
}

}  // namespace norvale
