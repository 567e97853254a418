// A found file's content: its record's unnamed $DATA, resident or through its runs (followed
// through the attribute list), with the compression unit that the record's first extent states.

#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs/mft_record.h"

namespace norvale {

Result CFastNtfsRecovery::LoadContent(const RecoveredItem& item, AttributeContent& content) {
    const auto number = static_cast<uint32_t>(item.objectKey);
    AttributeData data;
    if (Result r = volume_->LoadAttribute(number, kAttrData, u"", data); r != kOk) return r;
    uint16_t unitShift = 0;
    AttributeRef attr;
    NonResidentHeader h;
    if (!data.resident && (data.flags & kAttrFlagCompressed) != 0 &&
        volume_->ReadRecord(number, record_) == kOk &&
        FindAttribute(record_, kAttrData, u"", attr) && DecodeNonResident(attr, h) &&
        h.startVcn == 0) {
        unitShift = h.compressionUnit;
    }
    return content.Init(*volume_, std::move(data), unitShift);
}

}  // namespace norvale
