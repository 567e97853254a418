#include "carving/file_window.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>

#include "carving/sizer_frame.h"

namespace norvale {

namespace {

constexpr uint64_t kUnknown = std::numeric_limits<uint64_t>::max();
// A walk that reads this much through the reader tells the progress callback.
constexpr uint64_t kReportEveryBytes = uint64_t{4} << 20;

int ProgressPercent(uint64_t done, uint64_t total) {
    if (total == 0) return 10;
    const unsigned __int128 percent = static_cast<unsigned __int128>(done) * 100 / total;
    return static_cast<int>(std::min<unsigned __int128>(percent, INT_MAX - 10)) + 10;
}

}  // namespace

FileWindow::FileWindow(ByteSpan sector, CarvingContext& context, uint64_t cap)
    : context_(context), held_(sector) {
    const ByteSpan held = context.held;
    if (!held.empty() && held.data() == sector.data() && held.size() >= sector.size()) {
        held_ = held;
    }
    limit_ = std::min(cap, BytesToMediumEnd(context));
    if (limit_ == kUnknown) limit_ = cap;
    if (held_.size() > limit_) held_ = held_.first(static_cast<size_t>(limit_));
}

bool FileWindow::Fill(uint64_t offset) {
    const uint32_t sectorSize = context_.sectorSize;
    std::vector<uint8_t>& buffer = context_.windowBuffer;
    if (stopped_ || context_.reader == nullptr || sectorSize == 0 || sectorSize > buffer.size()) {
        return false;
    }
    const uint64_t firstSector = offset / sectorSize;
    const uint64_t lastSector = (limit_ - 1) / sectorSize;  // limit_ > offset >= 0
    const uint64_t count =
        std::min<uint64_t>(buffer.size() / sectorSize, lastSector - firstSector + 1);
    if (context_.startLba > kUnknown - firstSector - count) return false;
    uint32_t got = 0;
    (void)context_.reader->ReadSectors(static_cast<uint32_t>(count), buffer.data(),
                                       context_.startLba + firstSector, sectorSize, got);
    got = static_cast<uint32_t>(std::min<uint64_t>(got, count));
    windowStart_ = firstSector * sectorSize;
    windowBytes_ = size_t{got} * sectorSize;
    readBytes_ += windowBytes_;
    if (readBytes_ - reportedBytes_ >= kReportEveryBytes) ReportProgress();
    return windowBytes_ > 0 && !stopped_;
}

void FileWindow::ReportProgress() {
    reportedBytes_ = readBytes_;
    if (context_.scanProgress == nullptr || context_.sectorSize == 0) return;
    const uint64_t done = context_.sectorsDone + readBytes_ / context_.sectorSize;
    context_.lastProgressResult = context_.scanProgress(
        context_.progressUserData, ProgressPercent(done, context_.sectorsTotal),
        context_.progressScale, context_.secondsLeft, done, context_.sectorsTotal,
        context_.filesFound, 0);
    if (context_.lastProgressResult != 0) stopped_ = true;
}

ByteSpan FileWindow::View(uint64_t offset, size_t n) {
    if (stopped_ || offset >= limit_) return {};
    n = static_cast<size_t>(std::min<uint64_t>({n, kMaxView, limit_ - offset}));
    if (offset + n <= held_.size()) return held_.subspan(static_cast<size_t>(offset), n);
    const auto inWindow = [&] {
        return offset >= windowStart_ && offset - windowStart_ < windowBytes_;
    };
    if (!inWindow() || offset + n > windowStart_ + windowBytes_) {
        if (!Fill(offset) || !inWindow()) return {};
    }
    const auto at = static_cast<size_t>(offset - windowStart_);
    return ByteSpan(context_.windowBuffer).subspan(at, std::min(n, windowBytes_ - at));
}

bool FileWindow::Read(uint64_t offset, std::span<uint8_t> out) {
    size_t done = 0;
    while (done < out.size()) {
        if (offset > kUnknown - done) return false;
        const ByteSpan part = View(offset + done, out.size() - done);
        if (part.empty()) return false;
        std::memcpy(out.data() + done, part.data(), part.size());
        done += part.size();
    }
    return true;
}

namespace {
template <size_t N>
bool Get(FileWindow& window, uint64_t offset, uint8_t (&bytes)[N]) {
    return window.Read(offset, std::span<uint8_t>(bytes, N));
}
template <size_t N>
uint64_t BigEndian(const uint8_t (&b)[N]) {
    uint64_t v = 0;
    for (size_t i = 0; i < N; ++i) v = (v << 8) | b[i];
    return v;
}
template <size_t N>
uint64_t LittleEndian(const uint8_t (&b)[N]) {
    uint64_t v = 0;
    for (size_t i = N; i-- > 0;) v = (v << 8) | b[i];
    return v;
}
}  // namespace

std::optional<uint8_t> FileWindow::U8(uint64_t offset) {
    uint8_t b[1];
    if (!Get(*this, offset, b)) return std::nullopt;
    return b[0];
}
std::optional<uint16_t> FileWindow::Be16(uint64_t offset) {
    uint8_t b[2];
    if (!Get(*this, offset, b)) return std::nullopt;
    return static_cast<uint16_t>(BigEndian(b));
}
std::optional<uint16_t> FileWindow::Le16(uint64_t offset) {
    uint8_t b[2];
    if (!Get(*this, offset, b)) return std::nullopt;
    return static_cast<uint16_t>(LittleEndian(b));
}
std::optional<uint32_t> FileWindow::Be32(uint64_t offset) {
    uint8_t b[4];
    if (!Get(*this, offset, b)) return std::nullopt;
    return static_cast<uint32_t>(BigEndian(b));
}
std::optional<uint32_t> FileWindow::Le32(uint64_t offset) {
    uint8_t b[4];
    if (!Get(*this, offset, b)) return std::nullopt;
    return static_cast<uint32_t>(LittleEndian(b));
}
std::optional<uint64_t> FileWindow::Be64(uint64_t offset) {
    uint8_t b[8];
    if (!Get(*this, offset, b)) return std::nullopt;
    return BigEndian(b);
}
std::optional<uint64_t> FileWindow::Le64(uint64_t offset) {
    uint8_t b[8];
    if (!Get(*this, offset, b)) return std::nullopt;
    return LittleEndian(b);
}

}  // namespace norvale
