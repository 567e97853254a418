#include "app/destination_guard.h"

#include <utility>

namespace norvale {

std::string SourceReadPath(const SourceInfo& source) {
    if (!source.IsPartition()) return source.imagePath;
    return source.partition->volumeRoot.empty() ? source.partition->diskPath
                                                : source.partition->volumeRoot;
}

SourceOverlap FindDestinationOnSource(const std::string& destination, const SourceInfo& source) {
    SourceOverlap found;
    found.sourcePath = SourceReadPath(source);
    // A source with no path of its own overlaps nothing; an empty path would be judged as the
    // current folder.
    if (!found.sourcePath.empty())
        found.overlap = FindDestinationOverlap(destination, found.sourcePath);
    return found;
}

SourceOverlap FindDestinationOnSources(const std::string& destination,
                                       const std::vector<SourceInfo>& sources,
                                       const std::string& mediumPath) {
    SourceOverlap first;
    const auto consider = [&](SourceOverlap candidate) {
        if (!candidate.Found()) return false;
        if (!first.Found())
            first = std::move(candidate);
        else if (candidate.overlap.kind == OverlapKind::kSourceItself)
            first = std::move(candidate);
        return first.overlap.kind == OverlapKind::kSourceItself;
    };
    if (!mediumPath.empty()) {
        SourceOverlap medium;
        medium.sourcePath = mediumPath;
        medium.overlap = FindDestinationOverlap(destination, mediumPath);
        if (consider(std::move(medium))) return first;
    }
    for (const SourceInfo& source : sources) {
        if (!source.engine) continue;
        if (consider(FindDestinationOnSource(destination, source))) return first;
    }
    return first;
}

}  // namespace norvale
