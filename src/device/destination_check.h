#pragma once
// Whether writing at a destination can change the source being read. Every writer asks this
// one check before it writes: recovered files, disk images, the desktop app.
//
// The destination's volume is followed down through everything it is stacked on: a partition
// to its disk, a device-mapper or md volume to its members ("slaves" in sysfs), a loop device to
// its backing file and on to the volume holding that file, a FUSE volume (ntfs-3g, exfat-fuse)
// to the device or file it was mounted from. The source is a block device, taken with its disk
// and everything beneath it, or an image file. Writing can touch the source when the two meet
// anywhere on the way: the same disk, or a loop device (or FUSE mount) backed by the source
// image itself.
//
// Only stat, sysfs, the mount table and the loop status of loop devices are read; nothing is
// written, and a walk ends after a bounded number of devices whatever the system reports.

#include <cstdint>
#include <string>

namespace norvale {

enum class OverlapKind {
    kNone,
    kSourceItself,  // the destination is the source file or device, or a path below that file
    kSourceDisk,    // the destination's volume lies on the source's disk, maybe stacked
    kSourceImage,   // the destination's volume is backed by the source image file
};

struct DestinationOverlap {
    OverlapKind kind = OverlapKind::kNone;
    // The loop device (or mount source) through which the destination reaches the source,
    // e.g. "/dev/loop3"; empty when it does so directly.
    std::string through;
    // kSourceImage: the image file as the kernel or the mount table names it.
    std::string file;

    bool Found() const { return kind != OverlapKind::kNone; }
};

// `destination` is a folder or a file and need not exist yet: its nearest existing parent is
// judged. `source` is a block device (disk or partition) or an image file; a source that does
// not exist overlaps nothing.
DestinationOverlap FindDestinationOverlap(const std::string& destination,
                                          const std::string& source);

// The same for a source known only by its block device number (st_rdev). 0 (a source that is
// a plain file) overlaps nothing.
DestinationOverlap FindDestinationOverlap(const std::string& destination, uint64_t sourceDevice);

// What the overlap means, for a message that goes on with "; writing there would ...":
// "/mnt/x/rescued is inside card.img (attached as /dev/loop3)". Names the paths as given.
std::string DescribeOverlap(const DestinationOverlap& overlap, const std::string& destination,
                            const std::string& source);

namespace detail {
// The file-system type and the mount source (unescaped) of the volume numbered `dev`, from the
// mount table.
bool FindMount(uint64_t dev, std::string& fsType, std::string& source);
}  // namespace detail

}  // namespace norvale
