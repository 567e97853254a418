#pragma once
// One MFT file record: its header, the update-sequence fixups that make it readable, and the
// walk over its attributes. Pure functions over one record's bytes; every offset and length
// read from the record is checked against the record's used size and against the buffer, so a
// damaged or hostile record ends a walk early instead of sending it past the record.

#include <cstdint>
#include <span>
#include <string>

namespace norvale {

inline constexpr uint32_t kFileRecordSignature = 0x454C4946;  // "FILE"
inline constexpr uint16_t kRecordInUse = 0x0001;
inline constexpr uint16_t kRecordIsDirectory = 0x0002;

// Well-known record numbers.
inline constexpr uint64_t kMftRecordMft = 0;
inline constexpr uint64_t kMftRecordRoot = 5;
inline constexpr uint64_t kMftRecordBitmap = 6;
inline constexpr uint64_t kLastSystemRecord = 11;  // records 0..11 are the volume's own files

// Attribute types.
inline constexpr uint32_t kAttrStandardInformation = 0x10;
inline constexpr uint32_t kAttrAttributeList = 0x20;
inline constexpr uint32_t kAttrFileName = 0x30;
inline constexpr uint32_t kAttrData = 0x80;
inline constexpr uint32_t kAttrIndexRoot = 0x90;
inline constexpr uint32_t kAttrIndexAllocation = 0xA0;
inline constexpr uint32_t kAttrBitmap = 0xB0;
inline constexpr uint32_t kAttrEnd = 0xFFFFFFFF;

// Attribute flags (header 0x0C).
inline constexpr uint16_t kAttrFlagCompressed = 0x0001;
inline constexpr uint16_t kAttrFlagEncrypted = 0x4000;
inline constexpr uint16_t kAttrFlagSparse = 0x8000;

// The header fields of a file record. Values are as stored; nothing here is validated except
// that the bytes exist.
struct MftRecordHeader {
    uint32_t signature = 0;
    uint16_t usaOffset = 0;
    uint16_t usaCount = 0;  // update sequence number plus one saved word per 512 bytes
    uint64_t logSequence = 0;
    uint16_t sequenceNumber = 0;
    uint16_t linkCount = 0;
    uint16_t firstAttributeOffset = 0;
    uint16_t flags = 0;
    uint32_t bytesInUse = 0;
    uint32_t bytesAllocated = 0;
    uint64_t baseRecord = 0;    // 48-bit record number of the base record; 0 for a base record
    uint32_t recordNumber = 0;  // the record's own number (0x2C, NTFS 3.1 records)

    bool HasSignature() const { return signature == kFileRecordSignature; }
    // Whether 0x2C holds the record's number: not when the update sequence array begins before
    // 0x30 (NTFS 3.0 records, and those the ntfs3 driver writes, put it at 0x2A over that field).
    bool HasOwnNumber() const { return usaOffset >= 0x30; }
    bool InUse() const { return (flags & kRecordInUse) != 0; }
    bool IsDirectory() const { return (flags & kRecordIsDirectory) != 0; }
};

inline constexpr size_t kRecordHeaderBytes = 0x30;

// False when fewer than 0x30 bytes are given.
bool DecodeRecordHeader(std::span<const uint8_t> record, MftRecordHeader& out);

enum class FixupStatus {
    kOk,
    kBadLayout,  // the update sequence array does not describe a record of this size
    kMismatch,   // a 512-byte block does not end with the update sequence number (torn write)
};

// Restores the last two bytes of every 512-byte block of `record` from the update sequence
// array (offset and count from the header at 0x04 and 0x06). `record` must be exactly one
// record: its size a multiple of 512, with one array entry per 512 bytes. Each block's last
// word is compared with the update sequence number first; when any differs nothing is changed.
FixupStatus ApplyFixups(std::span<uint8_t> record);

// The signature check and the fixups in one: kOk, or kErrEngineGeneric (-1) when the record
// is not a readable file record (no "FILE", a header that does not fit, failed fixups).
// Callers treat -1 as the absence of a record.
int32_t PrepareRecord(std::span<uint8_t> record);

// One attribute of a record, located by the walk. `bytes` is exactly the attribute, its
// length checked against the record's used size.
struct AttributeRef {
    uint32_t type = 0;
    uint32_t offset = 0;  // from the start of the record
    bool nonResident = false;
    uint8_t nameLength = 0;  // UTF-16 units
    uint16_t nameOffset = 0;
    uint16_t flags = 0;
    uint16_t instance = 0;  // attribute id, unique within the record
    std::span<const uint8_t> bytes;

    bool IsUnnamed() const { return nameLength == 0; }
};

// Why a walk ended.
enum class WalkEnd {
    kNotEnded,   // the walk has not ended yet
    kEndMarker,  // the 0xFFFFFFFF end marker
    kDamaged,    // type 0, a header or length that does not fit, or no end marker before the bound
};

// Walks the attributes of a record from its first-attribute offset. The bound is the record's
// bytes-in-use, cut to the buffer. Each step advances by the attribute's length, which must
// hold at least the header of its form, so a walk takes at most bound / 24 steps. Types 0 and
// 0xFDFDFDFD and above (zeroed or uninitialised memory) end it as damage.
class AttributeWalker {
  public:
    explicit AttributeWalker(std::span<const uint8_t> record);
    // The next attribute; false once the walk has ended.
    bool Next(AttributeRef& out);
    WalkEnd End() const { return end_; }

  private:
    std::span<const uint8_t> record_;
    uint32_t cursor_ = 0;
    uint32_t bound_ = 0;
    WalkEnd end_ = WalkEnd::kNotEnded;
};

// The first attribute of `type` whose name is `name` (empty: unnamed). False when none.
bool FindAttribute(std::span<const uint8_t> record, uint32_t type, std::u16string_view name,
                   AttributeRef& out);

// The attribute's name (UTF-16, as stored); empty when unnamed or when it lies outside the
// attribute.
std::u16string AttributeName(const AttributeRef& attr);
std::string AttributeNameUtf8(const AttributeRef& attr);

// The value of a resident attribute; an empty span when the attribute is non-resident or its
// value does not lie inside the attribute (check `ok` to tell an empty value from a bad one).
std::span<const uint8_t> ResidentValue(const AttributeRef& attr, bool* ok = nullptr);

// The header of a non-resident attribute.
struct NonResidentHeader {
    uint64_t startVcn = 0;
    uint64_t lastVcn = 0;
    uint16_t mappingPairsOffset = 0;
    uint16_t compressionUnit = 0;
    uint64_t allocatedSize = 0;
    uint64_t realSize = 0;
    uint64_t initializedSize = 0;
};
// False when the attribute is resident or too short for this header (0x40 bytes).
bool DecodeNonResident(const AttributeRef& attr, NonResidentHeader& out);

}  // namespace norvale
