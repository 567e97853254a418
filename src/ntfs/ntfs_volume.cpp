#include "ntfs/ntfs_volume.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <set>
#include <utility>

#include "device/sector_reader.h"
#include "ntfs/attribute_values.h"
#include "ntfs/mft_record.h"

namespace norvale {
namespace {

constexpr uint64_t kMaxPieceBytesPerRead = 1u << 20;
constexpr uint32_t kBounceBytes = 0x10000;

bool NameMatches(const AttributeRef& attr, std::u16string_view name) {
    return attr.nameLength == name.size() && (name.empty() || AttributeName(attr) == name);
}

// Bytes the runs put on the volume, saturating.
uint64_t RunBytes(std::span<const DataRun> runs, uint32_t clusterBytes) {
    const uint64_t clusters = RunClusters(runs);
    uint64_t bytes = 0;
    return __builtin_mul_overflow(clusters, uint64_t{clusterBytes}, &bytes) ? ~uint64_t{0} : bytes;
}

}  // namespace

bool TakeAttribute(const AttributeRef& attr, uint64_t volumeClusters, AttributeData& out) {
    out.type = attr.type;
    out.flags = attr.flags;
    out.resident = !attr.nonResident;
    if (!attr.nonResident) {
        bool ok = false;
        const std::span<const uint8_t> value = ResidentValue(attr, &ok);
        if (!ok) return false;
        out.residentValue.assign(value.begin(), value.end());
        out.allocatedSize = out.realSize = out.initializedSize = value.size();
        return true;
    }
    NonResidentHeader h;
    if (!DecodeNonResident(attr, h)) return false;
    out.allocatedSize = h.allocatedSize;
    out.realSize = h.realSize;
    out.initializedSize = std::min(h.initializedSize, h.realSize);
    if (DecodeRunList(attr.bytes, volumeClusters, out.runs) != kOk) out.complete = false;
    return true;
}

Result NtfsVolume::Open(uint64_t partitionStartLba, uint64_t partitionSectors) {
    const uint32_t mediumSector = std::clamp<uint32_t>(reader_.MediumSectorSize(), 512, 4096);
    if (partitionSectors == 0 && reader_.TotalSectors() > partitionStartLba) {
        partitionSectors = reader_.TotalSectors() - partitionStartLba;
    }
    std::vector<uint8_t> boot(mediumSector);
    uint32_t got = 0;
    Result r = reader_.ReadSectors(1, boot.data(), partitionStartLba, mediumSector, got);
    if (r != kOk) return r;
    if (got != 1) return kErrReadFault;
    NtfsGeometry g;
    r = LoadNtfsGeometry(boot, partitionStartLba, partitionSectors, mediumSector, g);
    if (r != kOk) return r;
    SetGeometry(g);
    return kOk;
}

void NtfsVolume::SetGeometry(const NtfsGeometry& geometry) {
    geometry_ = geometry;
    mftRuns_.clear();
    mftRecordCount_ = 0;
}

void NtfsVolume::SetMftRuns(std::vector<DataRun> runs, uint64_t recordCount) {
    mftRuns_ = std::move(runs);
    const uint64_t covered =
        geometry_.recordBytes ? RunBytes(mftRuns_, geometry_.clusterBytes) / geometry_.recordBytes
                              : 0;
    mftRecordCount_ = std::min(recordCount, covered);
    // Every record lies in the partition, however large the runs claim the MFT to be.
    if (geometry_.partitionSectors != 0 && geometry_.recordBytes != 0) {
        const unsigned __int128 partitionBytes =
            (unsigned __int128)geometry_.partitionSectors * geometry_.bytesPerSector;
        mftRecordCount_ = static_cast<uint64_t>(
            std::min<unsigned __int128>(mftRecordCount_, partitionBytes / geometry_.recordBytes));
    }
}

Result NtfsVolume::LoadMftRuns() {
    SetMftRuns({}, 0);
    std::vector<uint8_t> record(geometry_.recordBytes);
    Result r = ReadMftRecord(geometry_.mftStartLba, record);
    if (r != kOk) return r;
    // The first extent of $MFT's data lies in record 0 itself. It must be in place before the
    // attribute list can be followed, since the list's other records are found through it.
    AttributeRef first;
    if (!FindAttribute(record, kAttrData, u"", first) || !first.nonResident) return kErrNoAttribute;
    AttributeData provisional;
    if (!TakeAttribute(first, geometry_.totalClusters, provisional)) return kErrNoAttribute;
    SetMftRuns(std::move(provisional.runs), provisional.realSize / geometry_.recordBytes);

    AttributeData data;
    r = LoadAttributeAt(geometry_.mftStartLba, kAttrData, u"", data);
    if (r == kOk && data.resident) r = kErrNoAttribute;
    if (r != kOk) {
        SetMftRuns({}, 0);
        return r;
    }
    SetMftRuns(std::move(data.runs), data.realSize / geometry_.recordBytes);
    return kOk;
}

std::optional<uint64_t> NtfsVolume::RecordToLba(uint64_t recordNumber) const {
    if (recordNumber >= mftRecordCount_) return std::nullopt;
    return norvale::RecordToLba(geometry_, mftRuns_, recordNumber);
}

Result NtfsVolume::ReadSectors(uint64_t lba, uint64_t count, uint8_t* out) {
    const NtfsGeometry& g = geometry_;
    if (lba < g.partitionStartLba) return kErrInvalidParameter;
    const uint64_t relative = lba - g.partitionStartLba;
    if (g.partitionSectors != 0 &&
        (relative > g.partitionSectors || count > g.partitionSectors - relative)) {
        return kErrInvalidParameter;
    }
    const uint64_t perRead = std::max<uint64_t>(1, kMaxPieceBytesPerRead / g.bytesPerSector);
    while (count > 0) {
        const uint32_t n = static_cast<uint32_t>(std::min(count, perRead));
        uint32_t got = 0;
        const Result r = reader_.ReadSectors(n, out, lba, g.bytesPerSector, got);
        if (r != kOk) return r;
        if (got != n) return kErrReadFault;
        lba += n;
        count -= n;
        out += uint64_t{n} * g.bytesPerSector;
    }
    return kOk;
}

Result NtfsVolume::ReadMftRecord(uint64_t lba, std::span<uint8_t> record) {
    if (record.size() < geometry_.recordBytes || geometry_.recordBytes == 0) {
        return kErrInvalidParameter;
    }
    const Result r = ReadSectors(lba, geometry_.sectorsPerRecord, record.data());
    if (r != kOk) return r;
    return PrepareRecord(record.first(geometry_.recordBytes));
}

Result NtfsVolume::ReadRecordRaw(uint64_t recordNumber, std::span<uint8_t> record) {
    const NtfsGeometry& g = geometry_;
    if (record.size() < g.recordBytes || g.recordBytes == 0) return kErrInvalidParameter;
    if (recordNumber >= mftRecordCount_) return kErrEngineGeneric;
    // mftRecordCount_ is cut to what the runs cover, so the byte position cannot overflow.
    uint64_t position = recordNumber * g.recordBytes;
    uint64_t done = 0;
    while (done < g.recordBytes) {
        RunPosition at;
        if (!LocateVcn(mftRuns_, position / g.clusterBytes, at)) return kErrEngineGeneric;
        const DataRun& run = mftRuns_[at.index];
        if (run.sparse) return kErrEngineGeneric;
        const uint64_t within = position % g.clusterBytes;
        const uint64_t inRun = (run.length - at.offset) * g.clusterBytes - within;
        const uint64_t piece = std::min<uint64_t>(inRun, g.recordBytes - done);
        const uint64_t lba = g.partitionStartLba + (run.lcn + at.offset) * g.sectorsPerCluster +
                             within / g.bytesPerSector;
        const Result r = ReadSectors(lba, piece / g.bytesPerSector, record.data() + done);
        if (r != kOk) return r;
        done += piece;
        position += piece;
    }
    return kOk;
}

Result NtfsVolume::ReadRecord(uint64_t recordNumber, std::span<uint8_t> record) {
    const Result r = ReadRecordRaw(recordNumber, record);
    if (r != kOk) return r;
    return PrepareRecord(record.first(geometry_.recordBytes));
}

Result NtfsVolume::ReadClusterBytes(uint64_t lcn, uint64_t byteOffset, std::span<uint8_t> out) {
    const NtfsGeometry& g = geometry_;
    const uint64_t volumeBytes = g.totalClusters * g.clusterBytes;
    uint64_t first = 0;
    uint64_t end = 0;
    if (lcn >= g.totalClusters || __builtin_mul_overflow(lcn, g.clusterBytes, &first) ||
        __builtin_add_overflow(first, byteOffset, &first) ||
        __builtin_add_overflow(first, out.size(), &end) || end > volumeBytes) {
        return kErrInvalidParameter;
    }
    const uint64_t sectorBytes = g.bytesPerSector;
    uint64_t lba = g.partitionStartLba + first / sectorBytes;
    uint64_t head = first % sectorBytes;
    if (head == 0 && out.size() % sectorBytes == 0) {
        return ReadSectors(lba, out.size() / sectorBytes, out.data());
    }
    // Unaligned ends go through a bounce buffer of whole sectors.
    std::vector<uint8_t> bounce(kBounceBytes + sectorBytes);
    size_t done = 0;
    while (done < out.size()) {
        const uint64_t want = std::min<uint64_t>(out.size() - done, kBounceBytes);
        const uint64_t sectors = (head + want + sectorBytes - 1) / sectorBytes;
        const Result r = ReadSectors(lba, sectors, bounce.data());
        if (r != kOk) return r;
        std::memcpy(out.data() + done, bounce.data() + head, want);
        done += want;
        const uint64_t consumed = head + want;
        lba += consumed / sectorBytes;
        head = consumed % sectorBytes;
    }
    return kOk;
}

Result NtfsVolume::ReadAttributeBytes(const AttributeData& attr, uint64_t offset,
                                      std::span<uint8_t> out) {
    if (offset > attr.realSize || out.size() > attr.realSize - offset) return kErrInvalidParameter;
    if (attr.resident) {
        if (offset + out.size() > attr.residentValue.size()) return kErrInvalidParameter;
        std::copy_n(attr.residentValue.begin() + static_cast<ptrdiff_t>(offset), out.size(),
                    out.begin());
        return kOk;
    }
    const uint64_t clusterBytes = geometry_.clusterBytes;
    size_t done = 0;
    while (done < out.size()) {
        const uint64_t position = offset + done;
        if (position >= attr.initializedSize) {
            std::fill(out.begin() + static_cast<ptrdiff_t>(done), out.end(), uint8_t{0});
            return kOk;
        }
        RunPosition at;
        if (!LocateVcn(attr.runs, position / clusterBytes, at)) return kErrInvalidParameter;
        const DataRun& run = attr.runs[at.index];
        const uint64_t within = position % clusterBytes;
        const uint64_t inRun = (run.length - at.offset) * clusterBytes - within;
        const uint64_t piece =
            std::min({inRun, uint64_t{out.size() - done}, attr.initializedSize - position});
        const std::span<uint8_t> target = out.subspan(done, piece);
        if (run.sparse) {
            std::fill(target.begin(), target.end(), uint8_t{0});
        } else if (Result r = ReadClusterBytes(run.lcn + at.offset, within, target); r != kOk) {
            return r;
        }
        done += piece;
    }
    return kOk;
}

Result NtfsVolume::LoadAttributeAt(uint64_t lba, uint32_t type, std::u16string_view name,
                                   AttributeData& out) {
    std::vector<uint8_t> record(geometry_.recordBytes);
    const Result r = ReadMftRecord(lba, record);
    if (r != kOk) return r;
    MftRecordHeader h;
    DecodeRecordHeader(record, h);
    return LoadFromBase(record, h.recordNumber, type, name, out);
}

Result NtfsVolume::LoadAttribute(uint64_t recordNumber, uint32_t type, std::u16string_view name,
                                 AttributeData& out) {
    std::vector<uint8_t> record(geometry_.recordBytes);
    const Result r = ReadRecord(recordNumber, record);
    if (r != kOk) return r;
    return LoadFromBase(record, recordNumber, type, name, out);
}

Result NtfsVolume::LoadAttributeRuns(uint64_t lba, uint32_t type, std::vector<DataRun>& runs) {
    AttributeData data;
    const Result r = LoadAttributeAt(lba, type, u"", data);
    if (r != kOk) return r;
    if (data.resident) return kErrNoAttribute;
    runs.insert(runs.end(), data.runs.begin(), data.runs.end());
    return kOk;
}

Result NtfsVolume::LoadFromBase(std::span<const uint8_t> record, uint64_t baseNumber, uint32_t type,
                                std::u16string_view name, AttributeData& out) {
    out = AttributeData{};
    out.type = type;
    AttributeRef attr;
    AttributeRef direct;
    AttributeRef list;
    bool haveDirect = false;
    bool haveList = false;
    for (AttributeWalker walk(record); walk.Next(attr);) {
        if (attr.type == kAttrAttributeList && !haveList) {
            list = attr;
            haveList = true;
        }
        if (!haveDirect && attr.type == type && NameMatches(attr, name)) {
            NonResidentHeader h;
            if (!attr.nonResident || (DecodeNonResident(attr, h) && h.startVcn == 0)) {
                direct = attr;
                haveDirect = true;
            }
        }
    }
    // A list names every extent, the ones in this record included, so it wins when readable.
    if (haveList && type != kAttrAttributeList) {
        bool anyEntry = false;
        FollowAttributeList(record, baseNumber, list, type, name, out, anyEntry);
        if (anyEntry && (out.resident || !out.runs.empty() || !haveDirect)) return kOk;
        // A list that names the attribute but yields nothing of it: the extent in this record
        // is still worth having, though the list says there is more.
        out = AttributeData{};
        out.type = type;
        out.complete = !anyEntry;
    }
    if (!haveDirect || !TakeAttribute(direct, geometry_.totalClusters, out)) {
        return kErrNoAttribute;
    }
    if (!out.resident && RunBytes(out.runs, geometry_.clusterBytes) < out.allocatedSize) {
        out.complete = false;
    }
    return kOk;
}

void NtfsVolume::FollowAttributeList(std::span<const uint8_t> baseRecord, uint64_t baseNumber,
                                     const AttributeRef& listAttribute, uint32_t type,
                                     std::u16string_view name, AttributeData& out, bool& anyEntry) {
    std::vector<uint8_t> listBytes;
    {
        AttributeData list;
        if (!TakeAttribute(listAttribute, geometry_.totalClusters, list)) return;
        if (list.resident) {
            listBytes = std::move(list.residentValue);
        } else {
            const uint64_t length = std::min({list.realSize, kMaxAttributeListBytes,
                                              RunBytes(list.runs, geometry_.clusterBytes)});
            listBytes.resize(length);
            if (ReadAttributeBytes(list, 0, listBytes) != kOk) return;
        }
    }

    std::set<std::pair<uint64_t, uint16_t>> visited;  // (record, attribute id) already taken
    std::vector<uint8_t> extension(geometry_.recordBytes);
    uint64_t nextVcn = 0;
    AttributeListEntry entry;
    for (AttributeListWalker walk(listBytes); walk.Next(entry);) {
        if (entry.type != type || entry.name != name) continue;
        anyEntry = true;
        if (!visited.insert({entry.record, entry.instance}).second) continue;
        if (entry.startVcn < nextVcn) continue;  // an extent already covered
        if (entry.startVcn > nextVcn) break;     // a gap: later runs would land misplaced
        std::span<const uint8_t> holder = baseRecord;
        if (entry.record != baseNumber) {
            if (ReadRecord(entry.record, extension) != kOk) break;
            MftRecordHeader h;
            DecodeRecordHeader(extension, h);
            // A record reused by another file since the list was written is not ours.
            if (h.baseRecord != baseNumber) break;
            holder = extension;
            out.viaAttributeList = true;
        }
        AttributeRef attr;
        bool found = false;
        for (AttributeWalker w(holder); w.Next(attr);) {
            if (attr.type == type && attr.instance == entry.instance && NameMatches(attr, name)) {
                found = true;
                break;
            }
        }
        if (!found) break;
        if (!attr.nonResident) {
            // A resident value is the whole attribute; it can only be the one extent.
            if (nextVcn != 0 || !TakeAttribute(attr, geometry_.totalClusters, out)) break;
            return;
        }
        NonResidentHeader h;
        if (!DecodeNonResident(attr, h) || h.startVcn != nextVcn) break;
        if (nextVcn == 0) {
            out.resident = false;
            out.flags = attr.flags;
            out.allocatedSize = h.allocatedSize;
            out.realSize = h.realSize;
            out.initializedSize = std::min(h.initializedSize, h.realSize);
        }
        if (DecodeRunList(attr.bytes, geometry_.totalClusters, out.runs) != kOk) break;
        nextVcn = RunClusters(out.runs);
    }
    if (RunBytes(out.runs, geometry_.clusterBytes) < out.allocatedSize || out.runs.empty()) {
        out.complete = false;
    }
}

Result NtfsVolume::ReadClusterBitmap(std::vector<uint8_t>& bitmap) {
    bitmap.clear();
    AttributeData data;
    Result r = LoadAttribute(kMftRecordBitmap, kAttrData, u"", data);
    if (r != kOk) return r;
    const NtfsGeometry& g = geometry_;
    // One bit per cluster, and never more clusters than the partition can hold.
    uint64_t clusters = g.totalClusters;
    if (g.partitionSectors != 0)
        clusters = std::min(clusters, g.partitionSectors / g.sectorsPerCluster);
    uint64_t length = std::min(data.realSize, (clusters + 7) / 8);
    if (!data.resident) length = std::min(length, RunBytes(data.runs, g.clusterBytes));
    try {
        bitmap.assign(length, 0);
    } catch (const std::bad_alloc&) {
        return kErrNotEnoughMemory;
    }
    r = ReadAttributeBytes(data, 0, bitmap);
    if (r != kOk) bitmap.clear();
    return r;
}

}  // namespace norvale
