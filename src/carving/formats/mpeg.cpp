// MPEG-1/MPEG-2 program streams (pack header followed by a system header) and video elementary
// streams (sequence header followed by a group of pictures).
//
// A program stream is a run of packs: a pack header (12 bytes in MPEG-1, 14 plus stuffing in
// MPEG-2), an optional system header and packets that state their own lengths, up to the program
// end code. Many writers leave the end code out; the stream then ends where the run of packs
// does. An elementary stream states no lengths and ends at its sequence end code.
#include <algorithm>
#include <optional>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr uint64_t kCap = kCap6GiB;

// The system clock of a pack header (`head` holds at least 10 bytes from the start code on),
// in 90 kHz ticks; nothing when the marker bits are wrong.
std::optional<uint64_t> PackClock(ByteSpan head, bool mpeg2) {
    const uint8_t* b = head.data() + 4;
    if (mpeg2) {
        if ((b[0] & 0x04) == 0 || (b[2] & 0x04) == 0 || (b[4] & 0x04) == 0) return std::nullopt;
        return (uint64_t{b[0] & 0x38u} << 27) | (uint64_t{b[0] & 0x03u} << 28) |
               (uint64_t{b[1]} << 20) | (uint64_t{b[2] & 0xF8u} << 12) |
               (uint64_t{b[2] & 0x03u} << 13) | (uint64_t{b[3]} << 5) | (b[4] >> 3);
    }
    if ((b[0] & 0x01) == 0 || (b[2] & 0x01) == 0 || (b[4] & 0x01) == 0) return std::nullopt;
    return (uint64_t{b[0] & 0x0Eu} << 29) | (uint64_t{b[1]} << 22) |
           (uint64_t{b[2] & 0xFEu} << 14) | (uint64_t{b[3]} << 7) | (b[4] >> 1);
}

// True when the bytes from `offset` to the end of its sector are zero (nothing of that sector
// is left when `offset` is on a sector boundary).
bool ZeroToSectorEnd(FileWindow& window, uint64_t offset, uint32_t sectorSize) {
    const uint64_t inSector = offset % sectorSize;
    if (inSector == 0) return true;
    const ByteSpan rest = window.View(offset, static_cast<size_t>(sectorSize - inSector));
    if (rest.size() != sectorSize - inSector) return false;
    return std::all_of(rest.begin(), rest.end(), [](uint8_t b) { return b == 0; });
}

enum class PackWalk { kEndCode, kRunEnded, kBroken };

// Walks packs and packets from the file's start. `at` is left at the end of the last whole
// pack or packet (past the end code for kEndCode).
PackWalk WalkPacks(FileWindow& window, uint32_t sectorSize, uint64_t& at) {
    at = 0;
    std::optional<uint64_t> lastClock;
    uint64_t packs = 0;
    while (true) {
        if (window.Stopped()) return PackWalk::kBroken;
        const ByteSpan head = window.View(at, 16);
        // The medium's end, the cap or a failed read: the stream may go on past them.
        if (head.size() < 4) return PackWalk::kBroken;
        if (head[0] != 0 || head[1] != 0 || head[2] != 1) {
            // Zeros, noise or another file after a clean run: where the recorder stopped
            // writing, so long as the rest of that sector holds nothing of it.
            const bool clean = packs >= 2 && ZeroToSectorEnd(window, at, sectorSize);
            return clean ? PackWalk::kRunEnded : PackWalk::kBroken;
        }
        const uint8_t code = head[3];
        if (code == 0xB9) {
            at += 4;
            return PackWalk::kEndCode;
        }
        if (code == 0xBA) {
            if (head.size() < 14) return PackWalk::kBroken;
            const bool mpeg2 = (head[4] & 0xC0) == 0x40;
            if (!mpeg2 && (head[4] & 0xF0) != 0x20) return PackWalk::kBroken;
            const std::optional<uint64_t> clock = PackClock(head, mpeg2);
            if (!clock) return PackWalk::kBroken;
            // A pack on a sector boundary whose clock went back begins another recording laid
            // right after this one.
            if (lastClock && *clock < *lastClock && at % sectorSize == 0) {
                return PackWalk::kRunEnded;
            }
            lastClock = clock;
            at += mpeg2 ? 14 + (head[13] & 0x07) : 12;
            ++packs;
            continue;
        }
        // Everything else a program stream carries states its length: system headers, the
        // stream map, padding, private and elementary-stream packets.
        if (code < 0xBB || head.size() < 6) return PackWalk::kBroken;
        const uint64_t next = at + 6 + ((uint64_t{head[4]} << 8) | head[5]);
        if (next > window.Limit()) return PackWalk::kBroken;
        at = next;
    }
}

std::optional<size_t> FindSequenceEnd(ByteSpan data, uint32_t sectorSize) {
    return FirstZeroPaddedFooterEnd(data, "\x00\x00\x01\xB7"sv, sectorSize);
}

}  // namespace

FileTypeCode DetectMpegStream(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    // The companion header has to follow closely; a lone start code is common in other data.
    const ByteSpan head = sector.first(std::min<size_t>(sector.size(), 32));
    if (BytesAt(sector, 0, "\x00\x00\x01\xBA"sv) && FindForward(head, "\x00\x00\x01\xBB"sv)) {
        return FileTypeCode::kMpeg;
    }
    if (BytesAt(sector, 0, "\x00\x00\x01\xB3"sv) && FindForward(head, "\x00\x00\x01\xB8"sv)) {
        return FileTypeCode::kMpeg;
    }
    return FileTypeCode::kNoFileType;
}

uint64_t SizeMpegEndCode(ByteSpan sector, CarvingContext& context) {
    if (BytesAt(sector, 0, "\x00\x00\x01\xB3"sv)) {
        // A video elementary stream: its sequence end code, else a guess.
        SizerFrame frame(context, kCap, FileTypeCode::kMpeg);
        while (frame.Next()) {
            if (const std::optional<size_t> end =
                    FindSequenceEnd(frame.Chunk(), context.sectorSize)) {
                return frame.Clamp(frame.BytesBeforeChunk() + *end);
            }
        }
        context.structureValid = false;
        return frame.Length();
    }

    const uint32_t sectorSize = context.sectorSize;
    if (sectorSize == 0) return 0;
    FileWindow window(sector, context, kCap);
    uint64_t end = 0;
    if (WalkPacks(window, sectorSize, end) != PackWalk::kBroken) return end;

    context.structureValid = false;
    if (window.Stopped()) return sectorSize;
    // The end code the old rule looks for, or the boundary.
    SizerFrame frame(context, kCap, FileTypeCode::kMpeg);
    while (frame.Next()) {
        if (const std::optional<size_t> found =
                FirstZeroPaddedFooterEnd(frame.Chunk(), "\x00\x00\x01\xB9"sv, sectorSize)) {
            return frame.Clamp(frame.BytesBeforeChunk() + *found);
        }
    }
    return frame.Length();
}

}  // namespace norvale
