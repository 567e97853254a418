#pragma once
// The disk image copier: copies a whole source, or a range of its sectors (one partition), into
// an image file in 64 KiB chunks, reporting progress to an observer.
//
// Two modes. The plain copy stops at the first unreadable sector and leaves the image holding
// everything before it. The rescue copy goes on: a chunk that fails is read again sector by
// sector, sectors that still fail are written as zeros, and a map of finished and bad ranges is
// kept next to the image (IMAGE.map, GNU ddrescue's mapfile format). Run again on the same
// image, the rescue copy continues from its map: it copies only what was never tried, then
// tries the bad ranges once more.
//
// An existing file is never replaced unless the job says so (replaceExisting), except by the
// rescue copy continuing its own map. The image is opened without following a symbolic link:
// a link at the image path is refused, whatever the job says. A replaced file ends up exactly
// as long as what it holds: an older, longer file is cut, so no stale bytes follow the copy.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "device/rescue_map.h"
#include "device/result.h"
#include "device/sector_source.h"

namespace norvale {

inline constexpr uint32_t kImageChunkBytes = 0x10000;

struct ImageJob {
    ISectorSource* source = nullptr;  // not owned; must outlive Run
    // The path the source was opened from, if any: a destination that is this very file is
    // refused.
    std::string sourcePath;
    uint32_t bytesPerSector = 0;  // 0: the source's own sector size
    uint64_t firstSector = 0;
    // 0: everything from firstSector to the end of the source, including a last partial
    // sector of an image file whose length is not a whole number of sectors.
    uint64_t sectorCount = 0;
    std::string imagePath;
    bool rescue = false;
    // The person agreed to replace an existing file at imagePath. Not needed to continue a
    // rescue copy from its map.
    bool replaceExisting = false;
};

enum class ImageStage {
    kNone,
    kSource,       // the job's source or range is unusable
    kDestination,  // the image cannot be opened, is the source, not a plain file, or exists
    kRead,         // plain copy: a read failed
    kWrite,        // writing, cutting or flushing the image failed
    kMap,          // the map next to the image cannot be read, does not fit, or cannot be saved
};

struct ImageResult {
    // kOk when the copy reached the end (in rescue mode possibly with bad sectors),
    // kScanCancelled after a stop, else the number of the step that failed (30 for a read in
    // the plain copy).
    Result result = kOk;
    ImageStage failedAt = ImageStage::kNone;
    uint64_t totalBytes = 0;    // the length of the copied range
    uint64_t imageBytes = 0;    // the length of the image file at the end
    uint64_t failedSector = 0;  // plain copy, read failure: first sector not copied
    // Rescue copy.
    std::string mapPath;
    bool resumed = false;       // an existing map was continued
    uint64_t resumedBytes = 0;  // bytes finished before this run
    uint64_t badBytes = 0;      // bytes still unreadable, zero-filled in the image
    uint64_t badAreas = 0;      // ranges of them in the map
    MapParseError mapError;     // why an existing map was refused

    bool Complete() const { return result == kOk && badBytes == 0; }
};

class IImageObserver {
  public:
    virtual ~IImageObserver() = default;
    // After every chunk. secondsLeft stays -1 until five seconds have passed, then is
    // re-estimated every five seconds from the average speed.
    virtual void OnProgress(int percent, uint64_t sectorsDone, uint64_t sectorsTotal,
                            int secondsLeft) = 0;
    virtual void OnFinished(const ImageResult& result) = 0;
};

// One imager per copy. Run works on the caller's thread and blocks until the copy ends.
class DiskImager {
  public:
    explicit DiskImager(IImageObserver& observer) : observer_(observer) {}
    DiskImager(const DiskImager&) = delete;
    DiskImager& operator=(const DiskImager&) = delete;

    ImageResult Run(const ImageJob& job);

    // Any thread, also a signal handler: one lock-free atomic store. The copy stops before its
    // next chunk (or sector, while retrying), saves its map and cuts the image to what it
    // holds. A stop requested before Run makes Run stop at once.
    void RequestStop() { stop_.store(true, std::memory_order_relaxed); }

    // Where the rescue copy keeps the map of `imagePath`.
    static std::string MapPathFor(const std::string& imagePath) { return imagePath + ".map"; }

    // How long the rescue copy waits at least between two saves of the map while copying.
    static constexpr std::chrono::milliseconds kMapSaveInterval{1000};

  private:
    IImageObserver& observer_;
    std::atomic<bool> stop_{false};
    static_assert(std::atomic<bool>::is_always_lock_free);
};

}  // namespace norvale
