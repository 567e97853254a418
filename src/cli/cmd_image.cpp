// norvale-cli image: copies a disk, a partition or an image file into an image file, so that
// recovery can work on the copy instead of a failing card.

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "app/format.h"
#include "cli/commands.h"
#include "cli/progress_bar.h"
#include "cli/source_arg.h"
#include "device/disk_enumerator.h"
#include "device/disk_imager.h"
#include "device/image_destination.h"
#include "device/partition_locator.h"
#include "device/sector_source.h"

namespace norvale::cli {
namespace {

std::atomic<DiskImager*> gActiveImager{nullptr};

void OnInterrupt(int) {
    // Only a lock-free atomic store: the copier sees it before its next chunk.
    if (DiskImager* imager = gActiveImager.load()) imager->RequestStop();
}

class InterruptGuard {
  public:
    explicit InterruptGuard(DiskImager& imager) {
        gActiveImager = &imager;
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGINT, &sa, &old_);
    }
    ~InterruptGuard() {
        ::sigaction(SIGINT, &old_, nullptr);
        gActiveImager = nullptr;
    }

  private:
    struct sigaction old_ {};
};

class CliImageObserver : public IImageObserver {
  public:
    explicit CliImageObserver(bool quiet) : quiet_(quiet) {}
    void OnProgress(int percent, uint64_t sectorsDone, uint64_t sectorsTotal,
                    int secondsLeft) override {
        if (quiet_) return;
        // Called for every 64 KiB; the text is only built when the display can change.
        const auto now = std::chrono::steady_clock::now();
        if (percent == lastPercent_ && now - lastShown_ < std::chrono::milliseconds(100)) return;
        lastPercent_ = percent;
        lastShown_ = now;
        std::string detail =
            secondsLeft < 0 ? "estimating time" : FormatDuration(secondsLeft) + " left";
        detail +=
            ", " + std::to_string(sectorsDone) + "/" + std::to_string(sectorsTotal) + " sectors";
        bar_.Update(percent, detail);
    }
    void OnFinished(const ImageResult&) override {
        if (!quiet_) bar_.Finish();
    }

  private:
    bool quiet_;
    ProgressBar bar_{"image"};
    int lastPercent_ = -1;
    std::chrono::steady_clock::time_point lastShown_{};
};

int BadInput(const std::string& message) {
    std::fprintf(stderr, "norvale-cli: %s\n", message.c_str());
    return kExitBadInput;
}

struct CopyRange {
    uint32_t bytesPerSector = 0;  // 0: the source's own
    uint64_t firstSector = 0;
    uint64_t sectorCount = 0;  // 0: the whole source
};

// The sectors of partition `number` of the whole disk or disk image `arg`.
int PartitionRange(const SourceArg& arg, int number, CopyRange& range) {
    const std::string n = std::to_string(number);
    if (!arg.isImage) {
        if (arg.record.kind == PartitionRecord::Kind::Partition && arg.record.partitionNumber > 0) {
            return BadInput(arg.path +
                            " is a partition already; --partition picks a partition "
                            "of a whole disk (give the disk, e.g. " +
                            arg.record.diskPath + ").");
        }
        DiskEnumerator enumerator;
        enumerator.Enumerate();
        auto disk = enumerator.DiskMap().find(arg.record.diskNumber);
        if (disk != enumerator.DiskMap().end()) {
            for (const PartitionRecord& rec : disk->second) {
                if (rec.kind != PartitionRecord::Kind::Partition || rec.partitionNumber != number)
                    continue;
                range = {rec.bytesPerSector, rec.startLba, rec.sectorCount};
                return 0;
            }
        }
        return BadInput(arg.path + " has no partition " + n +
                        "; `norvale-cli sources --all` lists its partitions.");
    }
    PartitionExtent extent;
    switch (FindPartitionInTable(arg.path, number, extent)) {
        case kOk:
            range = {512, extent.startLba, extent.sectorCount};
            return 0;
        case kErrNotSupported:
            return BadInput(arg.path + " holds no partition table; copy it without --partition.");
        case kErrInvalidParameter:
            return BadInput("partition " + n + " of " + arg.path +
                            " is an extended partition (a container); give the number of a "
                            "logical partition inside it.");
        default:
            return BadInput(arg.path + " has no partition " + n + ".");
    }
}

int CheckDestination(const ImageOptions& options, const std::string& sourcePath,
                     uint64_t imageBytes) {
    DestinationFacts facts;
    switch (GatherDestinationFacts(options.to, sourcePath, facts)) {
        case kOk:
            break;
        case kErrDirectoryName:
            return BadInput(options.to +
                            " is a folder; give the path of the image file to "
                            "write (e.g. " +
                            options.to + "/card.img).");
        case kErrPathNotFound:
            return BadInput("the folder of " + options.to + " does not exist; create it first.");
        default:
            return BadInput("cannot check the destination " + options.to + ".");
    }
    // The override is for a disk the person knows to be safe to write; the source file itself
    // is never a place for its image.
    if (options.allowSameDevice && facts.overlap.kind != OverlapKind::kSourceItself)
        facts.onSourceDevice = false;
    const std::string size = FormatSize(int64_t(imageBytes));
    switch (CheckImageDestination(facts, imageBytes)) {
        case DestinationVerdict::kOk:
            return 0;
        case DestinationVerdict::kSameDevice:
            if (facts.overlap.kind == OverlapKind::kSourceItself)
                return BadInput(DescribeOverlap(facts.overlap, options.to, sourcePath) +
                                "; choose another image file.");
            return BadInput(DescribeOverlap(facts.overlap, options.to, sourcePath) +
                            "; writing there would overwrite the data the image is meant to "
                            "save. Choose a file on another drive (or pass "
                            "--allow-same-device if you are sure).");
        case DestinationVerdict::kFat32TooLarge:
            return BadInput("the image (" + size +
                            ") is larger than 4 GB, the largest file a "
                            "FAT32 drive can hold. Choose a file on an "
                            "exFAT, NTFS or ext4 drive.");
        case DestinationVerdict::kFatTooLarge:
            return BadInput("the image (" + size +
                            ") is larger than 2 GB, the largest file a "
                            "FAT drive can hold. Choose a file on an "
                            "exFAT, NTFS or ext4 drive.");
        case DestinationVerdict::kNotEnoughSpace:
            return BadInput("not enough free space for the image at " + options.to + ": " + size +
                            " needed, " +
                            FormatSize(int64_t(facts.freeBytes + facts.reusableBytes)) + " free.");
    }
    return 0;
}

// For a destination that exists and may not be replaced. A map next to it was dealt with
// before: without --rescue it is refused on its own.
std::string ExistsMessage(const ImageOptions& options) {
    if (options.rescue) {
        return options.to + " already exists and there is no map " +
               DiskImager::MapPathFor(options.to) +
               " to continue from; add --force to replace it, or choose another file.";
    }
    return options.to + " already exists; add --force to replace it, or choose another file.";
}

int ReportResult(const ImageOptions& options, const ImageResult& r, uint32_t bytesPerSector) {
    const std::string image = options.to;
    const std::string copied = FormatSize(int64_t(r.imageBytes));
    if (r.result == kScanCancelled) {
        if (options.rescue) {
            std::printf(
                "Stopped. %s records what was copied; run the same command again to "
                "continue.\n",
                r.mapPath.c_str());
        } else {
            std::printf("Stopped. %s holds the first %s of the source, not a whole image.\n",
                        image.c_str(), copied.c_str());
        }
        return 1;
    }
    switch (r.failedAt) {
        case ImageStage::kNone:
            break;
        case ImageStage::kSource:
            return BadInput("cannot copy " + options.source + ": " +
                            (r.result == kErrInvalidParameter ? std::string("nothing to copy")
                                                              : ResultText(r.result)) +
                            ".");
        case ImageStage::kDestination:
            if (r.result == kErrAlreadyExists) return BadInput(ExistsMessage(options));
            return BadInput("cannot write " + image + ": " +
                            (r.result == kErrInvalidParameter
                                 ? std::string("not a plain file, or the source itself")
                                 : ResultText(r.result)) +
                            ".");
        case ImageStage::kMap:
            if (!r.mapError.message.empty()) {
                const std::string where =
                    r.mapError.line ? " (line " + std::to_string(r.mapError.line) + ")" : "";
                return BadInput(r.mapPath + " cannot be continued: " + r.mapError.message + where +
                                ". Remove it to copy from the start.");
            }
            std::fprintf(stderr, "norvale-cli: cannot use %s: %s.\n", r.mapPath.c_str(),
                         ResultText(r.result).c_str());
            return 1;
        case ImageStage::kRead:
            std::fprintf(stderr,
                         "norvale-cli: cannot read sector %llu of %s: %s. %s holds the %s before "
                         "it. Run again with --rescue to copy around unreadable sectors.\n",
                         static_cast<unsigned long long>(r.failedSector), options.source.c_str(),
                         ResultText(r.result).c_str(), image.c_str(), copied.c_str());
            return 1;
        case ImageStage::kWrite:
            std::fprintf(stderr, "norvale-cli: cannot write %s: %s.\n", image.c_str(),
                         ResultText(r.result).c_str());
            return 1;
    }
    const unsigned long long sectors = (r.totalBytes + bytesPerSector - 1) / bytesPerSector;
    if (r.resumed) {
        std::printf("Continued the copy recorded in %s (%s were done before).\n", r.mapPath.c_str(),
                    FormatSize(int64_t(r.resumedBytes)).c_str());
    }
    if (r.badBytes == 0) {
        std::printf("Copied %llu sectors (%s) into %s.\n", sectors, copied.c_str(), image.c_str());
        return 0;
    }
    std::printf(
        "Copied %llu sectors (%s) into %s; %llu bytes in %llu areas could not be read "
        "and were filled with zeros. %s lists them; run the same command again to retry "
        "them.\n",
        sectors, copied.c_str(), image.c_str(), static_cast<unsigned long long>(r.badBytes),
        static_cast<unsigned long long>(r.badAreas), r.mapPath.c_str());
    return 1;
}

}  // namespace

int RunImage(const ImageOptions& options) {
    SourceArg arg;
    std::string error;
    if (int rc = ResolveSource(options.source, arg, error); rc != 0) return BadInput(error);
    if (options.to.empty()) return BadInput("give the image file to write with --to FILE.img.");

    CopyRange range;
    if (options.partition != 0) {
        if (options.partition < 0) return BadInput("--partition counts from 1.");
        if (int rc = PartitionRange(arg, options.partition, range); rc != 0) return rc;
    }

    std::unique_ptr<FileSource> source;
    if (Result r = FileSource::Open(arg.path, source); r != kOk) {
        return BadInput("cannot read " + arg.path + ": " + ResultText(r) + ".");
    }
    const uint32_t bytesPerSector =
        range.bytesPerSector ? range.bytesPerSector : source->SectorSize();
    const uint64_t imageBytes =
        range.sectorCount ? range.sectorCount * bytesPerSector : source->SizeBytes();
    if (imageBytes == 0) return BadInput(arg.path + " is empty: nothing to copy.");

    if (SameFile(arg.path, options.to)) {
        return BadInput(options.to + " is the source itself; choose another image file.");
    }
    struct stat st {};
    if (::lstat(options.to.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        return BadInput(options.to +
                        " is a symbolic link; an image is never written through a link. Give "
                        "the path of a new file.");
    }
    const bool destinationExists = ::stat(options.to.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    const std::string mapPath = DiskImager::MapPathFor(options.to);
    const bool mapExists = ::lstat(mapPath.c_str(), &st) == 0;
    if (!options.rescue && mapExists) {
        return BadInput(mapPath + " is left from an earlier rescue copy into " + options.to +
                        ": add --rescue to continue it, or remove the map to copy from the "
                        "start.");
    }
    if (destinationExists && !options.force && !(options.rescue && mapExists))
        return BadInput(ExistsMessage(options));
    if (int rc = CheckDestination(options, arg.path, imageBytes); rc != 0) return rc;

    ImageJob job;
    job.source = source.get();
    job.sourcePath = arg.path;
    job.bytesPerSector = range.bytesPerSector;
    job.firstSector = range.firstSector;
    job.sectorCount = range.sectorCount;
    job.imagePath = options.to;
    job.rescue = options.rescue;
    job.replaceExisting = options.force;

    if (!options.quiet) {
        std::fprintf(stderr, "Copying %s", arg.path.c_str());
        if (options.partition) std::fprintf(stderr, " (partition %d)", options.partition);
        const std::string mapNote = options.rescue ? ", map " + mapPath : "";
        std::fprintf(stderr, " into %s (%s)%s\n", options.to.c_str(),
                     FormatSize(int64_t(imageBytes)).c_str(), mapNote.c_str());
    }
    CliImageObserver observer(options.quiet);
    DiskImager imager(observer);
    ImageResult result;
    {
        InterruptGuard guard(imager);
        result = imager.Run(job);
    }
    return ReportResult(options, result, bytesPerSector);
}

}  // namespace norvale::cli
