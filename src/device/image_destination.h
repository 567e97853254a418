#pragma once
// Where a disk image may be written. Before a copy starts the destination file is checked
// against the source: it must not lie on the disk being imaged (writing there destroys what the
// copy is meant to save), the destination's file system must be able to hold a file of the
// image's size, and there must be room for it.

#include <cstdint>
#include <string>

#include "device/destination_check.h"
#include "device/result.h"

namespace norvale {

enum class DestinationVerdict {
    kOk,
    kSameDevice,      // MSG0218: the destination lies on the source disk
    kFat32TooLarge,   // MSG0220: FAT32 and the image is larger than 4 GiB
    kFatTooLarge,     // MSG0219: FAT12/16 and the image is larger than 2 GiB
    kNotEnoughSpace,  // MSG0221: the free space is not larger than the image
};

// The language key of the message that explains a refusal; "" for kOk.
const char* DestinationMessageKey(DestinationVerdict verdict);

// What is known about the place the image goes.
struct DestinationFacts {
    bool onSourceDevice = false;  // overlap.Found()
    DestinationOverlap overlap;   // how the destination reaches the source
    // The destination volume's file system: "FAT32", "FAT" (FAT12/16), "exFAT", "NTFS", or the
    // kernel's own name ("ext4", "tmpfs"); empty when unknown.
    std::string fsName;
    bool freeKnown = false;
    uint64_t freeBytes = 0;
    // Space an existing destination file already holds; it is overwritten, so it counts as free.
    uint64_t reusableBytes = 0;
};

// The first check that refuses the image, in the order: same device, FAT32 over 4 GiB, FAT12/16
// over 2 GiB, not enough free space. An unknown free space lets the copy go ahead.
DestinationVerdict CheckImageDestination(const DestinationFacts& facts, uint64_t imageBytes);

// Gathers the facts for the image file `imagePath` whose source is `sourcePath`, a block device
// or an image file. The destination counts as on the source when FindDestinationOverlap says
// so: its volume is on the source disk (maybe stacked), or is backed by the source image, or
// it is the source itself. kErrPathNotFound when the destination's folder does not exist,
// kErrDirectoryName when the path itself is a folder.
Result GatherDestinationFacts(const std::string& imagePath, const std::string& sourcePath,
                              DestinationFacts& out);
// The same for a source known only by its block device number (st_rdev; 0 for a plain file).
Result GatherDestinationFacts(const std::string& imagePath, uint64_t sourceDevice,
                              DestinationFacts& out);

// True when the folder `path` (or, while it does not exist yet, its nearest existing parent)
// lies on the disk of block device `sourceDevice`: FindDestinationOverlap for a source known by
// its number. Always false for sourceDevice 0 (a source that is a file).
bool FolderOnSourceDisk(const std::string& path, uint64_t sourceDevice);

// True when `a` and `b` name the same existing file (same device and inode).
bool SameFile(const std::string& a, const std::string& b);

}  // namespace norvale
