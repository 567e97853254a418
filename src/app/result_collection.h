#pragma once
// What the results page shows after a search, without any widget: the collected files grouped
// by normalised extension, the category tree built from the file-type options, the texts and
// icon of a file-list row, sorting by column and pages of rows.
//
// Groups and node contents hold indices into the collected-items vector, so a search that
// collects a million files costs four bytes per file here, not a copy of each record.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/recovered_item.h"

namespace norvale {

// The key a file is grouped under: its extension (text after the last "."), lower-cased,
// with the usual aliases folded ("jpeg" -> "jpg", "docx" -> "doc", ...); "unknow" without one.
inline constexpr char kNoExtensionKey[] = "unknow";
std::string ExtensionKeyOf(std::string_view name);

using ItemIndex = uint32_t;
using ExtensionGroups = std::map<std::string, std::vector<ItemIndex>>;
ExtensionGroups GroupByExtension(const std::vector<RecoveredItem>& items);

// One option of the file-type page: its object name ("OptJpgFile"), the group it sits in
// ("FileTypePhoto"), its shown text ("JPG (*.jpg;*.jpeg)") and its extension keys
// ("jpg|jpeg").
struct FileTypeOption {
    std::string name;
    std::string group;
    std::string text;
    std::string keys;
};
inline constexpr char kOtherFilesOption[] = "OptOtherFileItem";

// The six category nodes in their order on the page.
inline constexpr const char* kCategoryNodes[6] = {"NodePhoto",  "NodeAudio", "NodeVideo",
                                                  "NodeOffice", "NodeZip",   "NodeOther"};
inline constexpr const char* kFileTypeGroups[6] = {"FileTypePhoto", "FileTypeAudio",
                                                   "FileTypeVideo", "FileTypeOffice",
                                                   "FileTypeZip",   "FileTypeOther"};

// The extensions of category `category` (0 photo ... 4 archive, as kCategoryNodes) that its
// list in engine/result_store.cpp names and none of `namedKeys` (every option's keys) does:
// kinds the carver learnt later are searched with their category without an option of their
// own. Empty for "other" (5) and out-of-range values.
std::vector<std::string> UnnamedCategoryExtensions(int category,
                                                   const std::vector<std::string>& namedKeys);

struct TreeChild {
    std::string key;     // extension key of the group
    std::string option;  // the option it was matched with (kOtherFilesOption for the rest)
    std::string text;    // "JPG (12)", "XYZ Files (3)"
    size_t count = 0;
};
struct CategoryNode {
    std::string name;  // "NodePhoto", ...
    std::string text;  // "<base text> (<files>)"
    size_t count = 0;
    std::vector<TreeChild> children;  // in key order
};
struct CategoryTree {
    CategoryNode nodes[6];
    // The node index and child position of the "unknow" group; -1 when it has none.
    int unknownNode = -1;
    int unknownChild = -1;
};

// Builds the tree: each group goes under the node of the group of the first option whose keys
// hold its key; a group no option names goes under the node of the category list that names it
// (engine/result_store.h), else under the other-files option's node when that option is
// selected, else it is left out. `baseTexts` are the six nodes' texts.
CategoryTree BuildCategoryTree(const ExtensionGroups& groups,
                               const std::vector<FileTypeOption>& options, bool otherFilesSelected,
                               const std::string (&baseTexts)[6]);

// The option text up to the character before its "(" ("JPG (*.jpg)" -> "JPG").
std::string OptionLabel(std::string_view optionText);

// A row of the file list.
struct FileRow {
    std::string name;
    std::string type;  // "folder", the extension as written, or "file"
    std::string size;  // empty for folders
    std::string modified;
    std::string created;
    std::string icon;  // "FileIcon/image.png", "FileIcon/image_error.png", ...
};
inline constexpr char kNoTimeText[] = "    ----    ";
std::string RowTypeOf(const RecoveredItem& item);
std::string RowIconOf(const RecoveredItem& item);
FileRow MakeFileRow(const RecoveredItem& item);

// The sortable columns, in the order the list shows them after its check column.
enum class SortColumn { kName, kPath, kSize, kType, kModified, kCreated };
// Sorts `rows` (indices into `items`) by a column: texts without regard to case (a row with
// no text before one with text), sizes and times as numbers; stable, so equal rows keep their
// order.
// `pathOf` gives an item's path; it is asked once per row.
void SortRows(std::vector<ItemIndex>& rows, const std::vector<RecoveredItem>& items,
              SortColumn column, bool ascending,
              const std::function<std::string(const RecoveredItem&)>& pathOf = {});

// Pages of the file list: rows [first, first + count) of page `page` (0-based).
inline constexpr size_t kRowsPerPage = 100;
struct PageRange {
    size_t first = 0;
    size_t count = 0;
    size_t pages = 0;  // at least 1
};
PageRange PageOf(size_t rows, size_t page, size_t rowsPerPage = kRowsPerPage);

}  // namespace norvale
