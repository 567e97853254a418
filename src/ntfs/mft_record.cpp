#include "ntfs/mft_record.h"

#include <algorithm>

#include "device/bytes.h"
#include "device/result.h"
#include "engine/text_codec.h"

namespace norvale {
namespace {

constexpr uint32_t kFixupBlock = 512;  // NTFS protects every 512 bytes, whatever the sector size
constexpr uint32_t kResidentHeaderBytes = 0x18;
constexpr uint32_t kNonResidentHeaderBytes = 0x40;
constexpr uint32_t kFirstGarbageType = 0xFDFDFDFD;

}  // namespace

bool DecodeRecordHeader(std::span<const uint8_t> record, MftRecordHeader& out) {
    if (record.size() < kRecordHeaderBytes) return false;
    const uint8_t* p = record.data();
    out.signature = Le32(p);
    out.usaOffset = Le16(p + 0x04);
    out.usaCount = Le16(p + 0x06);
    out.logSequence = Le64(p + 0x08);
    out.sequenceNumber = Le16(p + 0x10);
    out.linkCount = Le16(p + 0x12);
    out.firstAttributeOffset = Le16(p + 0x14);
    out.flags = Le16(p + 0x16);
    out.bytesInUse = Le32(p + 0x18);
    out.bytesAllocated = Le32(p + 0x1C);
    out.baseRecord = Le64(p + 0x20) & 0xFFFFFFFFFFFFull;
    out.recordNumber = Le32(p + 0x2C);
    return true;
}

FixupStatus ApplyFixups(std::span<uint8_t> record) {
    const size_t size = record.size();
    if (size < kFixupBlock || size % kFixupBlock != 0) return FixupStatus::kBadLayout;
    const uint8_t* p = record.data();
    const uint32_t usaOffset = Le16(p + 0x04);
    const uint32_t usaCount = Le16(p + 0x06);
    const size_t blocks = size / kFixupBlock;
    // The array sits in the first block, before that block's own protected word.
    if (usaCount != blocks + 1 || usaOffset < 0x08 || usaOffset % 2 != 0 ||
        usaOffset + 2 * usaCount > kFixupBlock - 2) {
        return FixupStatus::kBadLayout;
    }
    const uint16_t usn = Le16(p + usaOffset);
    for (size_t i = 1; i <= blocks; ++i) {
        if (Le16(p + i * kFixupBlock - 2) != usn) return FixupStatus::kMismatch;
    }
    for (size_t i = 1; i <= blocks; ++i) {
        uint8_t* tail = record.data() + i * kFixupBlock - 2;
        tail[0] = p[usaOffset + 2 * i];
        tail[1] = p[usaOffset + 2 * i + 1];
    }
    return FixupStatus::kOk;
}

int32_t PrepareRecord(std::span<uint8_t> record) {
    MftRecordHeader h;
    if (!DecodeRecordHeader(record, h) || !h.HasSignature()) return kErrEngineGeneric;
    return ApplyFixups(record) == FixupStatus::kOk ? kOk : kErrEngineGeneric;
}

AttributeWalker::AttributeWalker(std::span<const uint8_t> record) : record_(record) {
    MftRecordHeader h;
    if (!DecodeRecordHeader(record, h)) {
        end_ = WalkEnd::kDamaged;
        return;
    }
    bound_ = static_cast<uint32_t>(std::min<uint64_t>(h.bytesInUse, record.size()));
    cursor_ = h.firstAttributeOffset;
    // Attributes never overlap the header.
    if (cursor_ < kRecordHeaderBytes) end_ = WalkEnd::kDamaged;
}

bool AttributeWalker::Next(AttributeRef& out) {
    if (end_ != WalkEnd::kNotEnded) return false;
    // The end marker may stand alone in the last 4 (or 8) bytes of the used area.
    if (cursor_ + 4 <= bound_ && Le32(record_.data() + cursor_) == kAttrEnd) {
        end_ = WalkEnd::kEndMarker;
        return false;
    }
    if (cursor_ + 0x10 > bound_) {
        end_ = WalkEnd::kDamaged;
        return false;
    }
    const uint8_t* p = record_.data() + cursor_;
    const uint32_t type = Le32(p);
    const uint32_t length = Le32(p + 0x04);
    const uint8_t form = p[0x08];
    const uint32_t minimum = form == 0 ? kResidentHeaderBytes : kNonResidentHeaderBytes;
    if (type == 0 || type >= kFirstGarbageType || form > 1 || length < minimum ||
        length > bound_ - cursor_) {
        end_ = WalkEnd::kDamaged;
        return false;
    }
    out.type = type;
    out.offset = cursor_;
    out.nonResident = form == 1;
    out.nameLength = p[0x09];
    out.nameOffset = Le16(p + 0x0A);
    out.flags = Le16(p + 0x0C);
    out.instance = Le16(p + 0x0E);
    out.bytes = record_.subspan(cursor_, length);
    cursor_ += length;
    return true;
}

bool FindAttribute(std::span<const uint8_t> record, uint32_t type, std::u16string_view name,
                   AttributeRef& out) {
    AttributeWalker walk(record);
    AttributeRef attr;
    while (walk.Next(attr)) {
        if (attr.type != type || attr.nameLength != name.size()) continue;
        if (!name.empty() && AttributeName(attr) != name) continue;
        out = attr;
        return true;
    }
    return false;
}

std::u16string AttributeName(const AttributeRef& attr) {
    const size_t bytes = size_t{attr.nameLength} * 2;
    if (bytes == 0 || attr.nameOffset > attr.bytes.size() ||
        bytes > attr.bytes.size() - attr.nameOffset) {
        return {};
    }
    std::u16string name(attr.nameLength, u'\0');
    for (size_t i = 0; i < attr.nameLength; ++i) {
        name[i] = static_cast<char16_t>(Le16(attr.bytes.data() + attr.nameOffset + 2 * i));
    }
    return name;
}

std::string AttributeNameUtf8(const AttributeRef& attr) {
    return Utf16ToUtf8(AttributeName(attr));
}

std::span<const uint8_t> ResidentValue(const AttributeRef& attr, bool* ok) {
    if (ok) *ok = false;
    if (attr.nonResident || attr.bytes.size() < kResidentHeaderBytes) return {};
    const uint32_t length = Le32(attr.bytes.data() + 0x10);
    const uint32_t offset = Le16(attr.bytes.data() + 0x14);
    if (offset > attr.bytes.size() || length > attr.bytes.size() - offset) return {};
    if (ok) *ok = true;
    return attr.bytes.subspan(offset, length);
}

bool DecodeNonResident(const AttributeRef& attr, NonResidentHeader& out) {
    if (!attr.nonResident || attr.bytes.size() < kNonResidentHeaderBytes) return false;
    const uint8_t* p = attr.bytes.data();
    out.startVcn = Le64(p + 0x10);
    out.lastVcn = Le64(p + 0x18);
    out.mappingPairsOffset = Le16(p + 0x20);
    out.compressionUnit = Le16(p + 0x22);
    out.allocatedSize = Le64(p + 0x28);
    out.realSize = Le64(p + 0x30);
    out.initializedSize = Le64(p + 0x38);
    return true;
}

}  // namespace norvale
