#include "device/disk_imager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>
#include <vector>

#include "device/chunked_io.h"
#include "device/image_destination.h"

namespace norvale {

namespace {

using Clock = std::chrono::steady_clock;

// Statuses the rescue copy retries sector by sector once the untried areas are done: its own
// bad sectors, and the areas ddrescue had not yet trimmed or scraped.
constexpr std::string_view kRetryStatuses = "-*/";

// Reads the whole map file; kErrFileNotFound when there is none. A map of a badly damaged disk
// holds one line per bad stretch; anything past the cap is not a map this program wrote.
Result ReadMapFile(const std::string& path, std::string& text) {
    constexpr uint64_t kMaxMapBytes = 256ull << 20;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return FromErrno(errno);
    struct stat st {};
    Result r = kOk;
    if (::fstat(fd, &st) != 0) {
        r = FromErrno(errno);
    } else if (!S_ISREG(st.st_mode)) {
        r = kErrInvalidParameter;
    } else if (uint64_t(st.st_size) > kMaxMapBytes) {
        r = kErrNotEnoughMemory;
    } else {
        text.resize(size_t(st.st_size));
        uint64_t got = 0;
        r = ReadWholeBytes(text.size(), fd, text.data(), got);
        text.resize(size_t(got));
    }
    ::close(fd);
    return r;
}

// Replaces the map atomically: a crash leaves either the old map or the new one, never half.
Result WriteMapFile(const std::string& path, const std::string& text) {
    // A left-over temporary file (or a link in its place) is removed, never written through.
    const std::string tmp = path + ".tmp";
    ::unlink(tmp.c_str());
    const int fd =
        ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) return FromErrno(errno);
    Result r = WriteAllBytes(fd, text.data(), text.size());
    if (r == kOk && ::fsync(fd) != 0) r = FromErrno(errno);
    if (::close(fd) != 0 && r == kOk) r = FromErrno(errno);
    if (r == kOk && ::rename(tmp.c_str(), path.c_str()) != 0) r = FromErrno(errno);
    if (r != kOk) {
        ::unlink(tmp.c_str());
        return r;
    }
    // The rename itself is durable only once the folder is.
    const size_t slash = path.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return kOk;
}

// The next chunk of at most 64 KiB in whole sectors; only the end of an image file whose length
// is not a whole number of sectors leaves less than a sector, which is then read byte-wise.
uint32_t NextChunk(uint64_t remaining, uint32_t bytesPerSector, uint32_t& unit) {
    uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(kImageChunkBytes, remaining));
    if (chunk < bytesPerSector) {
        unit = 1;
        return chunk;
    }
    unit = bytesPerSector;
    return chunk - chunk % bytesPerSector;
}

// The state of one Run. Everything the copy loops need is allocated before the first chunk.
class ImageCopy {
  public:
    ImageCopy(const ImageJob& job, IImageObserver& observer, const std::atomic<bool>& stop)
        : job_(job), observer_(observer), stop_(stop) {}
    ~ImageCopy() {
        if (fd_ >= 0) ::close(fd_);
    }

    ImageResult Run();

  private:
    Result Fail(ImageStage stage, Result r) {
        result_.failedAt = stage;
        result_.result = r;
        return r;
    }
    bool StopRequested() const { return stop_.load(std::memory_order_relaxed); }

    Result CheckRange();
    Result OpenDestination();
    Result Write(uint64_t offset, const uint8_t* data, uint32_t unit, uint32_t count);
    void Report();
    Result Finish();

    Result CopyPlain();

    Result LoadMap();
    Result CopyRescue();
    Result CopyChunkRescue(uint64_t offset, uint32_t bytes, uint32_t unit);
    Result ReadSectorRescue(uint64_t offset, uint32_t bytes);
    Result SaveMap(bool force);

    const ImageJob& job_;
    IImageObserver& observer_;
    const std::atomic<bool>& stop_;
    ImageResult result_;

    uint32_t bytesPerSector_ = 512;
    uint64_t start_ = 0;  // byte offset of the range on the source
    uint64_t total_ = 0;  // bytes in the range
    SourceCursor cursor_;
    int fd_ = -1;
    uint64_t writePos_ = 0;  // the image descriptor's file position
    std::unique_ptr<uint8_t[]> buffer_;
    std::unique_ptr<uint8_t[]> zeros_;

    // Progress: bytes settled overall (finished, or given up for this run) and in this run.
    uint64_t done_ = 0;
    uint64_t doneThisRun_ = 0;
    Clock::time_point started_;
    Clock::time_point lastEstimate_;
    int secondsLeft_ = -1;

    RescueMap map_;
    bool mapDirty_ = false;
    Clock::time_point lastMapSave_;
};

Result ImageCopy::CheckRange() {
    const uint32_t bps = job_.bytesPerSector ? job_.bytesPerSector : job_.source->SectorSize();
    // Whole sectors must fill a chunk exactly, or chunks would split sectors.
    if (bps < 512 || bps > kImageChunkBytes || (bps & (bps - 1)) != 0) return kErrInvalidParameter;
    bytesPerSector_ = bps;

    uint64_t size = job_.source->SizeBytes();
    uint64_t cylinders = 0;
    uint32_t heads = 0, perTrack = 0;
    if (size == 0 && job_.source->Geometry(cylinders, heads, perTrack) && heads != 0 &&
        perTrack != 0 &&
        cylinders <= std::numeric_limits<uint64_t>::max() / (uint64_t{heads} * perTrack * bps)) {
        size = cylinders * heads * perTrack * bps;
    }
    if (job_.firstSector > size / bps) return kErrInvalidParameter;
    start_ = job_.firstSector * bps;
    if (job_.sectorCount == 0) {
        total_ = size - start_;
    } else {
        if (job_.sectorCount > (size - start_) / bps) return kErrInvalidParameter;
        total_ = job_.sectorCount * bps;
    }
    // An empty range (a reader without a card) would give an empty "image" reported as done.
    return total_ == 0 ? kErrInvalidParameter : kOk;
}

Result ImageCopy::OpenDestination() {
    if (job_.imagePath.empty()) return kErrInvalidName;
    if (!job_.sourcePath.empty() && SameFile(job_.sourcePath, job_.imagePath))
        return kErrInvalidParameter;
    // An image is a plain file: a disk, a partition, a pipe or a symbolic link given as the
    // destination is refused before it is opened for writing. O_NONBLOCK keeps a FIFO created
    // in between from blocking the open; it has no effect on a regular file.
    struct stat st {};
    const bool exists = ::lstat(job_.imagePath.c_str(), &st) == 0;
    if (exists) {
        if (S_ISDIR(st.st_mode)) return kErrDirectoryName;
        if (!S_ISREG(st.st_mode)) return kErrInvalidParameter;
        if (!job_.replaceExisting && !result_.resumed) return kErrAlreadyExists;
    }
    // Never truncated on open: a stopped rescue copy is continued in place, and a copy that
    // fails at once must not have destroyed the previous image first. A new file is made
    // exclusively, so nothing that appeared since the look above is taken over.
    const int flags =
        O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | (exists ? 0 : O_CREAT | O_EXCL);
    fd_ = ::open(job_.imagePath.c_str(), flags, 0644);
    if (fd_ < 0) {
        // With O_CREAT only a missing folder on the way gives ENOENT; ELOOP is a link that
        // appeared at the path.
        if (errno == ENOENT) return exists ? kErrFileNotFound : kErrPathNotFound;
        if (errno == ELOOP) return kErrInvalidParameter;
        return FromErrno(errno);
    }
    if (::fstat(fd_, &st) != 0) return FromErrno(errno);
    if (!S_ISREG(st.st_mode)) return kErrInvalidParameter;
    return kOk;
}

Result ImageCopy::Write(uint64_t offset, const uint8_t* data, uint32_t unit, uint32_t count) {
    if (writePos_ != offset) {
        if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return FromErrno(errno);
        writePos_ = offset;
    }
    uint32_t written = 0;
    const Result r = WriteSectors(fd_, data, unit, count, written);
    writePos_ += uint64_t{written} * unit;
    return r;
}

void ImageCopy::Report() {
    const Clock::time_point now = Clock::now();
    if (now - lastEstimate_ > std::chrono::milliseconds(4999)) {
        lastEstimate_ = now;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - started_);
        uint64_t speed = doneThisRun_ / std::max<uint64_t>(1, uint64_t(seconds.count()));
        if (speed == 0) speed = 1;
        secondsLeft_ = static_cast<int>(
            std::min<uint64_t>((total_ - done_) / speed, std::numeric_limits<int>::max()));
    }
    const int percent = static_cast<int>(static_cast<unsigned __int128>(done_) * 100 / total_);
    // Rounded up like the total, so a copy that ends in part of a sector ends at the total.
    observer_.OnProgress(percent, (done_ + bytesPerSector_ - 1) / bytesPerSector_,
                         (total_ + bytesPerSector_ - 1) / bytesPerSector_, secondsLeft_);
}

Result ImageCopy::CopyPlain() {
    cursor_ = {job_.source, start_};
    while (done_ < total_) {
        if (StopRequested()) return Fail(ImageStage::kNone, kScanCancelled);
        uint32_t unit = 0;
        const uint32_t chunk = NextChunk(total_ - done_, bytesPerSector_, unit);
        uint32_t got = 0;
        const Result read = ReadAtCurrentPosition(chunk / unit, cursor_, buffer_.get(), unit, got);
        if (got > 0) {
            const Result wr = Write(done_, buffer_.get(), unit, got);
            done_ = writePos_;
            doneThisRun_ = done_;
            if (wr != kOk) return Fail(ImageStage::kWrite, wr);
        }
        if (read != kOk) {
            result_.failedSector = done_ / bytesPerSector_;
            return Fail(ImageStage::kRead, read);
        }
        Report();
    }
    return kOk;
}

Result ImageCopy::Finish() {
    if (fd_ < 0) return result_.result;
    const uint64_t length = job_.rescue ? map_.WrittenExtent() : done_;
    Result r = kOk;
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0 || ::fsync(fd_) != 0) {
        r = FromErrno(errno);
    }
    if (::close(fd_) != 0 && r == kOk) r = FromErrno(errno);
    fd_ = -1;
    if (r == kOk) result_.imageBytes = length;
    if (r != kOk && result_.result == kOk) (void)Fail(ImageStage::kWrite, r);
    return result_.result;
}

ImageResult ImageCopy::Run() {
    if (!job_.source) {
        (void)Fail(ImageStage::kSource, kErrInvalidParameter);
        return result_;
    }
    if (Result r = CheckRange(); r != kOk) {
        (void)Fail(ImageStage::kSource, r);
        return result_;
    }
    result_.totalBytes = total_;
    if (job_.rescue) {
        result_.mapPath = DiskImager::MapPathFor(job_.imagePath);
        // A map that cannot be continued leaves the image and the map as they are.
        if (LoadMap() != kOk) return result_;
    }
    if (Result r = OpenDestination(); r != kOk) {
        (void)Fail(ImageStage::kDestination, r);
        return result_;
    }
    buffer_.reset(new (std::nothrow) uint8_t[kImageChunkBytes]);
    zeros_.reset(new (std::nothrow) uint8_t[bytesPerSector_]());
    if (!buffer_ || !zeros_) {
        (void)Fail(ImageStage::kSource, kErrNotEnoughMemory);
        return result_;
    }
    started_ = lastEstimate_ = lastMapSave_ = Clock::now();

    // The copy and the finish record their failures in result_, which is what Run returns.
    if (!job_.rescue) {
        (void)CopyPlain();
        (void)Finish();
        return result_;
    }
    // The map exists from the start, so even a copy that dies at once can be continued.
    if (Result r = SaveMap(true); r != kOk) {
        (void)Fail(ImageStage::kMap, r);
    } else {
        (void)CopyRescue();
    }
    (void)Finish();
    // Saved after the image is cut and flushed, so the map never vouches for bytes that are
    // not on disk.
    if (result_.result == kOk) map_.currentStatus = '+';
    if (Result r = SaveMap(true); r != kOk && result_.result == kOk) {
        (void)Fail(ImageStage::kMap, r);
    }
    result_.badBytes = map_.BytesWith(kRetryStatuses);
    for (const MapBlock& b : map_.Blocks())
        if (kRetryStatuses.find(static_cast<char>(b.status)) != std::string_view::npos)
            ++result_.badAreas;
    return result_;
}

// ---- Rescue copy ------------------------------------------------------------------------------

Result ImageCopy::LoadMap() {
    std::string text;
    const Result loaded = ReadMapFile(result_.mapPath, text);
    if (loaded == kErrFileNotFound) {
        map_ = RescueMap(total_);
        return kOk;
    }
    if (loaded != kOk) return Fail(ImageStage::kMap, loaded);
    if (!ParseRescueMap(text, map_, &result_.mapError))
        return Fail(ImageStage::kMap, kErrInvalidParameter);
    if (map_.Extent() > total_) {
        result_.mapError = {0, "the map covers more than the source holds"};
        return Fail(ImageStage::kMap, kErrInvalidParameter);
    }
    // The finished areas are taken from the image as it is; an image shorter than they reach
    // (deleted, or replaced by another copy) does not hold them.
    struct stat st {};
    const uint64_t imageLength =
        ::stat(job_.imagePath.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
    if (imageLength < map_.WrittenExtent()) {
        result_.mapError = {0, "the image is shorter than the map says was copied"};
        return Fail(ImageStage::kMap, kErrInvalidParameter);
    }
    map_.Resize(total_);
    result_.resumed = true;
    result_.resumedBytes = map_.BytesWith("+");
    return kOk;
}

Result ImageCopy::CopyRescue() {
    // Areas that failed before this run get their one more try after everything untried.
    std::vector<MapBlock> retry;
    for (const MapBlock& b : map_.Blocks())
        if (kRetryStatuses.find(static_cast<char>(b.status)) != std::string_view::npos)
            retry.push_back(b);
    uint64_t pending = map_.BytesWith("?");
    for (const MapBlock& b : retry) pending += b.size;
    done_ = total_ - pending;
    cursor_ = {job_.source, start_};

    map_.currentStatus = '?';
    MapBlock area;
    uint64_t from = 0;
    while (map_.NextArea(from, "?", area)) {
        for (uint64_t pos = area.pos; pos < area.End();) {
            if (StopRequested()) return Fail(ImageStage::kNone, kScanCancelled);
            uint32_t unit = 0;
            const uint32_t chunk = NextChunk(area.End() - pos, bytesPerSector_, unit);
            map_.currentPos = pos;
            if (Result r = CopyChunkRescue(pos, chunk, unit); r != kOk) return r;
            pos += chunk;
            Report();
            if (Result r = SaveMap(false); r != kOk) return Fail(ImageStage::kMap, r);
        }
        from = area.End();
    }

    map_.currentStatus = '-';
    for (const MapBlock& b : retry) {
        for (uint64_t pos = b.pos; pos < b.End();) {
            if (StopRequested()) return Fail(ImageStage::kNone, kScanCancelled);
            const uint32_t len =
                static_cast<uint32_t>(std::min<uint64_t>(bytesPerSector_, b.End() - pos));
            map_.currentPos = pos;
            if (Result r = ReadSectorRescue(pos, len); r != kOk) return r;
            pos += len;
            done_ += len;
            doneThisRun_ += len;
            Report();
            if (Result r = SaveMap(false); r != kOk) return Fail(ImageStage::kMap, r);
        }
    }
    return kOk;
}

Result ImageCopy::CopyChunkRescue(uint64_t offset, uint32_t bytes, uint32_t unit) {
    cursor_.position = start_ + offset;
    uint32_t got = 0;
    const Result read = ReadAtCurrentPosition(bytes / unit, cursor_, buffer_.get(), unit, got);
    const uint32_t good = got * unit;
    if (good > 0) {
        if (Result r = Write(offset, buffer_.get(), unit, got); r != kOk)
            return Fail(ImageStage::kWrite, r);
        map_.SetStatus(offset, good, BlockStatus::kFinished);
        mapDirty_ = true;
        done_ += good;
        doneThisRun_ += good;
    }
    if (read == kOk) return kOk;
    // The chunk broke off at a sector that failed: the rest of it goes one sector at a time, so
    // one bad sector costs one sector of the image, not a chunk. Failing sectors can take
    // seconds each, so progress and stop requests are honoured between them.
    for (uint64_t pos = offset + good; pos < offset + bytes;) {
        if (StopRequested()) return Fail(ImageStage::kNone, kScanCancelled);
        const uint32_t len =
            static_cast<uint32_t>(std::min<uint64_t>(bytesPerSector_, offset + bytes - pos));
        if (Result r = ReadSectorRescue(pos, len); r != kOk) return r;
        pos += len;
        done_ += len;
        doneThisRun_ += len;
        Report();
        if (Result r = SaveMap(false); r != kOk) return Fail(ImageStage::kMap, r);
    }
    return kOk;
}

Result ImageCopy::ReadSectorRescue(uint64_t offset, uint32_t bytes) {
    cursor_.position = start_ + offset;
    uint32_t got = 0;
    const Result read = ReadAtCurrentPosition(1, cursor_, buffer_.get(), bytes, got);
    const bool good = read == kOk && got == 1;
    // A bad sector is written as zeros so the image never shows what an older file at this path
    // held there.
    if (Result r = Write(offset, good ? buffer_.get() : zeros_.get(), bytes, 1); r != kOk)
        return Fail(ImageStage::kWrite, r);
    map_.SetStatus(offset, bytes, good ? BlockStatus::kFinished : BlockStatus::kBadSector);
    mapDirty_ = true;
    return kOk;
}

Result ImageCopy::SaveMap(bool force) {
    const Clock::time_point now = Clock::now();
    if (!force && (!mapDirty_ || now - lastMapSave_ < DiskImager::kMapSaveInterval)) return kOk;
    // The image reaches the disk before the map that vouches for it.
    if (fd_ >= 0 && ::fdatasync(fd_) != 0) return FromErrno(errno);
    if (Result r = WriteMapFile(result_.mapPath, FormatRescueMap(map_)); r != kOk) return r;
    mapDirty_ = false;
    lastMapSave_ = now;
    return kOk;
}

}  // namespace

ImageResult DiskImager::Run(const ImageJob& job) {
    ImageCopy copy(job, observer_, stop_);
    ImageResult result = copy.Run();
    observer_.OnFinished(result);
    return result;
}

}  // namespace norvale
