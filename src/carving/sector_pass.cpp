#include "carving/sector_pass.h"

#include <algorithm>
#include <cstring>
#include <atomic>
#include <limits>
#include <thread>

#include <sched.h>

namespace norvale {

namespace {
std::atomic<unsigned> gThreads{0};
std::atomic<bool> gDirectIo{false};
}  // namespace

void SetPassSettings(const PassSettings& settings) {
    gThreads = settings.threads;
    gDirectIo = settings.directIo;
}

PassSettings GetPassSettings() {
    return PassSettings{gThreads.load(), gDirectIo.load()};
}

unsigned PassWorkerCount() {
    if (const unsigned n = gThreads.load(); n != 0) return n;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&set));
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

uint32_t ReadChunkTolerant(SectorReader& reader, uint64_t lba, uint32_t count, uint32_t sectorSize,
                           std::span<uint8_t> out) {
    uint32_t got = 0;
    const Result r = reader.ReadSectors(count, out.data(), lba, sectorSize, got);
    if (r == kOk && got == count) return count;
    got = std::min(got, count);
    uint32_t read = got;
    for (uint32_t i = got; i < count; ++i) {
        uint8_t* sector = out.data() + size_t{i} * sectorSize;
        uint32_t one = 0;
        if (reader.ReadSectors(1, sector, lba + i, sectorSize, one) == kOk && one == 1) {
            ++read;
        } else {
            std::memset(sector, 0, sectorSize);
        }
    }
    return read;
}

Result RunExtent(SectorReader& reader, uint64_t partitionStartLba, uint32_t sectorSize,
                 PassPosition& position, const ChunkClassifier& classify, const ChunkDone& done) {
    if (sectorSize == 0 || sectorSize > kPassChunkBytes) return kErrInvalidParameter;
    const uint32_t chunkSectors = kPassChunkBytes / sectorSize;
    std::vector<uint8_t> buffer(size_t{chunkSectors} * sectorSize);
    while (position.offset < position.extentLength) {
        const uint64_t left = position.extentLength - position.offset;
        const auto chunk = static_cast<uint32_t>(std::min<uint64_t>(chunkSectors, left));
        const uint64_t lba = partitionStartLba + position.extentStart + position.offset;
        const std::span<uint8_t> bytes(buffer.data(), size_t{chunk} * sectorSize);
        uint64_t advance = chunk;
        Result r = kOk;
        if (ReadChunkTolerant(reader, lba, chunk, sectorSize, bytes) > 0) {
            r = classify(bytes, lba, advance);
        }
        position.offset += advance;
        position.sectorsDone += std::min(advance, left);
        if (r != kOk) return r;
        if (const int answer = done(position); answer != 0) return answer;
    }
    return kOk;
}

TimeLeftEstimator::TimeLeftEstimator(uint32_t sectorSize, Clock::time_point start)
    : sectorSize_(sectorSize), start_(start), last_(start) {}

int32_t TimeLeftEstimator::Update(uint64_t sectorsDone, uint64_t sectorsTotal,
                                  Clock::time_point now) {
    using std::chrono::seconds;
    if (estimated_ && now - last_ < seconds(5)) return secondsLeft_;
    const auto elapsed = std::chrono::duration_cast<seconds>(now - start_).count();
    if (elapsed <= 0) return secondsLeft_;
    last_ = now;
    estimated_ = true;
    uint64_t speed = sectorsDone * sectorSize_ / static_cast<uint64_t>(elapsed);
    if (speed == 0) speed = 1;
    const uint64_t remaining = sectorsTotal > sectorsDone ? sectorsTotal - sectorsDone : 0;
    const uint64_t secs = remaining * sectorSize_ / speed;
    secondsLeft_ =
        static_cast<int32_t>(std::min<uint64_t>(secs, std::numeric_limits<int32_t>::max()));
    return secondsLeft_;
}

}  // namespace norvale
