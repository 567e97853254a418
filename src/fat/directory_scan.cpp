#include "fat/directory_scan.h"

#include "device/bytes.h"

namespace norvale {
namespace {

uint32_t ClusterAt(std::span<const uint8_t> b, size_t entryOffset) {
    return (uint32_t{Le16(&b[entryOffset + 20])} << 16) | Le16(&b[entryOffset + 26]);
}

}  // namespace

DirectoryBlockScan ScanDirectoryBlock(std::span<const uint8_t> block) {
    DirectoryBlockScan scan;
    const size_t count = block.size() / kDirEntryBytes;
    if (count == 0) return scan;
    scan.opensFolder = IsDotEntryPair(block);
    if (scan.opensFolder) scan.selfCluster = ClusterAt(block, 0);
    scan.startsWithVolumeLabel = block[11] == kAttrVolumeLabel && block[0] != kEntryEnd;

    LongNameState longName;
    size_t nameStart = 0;
    // A live name must be whole: its first piece carries the last-piece flag and every piece
    // the checksum of its 8.3 entry. A directory that goes on in a cluster of its own may start
    // with the lower pieces of a name whose upper ones were in a cluster since overwritten;
    // such a piece of a name is no name, the 8.3 one stands.
    bool liveNameWhole = false;
    uint8_t liveNameChecksum = 0;
    for (size_t i = 0; i < count; ++i) {
        const DirEntryBytes e = EntryAt(block, i);
        if (e[0] == kEntryEnd) {
            scan.endMarker = true;
            DropLongName(longName);
            break;
        }
        if (!IsPlausibleEntry(block.subspan(i * kDirEntryBytes))) {
            DropLongName(longName);
            continue;
        }
        const ShortEntry s = DecodeShortEntry(e);
        if (s.IsLongName()) {
            bool first = !HasLongName(longName);
            // A 21st piece belongs to no name the format allows: start over with this one.
            if (!first && !AssembleLongName(longName, e)) {
                DropLongName(longName);
                first = true;
            }
            if (first) {
                nameStart = i * kDirEntryBytes;
                AssembleLongName(longName, e);
                liveNameWhole = (e[0] & kLastLongNamePiece) != 0;
                liveNameChecksum = e[13];
            } else if (e[13] != liveNameChecksum) {
                liveNameWhole = false;
            }
            continue;
        }
        bool hasLongName = HasLongName(longName);
        if (hasLongName && e[0] != kEntryDeleted &&
            (!liveNameWhole || liveNameChecksum != LfnChecksum(e))) {
            DropLongName(longName);
            hasLongName = false;
        }
        const bool isFolder = s.IsDirectory();
        const bool isFile = !isFolder && (s.attributes & kAttrArchive) != 0 && !s.IsVolumeLabel();
        if ((isFolder && e[0] != '.') || isFile) {
            FoundDirEntry found;
            found.offset = i * kDirEntryBytes;
            found.name = hasLongName ? TakeLongName(longName) : DecodeShortName(e, isFolder);
            found.entry = s;
            found.isFolder = isFolder;
            if (!found.name.empty()) scan.entries.push_back(std::move(found));
        }
        DropLongName(longName);
    }
    if (HasLongName(longName)) {
        scan.hasTail = true;
        scan.tailOffset = nameStart;
        scan.tailChecksum = block[nameStart + 13];
    }
    return scan;
}

DotSectorInfo ReadDotSector(std::span<const uint8_t> sector) {
    DotSectorInfo info;
    if (sector.size() < 2 * kDirEntryBytes) return info;
    info.volumeLabelFirst = sector[11] == kAttrVolumeLabel && sector[0] != kEntryEnd;
    info.opensFolder =
        sector[0] == '.' && sector[1] == ' ' && sector[32] == '.' && sector[33] == '.';
    if (info.opensFolder) {
        info.selfCluster = ClusterAt(sector, 0);
        info.parentCluster = ClusterAt(sector, kDirEntryBytes);
    }
    return info;
}

bool LongNameLinkOf(std::span<const uint8_t> sector, uint8_t& checksum) {
    if (sector.size() < kDirEntryBytes) return false;
    const DirEntryBytes e = EntryAt(sector, 0);
    if (e[0] == kEntryEnd || !IsPlausibleEntry(sector)) return false;
    if (e[11] == kAttrLongName) {
        checksum = e[13];
        return true;
    }
    if (e[0] == kEntryDeleted || e[0] == '.') return false;
    checksum = LfnChecksum(e);
    return true;
}

bool ContinuesLongName(std::span<const uint8_t> sector, uint8_t checksum, bool acceptDeleted) {
    uint8_t link = 0;
    if (LongNameLinkOf(sector, link)) return link == checksum;
    if (sector.size() < kDirEntryBytes || !acceptDeleted) return false;
    // A deleted 8.3 entry has lost its first name byte, and with it the checksum.
    return sector[0] == kEntryDeleted && sector[11] != kAttrLongName && IsPlausibleEntry(sector);
}

}  // namespace norvale
