#pragma once
// The values of the attributes the NTFS engines read: $FILE_NAME, $STANDARD_INFORMATION and
// the entries of an $ATTRIBUTE_LIST. Pure functions over an attribute's value bytes
// (ResidentValue, or the bytes of a non-resident list as read from its clusters).

#include <cstdint>
#include <span>
#include <string>

namespace norvale {

// Name spaces of a $FILE_NAME.
inline constexpr uint8_t kNameSpacePosix = 0;
inline constexpr uint8_t kNameSpaceWin32 = 1;
inline constexpr uint8_t kNameSpaceDos = 2;
inline constexpr uint8_t kNameSpaceWin32AndDos = 3;

inline constexpr uint64_t kRecordNumberMask = 0xFFFFFFFFFFFFull;  // low 48 bits of a reference

// A decoded $FILE_NAME value. Times are FILETIMEs as stored.
struct FileNameInfo {
    uint64_t parentRecord = 0;  // 48-bit record number of the parent folder
    uint16_t parentSequence = 0;
    uint64_t createdTime = 0;
    uint64_t modifiedTime = 0;
    uint64_t recordChangedTime = 0;
    uint64_t accessedTime = 0;
    uint64_t allocatedSize = 0;
    uint64_t realSize = 0;
    uint32_t fileAttributes = 0;
    uint8_t nameSpace = 0;
    std::u16string name16;  // as stored (at most 255 units)
    std::string name;       // UTF-8; unpaired surrogates become U+FFFD
};
// False when the value is shorter than its fixed part (0x42 bytes) or than the name it states.
bool DecodeFileName(std::span<const uint8_t> value, FileNameInfo& out);

// A decoded $STANDARD_INFORMATION value (the 0x30-byte part every NTFS version writes).
struct StandardInfo {
    uint64_t createdTime = 0;
    uint64_t modifiedTime = 0;
    uint64_t recordChangedTime = 0;
    uint64_t accessedTime = 0;
    uint32_t fileAttributes = 0;
};
bool DecodeStandardInformation(std::span<const uint8_t> value, StandardInfo& out);

// One entry of an $ATTRIBUTE_LIST: where one attribute (or one extent of a long one) lives.
struct AttributeListEntry {
    uint32_t type = 0;
    uint16_t length = 0;
    uint8_t nameLength = 0;
    uint8_t nameOffset = 0;
    uint64_t startVcn = 0;
    uint64_t record = 0;  // 48-bit number of the record holding the attribute
    uint16_t sequence = 0;
    uint16_t instance = 0;  // the attribute's id in that record
    std::u16string name;
};

// Walks the entries of an attribute list. An entry must hold its fixed part (0x1A bytes) and
// its name, and lie inside the list; the walk ends at the first entry that does not, at type 0
// or 0xFFFFFFFF, and at the list's end. Every step advances by at least 0x1A bytes.
class AttributeListWalker {
  public:
    explicit AttributeListWalker(std::span<const uint8_t> list) : list_(list) {}
    bool Next(AttributeListEntry& out);
    // True when the walk stopped at an entry that did not fit (rather than at the list's end).
    bool Damaged() const { return damaged_; }

  private:
    std::span<const uint8_t> list_;
    size_t cursor_ = 0;
    bool done_ = false;
    bool damaged_ = false;
};

}  // namespace norvale
