#pragma once
// ResultStore: the per-engine, per-scan store of found items. Three files in the scan's log
// folder: the data file (RecoveredItem records back to back), "<name>_Relation" (the
// parent/child map as text) and "<name>_DirInfo" (folder names). A finished scan can be
// reopened from them. Not thread-safe: one worker uses a store at a time.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "device/result.h"
#include "engine/recovered_item.h"
#include "engine/recovery_parse.h"

namespace norvale {

inline constexpr int32_t kStoreBufferBytes = 69200;  // exactly 200 records

// Extension lists of the five named kinds, "*.ext|*.ext|...".
extern const char* const kPhotoExtensions;
extern const char* const kAudioExtensions;
extern const char* const kDocumentExtensions;
extern const char* const kVideoExtensions;
extern const char* const kArchiveExtensions;

// Whether the "*.a|*.b|..." list `list` selects files of the lower-case extension `lowerExt`.
// An extension that one of the five lists names as a whole entry goes by whole entries ("avi" is
// a video, though the photo list's "*.avif" holds it); any other is looked up as a substring of
// the list, as it always was, so a prefix of a listed extension ("jp") counts too.
bool ExtensionListSelects(std::string_view list, std::string_view lowerExt);
// Whether one of the five lists names `lowerExt` as a whole entry.
bool IsCategoryExtension(std::string_view lowerExt);
// Whether `list` holds "*.<lowerExt>" as a whole entry.
bool ListNamesExtension(std::string_view list, std::string_view lowerExt);

// Orders (level, parentKey) keys by level first, then parentKey, both unsigned.
struct ChildKey {
    uint32_t parentKey = 0;
    uint32_t level = 0;
    uint64_t Packed() const { return (uint64_t(level) << 32) | parentKey; }
    bool operator<(const ChildKey& o) const { return Packed() < o.Packed(); }
    bool operator==(const ChildKey& o) const = default;
};

// Parses relation text into `out`, appending to the lists already there. Damaged text is
// survived: an entry is kept only when it parses whole (" | <key> - [<i>,<i>,...]"), text that
// does not parse is skipped up to the next "|", and an entry with an empty list adds nothing.
void ParseRelationText(std::string_view text, std::map<ChildKey, std::vector<int32_t>>& out);
// The relation text of `map`: " | <level * 2^32 + parentKey> - [<i>,<i>]" per entry in map
// order, no line breaks.
std::string FormatRelationText(const std::map<ChildKey, std::vector<int32_t>>& map);
// The DirInfo file's bytes for `entries`, and back. Decoding keeps whole 268-byte entries only
// and NUL-terminates every name.
std::vector<uint8_t> EncodeDirInfo(const std::vector<DirInfoEntry>& entries);
std::vector<DirInfoEntry> DecodeDirInfo(std::span<const uint8_t> bytes);

// Listings stop with this result when the data file ends before a record that the parent/child
// map names (a damaged or cut-off log); the records read before it stay in the output.
inline constexpr Result kErrRecordPastEnd = kErrHandleEof;

class ResultStore {
  public:
    ResultStore();
    ~ResultStore();
    ResultStore(const ResultStore&) = delete;
    ResultStore& operator=(const ResultStore&) = delete;

    // Opens (creating when missing, with the folder and its parents) `folder`/`scanName` and
    // its "_Relation" and "_DirInfo" files, and loads the parent/child map and folder names
    // from them. A store that is open is closed first. A DirInfo file that cannot be opened is
    // not an error: folder names are then found in the data file. A reopened store is for
    // reading: RecordCount() starts at 0.
    Result Open(const std::string& folder, const std::string& scanName);
    // Next free record slot in the write buffer, holding stale bytes; null when the store is not
    // open. When the buffer is full its 200 records are first written out in one write (a
    // failure there is reported by the next Flush). The caller fills every field and sets
    // recordIndex = RecordCount().
    RecoveredItem* AppendRecord();
    // Adds `recordIndex` to the children of (parentKey, level); a non-null `folderName` also
    // records the folder's name under `objectKey`.
    void LinkChild(uint32_t parentKey, uint32_t level, int32_t recordIndex, int32_t objectKey,
                   const char* folderName);
    // Writes the buffered records, then rewrites the relation and DirInfo files (each cut to its
    // new length). Returns the first error, including one from an earlier buffer write.
    Result Flush();
    // The children of (parentKey, level), sorted for display; (0, 0) names the first list of the
    // map (the root). Photos whose content disagrees with their extension are left out.
    Result ListChildren(uint32_t parentKey, uint32_t level, std::vector<RecoveredItem>& out);
    // Files below (parentKey, level) at any depth. Each list is counted once, even when a damaged
    // log links it from several folders or in a cycle.
    Result CountFiles(uint32_t parentKey, uint32_t level, int32_t& count);
    // kOk and the first folder record with this objectKey; 87 when there is none.
    Result FindFolderRecord(int32_t key, RecoveredItem& out);
    // The folders above `item`, nearest first. Always ends, also on cyclic parent links.
    Result CollectAncestors(const RecoveredItem& item, std::vector<RecoveredItem>& out);
    // Ancestors' names from the top down, each followed by "/"; "" for an item of the root.
    Result GetItemPath(const RecoveredItem& item, std::string& out);
    // Files of the data file whose extension the pattern names (a pattern holding ".other" also
    // selects extensions of no named kind and files without one, unless the data file is 128 MiB
    // or larger). 1 when the data file could be opened (also when the list callback stopped
    // early), else 0.
    int ListByType(std::string_view pattern, std::vector<RecoveredItem>& out);
    void SetListCallback(ListProgressFn fn, void* userData);
    // Flushes, then releases everything; returns the flush result.
    Result Close();

    bool IsOpen() const { return dataFd_ >= 0; }
    int32_t RecordCount() const { return recordCount_; }
    // Whole records the data file held when it was opened (a resumed scan's earlier finds).
    int32_t PriorRecords() const { return priorRecords_; }
    // The 1-based position in the data file of the record appended last: what its recordIndex
    // must hold, also in a reopened log.
    int32_t LastRecordIndex() const { return priorRecords_ + recordCount_; }
    const std::string& DataPath() const { return dataPath_; }
    const std::string& RelationPath() const { return relationPath_; }
    const std::string& DirInfoPath() const { return dirInfoPath_; }
    const std::map<ChildKey, std::vector<int32_t>>& ChildMap() const { return childMap_; }
    const std::vector<DirInfoEntry>& DirInfo() const { return dirInfo_; }

  private:
    using ChildMapType = std::map<ChildKey, std::vector<int32_t>>;
    ChildMapType::const_iterator FindList(uint32_t parentKey, uint32_t level) const;
    Result ReadRecord(int32_t recordIndex, RecoveredItem& out) const;
    Result RewriteRelation();
    Result RewriteDirInfo();
    const ChildKey* ParentListOf(int32_t recordIndex);
    const DirInfoEntry* DirInfoFor(int32_t folderKey);

    int32_t bufferUsed_ = 0;
    int32_t bufferCapacity_ = kStoreBufferBytes;
    int32_t recordCount_ = 0;
    int32_t priorRecords_ = 0;
    uint64_t bytesAppended_ = 0;  // wide: 346 bytes a record passes 2^31 at 6.2 million
    std::vector<uint8_t> buffer_;
    int dataFd_ = -1;
    int relationFd_ = -1;
    int dirInfoFd_ = -1;
    ListProgressFn listCallback_ = nullptr;
    void* listUserData_ = nullptr;
    std::string dataPath_, relationPath_, dirInfoPath_;
    ChildMapType childMap_;
    std::vector<DirInfoEntry> dirInfo_;
    std::string knownExtensions_;

    uint64_t dataWriteOffset_ = 0;  // where the next buffer write lands
    Result pendingWriteError_ = kOk;
    bool relationDirty_ = false;
    bool dirInfoDirty_ = false;
    // Built on demand for path queries, dropped whenever LinkChild changes what they index.
    std::vector<std::pair<int32_t, ChildKey>> parentIndex_;  // by recordIndex, map order kept
    std::vector<std::pair<int32_t, size_t>> folderIndex_;    // by folderKey, dirInfo order kept
    std::vector<int32_t>* lastLinked_ = nullptr;  // childMap_ entry of the last LinkChild
    ChildKey lastLinkedKey_;
    bool parentIndexValid_ = false;
    bool folderIndexValid_ = false;
};

// A new scan's log name: "<prefix><start>_<year><month><day><hour><minute>" in local time,
// the minute right-aligned in two places ("Fast_2048_2024359 7"), as every engine names them.
std::string ScanLogName(std::string_view prefix, uint64_t partitionStartLba);
// Opens `store` for a new scan named `name` in `folder`, removing logs of that name first, so
// that a scan started within the same minute as an earlier one starts from empty files.
Result OpenFreshStore(ResultStore& store, const std::string& folder, const std::string& name);

// Sorts as the listings do: files before folders, then names case-insensitively (stable).
void SortItemsForListing(std::vector<RecoveredItem>& items);
// The text after the last "." of a name, "" when there is none.
std::string_view ExtensionOf(std::string_view name);

}  // namespace norvale
