#include "app/result_collection.h"

#include <algorithm>
#include <numeric>

#include "app/format.h"
#include "engine/result_store.h"

namespace norvale {

namespace {

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

std::string LowerAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = LowerAscii(c);
    return out;
}

std::string UpperAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
    return out;
}

// Whether a "|"-separated key list ("jpg|jpeg") holds `key`.
bool KeysHold(std::string_view keys, std::string_view key) {
    while (!keys.empty()) {
        const size_t bar = keys.find('|');
        if (LowerAscii(keys.substr(0, bar)) == key) return true;
        if (bar == std::string_view::npos) break;
        keys.remove_prefix(bar + 1);
    }
    return false;
}

// Whether a "*.a|*.b" list names `type`: a prefix of a listed extension counts too, "jp" is
// found in the photo list through "*.jpg" (see ExtensionListSelects).
bool ListMentions(const char* list, std::string_view type) {
    return ExtensionListSelects(list, type);
}

// The node of the category list that names `key` as a whole entry, or -1.
int CategoryNodeOfList(std::string_view key) {
    const char* const lists[5] = {kPhotoExtensions, kAudioExtensions, kVideoExtensions,
                                  kDocumentExtensions, kArchiveExtensions};
    for (int n = 0; n < 5; ++n) {
        if (ListNamesExtension(lists[n], key)) return n;
    }
    return -1;
}

int Compare(std::string_view a, std::string_view b) {
    // A row without text sorts before one with text.
    if (a.empty() || b.empty()) return int(!a.empty()) - int(!b.empty());
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(LowerAscii(a[i]));
        const auto y = static_cast<unsigned char>(LowerAscii(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace

std::string ExtensionKeyOf(std::string_view name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot + 1 == name.size()) return kNoExtensionKey;
    const std::string ext = LowerAscii(name.substr(dot + 1));
    static const std::pair<const char*, const char*> kAliases[] = {
        {"jpeg", "jpg"}, {"tiff", "tif"}, {"scr", "pcx"},  {"midi", "mid"}, {"m4p", "m4a"},
        {"docx", "doc"}, {"xlsx", "xls"}, {"pptx", "ppt"}, {"htm", "html"}};
    for (const auto& [from, to] : kAliases) {
        if (ext == from) return to;
    }
    return ext;
}

std::vector<std::string> UnnamedCategoryExtensions(int category,
                                                   const std::vector<std::string>& namedKeys) {
    const char* const lists[5] = {kPhotoExtensions, kAudioExtensions, kVideoExtensions,
                                  kDocumentExtensions, kArchiveExtensions};
    std::vector<std::string> out;
    if (category < 0 || category >= 5) return out;
    std::string_view list = lists[category];
    while (!list.empty()) {
        const size_t bar = list.find('|');
        std::string_view entry = list.substr(0, bar);
        if (entry.substr(0, 2) == "*.") entry.remove_prefix(2);
        const std::string key = LowerAscii(entry);
        bool named = key.empty();
        for (const std::string& k : namedKeys) named = named || LowerAscii(k) == key;
        if (!named && std::find(out.begin(), out.end(), key) == out.end()) out.push_back(key);
        if (bar == std::string_view::npos) break;
        list.remove_prefix(bar + 1);
    }
    return out;
}

ExtensionGroups GroupByExtension(const std::vector<RecoveredItem>& items) {
    ExtensionGroups groups;
    for (size_t i = 0; i < items.size(); ++i) {
        groups[ExtensionKeyOf(items[i].Name())].push_back(static_cast<ItemIndex>(i));
    }
    return groups;
}

std::string OptionLabel(std::string_view optionText) {
    const size_t paren = optionText.find('(');
    if (paren == std::string_view::npos) return std::string(optionText);
    // Up to the character before the "(": the space that separates them is left out.
    return std::string(optionText.substr(0, paren == 0 ? 0 : paren - 1));
}

CategoryTree BuildCategoryTree(const ExtensionGroups& groups,
                               const std::vector<FileTypeOption>& options, bool otherFilesSelected,
                               const std::string (&baseTexts)[6]) {
    CategoryTree tree;
    for (int n = 0; n < 6; ++n) tree.nodes[n].name = kCategoryNodes[n];
    const FileTypeOption* other = nullptr;
    for (const FileTypeOption& o : options) {
        if (o.name == kOtherFilesOption) other = &o;
    }
    for (const auto& [key, members] : groups) {
        if (members.empty()) continue;
        const FileTypeOption* option = nullptr;
        for (const FileTypeOption& o : options) {
            if (o.name != kOtherFilesOption && KeysHold(o.keys, key)) {
                option = &o;
                break;
            }
        }
        const bool asOther = option == nullptr;
        // A kind no option names that a category list holds (a family the carver learnt later)
        // is shown under that category, whether other files are chosen or not.
        const int listed = asOther ? CategoryNodeOfList(key) : -1;
        if (asOther && listed < 0) {
            if (!otherFilesSelected) continue;
            option = other;
        }
        // The other-files option sits in the "other" group when the page does not say.
        const std::string& group = option ? option->group : std::string(kFileTypeGroups[5]);
        int node = 5;
        for (int n = 0; n < 6; ++n) {
            if (group == kFileTypeGroups[n]) node = n;
        }
        if (listed >= 0) node = listed;
        TreeChild child;
        child.key = key;
        child.option = option ? option->name : kOtherFilesOption;
        child.count = members.size();
        child.text = asOther ? UpperAscii(key) + " Files (" + std::to_string(child.count) + ")"
                             : OptionLabel(option->text) + " (" + std::to_string(child.count) + ")";
        if (key == kNoExtensionKey) {
            tree.unknownNode = node;
            tree.unknownChild = int(tree.nodes[node].children.size());
        }
        tree.nodes[node].count += child.count;
        tree.nodes[node].children.push_back(std::move(child));
    }
    for (int n = 0; n < 6; ++n) {
        tree.nodes[n].text = baseTexts[n] + " (" + std::to_string(tree.nodes[n].count) + ")";
    }
    return tree;
}

std::string RowTypeOf(const RecoveredItem& item) {
    if (item.isFolder) return "folder";
    const std::string_view name = item.Name();
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) return "file";
    return std::string(name.substr(dot + 1));
}

std::string RowIconOf(const RecoveredItem& item) {
    if (item.isFolder) return "FileIcon/folder.png";
    // Cameras write "IMG_0001.JPG": the lists are lower case, so the type is looked up in
    // lower case too.
    const std::string type = LowerAscii(RowTypeOf(item));
    std::string icon = "default";
    if (type == "exe") {
        icon = "exe";
    } else if (ListMentions(kPhotoExtensions, type)) {
        icon = "image";
    } else if (ListMentions(kAudioExtensions, type)) {
        icon = "music";
    } else if (ListMentions(kDocumentExtensions, type)) {
        icon = "doc";
    } else if (ListMentions(kVideoExtensions, type)) {
        icon = "video";
    } else if (ListMentions(kArchiveExtensions, type)) {
        icon = "zip";
    }
    if (item.contentValid == 0) icon += "_error";
    return "FileIcon/" + icon + ".png";
}

FileRow MakeFileRow(const RecoveredItem& item) {
    FileRow row;
    row.name = std::string(item.Name());
    row.type = RowTypeOf(item);
    if (!item.isFolder) row.size = FormatSize(static_cast<int64_t>(uint64_t(item.fileSize)));
    const uint64_t modified = item.modifiedTime;
    const uint64_t created = item.createdTime;
    row.modified = modified ? FormatFileTime(modified) : kNoTimeText;
    row.created = created ? FormatFileTime(created) : kNoTimeText;
    row.icon = RowIconOf(item);
    return row;
}

void SortRows(std::vector<ItemIndex>& rows, const std::vector<RecoveredItem>& items,
              SortColumn column, bool ascending,
              const std::function<std::string(const RecoveredItem&)>& pathOf) {
    // Sizes compare as numbers, and so do times: their texts ("2024-3-7 09:05:00") have no
    // leading zeros, so October would sort before March as text. A missing time (0) comes first.
    const auto byNumber = [&](auto value) {
        std::stable_sort(rows.begin(), rows.end(), [&](ItemIndex a, ItemIndex b) {
            const uint64_t x = value(items[a]);
            const uint64_t y = value(items[b]);
            return ascending ? x < y : y < x;
        });
    };
    switch (column) {
        case SortColumn::kSize:
            return byNumber([](const RecoveredItem& i) -> uint64_t { return i.fileSize; });
        case SortColumn::kModified:
            return byNumber([](const RecoveredItem& i) -> uint64_t { return i.modifiedTime; });
        case SortColumn::kCreated:
            return byNumber([](const RecoveredItem& i) -> uint64_t { return i.createdTime; });
        default:
            break;
    }
    // Each row's text once, then the rows sorted by it: a million rows would otherwise build
    // two texts per comparison.
    std::vector<std::string> texts(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const RecoveredItem& item = items[rows[i]];
        switch (column) {
            case SortColumn::kName:
                texts[i] = std::string(item.Name());
                break;
            case SortColumn::kPath:
                if (pathOf) texts[i] = pathOf(item);
                break;
            case SortColumn::kType:
                texts[i] = RowTypeOf(item);
                break;
            default:
                break;
        }
    }
    std::vector<uint32_t> order(rows.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        const int c = Compare(texts[a], texts[b]);
        return ascending ? c < 0 : c > 0;
    });
    std::vector<ItemIndex> sorted(rows.size());
    for (size_t i = 0; i < order.size(); ++i) sorted[i] = rows[order[i]];
    rows.swap(sorted);
}

PageRange PageOf(size_t rows, size_t page, size_t rowsPerPage) {
    PageRange r;
    if (rowsPerPage == 0) rowsPerPage = kRowsPerPage;
    r.pages = std::max<size_t>(1, (rows + rowsPerPage - 1) / rowsPerPage);
    page = std::min(page, r.pages - 1);
    r.first = std::min(rows, page * rowsPerPage);
    r.count = std::min(rowsPerPage, rows - r.first);
    return r;
}

}  // namespace norvale
