#pragma once
// The results page: the files a search collected, grouped by extension under the six category
// nodes of "TypeTree", the files of the chosen node in "FileList" page by page ("Pagination"),
// and the preview of the chosen file in "PreviewEdit".
//
// A search may collect a million files, so the page never makes a widget per file: the list
// holds the rows of the page shown (kRowsPerPage), and the checks are one byte per collected
// file, kept with counts per extension group so that a click costs the same whatever the
// number of files. The checks belong to the files, not to the rows: they survive paging,
// sorting and moving from node to node. A node's check box checks every file beneath it,
// "ChkAllListSel" every file of the node shown.
//
// The page works on controls it is given (the RecoverFile layout, and the FileType layout for
// the names and groups of the file types); it owns the collected items.

#include <QObject>
#include <QString>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "app/language_table.h"
#include "app/result_collection.h"
#include "engine/recovered_item.h"
#include "engine/source_info.h"

class QCheckBox;
class QLabel;
class QMenu;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace norvale {

class CPaginationUI;
class CPreviewPane;

// The first "%s", "%d" or "%c" of a language text replaced by `value` ("%%" gives "%"). Texts
// come from files the user may edit, so they are never handed to printf.
QString FillFormat(const QString& format, const QString& value);

// The resource of a row icon named as RowIconOf names it ("FileIcon/image_error.png").
QString FileIconResource(const std::string& icon);

class CResultsPage : public QObject {
    Q_OBJECT
  public:
    // File-list columns: the check box, then the six sortable columns.
    enum Column : int {
        kCheckColumn = 0,
        kNameColumn,
        kPathColumn,
        kSizeColumn,
        kTypeColumn,
        kModifiedColumn,
        kCreatedColumn,
        kColumnCount
    };

    // `resultsPage` holds "TypeTree", "FileList", "ChkAllListSel", "SelectedFileInfo",
    // "Pagination" and the holder of the preview pane; `fileTypePage` the file-type groups with
    // their options.
    CResultsPage(QWidget* resultsPage, QWidget* fileTypePage, LanguageTable& table);
    ~CResultsPage() override;

    // Takes the items of a finished search, groups them and builds the tree; the first
    // category node that holds files is selected. `sources` (with their engines) must live as
    // long as the items are shown: the list asks them for the folders of each item, the
    // preview for the item's data.
    void Build(std::vector<RecoveredItem> items, const std::vector<SourceInfo>* sources);
    // Forgets every item (the engines they came from are gone); empties list and preview.
    void Clear();
    // Node base texts, column titles and the selection line of the current language.
    void ApplyTexts();

    size_t ItemCount() const { return items_.size(); }
    const std::vector<RecoveredItem>& Items() const { return items_; }
    // Extension key -> positions in Items().
    const ExtensionGroups& Groups() const { return groups_; }
    std::vector<RecoveredItem> CheckedItems() const;
    size_t CheckedCount() const { return checkedCount_; }
    uint64_t CheckedBytes() const { return checkedBytes_; }
    bool IsChecked(size_t index) const { return index < checked_.size() && checked_[index]; }

    // The files of the node shown, in the order of the list (all pages).
    const std::vector<ItemIndex>& NodeRows() const { return nodeRows_; }
    size_t CurrentPage() const { return page_; }
    // Shows page `page` (0-based) of the node's files.
    void ShowPage(size_t page);
    // The collected item of a list row, or -1.
    int64_t ItemOfRow(const QTreeWidgetItem* row) const;

    QTreeWidget* Tree() const { return tree_; }
    QTreeWidget* List() const { return list_; }
    CPaginationUI* Pagination() const { return pagination_; }
    CPreviewPane* Preview() const { return preview_; }
    // The row menu ("Recover"); shown on a right click.
    QMenu* RowMenu() const { return rowMenu_; }
    // The category node of a name ("NodePhoto" ...), or null.
    QTreeWidgetItem* CategoryNode(const QString& name) const;
    // The node of an extension key ("jpg"), or null when the tree leaves the group out.
    QTreeWidgetItem* GroupNode(const std::string& key) const;

    // Gives the name and path columns the room the list has beside the short columns: the
    // names what they need, the path the rest (at least its own width), so that nothing is
    // cut off while the list has room. Once the user has sized a column by hand, the page
    // leaves the widths alone until the next search.
    void FitColumns();

  signals:
    void checksChanged();
    // "Recover" on a row: that one file, or that folder with all its content.
    void recoverItemRequested(const RecoveredItem& item);

  private:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void BuildTree();
    void ShowNode(QTreeWidgetItem* node);
    void FillRows();
    void SortNode();
    void SetChecked(ItemIndex index, bool on);
    void OnSortIndicator(int section, Qt::SortOrder order);
    void OnListItemChanged(QTreeWidgetItem* row, int column);
    void OnTreeItemChanged(QTreeWidgetItem* node, int column);
    void OnCheckAll(bool checked);
    void OnRowSelected();
    void OnRowMenu(const QPoint& position);
    void UpdateNodeChecks();
    void UpdateCheckAll();
    void UpdateSelectionInfo();
    std::vector<size_t> GroupsOf(const QTreeWidgetItem* node) const;
    std::string ItemPath(const RecoveredItem& item) const;
    std::vector<FileTypeOption> FileTypeOptions() const;

    LanguageTable& table_;
    QWidget* fileTypePage_;
    QTreeWidget* tree_;
    QTreeWidget* list_;
    QCheckBox* checkAll_;
    QLabel* selectionInfo_;
    CPaginationUI* pagination_;
    CPreviewPane* preview_ = nullptr;
    QMenu* rowMenu_ = nullptr;
    QTreeWidgetItem* categories_[6] = {};
    const std::vector<SourceInfo>* sources_ = nullptr;
    // Source tag -> "Partition 1 (CARD, FAT32)" when the items come from several partitions:
    // the path of each item then starts with its partition's name.
    std::map<uint16_t, std::string> partitionNames_;

    std::vector<RecoveredItem> items_;
    ExtensionGroups groups_;
    // The groups in key order, each item's group, and how many files of each are checked.
    std::vector<const std::vector<ItemIndex>*> groupItems_;
    std::vector<std::string> groupKeys_;
    std::vector<uint32_t> groupOf_;
    std::vector<size_t> groupChecked_;
    std::vector<uint8_t> checked_;
    size_t checkedCount_ = 0;
    uint64_t checkedBytes_ = 0;

    // The node shown: its files in list order, how many of them are checked, the page.
    QTreeWidgetItem* node_ = nullptr;
    std::vector<ItemIndex> nodeRows_;
    size_t nodeChecked_ = 0;
    size_t page_ = 0;
    int sortSection_ = -1;  // no order asked for: the order of the search
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
    int64_t menuItem_ = -1;  // the item the row menu was opened on
    bool filling_ = false;   // rows and nodes being changed by the page itself
    bool fitting_ = false;   // the page sizes the columns itself
    bool sizedByUser_ = false;
};

}  // namespace norvale
