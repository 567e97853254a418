#pragma once
// The carver's look ahead of a pass: workers offer the sectors of a block to the catalogue, each
// on a carving context and a reader of its own, walking the block the way the pass will (a file
// found is passed over whole), and note what they found for the pass to record in order
// (CarveBlock). What the workers could not settle on their own is left for the pass to do again
// itself: a sector they did not reach, and every answer that leaned on the candidates before it
// (a transport stream's continuation). The pass's results are therefore those of a pass without
// workers, with any number of them.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "carving/file_type_recovery.h"
#include "carving/sector_pass.h"
#include "device/sector_reader.h"

namespace norvale {

// What a worker found at one sector of a block.
struct SectorNote {
    enum class Kind : uint8_t {
        kFile,     // `find` begins here
        kAgain,    // to be looked at again in order
        kClaimed,  // a file-system structure: `claimer`, `claimKind`, `claimBytes`
    };
    uint32_t index = 0;  // the sector, from the block's first
    Kind kind = Kind::kFile;
    uint8_t claimer = 0;
    uint8_t claimKind = 0;
    uint64_t claimBytes = 0;
    CarveFind find;
};

// The notes of one block: which sectors a worker looked at, and what it found at them.
class BlockNotes final : public BlockExamination {
  public:
    void Reset(uint32_t sectors);
    void Add(SectorNote note);  // in rising index order
    void MarkLooked(uint32_t index);
    bool Looked(uint64_t index) const;
    // The note at `index`, or null when a worker found nothing there. Calls in rising index
    // order are cheapest.
    const SectorNote* At(uint64_t index) const;

  private:
    std::vector<uint64_t> looked_;
    std::vector<SectorNote> notes_;
    mutable size_t cursor_ = 0;
};

// Claims a sector for a file-system structure before the carver sees it, as the pass would:
// the bytes the structure spans (0: not claimed), which claimer and what kind. Called on several
// worker threads at once, so it must change nothing.
using SectorClaimer =
    std::function<size_t(ByteSpan sector, uint32_t sectorSize, uint8_t& claimer, uint8_t& kind)>;

class CarveLookAhead final : public PassExaminer {
  public:
    // Workers read through readers that borrow `reader`'s source (see SectorReader::Borrow).
    CarveLookAhead(SectorReader& reader, uint32_t sectorSize, unsigned workers,
                   SectorClaimer claim = {});
    ~CarveLookAhead() override;
    // The workers it made: none when the source reads on one thread only.
    unsigned Workers() const { return static_cast<unsigned>(workers_.size()); }

    std::unique_ptr<BlockExamination> NewExamination() override;
    uint64_t FurthestLba() const override { return furthest_.load(std::memory_order_relaxed); }
    void Examine(unsigned worker, std::span<const uint8_t> block, uint64_t firstLba,
                 BlockExamination& out, const std::atomic<uint64_t>& passedLba,
                 const std::atomic<bool>& quit) override;

  private:
    struct Worker;
    uint32_t sectorSize_;
    SectorClaimer claim_;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::atomic<uint64_t> furthest_{0};
};

// Takes what the workers settled at sector `index` of a block (at `lba`): nothing found there
// (`consumed` 1), or a file, recorded as CarveSector records it (`consumed` as it sets it); true
// then. False when they left the sector open: `note` is then null when they did not look at it,
// else what they noted (a claim, or an answer to be had again in order).
bool TakeSettledNote(CFileTypeRecovery& carver, const BlockNotes* notes, uint64_t index,
                     uint32_t sectorSize, uint64_t lba, uint64_t& consumed, uint64_t& filesFound,
                     const SectorNote*& note);

// CarveChunk over one block of a pass that reads ahead: from sector `start` of `block` (the
// first at `firstLba`), recording what `notes` holds and carving in order what they leave open.
// `covered` counts from `start`; `sectorsDone` is the pass's count at `start`.
Result CarveBlock(CFileTypeRecovery& carver, SectorReader& reader, uint32_t sectorSize,
                  std::span<const uint8_t> block, uint64_t firstLba, uint64_t start,
                  const BlockNotes* notes, uint64_t sectorsDone, uint64_t sectorsTotal,
                  int32_t secondsLeft, uint64_t& filesFound, uint64_t& covered);

}  // namespace norvale
