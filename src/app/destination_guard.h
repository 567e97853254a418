#pragma once
// The one question both front ends ask before they recover files into a folder: could writing
// there change what is being recovered? It is asked of everything the recovery reads from: the
// medium the person named (a disk, a partition or an image file) and every scanned source of
// the list (a partition by its own device, a partition or stretch read through its disk or
// image by that, an image by its path). Each is judged by FindDestinationOverlap, which follows
// the destination's volume down through partitions, stacked devices, loop devices and FUSE
// mounts. What to do about an overlap (refuse, ask, allow with a flag) is the front end's call.

#include <string>
#include <vector>

#include "device/destination_check.h"
#include "engine/source_info.h"

namespace norvale {

struct SourceOverlap {
    DestinationOverlap overlap;
    // The device or image file the destination meets, as the source names it: the path to
    // name in the message (DescribeOverlap).
    std::string sourcePath;

    bool Found() const { return overlap.Found(); }
};

// The device or file `source` is read through: a partition's own device, else its disk (an
// unallocated stretch, a partition of an image); an image's path.
std::string SourceReadPath(const SourceInfo& source);

// `destination` need not exist yet. `mediumPath` may be empty (the desktop app knows its
// sources only). Sources without an engine were not scanned and nothing is recovered from them;
// they are not asked about. Of several overlaps the destination being a source itself wins
// (no flag may allow that one), else the first found, the medium before the sources.
SourceOverlap FindDestinationOnSources(const std::string& destination,
                                       const std::vector<SourceInfo>& sources,
                                       const std::string& mediumPath = {});

// One source alone, scanned or not.
SourceOverlap FindDestinationOnSource(const std::string& destination, const SourceInfo& source);

}  // namespace norvale
