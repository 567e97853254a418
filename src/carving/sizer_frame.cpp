#include "carving/sizer_frame.h"

#include <algorithm>
#include <climits>
#include <limits>

#include "carving/boundary.h"

namespace norvale {

namespace {

constexpr uint64_t kUnknown = std::numeric_limits<uint64_t>::max();

// Reads up to `count` sectors at `lba` into the front of the work buffer; `got` is the number
// of whole sectors that arrived (all of them, or those before the first unreadable one).
void ReadIntoWorkBuffer(CarvingContext& context, uint64_t lba, uint32_t count, uint32_t& got) {
    got = 0;
    if (context.reader == nullptr || count == 0) return;
    if (uint64_t{count} * context.sectorSize > context.workBuffer.size()) return;
    if (lba > kUnknown - count) return;
    uint32_t arrived = 0;
    (void)context.reader->ReadSectors(count, context.workBuffer.data(), lba, context.sectorSize,
                                      arrived);
    got = std::min(arrived, count);
}

int ProgressPercent(uint64_t done, uint64_t total) {
    // Callers never pass a zero total while sizers run; a zero here must still not divide.
    if (total == 0) return 10;
    const unsigned __int128 percent = static_cast<unsigned __int128>(done) * 100 / total;
    return static_cast<int>(std::min<unsigned __int128>(percent, INT_MAX - 10)) + 10;
}

}  // namespace

uint64_t BytesToMediumEnd(CarvingContext& context) {
    if (context.reader == nullptr || !context.reader->IsOpen()) return kUnknown;
    uint64_t size = context.reader->Source()->SizeBytes();
    if (size == 0) {
        // A device that only reports its geometry.
        const uint64_t sectors = context.reader->TotalSectors();
        const uint32_t unit = context.reader->MediumSectorSize();
        if (sectors == 0 || __builtin_mul_overflow(sectors, uint64_t{unit}, &size)) return kUnknown;
    }
    uint64_t start = 0;
    if (__builtin_mul_overflow(context.startLba, uint64_t{context.sectorSize}, &start)) return 0;
    return size > start ? size - start : 0;
}

uint64_t BoundByMedium(uint64_t length, CarvingContext& context) {
    const uint64_t end = BytesToMediumEnd(context);
    // The medium ends before the file's stated end: what is there is a cut-off file.
    if (length > end) context.structureValid = false;
    return std::min(length, end);
}

bool IsZeroPaddedFooter(ByteSpan data, size_t offset, size_t footerBytes, uint32_t sectorSize) {
    if (sectorSize == 0 || offset > data.size() || footerBytes > data.size() - offset) {
        return false;
    }
    const size_t end = offset + footerBytes;
    const size_t intoSector = end % sectorSize;
    if (intoSector == 0) return true;
    const size_t sectorEnd = std::min(end - intoSector + sectorSize, data.size());
    return std::all_of(data.begin() + end, data.begin() + sectorEnd,
                       [](uint8_t b) { return b == 0; });
}

std::optional<size_t> FirstZeroPaddedFooterEnd(ByteSpan data, std::string_view footer,
                                               uint32_t sectorSize) {
    size_t from = 0;
    while (from < data.size()) {
        const std::optional<size_t> found = FindForward(data.subspan(from), footer);
        if (!found) break;
        const size_t at = from + *found;
        if (IsZeroPaddedFooter(data, at, footer.size(), sectorSize)) return at + footer.size();
        from = at + 1;
    }
    return std::nullopt;
}

std::optional<size_t> LastZeroPaddedFooterEnd(ByteSpan data, std::string_view footer,
                                              uint32_t sectorSize) {
    size_t before = data.size();
    while (before > 0) {
        const std::optional<size_t> found = FindBackward(data.first(before), footer);
        if (!found) break;
        if (IsZeroPaddedFooter(data, *found, footer.size(), sectorSize)) {
            return *found + footer.size();
        }
        // The next candidate may overlap this one but must start before it.
        before = *found + footer.size() - 1;
    }
    return std::nullopt;
}

ByteSpan ReadFromFileStart(CarvingContext& context) {
    const uint32_t sectorSize = context.sectorSize;
    if (sectorSize == 0 || sectorSize > context.workBuffer.size()) return {};
    uint64_t sectors = context.workBuffer.size() / sectorSize;
    const uint64_t onMedium = BytesToMediumEnd(context);
    if (onMedium != kUnknown) sectors = std::min(sectors, onMedium / sectorSize);
    uint32_t got = 0;
    ReadIntoWorkBuffer(context, context.startLba, static_cast<uint32_t>(sectors), got);
    return ByteSpan(context.workBuffer).first(size_t{got} * sectorSize);
}

SizerFrame::SizerFrame(CarvingContext& context, uint64_t cap, FileTypeCode repeatingType)
    : context_(context),
      cap_(cap),
      repeatingType_(repeatingType),
      sectorSize_(context.sectorSize),
      bytesBeforeChunk_(context.sectorSize),
      length_(context.sectorSize) {
    if (sectorSize_ == 0) return;
    chunkSectors_ = static_cast<uint32_t>(context.workBuffer.size() / sectorSize_);
    budget_ = cap / sectorSize_;
    const uint64_t onMedium = BytesToMediumEnd(context);
    mediumSectors_ = onMedium == kUnknown ? kUnknown : onMedium / sectorSize_;
    // The header sector is the file's first sector; only what follows it is read here.
    mediumSectors_ = mediumSectors_ > 0 ? mediumSectors_ - 1 : 0;
}

bool SizerFrame::Next() {
    if (chunkSectors_ == 0 || ended_) return false;
    if (started_) {
        if (boundaryHit_) {
            ended_ = true;
            return false;
        }
        // The whole previous chunk belongs to the file.
        length_ += whole_.size();
        bytesBeforeChunk_ += whole_.size();
        whole_ = {};
        if (lastChunk_) {
            ended_ = true;
            return false;
        }
    }
    started_ = true;

    uint64_t want = std::min<uint64_t>(chunkSectors_, budget_);
    want = std::min(want, mediumSectors_ - std::min(mediumSectors_, sectorsRead_));
    if (want == 0) {
        ended_ = true;
        return false;
    }
    uint32_t got = 0;
    if (context_.startLba <= kUnknown - 1 - sectorsRead_) {
        ReadIntoWorkBuffer(context_, context_.startLba + 1 + sectorsRead_,
                           static_cast<uint32_t>(want), got);
    }
    if (got == 0) {
        ended_ = true;
        return false;
    }
    // A read that fails part-way is the end of what can be known about the file: the sectors
    // that arrived are still examined, and nothing after them is asked for.
    lastChunk_ = got < want;
    const uint64_t chunkStartLba = context_.startLba + sectorsRead_;
    sectorsRead_ += got;
    budget_ -= got;

    ReportProgress();
    if (context_.lastProgressResult != 0) {
        ended_ = true;
        return false;
    }

    whole_ = ByteSpan(context_.workBuffer).first(size_t{got} * sectorSize_);
    // The boundary scan advances the cursor before each sector it examines, so detectors that
    // read ahead read at the sector under test.
    context_.cursorLba = chunkStartLba;
    uint64_t before = 0;
    boundaryHit_ = repeatingType_ == FileTypeCode::kNoFileType
                       ? FindBoundary(whole_, before, context_)
                       : FindBoundaryExcept(whole_, before, context_, repeatingType_);
    boundaryOffset_ = boundaryHit_ ? static_cast<size_t>(before) : whole_.size();
    return true;
}

ByteSpan SizerFrame::Chunk() const {
    return whole_.first(std::min(boundaryOffset_, whole_.size()));
}

uint64_t SizerFrame::Length() const {
    return Clamp(length_ + (boundaryHit_ ? boundaryOffset_ : 0));
}

void SizerFrame::ReportProgress() {
    if (context_.scanProgress == nullptr) return;
    const uint64_t done = context_.sectorsDone + sectorsRead_;
    context_.lastProgressResult = context_.scanProgress(
        context_.progressUserData, ProgressPercent(done, context_.sectorsTotal),
        context_.progressScale, context_.secondsLeft, done, context_.sectorsTotal,
        context_.filesFound, 0);
}

uint64_t SizeByZeroPaddedFooter(ByteSpan sector, CarvingContext& context, std::string_view footer,
                                uint64_t cap) {
    const uint32_t sectorSize = context.sectorSize;
    if (const std::optional<size_t> end = FirstZeroPaddedFooterEnd(sector, footer, sectorSize)) {
        return *end;
    }
    SizerFrame frame(context, cap);
    while (frame.Next()) {
        if (const std::optional<size_t> end =
                FirstZeroPaddedFooterEnd(frame.Chunk(), footer, sectorSize)) {
            return frame.Clamp(frame.BytesBeforeChunk() + *end);
        }
    }
    return frame.Length();
}

uint64_t SizeByEndMarker(ByteSpan sector, CarvingContext& context, uint64_t cap,
                         FindFileEnd findEnd) {
    const uint32_t sectorSize = context.sectorSize;
    SizerFrame frame(context, cap);
    const bool readAny = frame.Next();
    if (readAny) {
        if (const std::optional<size_t> end = findEnd(frame.Chunk(), sectorSize)) {
            return frame.Clamp(frame.BytesBeforeChunk() + *end);
        }
    }
    // The first chunk held no end, or nothing after the header could be read: a small file
    // may end inside its header sector.
    if (const std::optional<size_t> end = findEnd(sector, sectorSize)) return frame.Clamp(*end);
    while (readAny && frame.Next()) {
        if (const std::optional<size_t> end = findEnd(frame.Chunk(), sectorSize)) {
            return frame.Clamp(frame.BytesBeforeChunk() + *end);
        }
    }
    return frame.Length();
}

uint64_t SizeToBoundary(CarvingContext& context, uint64_t cap) {
    SizerFrame frame(context, cap);
    while (frame.Next()) {
    }
    return frame.Length();
}

}  // namespace norvale
