#include "carving/sector_pass.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <string>
#include <thread>

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

namespace {

struct FreeAligned {
    void operator()(uint8_t* p) const { std::free(p); }
};

// Reads the blocks of the ring: through the pass's reader, or, for a block device read around
// the page cache, through a descriptor of its own opened O_DIRECT into the aligned blocks.
class BlockReader {
  public:
    BlockReader(SectorReader& reader, uint32_t sectorSize) : reader_(reader), s_(sectorSize) {
        auto* file = dynamic_cast<FileSource*>(reader.Source());
        if (!file) return;
        (void)::posix_fadvise(file->Fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
        if (!GetPassSettings().directIo || !file->IsBlockDevice() || sectorSize % 512 != 0)
            return;
        const std::string self = "/proc/self/fd/" + std::to_string(file->Fd());
        directFd_ = ::open(self.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
    }
    ~BlockReader() {
        if (directFd_ >= 0) ::close(directFd_);
    }
    BlockReader(const BlockReader&) = delete;
    BlockReader& operator=(const BlockReader&) = delete;

    // Reads `count` sectors at `lba` into `out` like ReadChunkTolerant.
    uint32_t Read(uint64_t lba, uint32_t count, std::span<uint8_t> out) {
        if (directFd_ >= 0 && count <= reader_.TotalSectors() &&
            lba <= reader_.TotalSectors() - count) {
            const size_t want = size_t{count} * s_;
            size_t got = 0;
            while (got < want) {
                const ssize_t n = ::pread(directFd_, out.data() + got, want - got,
                                          static_cast<off_t>(lba * s_ + got));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                got += static_cast<size_t>(n);
            }
            if (got == want) return count;
            // A fault, or a device that refuses unbuffered reads here: the tolerant read
            // through the page cache finds out which sectors fail.
        }
        return ReadChunkTolerant(reader_, lba, count, s_, out);
    }

  private:
    SectorReader& reader_;
    uint32_t s_;
    int directFd_ = -1;
};

// One block of the ring.
struct RingSlot {
    enum class State { kFree, kRead, kExamining, kReady };
    std::unique_ptr<uint8_t, FreeAligned> bytes;
    std::unique_ptr<BlockExamination> examination;
    State state = State::kFree;
    uint64_t seq = 0;
    uint64_t offset = 0;  // from the extent's start
    uint32_t sectors = 0;
    bool readable = false;
    bool end = false;  // no block: the extent ends
};

}  // namespace

struct ReadAheadPass::Ring {
    Ring(SectorReader& reader, uint32_t sectorSize) : blocks(reader, sectorSize) {}
    BlockReader blocks;
    std::vector<RingSlot> slots;
};

ReadAheadPass::ReadAheadPass(SectorReader& reader, uint32_t sectorSize, PassExaminer* examiner,
                             unsigned workers)
    : reader_(reader), sectorSize_(sectorSize), examiner_(examiner), workers_(workers) {
    const bool concurrent = reader.Source() && reader.Source()->ConcurrentReads();
    if (!concurrent || !examiner) workers_ = 0;
    workers_ = std::min(workers_, 64u);
}

ReadAheadPass::~ReadAheadPass() = default;

Result RunExtentAhead(SectorReader& reader, uint64_t partitionStartLba, uint32_t sectorSize,
                      PassPosition& position, PassExaminer* examiner, unsigned workers,
                      const BlockClassifier& classify, const ChunkDone& done) {
    ReadAheadPass pass(reader, sectorSize, examiner, workers);
    return pass.Run(partitionStartLba, position, classify, done);
}

Result ReadAheadPass::Run(uint64_t partitionStartLba, PassPosition& position,
                          const BlockClassifier& classify, const ChunkDone& done) {
    const uint32_t sectorSize = sectorSize_;
    if (sectorSize == 0 || sectorSize > kPassChunkBytes) return kErrInvalidParameter;
    if (position.offset >= position.extentLength) return kOk;
    const uint32_t blockSectors = std::max<uint32_t>(1, kPassBlockBytes / sectorSize);
    const size_t blockBytes = size_t{blockSectors} * sectorSize;
    const bool concurrent = reader_.Source() && reader_.Source()->ConcurrentReads();
    // An extent of a few blocks is not worth the threads (a fragmented volume's free space
    // comes in thousands of them).
    const bool threaded =
        concurrent && position.extentLength - position.offset > uint64_t{4} * blockSectors;
    const unsigned workers = threaded ? workers_ : 0;
    const size_t slotCount = threaded ? workers + 3 : 1;
    PassExaminer* examiner = examiner_;

    if (!ring_) ring_ = std::make_unique<Ring>(reader_, sectorSize);
    std::vector<RingSlot>& ring = ring_->slots;
    while (ring.size() < (concurrent ? workers_ + 3 : 1)) {
        RingSlot slot;
        // Aligned for unbuffered reads; zeroed so no stale byte is ever looked at.
        auto* bytes = static_cast<uint8_t*>(
            std::aligned_alloc(4096, (blockBytes + 4095) / 4096 * 4096));
        if (!bytes) return kErrNotEnoughMemory;
        std::memset(bytes, 0, blockBytes);
        slot.bytes.reset(bytes);
        if (examiner && workers_ > 0) slot.examination = examiner->NewExamination();
        ring.push_back(std::move(slot));
    }
    for (RingSlot& slot : ring) {
        slot.state = RingSlot::State::kFree;
        slot.seq = 0;
        slot.end = false;
    }
    BlockReader& blocks = ring_->blocks;
    const uint64_t extentLba = partitionStartLba + position.extentStart;
    const uint64_t gridStart = position.offset;
    std::mutex mutex;
    // A slot freed (for the reader), read (for the workers), ready (for the pass).
    std::condition_variable slotFreed;
    std::condition_variable slotRead;
    std::condition_variable slotReady;
    std::atomic<bool> quit{false};
    std::atomic<uint64_t> passedLba{extentLba + position.offset};
    uint64_t skipTo = position.offset;  // guarded by mutex
    uint64_t nextOffset = position.offset;

    // Reads the next block of the grid into `slot` (the reader thread, or the calling thread
    // when the source reads on one thread only).
    auto fillSlot = [&](RingSlot& slot, uint64_t at) {
        slot.offset = at;
        slot.end = at >= position.extentLength;
        slot.readable = false;
        slot.sectors = 0;
        if (slot.end) return;
        slot.sectors =
            static_cast<uint32_t>(std::min<uint64_t>(blockSectors, position.extentLength - at));
        const std::span<uint8_t> bytes(slot.bytes.get(), size_t{slot.sectors} * sectorSize);
        slot.readable = blocks.Read(extentLba + at, slot.sectors, bytes) > 0;
    };
    // Where the next block begins: after the last one, or at the block of the grid that holds
    // the sector the pass will go on from, when it skipped further.
    auto nextBlockAt = [&](uint64_t skip) {
        if (skip > nextOffset)
            nextOffset = gridStart + (skip - gridStart) / blockSectors * blockSectors;
        return nextOffset;
    };

    std::vector<std::thread> threads;
    auto stopThreads = [&] {
        {
            std::lock_guard lock(mutex);
            quit = true;
        }
        slotFreed.notify_all();
        slotRead.notify_all();
        slotReady.notify_all();
        for (std::thread& t : threads) t.join();
        threads.clear();
    };
    if (threaded) {
        threads.emplace_back([&] {
            for (uint64_t seq = 0;; ++seq) {
                RingSlot& slot = ring[seq % slotCount];
                uint64_t at = 0;
                {
                    std::unique_lock lock(mutex);
                    slotFreed.wait(lock,
                                   [&] { return quit || slot.state == RingSlot::State::kFree; });
                    if (quit) return;
                    at = nextBlockAt(skipTo);
                }
                fillSlot(slot, at);
                {
                    std::lock_guard lock(mutex);
                    slot.seq = seq;
                    slot.state = RingSlot::State::kRead;
                    if (!slot.end) nextOffset = at + slot.sectors;
                }
                if (workers > 0) {
                    slotRead.notify_one();
                    if (slot.end) slotRead.notify_all();
                } else {
                    slotReady.notify_one();
                }
                if (slot.end) return;
            }
        });
        for (unsigned w = 0; w < workers; ++w) {
            threads.emplace_back([&, w] {
                for (;;) {
                    RingSlot* pick = nullptr;
                    {
                        std::unique_lock lock(mutex);
                        slotRead.wait(lock, [&] {
                            if (quit) return true;
                            pick = nullptr;
                            for (RingSlot& slot : ring) {
                                if (slot.state == RingSlot::State::kRead &&
                                    (!pick || slot.seq < pick->seq))
                                    pick = &slot;
                            }
                            return pick != nullptr;
                        });
                        if (quit) return;
                        pick->state = RingSlot::State::kExamining;
                    }
                    // A block the pass will skip whole, or one that was not read, needs no look.
                    const uint64_t blockLba = extentLba + pick->offset;
                    if (!pick->end && pick->readable &&
                        passedLba.load() < blockLba + pick->sectors) {
                        examiner->Examine(
                            w,
                            std::span<const uint8_t>(pick->bytes.get(),
                                                     size_t{pick->sectors} * sectorSize),
                            blockLba, *pick->examination, passedLba, quit);
                    }
                    {
                        std::lock_guard lock(mutex);
                        pick->state = RingSlot::State::kReady;
                    }
                    slotReady.notify_one();
                }
            });
        }
    }

    Result result = kOk;
    auto lastReport = std::chrono::steady_clock::now();
    for (uint64_t seq = 0;; ++seq) {
        RingSlot& slot = ring[seq % slotCount];
        if (threaded) {
            // Waits for the block, reporting now and then so that a stop is heard.
            const RingSlot::State wanted =
                workers > 0 ? RingSlot::State::kReady : RingSlot::State::kRead;
            std::unique_lock lock(mutex);
            for (;;) {
                // A free slot may be being filled: nothing else of it is looked at then.
                const bool ready = slot.state != RingSlot::State::kFree && slot.seq == seq &&
                                   (slot.state == wanted || slot.end);
                if (ready) break;
                slotReady.wait_for(lock, std::chrono::milliseconds(200));
                const auto now = std::chrono::steady_clock::now();
                if (now - lastReport >= std::chrono::milliseconds(200)) {
                    lastReport = now;
                    lock.unlock();
                    // Shown further while a worker reads on through a large file from here.
                    PassPosition shown = position;
                    const uint64_t at = extentLba + position.offset;
                    if (const uint64_t reached = examiner ? examiner->FurthestLba() : 0;
                        reached > at) {
                        shown.sectorsDone += std::min(reached - at,
                                                      position.extentLength - position.offset);
                    }
                    const int answer = done(shown);
                    lock.lock();
                    if (answer != 0) {
                        result = answer;
                        break;
                    }
                }
            }
            if (result != kOk) break;
        } else {
            fillSlot(slot, nextBlockAt(skipTo));
            if (!slot.end) nextOffset = slot.offset + slot.sectors;
        }
        if (slot.end) break;
        const uint64_t blockEnd = slot.offset + slot.sectors;
        // The reader only ever jumps to the block that holds where the pass stands, so the pass
        // is never before a block it is handed.
        if (position.offset < blockEnd) {
            const uint64_t start = position.offset - slot.offset;
            const uint64_t left = position.extentLength - position.offset;
            uint64_t advance = slot.sectors - start;
            Result r = kOk;
            if (slot.readable) {
                r = classify(std::span<const uint8_t>(slot.bytes.get(),
                                                      size_t{slot.sectors} * sectorSize),
                             extentLba + slot.offset, start,
                             workers > 0 ? slot.examination.get() : nullptr, advance);
            }
            position.offset += advance;
            position.sectorsDone += std::min(advance, left);
            passedLba = extentLba + position.offset;
            if (r != kOk) {
                result = r;
                break;
            }
            lastReport = std::chrono::steady_clock::now();
            if (const int answer = done(position); answer != 0) {
                result = answer;
                break;
            }
        }
        if (threaded) {
            {
                std::lock_guard lock(mutex);
                skipTo = std::max(skipTo, position.offset);
                slot.state = RingSlot::State::kFree;
            }
            slotFreed.notify_one();
        } else {
            skipTo = std::max(skipTo, position.offset);
        }
        if (position.offset >= position.extentLength) break;
    }
    stopThreads();
    return result;
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
