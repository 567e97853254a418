// JPEG: start of image followed by a JFIF (APP0) or Exif (APP1) segment, or by any other sane
// run of the segments a picture opens with (edited photos, CMYK files and previews begin with a
// quantisation table, a comment, an ICC profile, Adobe or Photoshop segments).
#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "carving/boundary.h"
#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/formats/jpeg_decode.h"
#include "carving/identify.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

namespace {

// The markers a picture's header is made of before its scan: APP0-APP15, DQT, DHT, DRI, COM and
// the frame headers (SOF0-SOF15 but DHT, JPG and DAC).
bool IsHeaderMarker(uint8_t m) {
    if (m >= 0xE0 && m <= 0xEF) return true;
    if (m >= 0xC0 && m <= 0xCF) return m != 0xC8 && m != 0xCC;  // C4 (DHT) is a table: fine
    return m == 0xDB || m == 0xDD || m == 0xFE;
}

// SOI, then header segments whose lengths chain from one marker to the next: up to the start of
// scan, or at least two whole segments before the sector ends, or one that runs past it (a large
// Exif or ICC segment). A length below the segment's own two bytes never passes.
bool IsJpegSegmentRun(ByteSpan s) {
    if (s.size() < 4 || s[0] != 0xFF || s[1] != 0xD8 || s[2] != 0xFF || !IsHeaderMarker(s[3]))
        return false;
    size_t at = 2;
    int whole = 0;
    while (at + 4 <= s.size()) {
        if (s[at] != 0xFF) return false;
        const uint8_t marker = s[at + 1];
        if (marker == 0xDA) return whole >= 1;  // start of scan after real tables
        if (!IsHeaderMarker(marker)) return false;
        const size_t length = size_t{s[at + 2]} << 8 | s[at + 3];
        if (length < 2) return false;
        at += 2 + length;
        if (at > s.size()) return true;  // runs past the sector: its start was sound
        ++whole;
        if (whole >= 2 && at + 2 > s.size()) return true;
    }
    return whole >= 2;
}

// Follows a JPEG's structure as its bytes are fed in order: header segments by their lengths,
// the entropy-coded data of each scan (stuffed zero bytes, restart markers in turn), further
// tables and scans of progressive pictures, up to the end-of-image marker that closes the
// picture. Thumbnails and previews inside APPn segments are skipped with their segment.
class JpegWalk {
  public:
    bool Running() const { return state_ != State::kEnd && state_ != State::kBroken; }
    bool Ended() const { return state_ == State::kEnd; }
    // Offset of the next byte to feed; where the walk stopped once it is not running.
    uint64_t Position() const { return position_; }
    // Offset of the first scan's compressed data; 0 before it.
    uint64_t FirstScan() const { return firstScan_; }
    // Offset of the TIFF header of a multi-picture (MPF) index; 0 without one.
    uint64_t MultiPictureIndex() const { return multiPicture_; }

    // Bytes that may be passed over unread: the rest of the segment being walked, once the
    // walk holds the segment's first bytes (the ones it looks at).
    uint64_t Skippable() const {
        const bool headHeld = headBytes_ == head_.size() || headBytes_ == length_ - 2u;
        return state_ == State::kSegment && headHeld ? remaining_ : 0;
    }
    void Skip(uint64_t n) {
        n = std::min(n, Skippable());
        remaining_ -= n;
        position_ += n;
        if (remaining_ == 0) FinishSegment();
    }

    void Feed(ByteSpan bytes) {
        size_t i = 0;
        while (i < bytes.size() && Running()) {
            if (state_ == State::kEntropy) {
                const auto* ff = static_cast<const uint8_t*>(
                    std::memchr(bytes.data() + i, 0xFF, bytes.size() - i));
                const size_t stop = ff ? static_cast<size_t>(ff - bytes.data()) + 1 : bytes.size();
                position_ += stop - i;
                i = stop;
                if (ff) state_ = State::kEntropyMarker;
                continue;
            }
            if (state_ == State::kSegment) {
                const size_t n = static_cast<size_t>(std::min<uint64_t>(remaining_, bytes.size() - i));
                for (size_t k = 0; k < n && headBytes_ < head_.size(); ++k) {
                    head_[headBytes_++] = bytes[i + k];
                }
                i += n;
                position_ += n;
                remaining_ -= n;
                if (remaining_ == 0) FinishSegment();
                continue;
            }
            const uint8_t b = bytes[i++];
            ++position_;
            Step(b);
        }
    }

  private:
    enum class State {
        kMarker, kMarkerCode, kLengthHigh, kLengthLow, kSegment, kEntropy, kEntropyMarker,
        kEnd, kBroken
    };

    void Break() {
        state_ = State::kBroken;
        --position_;  // the byte that did not fit
    }

    void Step(uint8_t b) {
        switch (state_) {
            case State::kMarker:
                if (b != 0xFF) return Break();
                state_ = State::kMarkerCode;
                return;
            case State::kMarkerCode:
                if (b != 0xFF) Marker(b);  // 0xFF: fill byte before a marker
                return;
            case State::kLengthHigh:
                length_ = uint32_t{b} << 8;
                state_ = State::kLengthLow;
                return;
            case State::kLengthLow:
                length_ |= b;
                if (length_ < 2) return Break();
                remaining_ = length_ - 2;
                headBytes_ = 0;
                payloadStart_ = position_;
                state_ = State::kSegment;
                if (remaining_ == 0) FinishSegment();
                return;
            case State::kEntropyMarker:
                if (b == 0x00) {
                    state_ = State::kEntropy;
                } else if (b >= 0xD0 && b <= 0xD7) {
                    // Restart markers come only with a restart interval, and in turn.
                    if (restartInterval_ == 0 || uint32_t{b} - 0xD0u != nextRestart_) return Break();
                    nextRestart_ = (nextRestart_ + 1) & 7;
                    state_ = State::kEntropy;
                } else if (b != 0xFF) {
                    Marker(b);  // the scan's end
                }
                return;
            default:
                return;
        }
    }

    void Marker(uint8_t m) {
        if (!sawStart_) {
            if (m != 0xD8 || position_ != 2) return Break();
            sawStart_ = true;
            state_ = State::kMarker;
            return;
        }
        if (m == 0xD9) {  // end of image
            if (!sawFrame_ || scans_ == 0) return Break();
            state_ = State::kEnd;
            return;
        }
        const bool frame = m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
        const bool segment = frame || m == 0xC4 || m == 0xCC || m == 0xDA || m == 0xDB ||
                             m == 0xDC || m == 0xDD || (m >= 0xE0 && m <= 0xEF) || m == 0xFE;
        if (!segment) return Break();
        marker_ = m;
        state_ = State::kLengthHigh;
    }

    void FinishSegment() {
        const uint32_t payload = length_ - 2;
        state_ = State::kMarker;
        const bool frame = marker_ >= 0xC0 && marker_ <= 0xCF && marker_ != 0xC4 &&
                           marker_ != 0xC8 && marker_ != 0xCC;
        if (frame) {
            // One frame per picture: precision, height, width, components and their specs.
            if (sawFrame_ || payload < 6) return BreakHere();
            const uint32_t height = uint32_t{head_[1]} << 8 | head_[2];
            const uint32_t width = uint32_t{head_[3]} << 8 | head_[4];
            const uint32_t components = head_[5];
            if (width == 0 || height == 0 || components == 0 || components > 4 ||
                payload != 6 + 3 * components) {
                return BreakHere();
            }
            sawFrame_ = true;
        } else if (marker_ == 0xDD) {
            if (payload != 2) return BreakHere();
            restartInterval_ = uint32_t{head_[0]} << 8 | head_[1];
        } else if (marker_ == 0xDA) {
            const uint32_t components = head_[0];
            if (!sawFrame_ || components == 0 || components > 4 ||
                payload != 1 + 2 * components + 3) {
                return BreakHere();
            }
            ++scans_;
            nextRestart_ = 0;
            if (firstScan_ == 0) firstScan_ = position_;
            state_ = State::kEntropy;
        } else if (marker_ == 0xE2 && multiPicture_ == 0 && headBytes_ >= 8 &&
                   std::memcmp(head_.data(), "MPF\0", 4) == 0) {
            multiPicture_ = payloadStart_ + 4;
        }
    }

    // A segment whose content does not check out: the walk stops at its start.
    void BreakHere() {
        state_ = State::kBroken;
        position_ = payloadStart_ - 4;
    }

    State state_ = State::kMarker;
    uint64_t position_ = 0;
    uint64_t remaining_ = 0;
    uint64_t payloadStart_ = 0;
    uint64_t firstScan_ = 0;
    uint64_t multiPicture_ = 0;
    uint32_t length_ = 0;
    uint32_t restartInterval_ = 0;
    uint32_t nextRestart_ = 0;
    uint32_t scans_ = 0;
    std::array<uint8_t, 16> head_{};
    size_t headBytes_ = 0;
    uint8_t marker_ = 0;
    bool sawStart_ = false;
    bool sawFrame_ = false;
};

// Bounds on the work one candidate may cost.
// The first decoding of a candidate checks its first MiB (most pictures whole, the headers and
// the start of the data of larger ones: the pass must stay as fast as a boundary scan); the
// walk covers the rest. Joining two pieces decodes the whole picture.
constexpr uint64_t kMaxDecodeBytes = uint64_t{1} << 20;
constexpr uint64_t kMaxJoinDecodeBytes = uint64_t{64} << 20;
constexpr uint64_t kMaxPixels = uint64_t{1} << 30;               // stated width * height
constexpr uint64_t kMaxDecoderMemory = uint64_t{192} << 20;      // libjpeg's allocations
constexpr uint64_t kMaxGapBytes = uint64_t{16} << 20;            // between two pieces
constexpr uint64_t kMaxFaultScanSectors = 32768;                 // looked at before a fault
constexpr int kMaxJoinAttempts = 512;  // decodings per file; large pictures meet the byte limit first
constexpr uint64_t kMaxSearchDecodeBytes = uint64_t{256} << 20;  // read by them all
constexpr size_t kContinuationCheckBytes = 4096;

// Hands the decoder a candidate's bytes (the first piece from `first` up to `firstPiece`
// bytes, the rest from `rest`) and walks the structure along with the same bytes, so each
// byte is read once.
class JpegFeed final : public JpegByteFeed {
  public:
    JpegFeed(FileWindow& first, uint64_t firstPiece, FileWindow* rest)
        : first_(first), rest_(rest), firstPiece_(firstPiece) {}

    ByteSpan At(uint64_t offset) override {
        if (!CatchUp(offset)) return {};
        const ByteSpan view = View(offset);
        if (walk_.Running() && walk_.Position() == offset) walk_.Feed(view);
        return view;
    }

    // Walks on alone to the walk's end, or as far as there are bytes.
    void WalkToEnd() { (void)CatchUp(UINT64_MAX); }

    const JpegWalk& Walk() const { return walk_; }
    bool Stopped() const { return first_.Stopped() || (rest_ != nullptr && rest_->Stopped()); }

  private:
    ByteSpan View(uint64_t offset) {
        if (offset < firstPiece_) {
            return first_.View(offset, static_cast<size_t>(std::min<uint64_t>(
                                           FileWindow::kMaxView, firstPiece_ - offset)));
        }
        if (rest_ == nullptr) return {};
        return rest_->View(offset - firstPiece_, FileWindow::kMaxView);
    }

    // Brings the walk up to `target` (the decoder skipped a segment); segment bodies the walk
    // does not look into are passed over unread.
    bool CatchUp(uint64_t target) {
        while (walk_.Running() && walk_.Position() < target) {
            const uint64_t at = walk_.Position();
            if (const uint64_t skip = walk_.Skippable(); skip > 0) {
                walk_.Skip(std::min(skip, target - at));
                continue;
            }
            ByteSpan view = View(at);
            if (view.empty()) return false;
            if (view.size() > target - at) view = view.first(static_cast<size_t>(target - at));
            walk_.Feed(view);
        }
        return true;
    }

    FileWindow& first_;
    FileWindow* rest_;
    uint64_t firstPiece_;
    JpegWalk walk_;
};

struct Examination {
    bool whole = false;    // ends at its end-of-image marker
    bool decoded = false;  // the decoder confirmed it
    bool trusted = true;   // false: the stated picture size was too large to decode
    bool stopped = false;
    uint64_t end = 0;      // whole: the offset just past the end-of-image marker
    uint64_t fault = 0;    // not whole: where the data was seen to break (the fault is before)
};

// Decodes and walks a candidate together: whole where both reach the same end-of-image marker
// cleanly. Where the decoder cannot say (budget, memory, an unsupported process), the walk
// alone decides.
Examination Examine(JpegFeed& feed, uint64_t maxDecodeBytes) {
    const JpegDecodeResult r = DecodeJpeg(feed, {maxDecodeBytes, kMaxPixels, kMaxDecoderMemory});
    Examination e;
    const JpegWalk& walk = feed.Walk();
    if (r.outcome == JpegDecodeOutcome::kUnchecked) feed.WalkToEnd();
    if (feed.Stopped()) {
        e.stopped = true;
        e.fault = walk.Position();
        return e;
    }
    switch (r.outcome) {
        case JpegDecodeOutcome::kWhole:
            if (walk.Ended() && walk.Position() == r.position) {
                e.whole = e.decoded = true;
                e.end = r.position;
                return e;
            }
            e.fault = walk.Running() ? r.position : std::min(walk.Position(), r.position);
            return e;
        case JpegDecodeOutcome::kCorrupt:
            e.fault = walk.Running() ? r.position : std::min(walk.Position(), r.position);
            return e;
        case JpegDecodeOutcome::kUnchecked:
            e.trusted = !r.tooLarge;
            e.whole = walk.Ended();
            (e.whole ? e.end : e.fault) = walk.Position();
            return e;
    }
    return e;
}

// A context of our own for looking at other sectors (the gap, a continuation) without
// disturbing the candidate's; it reports progress and stops like the candidate's.
void PrepareHelperContext(CarvingContext& helper, const CarvingContext& context) {
    helper.sectorSize = context.sectorSize;
    helper.reader = context.reader;
    helper.sectorsDone = context.sectorsDone;
    helper.sectorsTotal = context.sectorsTotal;
    helper.secondsLeft = context.secondsLeft;
    helper.filesFound = context.filesFound;
    helper.scanProgress = context.scanProgress;
    helper.progressUserData = context.progressUserData;
    helper.progressScale = context.progressScale;
}

bool IsAllZero(ByteSpan bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

// True for a sector that begins another file or holds a file-system structure.
bool BeginsOtherData(ByteSpan sector, CarvingContext& helper, uint64_t lba) {
    if (IsFileSystemMetadataSector(sector)) return true;
    helper.startLba = helper.cursorLba = lba;
    return DetectFileType(sector, helper) != FileTypeCode::kNoFileType;
}

// Whether the bytes at `offset` of `window` could be the middle of a JPEG's compressed data:
// every 0xFF is a stuffed byte, a restart marker, fill, the end-of-image marker or one of the
// segments that come between the scans of a progressive picture.
bool LooksLikeScanData(FileWindow& window, uint64_t offset) {
    const ByteSpan bytes = window.View(offset, kContinuationCheckBytes + 1);
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
        if (bytes[i] != 0xFF) continue;
        const uint8_t next = bytes[i + 1];
        if (next == 0xD9) return true;
        const bool between = next == 0xC4 || next == 0xCC || next == 0xDA || next == 0xDB ||
                             next == 0xDD || next == 0xFE;
        if (next != 0x00 && next != 0xFF && (next < 0xD0 || next > 0xD7) && !between) {
            return false;
        }
    }
    return true;
}

// Sectors at which the first piece of a broken picture may end (its sector count), most
// likely first: the first sector after the scan began that is all zeros, begins another file
// or holds a file-system structure, at or before the fault; the sector of the fault itself
// (a decoder notices bad data a little after it begins); the one before.
std::vector<uint64_t> PieceEnds(FileWindow& window, CarvingContext& helper, uint64_t startLba,
                                uint64_t firstScan, uint64_t fault) {
    const uint32_t s = helper.sectorSize;
    std::vector<uint64_t> ends;
    const uint64_t faultSector = fault / s;
    uint64_t first = std::max<uint64_t>(1, firstScan / s + 1);
    if (faultSector >= kMaxFaultScanSectors) first = std::max(first, faultSector - kMaxFaultScanSectors);
    for (uint64_t k = first; k <= faultSector; ++k) {
        const ByteSpan sector = window.View(k * s, s);
        if (sector.size() < s) break;
        if (IsAllZero(sector) || BeginsOtherData(sector, helper, startLba + k)) {
            ends.push_back(k);
            break;
        }
    }
    for (const uint64_t k : {faultSector, faultSector - 1}) {
        if (k >= 1 && k <= faultSector && std::find(ends.begin(), ends.end(), k) == ends.end()) {
            ends.push_back(k);
        }
    }
    return ends;
}

// Where two pieces join into a whole picture.
struct Join {
    uint64_t firstPieceSectors = 0;
    uint64_t secondLba = 0;
    uint64_t end = 0;
};

// Nested searches (a broken picture in the gap of another) are not made.
thread_local bool searching = false;

// Looks for the rest of a broken picture after the gap that follows its first piece: first
// right after a file that begins the gap (sized through the catalogue), then at each sector
// of the gap in turn that could be compressed data. A join counts only where the decoder
// goes on cleanly to the end-of-image marker.
std::optional<Join> FindSecondPiece(FileWindow& window, CarvingContext& context,
                                    const std::vector<uint64_t>& pieceEnds, bool& stopped) {
    const uint32_t s = context.sectorSize;
    CarvingContext gap;
    CarvingContext rest;
    CarvingContext probe;
    PrepareHelperContext(gap, context);
    PrepareHelperContext(rest, context);
    PrepareHelperContext(probe, context);
    int attempts = 0;
    uint64_t budget = kMaxSearchDecodeBytes;
    const uint64_t gapSectors = kMaxGapBytes / s;

    const auto attempt = [&](uint64_t pieceSectors, uint64_t lba) -> std::optional<Join> {
        ++attempts;
        rest.startLba = rest.cursorLba = lba;
        FileWindow restWindow(ByteSpan{}, rest, kCap128MiB - pieceSectors * s);
        JpegFeed feed(window, pieceSectors * s, &restWindow);
        const Examination e = Examine(feed, std::min(budget, kMaxJoinDecodeBytes));
        budget -= std::min(budget, e.whole ? e.end : e.fault);
        if (e.stopped) {
            stopped = true;
            context.lastProgressResult = rest.lastProgressResult;
        }
        if (!e.whole || !e.decoded || e.end <= pieceSectors * s) return std::nullopt;
        return Join{pieceSectors, lba, e.end};
    };
    const auto exhausted = [&] {
        return stopped || attempts >= kMaxJoinAttempts || budget == 0;
    };

    for (const uint64_t pieceSectors : pieceEnds) {
        const uint64_t gapLba = context.startLba + pieceSectors;
        gap.startLba = gap.cursorLba = gapLba;
        FileWindow gapWindow(ByteSpan{}, gap, kMaxGapBytes);
        uint64_t tried = 0;
        bool attempted = false;
        bool sizedWhole = false;
        // A file that begins the gap: its end is the likeliest place for the rest.
        const ByteSpan head = gapWindow.View(0, s);
        if (head.size() == s && BeginsOtherData(head, probe, gapLba)) {
            std::vector<uint8_t> sector(head.begin(), head.end());
            std::string name;
            FileTypeCode type = FileTypeCode::kNoFileType;
            uint64_t length = 0;
            CarveProgress progress{context.sectorsDone, context.sectorsTotal,
                                   context.secondsLeft, context.filesFound};
            const Result r = IdentifyAndSize(probe, s, *context.reader, sector, gapLba, progress,
                                             name, type, length);
            if (r == kScanCancelled) {
                stopped = true;
                context.lastProgressResult = probe.lastProgressResult;
                return std::nullopt;
            }
            const uint64_t sectors = (length + s - 1) / s;
            // Only a file whose own structure gave its length is known to end there; a guessed
            // length (run to the next boundary) may cover the rest of the picture.
            sizedWhole = r == kOk && probe.structureValid;
            if (r == kOk && sectors > 0 && sectors < gapSectors) {
                tried = gapLba + sectors;
                attempted = LooksLikeScanData(gapWindow, sectors * s);
                if (attempted) {
                    if (auto join = attempt(pieceSectors, tried)) return join;
                }
            }
        }
        // The sectors after the file in the gap first, then (unless that file checked out
        // whole, when the rest cannot lie inside it) the file's own sectors: a length that was
        // only a guess may have run over the rest of the picture.
        const uint64_t past = tried != 0 ? tried - gapLba : 1;
        const uint64_t ranges[2][2] = {{past, gapSectors}, {1, sizedWhole ? 1 : past}};
        for (const auto& range : ranges) {
            for (uint64_t k = range[0]; k < range[1] && !exhausted(); ++k) {
                const ByteSpan sector = gapWindow.View(k * s, s);
                if (sector.size() < s) break;
                if ((attempted && gapLba + k == tried) || IsAllZero(sector)) continue;
                if (!LooksLikeScanData(gapWindow, k * s)) continue;
                const ByteSpan again = gapWindow.View(k * s, s);  // the check may have moved it
                if (again.size() < s || BeginsOtherData(again, probe, gapLba + k)) continue;
                if (auto join = attempt(pieceSectors, gapLba + k)) return join;
            }
        }
        if (gapWindow.Stopped()) {
            stopped = true;
            context.lastProgressResult = gap.lastProgressResult;
        }
        if (exhausted()) break;
    }
    return std::nullopt;
}

// A camera picture may carry further pictures (a large preview) after its own end, listed in
// a multi-picture index (an APP2 "MPF" segment holding a TIFF structure). The file as the
// camera wrote it ends with the last of them; without a sound index it ends with the picture.
uint64_t EndOfMultiPicture(FileWindow& window, uint64_t tiff, uint64_t end) {
    const auto order = window.Be16(tiff);
    if (!order || (*order != 0x4949 && *order != 0x4D4D)) return end;
    const bool little = *order == 0x4949;
    const auto u16 = [&](uint64_t at) { return little ? window.Le16(at) : window.Be16(at); };
    const auto u32 = [&](uint64_t at) { return little ? window.Le32(at) : window.Be32(at); };
    const auto magic = u16(tiff + 2);
    const auto ifd = u32(tiff + 4);
    if (!magic || *magic != 42 || !ifd) return end;
    const uint64_t entriesAt = tiff + *ifd;
    const auto count = u16(entriesAt);
    if (!count || *count > 64) return end;
    for (uint32_t i = 0; i < *count; ++i) {
        const uint64_t entry = entriesAt + 2 + 12 * uint64_t{i};
        const auto tag = u16(entry);
        if (!tag || *tag != 0xB002) continue;  // the picture list
        const auto bytes = u32(entry + 4);
        const auto listAt = u32(entry + 8);
        if (!bytes || !listAt || *bytes % 16 != 0 || *bytes / 16 > 16) return end;
        uint64_t last = end;
        for (uint32_t k = 1; k < *bytes / 16; ++k) {  // the first is the picture itself
            const uint64_t item = tiff + *listAt + 16 * uint64_t{k};
            const auto size = u32(item + 4);
            const auto offset = u32(item + 8);
            if (!size || !offset || *size < 4 || *offset == 0) return end;
            const uint64_t begin = tiff + *offset;
            const uint64_t stop = begin + *size;
            const auto soi = window.Be16(begin);
            const auto eoi = window.Be16(stop - 2);
            if (begin < end || !soi || *soi != 0xFFD8 || !eoi || *eoi != 0xFFD9) return end;
            last = std::max(last, stop);
        }
        return last;
    }
    return end;
}
}  // namespace

FileTypeCode DetectJpeg(ByteSpan sector, CarvingContext&) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    if (BytesAt(sector, 0, "\xFF\xD8\xFF\xE0"sv) && BytesAt(sector, 6, "JFIF"sv)) {
        return FileTypeCode::kJpg;
    }
    if (BytesAt(sector, 0, "\xFF\xD8\xFF\xE1"sv) && BytesAt(sector, 6, "Exif"sv)) {
        return FileTypeCode::kJpg;
    }
    return IsJpegSegmentRun(sector) ? FileTypeCode::kJpg : FileTypeCode::kNoFileType;
}

// What is known of a picture whose structure breaks before its scan: the first zero-padded
// end-of-image marker in its first sector, else the last one before the next file's boundary,
// else that boundary.
uint64_t SizeByEndOfImage(ByteSpan sector, CarvingContext& context) {
    constexpr std::string_view kEndOfImage = "\xFF\xD9"sv;
    const uint32_t sectorSize = context.sectorSize;
    if (const std::optional<size_t> at = FindForward(sector, kEndOfImage);
        at && IsZeroPaddedFooter(sector, *at, kEndOfImage.size(), sectorSize)) {
        return *at + kEndOfImage.size();
    }
    SizerFrame frame(context, kCap128MiB);
    std::optional<uint64_t> candidate;
    while (frame.Next()) {
        if (const std::optional<size_t> end =
                LastZeroPaddedFooterEnd(frame.Chunk(), kEndOfImage, sectorSize)) {
            candidate = frame.BytesBeforeChunk() + *end;
        }
    }
    const uint64_t length = frame.Length();
    return candidate && *candidate < length ? *candidate : length;
}

uint64_t SizeJpeg(ByteSpan sector, CarvingContext& context) {
    const uint32_t s = context.sectorSize;
    // An end-of-image marker before any scan in the first sector: no picture to decode, and
    // nothing to read on for.
    if (const std::optional<size_t> eoi = FindForward(sector, "\xFF\xD9"sv);
        eoi && IsZeroPaddedFooter(sector, *eoi, 2, s) &&
        !FindForward(sector.first(*eoi), "\xFF\xDA"sv)) {
        context.structureValid = false;
        return SizeByEndOfImage(sector, context);
    }
    FileWindow window(sector, context, kCap128MiB);
    JpegFeed feed(window, UINT64_MAX, nullptr);
    const Examination e = Examine(feed, kMaxDecodeBytes);
    const uint64_t least = std::max<uint64_t>(1, std::min<uint64_t>(s, window.Limit()));
    if (e.stopped) return std::max(least, e.fault);  // the caller reports the stop
    if (e.whole) {
        // A picture of a size no camera or editor makes is not decoded, so not vouched for.
        if (!e.trusted) context.structureValid = false;
        const uint64_t index = feed.Walk().MultiPictureIndex();
        return index != 0 ? EndOfMultiPicture(window, index, e.end) : e.end;
    }

    // Broken: the length up to the last sound sector, unless the rest turns up after a gap.
    // Without a scan there is no sound point to go by.
    context.structureValid = false;
    if (feed.Walk().FirstScan() == 0 || window.Stopped()) {
        return window.Stopped() ? std::max(least, e.fault) : SizeByEndOfImage(sector, context);
    }
    if (s == 0 || context.reader == nullptr) return std::max(least, e.fault);
    CarvingContext probe;
    PrepareHelperContext(probe, context);
    const std::vector<uint64_t> ends =
        PieceEnds(window, probe, context.startLba, feed.Walk().FirstScan(), e.fault);
    const uint64_t faultSectorEnd = std::min(window.Limit(), (e.fault / s + 1) * s);
    const uint64_t fallback = std::max(least, ends.empty() ? faultSectorEnd : ends.front() * s);
    if (searching || ends.empty() || window.Stopped()) return fallback;
    searching = true;
    bool stopped = false;
    const std::optional<Join> join = FindSecondPiece(window, context, ends, stopped);
    searching = false;
    if (!join) return fallback;
    context.structureValid = true;
    context.firstPieceSectors = join->firstPieceSectors;
    context.secondPieceLba = join->secondLba;
    return join->end;
}

}  // namespace norvale
