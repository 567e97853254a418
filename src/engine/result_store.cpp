#include "engine/result_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <deque>
#include <new>
#include <unordered_set>

#include "device/bytes.h"
#include "device/chunked_io.h"
#include "engine/data_paths.h"
#include "engine/text_codec.h"

namespace norvale {

const char* const kPhotoExtensions =
    "*.bmp|*.gif|*.jpg|*.jpeg|*.png|*.psd|*.tif|*.tiff|*.pcx|*.scr|*.ico|*.nef|*.nrw|*.crw|"
    "*.cr2|*.sr2|*.arw|*.srf|*.divu|*.pgm|*.k25|*.kdc|*.dcr|*.raf|*.iff|*.pbm|*.mef|*.jp2|"
    "*.mos|*.x3f|*.orf|*.erf|*.indd|*.pef|*.psp|*.mrw|*.dng|*.raw|*.pct|*.tga|*.thm|*.jfif|"
    "*.jpe|*.dib|*.cr3|*.rw2|*.heic|*.heif|*.avif|*.webp";
const char* const kAudioExtensions =
    "*.mp3|*.wav|*.ape|*.aiff|*.rps|*.mid|*.midi|*.m4a|*.m4p|*.au|*.ogg|*.wma|*.rm|*.ra|*.acd|"
    "*.amr|*.at3|*.caf|*.dss|*.m4r|*.nra|*.snd|*.mp2|*.mmf|*.flac|*.oga|*.opus";
const char* const kDocumentExtensions =
    "*.doc|*.xls|*.ppt|*.odt|*.ods|*.pdf|*.docx|*.xlsx|*.pptx|*.ole|*.txt|*.xml|*.chm|*.htm|"
    "*.html|*.pst|*.dbx|*.wps|*.dps|*.et|*.one|*.mpp|*.mdb|*.accdb|*.dot|*.dotx|*.docm|*.dotm|"
    "*.wpt|*.xlt|*.xla|*.ett|*.xlsb|*.xlsm|*.xlam|*.xltx|*.xltm|*.pot|*.pps|*.dpt|*.pptm|*.potx|"
    "*.potm|*.ppsx|*.ppsm|*.mso07|*.db";
const char* const kVideoExtensions =
    "*.rmvb|*.rm|*.mpeg|*.mov|*.avi|*.wmv|*.asf|*.mp4|*.flv|*.fla|*.swf|*.m4v|*.3gp|*.dv|*.3g2|"
    "*.m4b|*.mkv|*.mts|*.divx|*.ogm|*.moi|*.vob|*.ajp|*.f4v|*.mqv|*.svi|*.vid|*.tod|*.hdmov|"
    "*.mod|*.mxf|*.lrv|*.mpg|*.ts";
const char* const kArchiveExtensions =
    "*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";

bool ListNamesExtension(std::string_view list, std::string_view lowerExt) {
    if (lowerExt.empty()) return false;
    for (size_t at = list.find(lowerExt); at != std::string_view::npos;
         at = list.find(lowerExt, at + 1)) {
        const size_t end = at + lowerExt.size();
        const bool starts = at >= 2 && list[at - 1] == '.' && list[at - 2] == '*' &&
                            (at == 2 || list[at - 3] == '|');
        if (starts && (end == list.size() || list[end] == '|')) return true;
    }
    return false;
}

bool IsCategoryExtension(std::string_view lowerExt) {
    for (const char* list : {kPhotoExtensions, kAudioExtensions, kDocumentExtensions,
                             kVideoExtensions, kArchiveExtensions}) {
        if (ListNamesExtension(list, lowerExt)) return true;
    }
    return false;
}

bool ExtensionListSelects(std::string_view list, std::string_view lowerExt) {
    if (lowerExt.empty()) return false;
    if (IsCategoryExtension(lowerExt)) return ListNamesExtension(list, lowerExt);
    return list.find(lowerExt) != std::string_view::npos;
}

namespace {

constexpr size_t kRecordBytes = sizeof(RecoveredItem);
constexpr size_t kDirInfoBytes = sizeof(DirInfoEntry);
// At this size the "others" selection is switched off: it would list nearly every record.
constexpr uint64_t kOthersLimitBytes = 0x8000000;

void PutLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

Result WriteAllAt(int fd, const uint8_t* data, size_t size, uint64_t offset) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return FromErrno(errno);
        }
        if (n == 0) return kErrWriteFault;
        data += n, size -= size_t(n), offset += uint64_t(n);
    }
    return kOk;
}

// Reads the file's current length, no more: a log replaced by a device or a pipe must not make
// Open read forever.
Result ReadWholeFile(int fd, std::vector<uint8_t>& out) {
    out.clear();
    struct stat st {};
    if (::fstat(fd, &st) != 0) return FromErrno(errno);
    if (!S_ISREG(st.st_mode) || st.st_size <= 0) return kOk;
    out.resize(size_t(st.st_size));
    size_t got = 0;
    if (Result r = PreadUpTo(fd, 0, out, got); r != kOk) return r;
    out.resize(got);
    return kOk;
}

Result RewriteFile(int fd, const uint8_t* data, size_t size) {
    if (Result r = WriteAllAt(fd, data, size, 0); r != kOk) return r;
    // A shorter rewrite must not leave the old tail behind for the next Open to parse.
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) return FromErrno(errno);
    return kOk;
}

// Copies a record out of raw bytes; the name is cut at its last byte, which a damaged log may
// have left without a terminator.
void DecodeRecord(const uint8_t* p, RecoveredItem& out) {
    std::memcpy(&out, p, kRecordBytes);
    out.name[kItemNameBytes - 1] = '\0';
}

// The photo rule shared by folder listings and category lists: a photo whose first sector
// disagrees with its extension is hidden. The extension is looked up as a substring of the list,
// so a prefix of a listed extension counts too. A carved photo's first sector always agrees
// with its extension (its flag says whether its structure checked out; the search decides).
bool IsHiddenPhoto(const RecoveredItem& item, std::string_view lowerExt) {
    return item.contentValid == 0 && item.engineKind != kEngineFileType &&
           ExtensionListSelects(kPhotoExtensions, lowerExt);
}

bool SkipSpaces(std::string_view t, size_t& i) {
    while (i < t.size() && t[i] == ' ') ++i;
    return i < t.size();
}

template <typename T>
bool ParseNumber(std::string_view t, size_t& i, T& value) {
    const char* first = t.data() + i;
    const auto [ptr, ec] = std::from_chars(first, t.data() + t.size(), value);
    if (ec != std::errc() || ptr == first) return false;
    i += size_t(ptr - first);
    return true;
}

// Parses one entry that starts just after a "|"; `i` ends after its "]" on success.
bool ParseRelationEntry(std::string_view t, size_t& i, ChildKey& key, std::vector<int32_t>& list) {
    uint64_t packed = 0;
    if (!SkipSpaces(t, i) || !ParseNumber(t, i, packed)) return false;
    if (!SkipSpaces(t, i) || t[i] != '-') return false;
    ++i;
    if (!SkipSpaces(t, i) || t[i] != '[') return false;
    ++i;
    list.clear();
    if (SkipSpaces(t, i) && t[i] == ']') {
        ++i;
        return true;
    }
    for (;;) {
        int32_t index = 0;
        if (!SkipSpaces(t, i) || !ParseNumber(t, i, index)) return false;
        list.push_back(index);
        if (!SkipSpaces(t, i)) return false;
        if (t[i] == ']') {
            ++i;
            break;
        }
        if (t[i] != ',') return false;
        ++i;
    }
    key.parentKey = static_cast<uint32_t>(packed);
    key.level = static_cast<uint32_t>(packed >> 32);
    return true;
}

}  // namespace

std::string_view ExtensionOf(std::string_view name) {
    const size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
}

void SortItemsForListing(std::vector<RecoveredItem>& items) {
    if (items.size() < 2) return;
    // Records are 346 bytes: sort their positions, then move each record once.
    std::vector<uint32_t> order(items.size());
    std::vector<std::string_view> names(items.size());
    for (uint32_t k = 0; k < order.size(); ++k) {
        order[k] = k;
        names[k] = items[k].Name();
    }
    std::stable_sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
        const bool xFolder = items[x].isFolder != 0, yFolder = items[y].isFolder != 0;
        if (xFolder != yFolder) return !xFolder;
        return CompareNoCase(names[x], names[y]) < 0;
    });
    // Apply the permutation in place, one cycle at a time; order[k] is where items[k] comes from.
    for (size_t start = 0; start < order.size(); ++start) {
        if (order[start] == start) continue;
        const RecoveredItem held = items[start];
        size_t to = start;
        for (;;) {
            const size_t from = order[to];
            order[to] = uint32_t(to);
            if (from == start) {
                items[to] = held;
                break;
            }
            items[to] = items[from];
            to = from;
        }
    }
}

void ParseRelationText(std::string_view text, std::map<ChildKey, std::vector<int32_t>>& out) {
    std::vector<int32_t> list;
    size_t i = text.find('|');
    while (i != std::string_view::npos) {
        ++i;
        ChildKey key;
        if (ParseRelationEntry(text, i, key, list) && !list.empty()) {
            auto& target = out[key];
            target.insert(target.end(), list.begin(), list.end());
        }
        // A "|" never occurs inside an entry, so the next one is where parsing can resume.
        i = text.find('|', i);
    }
}

std::string FormatRelationText(const std::map<ChildKey, std::vector<int32_t>>& map) {
    std::string out;
    char num[24];
    for (const auto& [key, list] : map) {
        out += " | ";
        auto r = std::to_chars(num, num + sizeof num, key.Packed());
        out.append(num, r.ptr);
        out += " - [";
        for (size_t k = 0; k < list.size(); ++k) {
            if (k) out += ',';
            r = std::to_chars(num, num + sizeof num, list[k]);
            out.append(num, r.ptr);
        }
        out += ']';
    }
    return out;
}

std::vector<uint8_t> EncodeDirInfo(const std::vector<DirInfoEntry>& entries) {
    std::vector<uint8_t> out(entries.size() * kDirInfoBytes);
    uint8_t* p = out.data();
    for (const DirInfoEntry& e : entries) {
        PutLe32(p, static_cast<uint32_t>(e.folderKey));
        PutLe32(p + 4, static_cast<uint32_t>(e.recordIndex));
        std::memcpy(p + 8, e.name, kItemNameBytes);
        p += kDirInfoBytes;
    }
    return out;
}

std::vector<DirInfoEntry> DecodeDirInfo(std::span<const uint8_t> bytes) {
    std::vector<DirInfoEntry> out(bytes.size() / kDirInfoBytes);
    const uint8_t* p = bytes.data();
    for (DirInfoEntry& e : out) {
        e.folderKey = static_cast<int32_t>(Le32(p));
        e.recordIndex = static_cast<int32_t>(Le32(p + 4));
        std::memcpy(e.name, p + 8, kItemNameBytes);
        e.name[kItemNameBytes - 1] = '\0';
        p += kDirInfoBytes;
    }
    return out;
}

ResultStore::ResultStore() {
    knownExtensions_ = std::string(kPhotoExtensions) + "|" + kAudioExtensions + "|" +
                       kDocumentExtensions + "|" + kVideoExtensions + "|" + kArchiveExtensions;
}

ResultStore::~ResultStore() {
    // Owners that must know whether the last records reached the logs close explicitly.
    (void)Close();
}

Result ResultStore::Open(const std::string& folder, const std::string& scanName) {
    if (IsOpen()) (void)Close();
    if (folder.empty() || scanName.empty()) return kErrInvalidParameter;
    const std::string base = folder.back() == '/' ? folder : folder + "/";
    if (Result r = MakeFolders(base); r != kOk) return r;
    dataPath_ = base + scanName;
    relationPath_ = dataPath_ + "_Relation";
    dirInfoPath_ = dataPath_ + "_DirInfo";

    // Log files only: never a source, so read/write and create are right here.
    constexpr int kFlags = O_RDWR | O_CREAT | O_CLOEXEC;
    dataFd_ = ::open(dataPath_.c_str(), kFlags, 0644);
    if (dataFd_ < 0) {
        const Result r = FromErrno(errno);
        (void)Close();  // the open's own failure is what counts
        return r;
    }
    // A reopened log is appended to after its last whole record (a cut-off tail is overwritten).
    struct stat st {};
    if (::fstat(dataFd_, &st) == 0) {
        const uint64_t whole = uint64_t(st.st_size) / sizeof(RecoveredItem);
        priorRecords_ = static_cast<int32_t>(std::min<uint64_t>(whole, INT32_MAX / 2));
        dataWriteOffset_ = uint64_t(priorRecords_) * sizeof(RecoveredItem);
    }

    relationFd_ = ::open(relationPath_.c_str(), kFlags, 0644);
    if (relationFd_ < 0) {
        const Result r = FromErrno(errno);
        (void)Close();  // the open's own failure is what counts
        return r;
    }
    std::vector<uint8_t> bytes;
    if (Result r = ReadWholeFile(relationFd_, bytes); r != kOk) {
        (void)Close();
        return r;
    }
    ParseRelationText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                      childMap_);

    try {
        buffer_.assign(size_t(bufferCapacity_), 0);
    } catch (const std::bad_alloc&) {
        (void)Close();
        return kErrNotEnoughMemory;
    }

    dirInfoFd_ = ::open(dirInfoPath_.c_str(), kFlags, 0644);
    if (dirInfoFd_ >= 0 && ReadWholeFile(dirInfoFd_, bytes) == kOk) dirInfo_ = DecodeDirInfo(bytes);
    return kOk;
}

RecoveredItem* ResultStore::AppendRecord() {
    if (!IsOpen() || buffer_.empty()) return nullptr;
    if (bufferCapacity_ < bufferUsed_ + int32_t(kRecordBytes)) {
        const Result r = WriteAllAt(dataFd_, buffer_.data(), size_t(bufferUsed_), dataWriteOffset_);
        if (r != kOk && pendingWriteError_ == kOk) pendingWriteError_ = r;
        // Advance even on failure so that every later record still lands at the offset its
        // recordIndex promises.
        dataWriteOffset_ += uint64_t(bufferUsed_);
        bufferUsed_ = 0;
    }
    auto* slot = reinterpret_cast<RecoveredItem*>(buffer_.data() + bufferUsed_);
    bufferUsed_ += int32_t(kRecordBytes);
    ++recordCount_;
    bytesAppended_ += kRecordBytes;
    return slot;
}

void ResultStore::LinkChild(uint32_t parentKey, uint32_t level, int32_t recordIndex,
                            int32_t objectKey, const char* folderName) {
    // Engines link a folder's children one after another: remember the last list.
    const ChildKey key{parentKey, level};
    if (!lastLinked_ || !(lastLinkedKey_ == key)) {
        lastLinked_ = &childMap_[key];
        lastLinkedKey_ = key;
    }
    lastLinked_->push_back(recordIndex);
    relationDirty_ = true;
    parentIndexValid_ = false;
    if (folderName) {
        DirInfoEntry e{};
        e.folderKey = objectKey;
        e.recordIndex = recordIndex;
        CopyItemName(e.name, folderName);
        dirInfo_.push_back(e);
        dirInfoDirty_ = true;
        folderIndexValid_ = false;
    }
}

Result ResultStore::RewriteRelation() {
    if (!relationDirty_) return kOk;
    const std::string text = FormatRelationText(childMap_);
    const Result r =
        RewriteFile(relationFd_, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    if (r == kOk) relationDirty_ = false;
    return r;
}

Result ResultStore::RewriteDirInfo() {
    if (!dirInfoDirty_ || dirInfoFd_ < 0) return kOk;
    const std::vector<uint8_t> bytes = EncodeDirInfo(dirInfo_);
    const Result r = RewriteFile(dirInfoFd_, bytes.data(), bytes.size());
    if (r == kOk) dirInfoDirty_ = false;
    return r;
}

Result ResultStore::Flush() {
    if (!IsOpen()) return kErrInvalidHandle;
    if (bufferUsed_ > 0) {
        const Result r = WriteAllAt(dataFd_, buffer_.data(), size_t(bufferUsed_), dataWriteOffset_);
        dataWriteOffset_ += uint64_t(bufferUsed_);
        bufferUsed_ = 0;
        if (r != kOk) {
            pendingWriteError_ = kOk;
            return r;
        }
    }
    Result first = pendingWriteError_;
    pendingWriteError_ = kOk;
    const Result relation = RewriteRelation();
    const Result dirInfo = RewriteDirInfo();
    if (first == kOk) first = relation;
    if (first == kOk) first = dirInfo;
    return first;
}

Result ResultStore::Close() {
    Result r = kOk;
    if (IsOpen()) r = Flush();
    for (int* fd : {&dataFd_, &relationFd_, &dirInfoFd_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    buffer_ = {};
    bufferUsed_ = 0;
    recordCount_ = 0;
    priorRecords_ = 0;
    bytesAppended_ = 0;
    dataWriteOffset_ = 0;
    pendingWriteError_ = kOk;
    relationDirty_ = dirInfoDirty_ = false;
    dataPath_.clear(), relationPath_.clear(), dirInfoPath_.clear();
    childMap_.clear();
    lastLinked_ = nullptr;
    dirInfo_.clear();
    parentIndex_ = {};
    folderIndex_ = {};
    parentIndexValid_ = folderIndexValid_ = false;
    return r;
}

void ResultStore::SetListCallback(ListProgressFn fn, void* userData) {
    listCallback_ = fn;
    listUserData_ = userData;
}

ResultStore::ChildMapType::const_iterator ResultStore::FindList(uint32_t parentKey,
                                                                uint32_t level) const {
    // (0, 0) is how callers name the root without knowing its key: the smallest key's list.
    if (parentKey == 0 && level == 0) return childMap_.begin();
    return childMap_.find(ChildKey{parentKey, level});
}

Result ResultStore::ReadRecord(int32_t recordIndex, RecoveredItem& out) const {
    uint8_t raw[kRecordBytes];
    size_t got = 0;
    const uint64_t offset = uint64_t(recordIndex - 1) * kRecordBytes;
    if (Result r = PreadUpTo(dataFd_, offset, raw, got); r != kOk) return r;
    if (got < sizeof raw) return kErrRecordPastEnd;
    DecodeRecord(raw, out);
    return kOk;
}

Result ResultStore::ListChildren(uint32_t parentKey, uint32_t level,
                                 std::vector<RecoveredItem>& out) {
    const auto it = FindList(parentKey, level);
    if (it == childMap_.end()) return kOk;
    if (!IsOpen()) return kErrInvalidHandle;
    Result result = kOk;
    RecoveredItem item;
    for (const int32_t index : it->second) {
        if (index <= 0) continue;  // no record has such a number; a damaged log may hold it
        if ((result = ReadRecord(index, item)) != kOk) break;
        if (IsHiddenPhoto(item, ToLowerAscii(ExtensionOf(item.Name())))) continue;
        out.push_back(item);
    }
    SortItemsForListing(out);
    return result;
}

Result ResultStore::CountFiles(uint32_t parentKey, uint32_t level, int32_t& count) {
    count = 0;
    // Each list is walked at most once: a damaged log can link folders into a cycle, or link
    // one list from many folders, and neither may make the walk endless or explode.
    std::unordered_set<uint64_t> walked;
    std::deque<ChildKey> queue{ChildKey{parentKey, level}};
    RecoveredItem item;
    while (!queue.empty()) {
        const ChildKey pair = queue.front();
        queue.pop_front();
        const auto it = FindList(pair.parentKey, pair.level);
        if (it == childMap_.end() || !walked.insert(it->first.Packed()).second) continue;
        if (!IsOpen()) return kErrInvalidHandle;
        for (const int32_t index : it->second) {
            if (index <= 0) continue;
            if (Result r = ReadRecord(index, item); r != kOk) return r;
            if (item.isFolder != 0) {
                queue.push_back(ChildKey{static_cast<uint32_t>(item.objectKey), pair.level + 1});
            } else {
                ++count;
            }
        }
    }
    return kOk;
}

Result ResultStore::FindFolderRecord(int32_t key, RecoveredItem& out) {
    const int fd = ::open(dataPath_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? kErrInvalidParameter : FromErrno(errno);
    std::vector<uint8_t> chunk(kStoreBufferBytes);
    Result result = kErrInvalidParameter;
    for (uint64_t offset = 0; result == kErrInvalidParameter;) {
        size_t got = 0;
        if (Result r = PreadUpTo(fd, offset, chunk, got); r != kOk) {
            result = r;
            break;
        }
        for (size_t k = 0; k + kRecordBytes <= got; k += kRecordBytes) {
            const uint8_t* p = chunk.data() + k;
            if (static_cast<int32_t>(Le32(p + 22)) == key && Le32(p + 6) != 0) {
                DecodeRecord(p, out);
                result = kOk;
                break;
            }
        }
        if (got < chunk.size()) break;
        offset += got;
    }
    ::close(fd);
    return result;
}

const ChildKey* ResultStore::ParentListOf(int32_t recordIndex) {
    if (!parentIndexValid_) {
        parentIndex_.clear();
        for (const auto& [key, list] : childMap_)
            for (const int32_t index : list) parentIndex_.emplace_back(index, key);
        // Stable: for a record linked twice, the list earlier in map order stays first.
        std::stable_sort(parentIndex_.begin(), parentIndex_.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        parentIndexValid_ = true;
    }
    const auto it = std::lower_bound(
        parentIndex_.begin(), parentIndex_.end(), recordIndex,
        [](const std::pair<int32_t, ChildKey>& e, int32_t v) { return e.first < v; });
    return it != parentIndex_.end() && it->first == recordIndex ? &it->second : nullptr;
}

const DirInfoEntry* ResultStore::DirInfoFor(int32_t folderKey) {
    if (!folderIndexValid_) {
        folderIndex_.clear();
        for (size_t k = 0; k < dirInfo_.size(); ++k)
            folderIndex_.emplace_back(int32_t(dirInfo_[k].folderKey), k);
        std::stable_sort(folderIndex_.begin(), folderIndex_.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        folderIndexValid_ = true;
    }
    const auto it = std::lower_bound(
        folderIndex_.begin(), folderIndex_.end(), folderKey,
        [](const std::pair<int32_t, size_t>& e, int32_t v) { return e.first < v; });
    return it != folderIndex_.end() && it->first == folderKey ? &dirInfo_[it->second] : nullptr;
}

Result ResultStore::CollectAncestors(const RecoveredItem& item, std::vector<RecoveredItem>& out) {
    if (childMap_.empty()) return kOk;
    const ChildKey rootKey = childMap_.begin()->first;
    // Every step climbs to a folder not seen before, so the walk ends on any log, cyclic or not.
    std::unordered_set<int32_t> seen{item.recordIndex};
    int32_t current = item.recordIndex;
    for (;;) {
        const ChildKey* list = ParentListOf(current);
        if (!list || *list == rootKey) break;
        const auto parentKey = static_cast<int32_t>(list->parentKey);
        RecoveredItem parent{};
        if (const DirInfoEntry* e = DirInfoFor(parentKey)) {
            if (e->recordIndex == current) break;
            parent.sourceTag = item.sourceTag;
            parent.engineKind = item.engineKind;
            parent.isFolder = 1;
            parent.contentValid = 1;
            parent.recordIndex = e->recordIndex;
            parent.objectKey = e->folderKey;
            std::memcpy(parent.name, e->name, kItemNameBytes);
        } else if (FindFolderRecord(parentKey, parent) != kOk || parent.recordIndex == current) {
            break;
        }
        const int32_t parentIndex = parent.recordIndex;  // packed field: copy before binding
        if (!seen.insert(parentIndex).second) break;
        out.push_back(parent);
        current = parentIndex;
    }
    return kOk;
}

Result ResultStore::GetItemPath(const RecoveredItem& item, std::string& out) {
    out.clear();
    std::vector<RecoveredItem> ancestors;
    if (Result r = CollectAncestors(item, ancestors); r != kOk) return r;
    for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) {
        out += it->Name();
        out += '/';
    }
    return kOk;
}

int ResultStore::ListByType(std::string_view pattern, std::vector<RecoveredItem>& out) {
    bool isOther = pattern.find(".other") != std::string_view::npos;
    if (IsOpen()) {
        // A write that fails here stays pending: the writer's own Flush must still hear of it.
        if (const Result r = Flush(); r != kOk && pendingWriteError_ == kOk) pendingWriteError_ = r;
    }
    const int fd = dataPath_.empty() ? -1 : ::open(dataPath_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    struct stat st {};
    const uint64_t fileSize = ::fstat(fd, &st) == 0 ? uint64_t(st.st_size) : 0;
    if (fileSize >= kOthersLimitBytes) isOther = false;

    std::vector<uint8_t> chunk(kStoreBufferBytes);
    std::string key;
    RecoveredItem item;
    for (uint64_t offset = 0; offset < fileSize;) {
        size_t got = 0;
        if (PreadUpTo(fd, offset, chunk, got) != kOk || got == 0) break;
        for (size_t k = 0; k + kRecordBytes <= got; k += kRecordBytes) {
            const uint8_t* p = chunk.data() + k;
            if (Le32(p + 6) != 0) continue;  // folders are never listed by kind
            DecodeRecord(p, item);
            const std::string_view ext = ExtensionOf(item.Name());
            bool selected = isOther;
            if (!ext.empty()) {
                key = "." + ToLowerAscii(ext);
                if (IsHiddenPhoto(item, std::string_view(key).substr(1))) continue;
                // An extension the lists name whole is chosen by whole entries ("avi" is not
                // chosen by "*.avif"); any other by a substring, as it always was.
                const std::string_view lower = std::string_view(key).substr(1);
                const bool named = ListNamesExtension(knownExtensions_, lower);
                selected = (named ? ListNamesExtension(pattern, lower)
                                  : pattern.find(key) != std::string_view::npos) ||
                           (isOther && knownExtensions_.find(key) == std::string::npos);
            }
            if (selected) out.push_back(item);
        }
        offset += got;
        if (listCallback_ && listCallback_(listUserData_, int(offset * 100 / fileSize), 0) != 0)
            break;
        if (got < chunk.size()) break;
    }
    ::close(fd);
    SortItemsForListing(out);
    return 1;
}

std::string ScanLogName(std::string_view prefix, uint64_t partitionStartLba) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char tail[96];
    std::snprintf(tail, sizeof tail, "%lld_%d%d%d%d%2d", static_cast<long long>(partitionStartLba),
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min);
    return std::string(prefix) + tail;
}

Result OpenFreshStore(ResultStore& store, const std::string& folder, const std::string& name) {
    std::string dir = folder;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    for (const char* suffix : {"", "_Relation", "_DirInfo"}) {
        ::unlink((dir + name + suffix).c_str());
    }
    return store.Open(dir, name);
}

}  // namespace norvale
