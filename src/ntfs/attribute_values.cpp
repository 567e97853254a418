#include "ntfs/attribute_values.h"

#include "device/bytes.h"
#include "engine/text_codec.h"

namespace norvale {
namespace {

constexpr size_t kFileNameFixedBytes = 0x42;
constexpr size_t kStandardInfoBytes = 0x30;
constexpr size_t kListEntryFixedBytes = 0x1A;

std::u16string ReadUtf16(const uint8_t* p, size_t units) {
    std::u16string s(units, u'\0');
    for (size_t i = 0; i < units; ++i) s[i] = static_cast<char16_t>(Le16(p + 2 * i));
    return s;
}

}  // namespace

bool DecodeFileName(std::span<const uint8_t> value, FileNameInfo& out) {
    if (value.size() < kFileNameFixedBytes) return false;
    const uint8_t* p = value.data();
    const size_t units = p[0x40];
    if (kFileNameFixedBytes + 2 * units > value.size()) return false;
    const uint64_t parent = Le64(p);
    out.parentRecord = parent & kRecordNumberMask;
    out.parentSequence = static_cast<uint16_t>(parent >> 48);
    out.createdTime = Le64(p + 0x08);
    out.modifiedTime = Le64(p + 0x10);
    out.recordChangedTime = Le64(p + 0x18);
    out.accessedTime = Le64(p + 0x20);
    out.allocatedSize = Le64(p + 0x28);
    out.realSize = Le64(p + 0x30);
    out.fileAttributes = Le32(p + 0x38);
    out.nameSpace = p[0x41];
    out.name16 = ReadUtf16(p + kFileNameFixedBytes, units);
    out.name = Utf16ToUtf8(out.name16);
    return true;
}

bool DecodeStandardInformation(std::span<const uint8_t> value, StandardInfo& out) {
    if (value.size() < kStandardInfoBytes) return false;
    const uint8_t* p = value.data();
    out.createdTime = Le64(p);
    out.modifiedTime = Le64(p + 0x08);
    out.recordChangedTime = Le64(p + 0x10);
    out.accessedTime = Le64(p + 0x18);
    out.fileAttributes = Le32(p + 0x20);
    return true;
}

bool AttributeListWalker::Next(AttributeListEntry& out) {
    if (done_) return false;
    const size_t left = list_.size() - cursor_;
    if (left < kListEntryFixedBytes) {
        // Lists are padded to 8 bytes; a few trailing bytes are no damage.
        done_ = true;
        return false;
    }
    const uint8_t* p = list_.data() + cursor_;
    const uint32_t type = Le32(p);
    const uint16_t length = Le16(p + 0x04);
    const uint8_t nameLength = p[0x06];
    const uint8_t nameOffset = p[0x07];
    if (type == 0 || type == 0xFFFFFFFF) {
        done_ = true;
        return false;
    }
    if (length < kListEntryFixedBytes || length > left ||
        (nameLength != 0 && (nameOffset < kListEntryFixedBytes ||
                             size_t{nameOffset} + 2 * size_t{nameLength} > length))) {
        done_ = damaged_ = true;
        return false;
    }
    out.type = type;
    out.length = length;
    out.nameLength = nameLength;
    out.nameOffset = nameOffset;
    out.startVcn = Le64(p + 0x08);
    const uint64_t reference = Le64(p + 0x10);
    out.record = reference & kRecordNumberMask;
    out.sequence = static_cast<uint16_t>(reference >> 48);
    out.instance = Le16(p + 0x18);
    out.name = nameLength ? ReadUtf16(p + nameOffset, nameLength) : std::u16string();
    cursor_ += length;
    return true;
}

}  // namespace norvale
