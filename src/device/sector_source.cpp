#include "device/sector_source.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <mutex>

#include "device/disk_table.h"

namespace norvale {

FileSource::~FileSource() {
    if (fd_ >= 0) ::close(fd_);
}

Result FileSource::Open(const std::string& path, std::unique_ptr<FileSource>& out) {
    out.reset();
    if (path.empty()) return kErrFileNotFound;
    // O_NONBLOCK keeps a FIFO or a terminal given as a path from blocking the open; the flag is
    // dropped again once the type check has passed, so reads of real media block normally.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return FromErrno(errno);
    std::unique_ptr<FileSource> src(new FileSource());
    src->fd_ = fd;

    struct stat st {};
    if (::fstat(fd, &st) != 0) return FromErrno(errno);
    if (S_ISDIR(st.st_mode)) return kErrDirectoryName;
    if (S_ISBLK(st.st_mode)) {
        uint64_t bytes = 0;
        if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) return FromErrno(errno);
        int logical = 0;
        if (::ioctl(fd, BLKSSZGET, &logical) == 0 && logical >= 512) {
            src->sectorSize_ = static_cast<uint32_t>(logical);
        }
        src->size_ = bytes;
        src->isBlockDevice_ = true;
    } else if (S_ISREG(st.st_mode)) {
        src->size_ = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    } else {
        return kErrInvalidParameter;
    }

    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    out = std::move(src);
    return kOk;
}

Result FileSource::ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& got) {
    got = 0;
    if (out.empty()) return kOk;
    if (offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
        return kErrInvalidParameter;
    }
    for (;;) {
        ssize_t n = ::pread(fd_, out.data(), out.size(), static_cast<off_t>(offset));
        if (n >= 0) {
            got = static_cast<size_t>(n);
            return kOk;
        }
        if (errno != EINTR) return FromErrno(errno);
    }
}

bool FileSource::Geometry(uint64_t& cylinders, uint32_t& heads, uint32_t& sectorsPerTrack) const {
    if (!isBlockDevice_) return false;
    struct hd_geometry geo {};
    if (::ioctl(fd_, HDIO_GETGEO, &geo) != 0) return false;
    if (geo.heads == 0 || geo.sectors == 0) return false;
    heads = geo.heads;
    sectorsPerTrack = geo.sectors;
    // The kernel's cylinder field is 16 bits wide and wraps on any disk past ~8 GB; the length,
    // where it is known, gives the true count.
    const uint64_t perCylinder = uint64_t{heads} * sectorsPerTrack * sectorSize_;
    cylinders = size_ > 0 ? size_ / perCylinder : geo.cylinders;
    return true;
}

Result MemorySource::ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& got) {
    got = 0;
    if (offset >= bytes_.size()) return kOk;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(out.size(), bytes_.size() - offset));
    std::memcpy(out.data(), bytes_.data() + offset, n);
    got = n;
    return kOk;
}

Result FaultySource::ReadAt(uint64_t offset, std::span<uint8_t> out, size_t& got) {
    ++readCalls_;
    got = 0;
    if (out.empty()) return kOk;
    const uint64_t end = offset + out.size();
    // Behaves like pread on a failing medium: a request that starts before the first bad unit
    // delivers the good bytes up to it; the request that starts on a bad unit fails.
    auto bad = bad_.lower_bound(offset / unit_);
    if (bad == bad_.end() || *bad * unit_ >= end) return inner_->ReadAt(offset, out, got);
    const uint64_t badStart = *bad * unit_;
    if (badStart <= offset) return failure_;
    return inner_->ReadAt(offset, out.first(static_cast<size_t>(badStart - offset)), got);
}

namespace {

std::mutex openerMutex;
DiskSourceOpener customOpener;

Result OpenDiskDevice(int diskNumber, std::unique_ptr<ISectorSource>& out) {
    std::string path;
    if (Result r = DiskDevicePath(diskNumber, path); r != kOk) return r;
    std::unique_ptr<FileSource> file;
    if (Result r = FileSource::Open(path, file); r != kOk) return r;
    out = std::move(file);
    return kOk;
}

}  // namespace

DiskSourceOpener SetDiskSourceOpener(DiskSourceOpener opener) {
    std::lock_guard lock(openerMutex);
    std::swap(customOpener, opener);
    return opener;
}

Result OpenDiskSource(int diskNumber, std::unique_ptr<ISectorSource>& out) {
    DiskSourceOpener opener;
    {
        std::lock_guard lock(openerMutex);
        opener = customOpener;
    }
    return OpenDiskSource(diskNumber, out, opener);
}

Result OpenDiskSource(int diskNumber, std::unique_ptr<ISectorSource>& out,
                      const DiskSourceOpener& opener) {
    out.reset();
    if (diskNumber < 0) return kErrFileNotFound;
    // An image read as a disk is always the file it was registered with, whatever opener the
    // tests installed for real disk numbers.
    if (std::string image = ImageDiskPath(diskNumber); !image.empty()) {
        std::unique_ptr<FileSource> file;
        if (Result r = FileSource::Open(image, file); r != kOk) return r;
        out = std::move(file);
        return kOk;
    }
    Result r = opener ? opener(diskNumber, out) : OpenDiskDevice(diskNumber, out);
    if (r == kOk && !out) r = kErrFileNotFound;
    if (r != kOk) out.reset();
    return r;
}

}  // namespace norvale
