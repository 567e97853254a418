#include "ntfs/found_record.h"

#include <vector>

#include "device/bytes.h"
#include "device/result.h"
#include "ntfs/run_list.h"

namespace norvale {
namespace {

constexpr uint32_t kFixupBlock = 512;
constexpr uint64_t kMaxClusterBytes = 2u << 20;  // the largest cluster NTFS writers offer
constexpr uint32_t kNonResidentSizeFieldEnd = 48;

bool IsPowerOfTwo(uint64_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

}  // namespace

uint32_t FoundRecordBytes(uint32_t bytesPerSector) {
    return bytesPerSector <= 512 ? 2 * (bytesPerSector ? bytesPerSector : 512) : bytesPerSector;
}

bool IsCandidateMftRecord(std::span<const uint8_t> sector, uint32_t bytesPerSector) {
    if (sector.size() < kFixupBlock) return false;
    const uint8_t* p = sector.data();
    const uint32_t recordBytes = FoundRecordBytes(bytesPerSector);
    return Le32(p) == kFileRecordSignature && Le32(p + 0x18) <= recordBytes &&
           Le32(p + 0x1C) == recordBytes && Le16(p + 0x30) == Le16(p + 0x1FE);
}

bool IsDirectoryRecord(std::span<const uint8_t> record) {
    return record.size() >= 0x18 && (Le16(record.data() + 0x16) & kRecordIsDirectory) != 0;
}

uint32_t DefaultSectorsPerCluster(uint32_t bytesPerSector, uint64_t partitionSectors) {
    const double d = (bytesPerSector ? bytesPerSector : 512) / 512.0;
    const double mib = static_cast<double>(partitionSectors) *
                       (bytesPerSector ? bytesPerSector : 512) / (1024.0 * 1024.0);
    if (mib <= 7 * d) return 8;
    if (mib <= 512 * d) return 1;
    if (mib <= 1024 * d) return 2;
    if (mib <= 2048 * d) return 4;
    return 8;
}

uint32_t SectorsPerClusterFromRecord(std::span<const uint8_t> record, uint32_t bytesPerSector) {
    if (bytesPerSector == 0) return 0;
    AttributeRef attr;
    for (AttributeWalker walk(record); walk.Next(attr);) {
        if (attr.type == kAttrAttributeList) return 0;
        if (attr.type != kAttrData) continue;
        NonResidentHeader h;
        if (!DecodeNonResident(attr, h) || h.startVcn != 0) return 0;
        std::vector<DataRun> runs;
        if (DecodeRunList(attr.bytes, 0, runs) != kOk) return 0;
        const uint64_t clusters = RunClusters(runs);
        if (clusters == 0 || clusters == ~uint64_t{0}) return 0;
        if (h.allocatedSize % clusters != 0) return 0;
        const uint64_t clusterBytes = h.allocatedSize / clusters;
        if (!IsPowerOfTwo(clusterBytes) || clusterBytes > kMaxClusterBytes ||
            clusterBytes % bytesPerSector != 0) {
            return 0;
        }
        return static_cast<uint32_t>(clusterBytes / bytesPerSector);
    }
    return 0;
}

bool RestoreFoundFixups(std::span<uint8_t> record) {
    const size_t size = record.size();
    if (size < kFixupBlock || size % kFixupBlock != 0) return false;
    uint8_t* p = record.data();
    const uint32_t usaOffset = Le16(p + 0x04);
    const uint32_t usaCount = Le16(p + 0x06);
    const size_t blocks = size / kFixupBlock;
    if (usaCount != blocks + 1 || usaOffset < 0x08 || usaOffset % 2 != 0 ||
        usaOffset + 2 * usaCount > kFixupBlock - 2) {
        return false;
    }
    for (size_t i = 1; i <= blocks; ++i) {
        p[i * kFixupBlock - 2] = p[usaOffset + 2 * i];
        p[i * kFixupBlock - 1] = p[usaOffset + 2 * i + 1];
    }
    return true;
}

bool HasUsableHeader(std::span<const uint8_t> record) {
    MftRecordHeader h;
    if (!DecodeRecordHeader(record, h)) return false;
    return h.firstAttributeOffset < record.size() && h.firstAttributeOffset <= h.bytesInUse &&
           h.bytesInUse <= record.size();
}

bool ReadFoundRecordFacts(std::span<const uint8_t> record, FoundRecordFacts& out) {
    out = FoundRecordFacts{};
    if (!DecodeRecordHeader(record, out.header)) return false;
    AttributeRef attr;
    for (AttributeWalker walk(record); walk.Next(attr);) {
        if (attr.type == kAttrFileName) {
            FileNameInfo info;
            if (!DecodeFileName(ResidentValue(attr), info)) continue;
            if (!out.haveName) {
                out.first = std::move(info);
                out.name = out.first.name;
                out.haveName = true;
            } else if (info.nameSpace == kNameSpaceWin32) {
                out.name = std::move(info.name);
            }
        } else if (attr.type == kAttrData && attr.IsUnnamed() && out.haveName && !out.haveData) {
            if (!attr.nonResident) {
                bool ok = false;
                const std::span<const uint8_t> value = ResidentValue(attr, &ok);
                if (!ok) continue;
                out.size = value.size();
            } else {
                NonResidentHeader h;
                if (attr.bytes.size() <= kNonResidentSizeFieldEnd || !DecodeNonResident(attr, h)) {
                    continue;
                }
                out.size = h.realSize;
            }
            out.data = attr;
            out.haveData = true;
        }
    }
    if (!out.haveName) return false;
    if (!out.haveData) out.size = out.first.realSize;
    return true;
}

int32_t FirstDataAttribute(std::span<const uint8_t> record, AttributeRef& out) {
    AttributeRef attr;
    for (AttributeWalker walk(record); walk.Next(attr);) {
        if (attr.type == kAttrAttributeList) return kErrUnsupportedLayout;
        if (attr.type == kAttrData && attr.IsUnnamed()) {
            out = attr;
            return kOk;
        }
    }
    return kErrUnsupportedLayout;
}

bool IsMftSelfRecord(std::span<const uint8_t> record) {
    MftRecordHeader h;
    if (!DecodeRecordHeader(record, h) || h.recordNumber != 0) return false;
    AttributeRef attr;
    for (AttributeWalker walk(record); walk.Next(attr);) {
        FileNameInfo info;
        if (attr.type != kAttrFileName || !DecodeFileName(ResidentValue(attr), info)) continue;
        if (info.name16.size() != 4) continue;
        bool same = true;
        for (size_t i = 0; i < 4; ++i) {
            char16_t c = info.name16[i];
            if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
            same = same && c == u"$MFT"[i];
        }
        if (same) return true;
    }
    return false;
}

}  // namespace norvale
