#pragma once
// IFullScanStage: what the full-scan coordinator asks of a file system's folder rebuilder. One
// pass reads the whole source once; every sector goes to the first stage that claims it (a
// directory block, a file record), else to the carver. A stage keeps its own store in the scan
// folder ("<LogPrefix><n>" logs) and answers the listings and recoveries of the items it wrote.
//
// The stage checks content with the carver's detectors between the carver's candidates, so it
// shares the carver's stream state (UseCarvingContext) rather than keeping one of its own.

#include <cstddef>
#include <cstdint>
#include <span>

#include "carving/carving_context.h"
#include "device/result.h"
#include "engine/recovered_item.h"
#include "engine/recovery_parse.h"
#include "engine/result_store.h"

namespace norvale {

class IFullScanStage : public IFileRecoveryParse {
  public:
    // The engine kind the stage writes into its items.
    virtual int32_t StageEngineKind() const = 0;
    // The name its logs start with in the scan folder ("Pro_Fat_").
    virtual const char* LogPrefix() const = 0;
    virtual void UseCarvingContext(CarvingContext& context) = 0;

    // Starts the stage's part of a pass: a new log when `logName` is null, else the saved log of
    // a stopped scan to go on with.
    virtual Result BeginScan(const char* logName) = 0;
    // How many bytes from `sector` on the structure that starts there spans when the stage takes
    // it (at least one sector; a file record may run on past it), else 0. `kind` tells what the
    // sector is, as a value this stage owns (OwnsSectorKind): the coordinator keeps it with the
    // sector so that a resumed scan hands the same sector back the same way. A claim with kind 0
    // only keeps the sector from the carver and from the later stages: nothing is handed over
    // and nothing is kept for a resumed scan. Kinds are saved in one byte; values 1 to 3 are
    // taken by the NTFS and FAT stages, a new stage takes values no other stage owns. Workers
    // that look ahead of the pass call it on several threads at once: it must change nothing
    // and depend on nothing but the sector.
    virtual size_t ClaimSector(std::span<const uint8_t> sector, uint32_t bytesPerSector,
                               uint8_t& kind) = 0;
    virtual bool OwnsSectorKind(uint8_t kind) const = 0;
    // A claimed structure: `bytes` holds what ClaimSector asked for (less where the medium
    // ended or a read failed part-way; zeros stand for what could not be read), read at `lba`
    // (absolute, in sectors of the medium).
    virtual void TakeSector(uint8_t kind, std::span<const uint8_t> bytes, uint64_t lba) = 0;
    // Ends the pass: places what is still held and writes the store.
    virtual Result FinishScan() = 0;

    // The stage's store, once a scan began or a saved one was loaded; null before.
    virtual ResultStore* Store() = 0;

    // The first sector of an item's data (absolute), for telling carved copies of a stage's
    // files apart; an error when the item has no data the stage can place.
    virtual Result FirstDataSector(const RecoveredItem& item, uint64_t& lba) = 0;
};

}  // namespace norvale
