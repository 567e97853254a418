// MPEG transport streams: 188-byte packets, each opening with the sync byte 0x47, and the
// Blu-ray (BDAV) variant whose 192-byte packets carry a 4-byte time stamp first.
//
// A long stream is full of sectors that look like the start of a new stream, so the detector
// keeps state across candidates (see CarvingContext): once a stream has been found, a sector
// whose predecessor also sits on a packet grid continues it, and a sector inside a stream
// already carved in this pass is never reported again.
#include <algorithm>
#include <string_view>
#include <vector>

#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr uint8_t kSyncByte = 0x47;
constexpr size_t kLookAheadBytes = 4096;
constexpr size_t kLookAheadPackets = 22;  // the packets that begin in the first 4 KiB

bool InCarvedStream(const CarvingContext& context) {
    return std::any_of(context.tsRanges.begin(), context.tsRanges.end(), [&](const TsRange& r) {
        return context.startLba >= r.firstLba && context.startLba <= r.lastLba;
    });
}

// True when the sector before the cursor ends on a packet grid, i.e. a stream runs into the
// sector under test; a failed read counts as a continuation, so nothing is reported.
bool ContinuesPreviousSector(CarvingContext& context) {
    // Nothing precedes the first sector of the medium, so nothing can continue into it.
    if (context.cursorLba == 0) return false;
    const uint32_t sectorSize = context.sectorSize;
    if (sectorSize == 0 || sectorSize > kCarvingWorkBufferBytes) return true;
    std::vector<uint8_t> previous(sectorSize);
    if (!context.ReadSectors(context.cursorLba - 1, 1, previous)) return true;
    for (uint32_t j = 1; j <= sectorSize / kTsPacketBytes; ++j) {
        if (previous[sectorSize - kTsPacketBytes * j] == kSyncByte) return true;
    }
    return false;
}

}  // namespace

FileTypeCode DetectTransportStream(ByteSpan sector, CarvingContext& context) {
    if (sector.size() < kTsPacketBytes || sector[0] != kSyncByte) return FileTypeCode::kNoFileType;
    if (sector[1] == 0 && sector[2] == 0 && sector[3] == 0) return FileTypeCode::kNoFileType;
    for (size_t offset = 0; offset < sector.size(); offset += kTsPacketBytes) {
        if (sector[offset] != kSyncByte) return FileTypeCode::kNoFileType;
    }

    // One sector holds only two or three packets; the first 4 KiB must keep the grid as well.
    const uint32_t sectorSize = context.sectorSize;
    if (sectorSize == 0 || sectorSize > kCarvingWorkBufferBytes) return FileTypeCode::kNoFileType;
    const uint32_t count = std::max<uint32_t>(1, kLookAheadBytes / sectorSize);
    std::vector<uint8_t> ahead(std::max<size_t>(kLookAheadBytes, size_t{count} * sectorSize), 0);
    if (!context.ReadSectors(context.cursorLba, count, ahead)) return FileTypeCode::kNoFileType;
    for (size_t packet = 0; packet < kLookAheadPackets; ++packet) {
        if (ahead[packet * kTsPacketBytes] != kSyncByte) return FileTypeCode::kNoFileType;
    }

    if (!context.transportStreamFlag) return FileTypeCode::kTs;
    if (ContinuesPreviousSector(context)) return FileTypeCode::kNoFileType;
    return InCarvedStream(context) ? FileTypeCode::kNoFileType : FileTypeCode::kTs;
}

FileTypeCode DetectBdav(ByteSpan sector, CarvingContext& context) {
    if (sector.size() < 16) return FileTypeCode::kNoFileType;
    // The first packet holds the program association table.
    if (!BytesAt(sector, 8, "\x00\x00\xB0\x11\x00\x00\xC1\x00"sv)) return FileTypeCode::kNoFileType;
    // A running time stamp right after a BDAV file means that file goes on.
    const bool zeroTimeStamp = sector[0] == 0 && sector[1] == 0 && sector[2] == 0 && sector[3] == 0;
    return (zeroTimeStamp || !context.bdavFlag) ? FileTypeCode::kMts : FileTypeCode::kNoFileType;
}

uint64_t SizeTransportStream(ByteSpan, CarvingContext& context) {
    const uint32_t sectorSize = context.sectorSize;
    if (sectorSize == 0) return 0;
    // Walks the 188-byte packet grid from the file's start: the stream ends at the first
    // packet that does not open with the sync byte, or at the boundary if that comes first.
    // The packet that straddles the end of one read is passed over unchecked.
    uint64_t grid = sectorSize - sectorSize % kTsPacketBytes;  // last packet begun in the header
    uint64_t length = 0;
    bool badPacket = false;
    SizerFrame frame(context, kCap64GiB);
    while (!badPacket && frame.Next()) {
        const ByteSpan chunk = frame.WholeChunk();
        const uint64_t chunkStart = frame.BytesBeforeChunk();
        const uint64_t chunkEnd = chunkStart + chunk.size();
        grid += kTsPacketBytes;
        while (grid >= chunkStart && grid + kTsPacketBytes <= chunkEnd) {
            if (chunk[grid - chunkStart] != kSyncByte) {
                badPacket = true;
                break;
            }
            grid += kTsPacketBytes;
        }
    }
    if (badPacket) {
        // The bad packet lies in the chunk just examined; the boundary, if this chunk held
        // none, lies beyond it, so there is no need to read on.
        length = frame.BoundaryHit() ? std::min(frame.Length(), grid) : frame.Clamp(grid);
    } else {
        length = std::min(frame.Length(), grid);
    }
    if (length > 0) {
        const uint64_t sectors = length / sectorSize + (length % sectorSize != 0);
        context.tsRanges.push_back({context.startLba, context.startLba + sectors - 1});
    }
    return length;
}

uint64_t SizeBdav(ByteSpan sector, CarvingContext& context) {
    return SizeBoundaryOnly6GiB(sector, context);
}

}  // namespace norvale
