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

#include "carving/file_window.h"
#include "carving/formats/formats.h"
#include "carving/sizer_frame.h"

namespace norvale {

using namespace std::literals;

namespace {

constexpr uint8_t kSyncByte = 0x47;
constexpr size_t kBdavPacketBytes = 192;  // a 4-byte time stamp, then a 188-byte packet
constexpr size_t kLookAheadBytes = 4096;
constexpr size_t kLookAheadPackets = 22;  // the packets that begin in the first 4 KiB

bool InCarvedStream(CarvingContext& context) {
    context.leanedOnOrder = true;
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

// The first 192-byte packet of `packet` opens a program association table (PID 0) or a
// service description table (PID 0x11) with a zero pointer field.
bool OpensWithTable(ByteSpan packet) {
    if (packet.size() < 11 || packet[4] != kSyncByte || (packet[5] & 0x40) == 0) return false;
    const unsigned pid = ((packet[5] & 0x1Fu) << 8) | packet[6];
    const uint8_t table = pid == 0 ? 0x00 : pid == 0x11 ? 0x42 : 0xFF;
    return table != 0xFF && packet[8] == 0 && packet[9] == table && (packet[10] & 0x80) != 0;
}

bool ZeroTimeStamp(ByteSpan packet) {
    return packet[0] == 0 && packet[1] == 0 && packet[2] == 0 && packet[3] == 0;
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

    context.leanedOnOrder = true;
    if (!context.transportStreamFlag) return FileTypeCode::kTs;
    if (ContinuesPreviousSector(context)) return FileTypeCode::kNoFileType;
    return InCarvedStream(context) ? FileTypeCode::kNoFileType : FileTypeCode::kTs;
}

FileTypeCode DetectBdav(ByteSpan sector, CarvingContext& context) {
    // Two whole packets and the sync byte of a third in a 512-byte sector.
    if (sector.size() < 2 * kBdavPacketBytes + 5) return FileTypeCode::kNoFileType;
    for (size_t sync = 4; sync < sector.size(); sync += kBdavPacketBytes) {
        if (sector[sync] != kSyncByte) return FileTypeCode::kNoFileType;
    }
    // A stream opens with a table: the program association table (cameras) or the service
    // description table (other writers), starting in the first packet.
    if (!OpensWithTable(sector)) return FileTypeCode::kNoFileType;
    // A running time stamp right after a BDAV file means that file goes on.
    context.leanedOnOrder = true;
    return (ZeroTimeStamp(sector) || !context.bdavFlag) ? FileTypeCode::kMts
                                                        : FileTypeCode::kNoFileType;
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
    // The run of 192-byte packets with the sync byte after each time stamp; the file ends after
    // the last whole packet of the run. A packet on a sector boundary that opens a new stream
    // (a zero time stamp and a table) begins another file laid right after this one.
    const uint32_t sectorSize = context.sectorSize;
    if (sectorSize == 0) return 0;
    FileWindow window(sector, context, kCap6GiB);
    uint64_t at = 0;
    bool runEnded = false;
    while (!window.Stopped()) {
        const ByteSpan packet = window.View(at, kBdavPacketBytes);
        if (packet.size() > 4 && packet[4] != kSyncByte) {
            runEnded = true;  // zeros, noise or another file
            break;
        }
        if (packet.size() < kBdavPacketBytes) break;
        if (at > 0 && at % sectorSize == 0 && ZeroTimeStamp(packet) && OpensWithTable(packet)) {
            runEnded = true;
            break;
        }
        at += kBdavPacketBytes;
    }
    // A run that the medium's end, the cap, a failed read or a stop cut short is no sound file.
    if (!runEnded || at < 2 * kBdavPacketBytes) {
        context.structureValid = false;
        if (window.Stopped()) return sectorSize;
        if (at == 0) return SizeToBoundary(context, kCap6GiB);
    }
    return at;
}

}  // namespace norvale
