#pragma once
// The I/O half of the NTFS model: one volume read through a SectorReader. It finds the MFT,
// reads records by LBA or by number, loads an attribute's runs (following an $ATTRIBUTE_LIST
// into the records that hold the rest of the attribute), reads clusters and attribute content,
// and reads the cluster allocation bitmap. Everything it reads is checked against the
// partition, the volume and the MFT before it is read; it never writes.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "device/result.h"
#include "ntfs/boot_sector.h"
#include "ntfs/mft_record.h"
#include "ntfs/run_list.h"

namespace norvale {

class SectorReader;

// Result of a missing attribute (as kErrUnsupportedLayout, -100, the engines' value).
inline constexpr Result kErrNoAttribute = kErrUnsupportedLayout;
// An attribute list larger than this is not read (real lists stay far below it).
inline constexpr uint64_t kMaxAttributeListBytes = 1u << 20;

// An attribute's content as the volume holds it: the resident value, or the runs of every
// extent in order of their virtual clusters.
struct AttributeData {
    uint32_t type = 0;
    bool resident = false;
    uint16_t flags = 0;  // kAttrFlagCompressed, kAttrFlagEncrypted, kAttrFlagSparse
    std::vector<uint8_t> residentValue;
    std::vector<DataRun> runs;
    uint64_t allocatedSize =
        0;  // the real size and the other two: for a resident value, its length
    uint64_t realSize = 0;
    uint64_t initializedSize = 0;   // bytes past it read as zeros
    bool viaAttributeList = false;  // some extent was found through the record's attribute list
    // False when an extent is missing or damaged (a run refused, a record that could not be
    // read, a gap in the virtual clusters, fewer clusters than the allocated size): the runs
    // then describe only the start of the content.
    bool complete = true;
};

class NtfsVolume {
  public:
    // `reader` must outlive the volume; both are used by one thread at a time.
    explicit NtfsVolume(SectorReader& reader) : reader_(reader) {}

    // Reads the boot sector at `partitionStartLba` and takes the geometry from it. The start and
    // `partitionSectors` (0: up to the end of the medium) count the medium's own sectors
    // (SectorReader::MediumSectorSize). Returns the read error, or kErrInvalidParameter when the
    // sector is not a usable NTFS boot sector (LoadNtfsGeometry).
    Result Open(uint64_t partitionStartLba, uint64_t partitionSectors);
    // For callers that work the geometry out themselves; drops the MFT runs.
    void SetGeometry(const NtfsGeometry& geometry);
    const NtfsGeometry& Geometry() const { return geometry_; }

    // Loads the runs of $MFT's own unnamed $DATA from record 0 at the MFT start, following its
    // attribute list when it has one, and the number of records the MFT holds (its real size,
    // cut to what its runs cover). Returns what LoadAttributeAt returns; on failure the MFT is
    // empty and every record number is refused.
    Result LoadMftRuns();
    // Installs an MFT run list found some other way. The record count is cut to what the runs
    // cover and to what the partition can hold.
    void SetMftRuns(std::vector<DataRun> runs, uint64_t recordCount);
    const std::vector<DataRun>& MftRuns() const { return mftRuns_; }
    uint64_t MftRecordCount() const { return mftRecordCount_; }

    // LBA of record `recordNumber`; nothing past the MFT's records or in a sparse run.
    std::optional<uint64_t> RecordToLba(uint64_t recordNumber) const;

    uint32_t RecordBytes() const { return geometry_.recordBytes; }

    // Reads the record of RecordBytes() bytes at `lba` into the start of `record`, checks its
    // signature and applies its fixups. kErrInvalidParameter when the buffer is too small or
    // the record lies outside the partition; the reader's error on a failed read;
    // kErrEngineGeneric (-1) when the bytes are not a readable file record.
    Result ReadMftRecord(uint64_t lba, std::span<uint8_t> record);
    // The same by record number, through the MFT runs (a record split across two runs is read
    // in pieces). kErrEngineGeneric for a number the MFT does not hold: nothing is read.
    Result ReadRecord(uint64_t recordNumber, std::span<uint8_t> record);
    // The same without the signature check and the fixups.
    Result ReadRecordRaw(uint64_t recordNumber, std::span<uint8_t> record);

    // Loads the attribute of `type` named `name` (empty: unnamed) of the base record at `lba`
    // or with number `recordNumber`. When the record has an $ATTRIBUTE_LIST, every extent the
    // list names is read from its record, in order of virtual clusters; each record is read at
    // most once per extent, an extension record must name this record as its base, and record
    // numbers the MFT does not hold are refused. Returns the read error of the base record,
    // kErrEngineGeneric when it is not a file record, kErrNoAttribute when the attribute is
    // neither in the record nor in its list, else kOk (check `complete`).
    Result LoadAttributeAt(uint64_t lba, uint32_t type, std::u16string_view name,
                           AttributeData& out);
    Result LoadAttribute(uint64_t recordNumber, uint32_t type, std::u16string_view name,
                         AttributeData& out);
    // The runs of the unnamed attribute of `type` in the record at `lba`, appended to `runs`;
    // results as LoadAttributeAt (a resident attribute gives kErrNoAttribute).
    Result LoadAttributeRuns(uint64_t lba, uint32_t type, std::vector<DataRun>& runs);

    // Reads `count` sectors at absolute `lba` into `out` (at least count x bytes per sector),
    // in pieces of at most 1 MiB. Sectors outside the partition are refused with
    // kErrInvalidParameter; a piece that arrives short gives kErrReadFault.
    Result ReadSectors(uint64_t lba, uint64_t count, uint8_t* out);

    // Reads `out.size()` bytes starting `byteOffset` bytes into cluster `lcn`. Clusters past the
    // volume and sectors past the partition are refused with kErrInvalidParameter.
    Result ReadClusterBytes(uint64_t lcn, uint64_t byteOffset, std::span<uint8_t> out);
    // Reads content bytes [offset, offset + out.size()) of an attribute: from the resident value,
    // or through the runs, sparse runs and bytes past the initialized size reading as zeros.
    // kErrInvalidParameter when the range passes the real size or the runs.
    Result ReadAttributeBytes(const AttributeData& attr, uint64_t offset, std::span<uint8_t> out);

    // The cluster allocation bitmap: the unnamed $DATA of record 6, bit k of byte i (least
    // significant first) set when cluster 8i + k is in use. Its length is the attribute's real
    // size, cut to one bit per cluster of the volume (rounded up to a byte).
    Result ReadClusterBitmap(std::vector<uint8_t>& bitmap);

  private:
    Result LoadFromBase(std::span<const uint8_t> record, uint64_t baseNumber, uint32_t type,
                        std::u16string_view name, AttributeData& out);
    void FollowAttributeList(std::span<const uint8_t> baseRecord, uint64_t baseNumber,
                             const AttributeRef& listAttribute, uint32_t type,
                             std::u16string_view name, AttributeData& out, bool& anyEntry);

    SectorReader& reader_;
    NtfsGeometry geometry_;
    std::vector<DataRun> mftRuns_;
    uint64_t mftRecordCount_ = 0;
};

// Fills `out` from one attribute found in a record (no list followed). False when the attribute
// is damaged (a resident value outside it, a non-resident header too short); a refused run is
// reported through `complete` only.
bool TakeAttribute(const AttributeRef& attr, uint64_t volumeClusters, AttributeData& out);

}  // namespace norvale
