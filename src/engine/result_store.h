#pragma once
// ResultStore: the per-engine, per-scan store of found items. Three files in the scan's log
// folder: the data file (RecoveredItem records back to back), "<name>_Relation" (the
// parent/child map as text) and "<name>_DirInfo" (folder names). A finished scan can be
// reopened from them. Not thread-safe: one worker uses a store at a time.

#include <cstdint>
#include <map>
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

// Orders (level, parentKey) keys by level first, then parentKey, both unsigned.
struct ChildKey {
    uint32_t parentKey = 0;
    uint32_t level = 0;
    uint64_t Packed() const { return (uint64_t(level) << 32) | parentKey; }
    bool operator<(const ChildKey& o) const { return Packed() < o.Packed(); }
    bool operator==(const ChildKey& o) const = default;
};

// Parses relation text into `out`. Garbage is skipped; every entry that parses whole is kept.
void ParseRelationText(std::string_view text, std::map<ChildKey, std::vector<int32_t>>& out);
// The relation text of `map`: " | <key> - [<i>,<i>]" per entry in map order.
std::string FormatRelationText(const std::map<ChildKey, std::vector<int32_t>>& map);

class ResultStore {
public:
    ResultStore();
    ~ResultStore();
    ResultStore(const ResultStore&) = delete;
    ResultStore& operator=(const ResultStore&) = delete;

    // Opens (creating when missing) `folder`/`scanName`, its "_Relation" and "_DirInfo" files.
    // `folder` ends with "/". A reopened store is for reading: recordCount starts at 0.
    Result Open(const std::string& folder, const std::string& scanName);
    // Next free record slot in the write buffer; writes the buffer out first when full.
    // The caller fills every field and sets recordIndex = RecordCount().
    RecoveredItem* AppendRecord();
    void LinkChild(uint32_t parentKey, uint32_t level, int32_t recordIndex, int32_t objectKey,
                   const char* folderName);
    Result Flush();
    Result ListChildren(uint32_t parentKey, uint32_t level, std::vector<RecoveredItem>& out);
    Result CountFiles(uint32_t parentKey, uint32_t level, int32_t& count);
    Result FindFolderRecord(int32_t key, RecoveredItem& out);
    Result CollectAncestors(const RecoveredItem& item, std::vector<RecoveredItem>& out);
    // Ancestors' names from the top down, each followed by "/"; "" for an item of the root.
    Result GetItemPath(const RecoveredItem& item, std::string& out);
    // 1 when the data file could be opened (also when the list callback stopped early), else 0.
    int ListByType(std::string_view pattern, std::vector<RecoveredItem>& out);
    void SetListCallback(ListProgressFn fn, void* userData);
    void Close();

    bool IsOpen() const { return dataFd_ >= 0; }
    int32_t RecordCount() const { return recordCount_; }
    const std::string& DataPath() const { return dataPath_; }
    const std::string& RelationPath() const { return relationPath_; }
    const std::string& DirInfoPath() const { return dirInfoPath_; }
    const std::map<ChildKey, std::vector<int32_t>>& ChildMap() const { return childMap_; }
    const std::vector<DirInfoEntry>& DirInfo() const { return dirInfo_; }

private:
    int32_t bufferUsed_ = 0;
    int32_t bufferCapacity_ = kStoreBufferBytes;
    int32_t recordCount_ = 0;
    int32_t bytesAppended_ = 0;
    std::vector<uint8_t> buffer_;
    int dataFd_ = -1;
    int relationFd_ = -1;
    int dirInfoFd_ = -1;
    ListProgressFn listCallback_ = nullptr;
    void* listUserData_ = nullptr;
    std::string dataPath_, relationPath_, dirInfoPath_;
    std::map<ChildKey, std::vector<int32_t>> childMap_;
    std::vector<DirInfoEntry> dirInfo_;
    std::string knownExtensions_;
};

// Sorts as the listings do: files before folders, then names case-insensitively (stable).
void SortItemsForListing(std::vector<RecoveredItem>& items);
// The text after the last "." of a name, "" when there is none.
std::string_view ExtensionOf(std::string_view name);

}  // namespace norvale
