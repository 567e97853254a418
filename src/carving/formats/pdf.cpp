// PDF: "%PDF-" and the version.
//
// A PDF ends with "%%EOF" and a line break; an incremental update appends a whole revision
// (objects, a cross-reference section or stream, a trailer) with its own "%%EOF", and a
// linearized file has one after its first-page section too. The sizer reads forward from the
// header to each "%%EOF" in turn and looks at what follows it: more PDF (an object, "xref",
// "trailer", "startxref") means the file goes on to the next one; anything else (zero padding,
// another file) ends it there. The walk stops at a sector that opens another PDF and at the
// cap. A PDF whose revisions never close leaves the old end-marker rule.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr std::string_view kEndOfFile = "%%EOF"sv;
constexpr std::string_view kHeader = "%PDF-"sv;
constexpr size_t kLookAhead = 64;  // bytes read after a "%%EOF" to tell whether PDF goes on

bool IsPdfSpace(uint8_t c) {
    // PDF counts NUL as white space too, but zero padding after a file's end is not PDF.
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f';
}

bool IsDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

// True when `text` opens with "N G obj" (an indirect object) after optional white space.
bool OpensObject(ByteSpan text, size_t at) {
    for (int number = 0; number < 2; ++number) {
        const size_t digits = at;
        while (at < text.size() && IsDigit(text[at])) ++at;
        if (at == digits) return false;
        const size_t spaces = at;
        while (at < text.size() && IsPdfSpace(text[at])) ++at;
        if (at == spaces) return false;
    }
    return BytesAt(text, at, "obj"sv);
}

// True when what follows a "%%EOF" (and its line break) at `at` is more of the same PDF.
bool MorePdfFollows(FileWindow& window, uint64_t at) {
    const ByteSpan text = window.View(at, kLookAhead);
    size_t i = 0;
    while (i < text.size() && IsPdfSpace(text[i])) ++i;
    return BytesAt(text, i, "xref"sv) || BytesAt(text, i, "trailer"sv) ||
           BytesAt(text, i, "startxref"sv) || OpensObject(text, i);
}

// The offset of the first "%%EOF" at or after `from` and before `scanEnd`, which the walk
// lowers when it meets a sector that opens another PDF.
std::optional<uint64_t> NextEndOfFile(FileWindow& window, uint64_t from, uint64_t& scanEnd,
                                      uint32_t sectorSize) {
    while (from < scanEnd && !window.Stopped()) {
        const ByteSpan part = window.View(from, FileWindow::kMaxView);
        if (part.size() < kEndOfFile.size()) return std::nullopt;
        // Another PDF's header at a sector start inside this view ends the search there.
        for (uint64_t s = std::max<uint64_t>((from + sectorSize - 1) / sectorSize, 1) * sectorSize;
             s < from + part.size();
             s += sectorSize) {
            if (BytesAt(part, static_cast<size_t>(s - from), kHeader)) {
                scanEnd = std::min(scanEnd, s);
                break;
            }
        }
        const size_t usable = static_cast<size_t>(std::min<uint64_t>(part.size(), scanEnd - from));
        if (const std::optional<size_t> found = FindForward(part.first(usable), kEndOfFile)) {
            return from + *found;
        }
        if (usable < part.size() || usable < kEndOfFile.size()) return std::nullopt;
        from += usable - (kEndOfFile.size() - 1);
    }
    return std::nullopt;
}

// The end of the PDF at the window's start when its last revision closes, else nothing.
std::optional<uint64_t> LengthByRevisions(FileWindow& window, uint32_t sectorSize) {
    uint64_t scanEnd = window.Limit();
    uint64_t from = 0;
    while (const std::optional<uint64_t> marker = NextEndOfFile(window, from, scanEnd, sectorSize)) {
        uint64_t end = *marker + kEndOfFile.size();
        uint8_t eol[2] = {0, 0};
        const ByteSpan after = window.View(end, 2);
        if (!after.empty()) std::memcpy(eol, after.data(), after.size());
        if (eol[0] == '\r' && eol[1] == '\n') {
            end += 2;
        } else if (eol[0] == '\n' || eol[0] == '\r') {
            end += 1;
        }
        if (end > window.Limit()) return std::nullopt;
        if (!MorePdfFollows(window, end)) return end;
        from = end;
    }
    return std::nullopt;
}

}  // namespace

FileTypeCode DetectPdf(ByteSpan sector, CarvingContext&) {
    return BytesAt(sector, 0, "%PDF-"sv) ? FileTypeCode::kPdf : FileTypeCode::kNoFileType;
}

uint64_t SizePdf(ByteSpan sector, CarvingContext& context) {
    if (context.sectorSize != 0) {
        FileWindow window(sector, context, kCap1GiB);
        if (const std::optional<uint64_t> length = LengthByRevisions(window, context.sectorSize)) {
            return *length;
        }
        if (window.Stopped()) {
            context.structureValid = false;
            return context.sectorSize;
        }
    }
    context.structureValid = false;
    // The old rule: the last "%%EOF" up to the boundary, with the line break that writers put
    // after it; without one the trailer keyword is the next best end.
    return SizeByEndMarker(sector, context, kCap1GiB,
                           [](ByteSpan data, uint32_t) -> std::optional<size_t> {
                               if (const auto at = FindBackward(data, "%%EOF"sv)) {
                                   size_t end = *at + 5;
                                   if (BytesAt(data, end, "\r\n"sv)) return end + 2;
                                   if (BytesAt(data, end, "\n"sv) || BytesAt(data, end, "\r"sv)) {
                                       return end + 1;
                                   }
                                   return end;
                               }
                               if (const auto at = FindBackward(data, "trailer"sv)) return *at + 7;
                               return std::nullopt;
                           });
}

}  // namespace norvale
