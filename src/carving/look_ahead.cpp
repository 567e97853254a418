#include "carving/look_ahead.h"

#include <algorithm>

namespace norvale {

namespace {

// Where a worker's sizer reports: how far it read, for the progress shown while the pass waits,
// and whether the pass still wants the answer.
struct WorkerProgressSink {
    const std::atomic<bool>* quit = nullptr;
    std::atomic<uint64_t>* furthest = nullptr;
    uint64_t candidateLba = 0;

    static int Report(void* self, int, int, int, uint64_t sectorsRead, uint64_t, uint64_t, int) {
        auto& sink = *static_cast<WorkerProgressSink*>(self);
        const uint64_t reached = sink.candidateLba + sectorsRead;
        uint64_t seen = sink.furthest->load(std::memory_order_relaxed);
        while (reached > seen &&
               !sink.furthest->compare_exchange_weak(seen, reached, std::memory_order_relaxed)) {
        }
        return sink.quit->load() ? int(kScanCancelled) : 0;
    }
};

}  // namespace

void BlockNotes::Reset(uint32_t sectors) {
    looked_.assign((size_t{sectors} + 63) / 64, 0);
    notes_.clear();
    cursor_ = 0;
}

void BlockNotes::Add(SectorNote note) {
    notes_.push_back(std::move(note));
}

void BlockNotes::MarkLooked(uint32_t index) {
    if (index / 64 < looked_.size()) looked_[index / 64] |= uint64_t{1} << (index % 64);
}

bool BlockNotes::Looked(uint64_t index) const {
    return index / 64 < looked_.size() && ((looked_[index / 64] >> (index % 64)) & 1) != 0;
}

const SectorNote* BlockNotes::At(uint64_t index) const {
    if (cursor_ > notes_.size() || (cursor_ > 0 && notes_[cursor_ - 1].index >= index))
        cursor_ = 0;
    while (cursor_ < notes_.size() && notes_[cursor_].index < index) ++cursor_;
    return cursor_ < notes_.size() && notes_[cursor_].index == index ? &notes_[cursor_] : nullptr;
}

struct CarveLookAhead::Worker {
    CarvingContext context;
    SectorReader reader;
    WorkerProgressSink progress;
};

CarveLookAhead::CarveLookAhead(SectorReader& reader, uint32_t sectorSize, unsigned workers,
                               SectorClaimer claim)
    : sectorSize_(sectorSize), claim_(std::move(claim)) {
    for (unsigned w = 0; w < workers; ++w) {
        auto worker = std::make_unique<Worker>();
        if (!worker->reader.Borrow(reader)) {
            workers_.clear();
            return;
        }
        workers_.push_back(std::move(worker));
    }
}

CarveLookAhead::~CarveLookAhead() = default;

std::unique_ptr<BlockExamination> CarveLookAhead::NewExamination() {
    return std::make_unique<BlockNotes>();
}

void CarveLookAhead::Examine(unsigned worker, std::span<const uint8_t> block, uint64_t firstLba,
                             BlockExamination& out, const std::atomic<uint64_t>& passedLba,
                             const std::atomic<bool>& quit) {
    auto& notes = static_cast<BlockNotes&>(out);
    const uint32_t s = sectorSize_;
    const auto count = static_cast<uint32_t>(block.size() / s);
    notes.Reset(count);
    if (worker >= workers_.size() || s == 0) return;
    Worker& w = *workers_[worker];
    CarvingContext& context = w.context;
    w.progress.quit = &quit;
    w.progress.furthest = &furthest_;
    context.scanProgress = &WorkerProgressSink::Report;
    context.progressUserData = &w.progress;
    context.progressScale = kPassProgressScale;
    CarveProgress progress;  // sizers report the sectors they read from the candidate on
    progress.sectorsTotal = 1;
    uint32_t i = 0;
    while (i < count && !quit.load(std::memory_order_relaxed)) {
        // Sectors the pass has gone past are wanted no more.
        const uint64_t passed = passedLba.load(std::memory_order_relaxed);
        if (passed > firstLba + i) {
            if (passed >= firstLba + count) return;
            i = static_cast<uint32_t>(passed - firstLba);
        }
        const ByteSpan sector = block.subspan(size_t{i} * s, s);
        const uint64_t lba = firstLba + i;
        SectorNote note;
        note.index = i;
        if (claim_) {
            uint8_t claimer = 0;
            uint8_t kind = 0;
            if (const size_t bytes = claim_(sector, s, claimer, kind); bytes != 0) {
                note.kind = SectorNote::Kind::kClaimed;
                note.claimer = claimer;
                note.claimKind = kind;
                note.claimBytes = bytes;
                notes.Add(std::move(note));
                notes.MarkLooked(i);
                ++i;
                continue;
            }
        }
        // The stream state a sector has after one at which nothing was found; an answer that
        // depends on it is taken again in order.
        context.transportStreamFlag = true;
        context.bdavFlag = false;
        context.tsRanges.clear();
        context.leanedOnOrder = false;
        w.progress.candidateLba = lba;
        const Result r = FindCarve(context, s, w.reader, sector, lba, progress,
                                   block.subspan(size_t{i} * s), note.find);
        if (r == kScanCancelled) return;  // this sector and the rest stay open
        uint64_t consumed = 1;
        if (context.leanedOnOrder ||
            (r == kOk && (note.find.type == FileTypeCode::kTs ||
                          note.find.type == FileTypeCode::kMts))) {
            note.kind = SectorNote::Kind::kAgain;
            notes.Add(std::move(note));
        } else if (r == kOk) {
            consumed = note.find.structureValid
                           ? (note.find.length + s - 1) / s
                           : 1;
            if (note.find.firstPieceSectors != 0) consumed = note.find.firstPieceSectors;
            notes.Add(std::move(note));
        }
        notes.MarkLooked(i);
        i = static_cast<uint32_t>(std::min<uint64_t>(count, i + std::max<uint64_t>(1, consumed)));
    }
}

bool TakeSettledNote(CFileTypeRecovery& carver, const BlockNotes* notes, uint64_t index,
                     uint32_t sectorSize, uint64_t lba, uint64_t& consumed, uint64_t& filesFound,
                     const SectorNote*& note) {
    note = nullptr;
    consumed = 1;
    if (!notes || !notes->Looked(index)) return false;
    note = notes->At(index);
    if (!note) {
        carver.NothingFound();
        return true;
    }
    if (note->kind != SectorNote::Kind::kFile) return false;
    carver.RecordFind(note->find, sectorSize, lba, consumed, filesFound);
    return true;
}

Result CarveBlock(CFileTypeRecovery& carver, SectorReader& reader, uint32_t sectorSize,
                  std::span<const uint8_t> block, uint64_t firstLba, uint64_t start,
                  const BlockNotes* notes, uint64_t sectorsDone, uint64_t sectorsTotal,
                  int32_t secondsLeft, uint64_t& filesFound, uint64_t& covered) {
    const uint64_t count = block.size() / sectorSize;
    uint64_t i = start;
    while (i < count) {
        uint64_t consumed = 1;
        const uint64_t lba = firstLba + i;
        const SectorNote* note = nullptr;
        if (TakeSettledNote(carver, notes, i, sectorSize, lba, consumed, filesFound, note)) {
            i += consumed;
            continue;
        }
        const Result r = carver.CarveSector(
            sectorSize, block.subspan(i * sectorSize, sectorSize), lba, sectorsDone + (i - start),
            sectorsTotal, secondsLeft, reader, consumed, filesFound, block.subspan(i * sectorSize));
        if (r == kScanCancelled) {
            covered = i - start;
            return r;
        }
        i += consumed;
    }
    covered = i - start;
    return kOk;
}

}  // namespace norvale
