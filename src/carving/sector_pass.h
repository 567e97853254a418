#pragma once
// The sector pass: reads an extent of a source in 64 KiB chunks and hands each chunk to a
// classifier that looks at its sectors one by one. A classifier that recognises a file covering
// sectors past the chunk's end reports them as overshoot, and the pass skips them. Deep scans
// (signature carving alone, or with the file-system scanners) are built on it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "device/result.h"
#include "device/sector_reader.h"

namespace norvale {

inline constexpr uint32_t kPassChunkBytes = 0x10000;
// Deep scans report the pass as percent + 10 on this scale (9-99 % shown); sizers that read
// ahead report the same way.
inline constexpr int kPassProgressScale = 90;

// How whole-medium passes run, for the process: set by the front ends before a scan starts and
// read when a pass begins.
struct PassSettings {
    // Workers that look at the sectors ahead of the pass; 0: one per core. One runs the pass on
    // the calling thread alone (the reader still reads ahead).
    unsigned threads = 0;
    // Read a block device around the page cache (O_DIRECT), for a failing or very large disk.
    bool directIo = false;
};
void SetPassSettings(const PassSettings& settings);
PassSettings GetPassSettings();
// The workers a pass runs with: the setting, or the cores the process may use.
unsigned PassWorkerCount();

// Where a pass stands: one extent of the source, in sectors from the partition start, and how
// far the pass has come into it. Saved with a stopped scan so it can go on from there.
struct PassPosition {
    uint64_t extentStart = 0;
    uint64_t extentLength = 0;
    uint64_t offset = 0;  // from extentStart; may pass extentLength after a skip
    uint64_t sectorsDone = 0;
};

// Looks at every sector of `chunk` (whole sectors, the first at `firstLba` of the medium).
// Sets `covered` to the number of sectors from the chunk's first that the pass may skip now: the
// chunk's length, more when the last file found runs on past the chunk's end, fewer when the
// classifier was stopped (the sector it was stopped at is examined again when the pass goes on).
// Any answer but kOk ends the pass with it (kScanCancelled when the user stopped).
using ChunkClassifier =
    std::function<Result(std::span<const uint8_t> chunk, uint64_t firstLba, uint64_t& covered)>;
// Called after each chunk; a nonzero answer ends the pass with it.
using ChunkDone = std::function<int(const PassPosition& position)>;

// Reads `count` sectors at `lba` into `out`. When the whole read fails or comes up short, the
// sectors not read are retried one at a time, and those that still fail are zero-filled, so a
// bad sector costs only itself. Returns the number of sectors that were read.
uint32_t ReadChunkTolerant(SectorReader& reader, uint64_t lba, uint32_t count, uint32_t sectorSize,
                           std::span<uint8_t> out);

// Runs the pass over position.extentLength sectors from partitionStartLba +
// position.extentStart, going on from position.offset. A chunk of which no sector can be read is
// counted as done and skipped. Returns kOk when the extent is done, or the first answer that
// ended it (the position then says where to go on).
Result RunExtent(SectorReader& reader, uint64_t partitionStartLba, uint32_t sectorSize,
                 PassPosition& position, const ChunkClassifier& classify, const ChunkDone& done);

// The pass that reads ahead. A reader thread reads the extent in blocks of kPassBlockBytes into
// a bounded ring; workers, when there are any, look at each block's sectors ahead of the pass
// (PassExaminer); the calling thread then hands the blocks to `classify` in medium order, with
// what the workers noted. Every decision that depends on order (where one file ends and the next
// begins, what a structure found earlier changes) is taken on the calling thread, so the results
// are those of a pass without workers; the workers only save it time. The blocks lie on a fixed
// grid from where the pass starts, so each sector is handed over with the same bytes after it
// whatever the number of workers.
inline constexpr uint32_t kPassBlockBytes = 0x200000;

// What the workers noted about one block, for the classifier. The pass's client defines it.
class BlockExamination {
  public:
    virtual ~BlockExamination() = default;
};

// The workers' side of a pass with workers.
class PassExaminer {
  public:
    virtual ~PassExaminer() = default;
    // One examination per block the ring holds, made before the workers start.
    virtual std::unique_ptr<BlockExamination> NewExamination() = 0;
    // Looks at the sectors of `block` (the first at `firstLba`) on worker `worker` (0 to the
    // worker count less one; each worker calls with its own number only) and notes in `out`
    // what the classifier will want. Sectors before `passedLba` are no longer wanted; once
    // `quit` is set nothing is: the examiner should return soon.
    virtual void Examine(unsigned worker, std::span<const uint8_t> block, uint64_t firstLba,
                         BlockExamination& out, const std::atomic<uint64_t>& passedLba,
                         const std::atomic<bool>& quit) = 0;
    // The furthest sector a worker's look has read to (0: none), so that the progress shown
    // while the pass waits on a worker sizing a large file moves with it.
    virtual uint64_t FurthestLba() const { return 0; }
};

// Like ChunkClassifier, for one block of the ring: `block` holds whole sectors, the first at
// `firstLba`; the pass stands at sector `start` of it. `covered` counts from `start`. `examined`
// is what the workers noted (null without workers).
using BlockClassifier =
    std::function<Result(std::span<const uint8_t> block, uint64_t firstLba, uint64_t start,
                         const BlockExamination* examined, uint64_t& covered)>;

// RunExtent with read-ahead and `workers` workers (0: none; the calling thread classifies what
// the reader thread read). `examiner` is needed when there are workers. A source that reads on
// one thread only is read on the calling thread, without workers. `done` is also called while
// the pass waits on the workers (at most a few times a second), so progress and stop requests
// are heard during a long look-ahead. One object serves every extent of a pass: its ring is
// made once, and an extent of a few blocks is read and classified on the calling thread alone.
class ReadAheadPass {
  public:
    ReadAheadPass(SectorReader& reader, uint32_t sectorSize, PassExaminer* examiner,
                  unsigned workers);
    ~ReadAheadPass();
    ReadAheadPass(const ReadAheadPass&) = delete;
    ReadAheadPass& operator=(const ReadAheadPass&) = delete;

    Result Run(uint64_t partitionStartLba, PassPosition& position,
               const BlockClassifier& classify, const ChunkDone& done);

  private:
    struct Ring;
    SectorReader& reader_;
    uint32_t sectorSize_;
    PassExaminer* examiner_;
    unsigned workers_;
    std::unique_ptr<Ring> ring_;
};

// One extent through a ReadAheadPass of its own.
Result RunExtentAhead(SectorReader& reader, uint64_t partitionStartLba, uint32_t sectorSize,
                      PassPosition& position, PassExaminer* examiner, unsigned workers,
                      const BlockClassifier& classify, const ChunkDone& done);

// Estimates the seconds left of a pass from its speed so far, at most every 5 seconds; -1 until
// the first estimate.
class TimeLeftEstimator {
  public:
    using Clock = std::chrono::steady_clock;
    explicit TimeLeftEstimator(uint32_t sectorSize, Clock::time_point start = Clock::now());
    int32_t Update(uint64_t sectorsDone, uint64_t sectorsTotal,
                   Clock::time_point now = Clock::now());
    int32_t SecondsLeft() const { return secondsLeft_; }

  private:
    uint32_t sectorSize_;
    Clock::time_point start_;
    Clock::time_point last_;
    bool estimated_ = false;
    int32_t secondsLeft_ = -1;
};

}  // namespace norvale
