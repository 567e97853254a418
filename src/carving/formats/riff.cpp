// RIFF containers. The form type at offset 8 and the first chunk at 12 tell AVI ("AVI " then a
// "LIST"), WAVE ("WAVE" then "fmt ") and WebP (webp.cpp) apart.
#include <algorithm>
#include <optional>
#include <span>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"
#include "device/bytes.h"

namespace norvale {

using namespace std::literals;

FileTypeCode DetectAvi(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "RIFF"sv) && BytesAt(sector, 8, "AVI "sv) &&
        BytesAt(sector, 12, "LIST"sv)) {
        return FileTypeCode::kAvi;
    }
    return FileTypeCode::kNoFileType;
}

FileTypeCode DetectWave(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "RIFF"sv) && BytesAt(sector, 8, "WAVE"sv) &&
        BytesAt(sector, 12, "fmt "sv)) {
        return FileTypeCode::kWav;
    }
    return FileTypeCode::kNoFileType;
}

namespace {

// A RIFF form is at most 4 GiB; an AVI grows past that with its "AVIX" extension forms, each
// at most about 1 GiB as the writers make them.
constexpr uint64_t kRiffCap = kCap64GiB;
// What a form whose own sizes cannot be trusted is searched for its end in.
constexpr uint64_t kRiffFallbackCap = kCap4GiB;
// Top-level chunks of one form: a few for AVI and WAVE, one per frame of an animated WebP.
constexpr int kMaxChunks = 1 << 16;
constexpr int kMaxExtensions = 4096;

bool IsFourCc(const uint8_t* p) {
    return std::all_of(p, p + 4, [](uint8_t c) { return c >= 0x20 && c <= 0x7E; });
}

bool FourCcIs(const uint8_t* p, std::string_view code) {
    return std::equal(code.begin(), code.end(), p,
                      [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
}

// Walks the chunks of the form whose content runs from `offset` to `end` (its header and form
// type already read): every chunk named by four printable characters and held inside the form,
// each padded to an even length. True when the chunks fill the form (a pad byte the writer
// counted into the form may be left over) and those the form type requires are there.
bool ChunksFillForm(FileWindow& window, uint64_t offset, uint64_t end, std::string_view form) {
    bool firstChunk = true;
    bool sawFormat = false;
    for (int steps = 0; end - offset >= 8; ++steps) {
        uint8_t header[12] = {};
        if (steps >= kMaxChunks || !window.Read(offset, std::span(header, 8))) return false;
        if (!IsFourCc(header)) return false;
        const uint64_t size = Le32(header + 4);
        if (size > end - offset - 8) return false;
        if (firstChunk) {
            if (size >= 4 && !window.Read(offset + 8, std::span(header + 8, 4))) return false;
            // The header list of a movie, the picture chunk or extended header of a WebP.
            if (form == "AVI "sv &&
                (!FourCcIs(header, "LIST"sv) || size < 4 || !FourCcIs(header + 8, "hdrl"sv))) {
                return false;
            }
            if (form == "WEBP"sv && !FourCcIs(header, "VP8 "sv) &&
                !FourCcIs(header, "VP8L"sv) && !FourCcIs(header, "VP8X"sv)) {
                return false;
            }
        }
        firstChunk = false;
        if (FourCcIs(header, "fmt "sv)) sawFormat = true;
        offset += 8 + size;
        if ((size & 1) != 0 && offset < end) ++offset;
    }
    if (firstChunk) return false;
    return form != "WAVE"sv || sawFormat;
}

// The form at `offset`: its end (the 8-byte header and the declared size), or nothing when no
// "RIFF" header with form type `form` stands there.
std::optional<uint64_t> FormEnd(FileWindow& window, uint64_t offset, std::string_view form) {
    uint8_t header[12];
    if (!window.Read(offset, header)) return std::nullopt;
    if (!FourCcIs(header, "RIFF"sv) || !FourCcIs(header + 8, form)) return std::nullopt;
    return offset + 8 + Le32(header + 4);
}

// For a form whose size cannot be trusted: the file runs to its boundary, but never past what
// it declares.
uint64_t FallBackToBoundary(CarvingContext& context, uint64_t declaredEnd) {
    context.structureValid = false;
    const uint64_t cap = declaredEnd > 12 ? std::min(declaredEnd, kRiffFallbackCap)
                                          : kRiffFallbackCap;
    return SizeToBoundary(context, cap);
}

}  // namespace

uint64_t SizeRiff(ByteSpan sector, CarvingContext& context) {
    // The form's declared size (which excludes its 8-byte header, added in 64 bits so a form of
    // nearly 4 GiB does not wrap round) is checked against the chunks inside it. An AVI of
    // more than 1 GiB goes on with "RIFF....AVIX" forms, back to back, each holding a movie
    // list; they belong to the same file.
    FileWindow window(sector, context, kRiffCap);
    uint8_t header[12];
    if (!window.Read(0, header) || !FourCcIs(header, "RIFF"sv) || !IsFourCc(header + 8)) {
        context.structureValid = false;
        return SizeToBoundary(context, kRiffFallbackCap);
    }
    const std::string_view form(reinterpret_cast<const char*>(header + 8), 4);
    uint64_t end = 8 + uint64_t{Le32(header + 4)};
    if (end > window.Limit() || end < 20) return FallBackToBoundary(context, end);
    if (!ChunksFillForm(window, 12, end, form)) {
        if (window.Stopped()) return end;
        // The chunks inside do not add up, but the medium holds all the form declares.
        context.structureValid = false;
        return end;
    }
    if (form != "AVI "sv) return end;

    for (int extensions = 0; extensions < kMaxExtensions && !window.Stopped(); ++extensions) {
        // A form of odd size is followed by a pad byte before the next one.
        const uint64_t next = end + (end & 1);
        const std::optional<uint64_t> nextEnd = FormEnd(window, next, "AVIX"sv);
        if (!nextEnd) break;
        uint8_t list[12];
        if (*nextEnd < next + 24 || !window.Read(next + 12, list) || !FourCcIs(list, "LIST"sv) ||
            !FourCcIs(list + 8, "movi"sv) || Le32(list + 4) > *nextEnd - next - 20) {
            // An extension whose movie list does not fit inside it: what follows the sound
            // forms is damage.
            context.structureValid = false;
            return end;
        }
        if (*nextEnd > window.Limit()) {
            // An extension cut short by the end of the medium (or the cap): as much of it as
            // there is.
            context.structureValid = false;
            return window.Limit();
        }
        end = *nextEnd;
    }
    return end;
}

}  // namespace norvale
