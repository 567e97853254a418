#include "ui/results_page.h"

#include <QCheckBox>
#include <QEvent>
#include <QHash>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSplitter>
#include <QTreeWidget>
#include <algorithm>

#include "app/format.h"
#include "app/source_plan.h"
#include "ui/pagination.h"
#include "ui/preview_pane.h"
#include "ui/window_texts.h"

namespace norvale {

namespace {

// Base texts of the six category nodes in "MainWnd", and the icon each node and its children
// show.
constexpr const char* kCategoryTextKeys[6] = {"MSG0807", "MSG0808", "MSG0809",
                                              "MSG0810", "MSG0811", "MSG0812"};
constexpr const char* kCategoryIcons[6] = {"FileIcon/image.png", "FileIcon/music.png",
                                           "FileIcon/video.png", "FileIcon/doc.png",
                                           "FileIcon/zip.png",   "FileIcon/default.png"};

// Column titles in "MainWnd", after the check column.
constexpr const char* kColumnKeys[CResultsPage::kColumnCount] = {
    nullptr, "FileName", "Path", "Size", "Type", "ModifiedTime", "CreatedTime"};

constexpr const char* kRecoverRowKey = "RowMenuRecover";

// The narrowest the name and path columns are made; a wider list gives them more.
constexpr int kMinNameWidth = 170;
constexpr int kMinPathWidth = 90;

// Focus is always visible: a frame in the header colour around the tree or the list that has
// the keyboard, and the current row marked in the list even when no row is selected.
constexpr const char* kViewStyle =
    "QTreeView { border: 1px solid #B8C0C8; padding: 1px; }"
    "QTreeView:focus { border: 2px solid #316D1E; padding: 0px; }";

// Tree node data: the node's name for category nodes; the group position for extension nodes.
constexpr int kNodeNameRole = Qt::UserRole;
constexpr int kNodeGroupRole = Qt::UserRole + 1;
// List row data: the item's position in the collected items.
constexpr int kItemRole = Qt::UserRole;

const QIcon& IconOf(const std::string& icon) {
    static QHash<QString, QIcon> cache;
    const QString resource = FileIconResource(icon);
    auto it = cache.find(resource);
    if (it == cache.end()) it = cache.insert(resource, QIcon(resource));
    return *it;
}

SortColumn SortColumnOf(int section) {
    switch (section) {
        case CResultsPage::kPathColumn:
            return SortColumn::kPath;
        case CResultsPage::kSizeColumn:
            return SortColumn::kSize;
        case CResultsPage::kTypeColumn:
            return SortColumn::kType;
        case CResultsPage::kModifiedColumn:
            return SortColumn::kModified;
        case CResultsPage::kCreatedColumn:
            return SortColumn::kCreated;
        default:
            return SortColumn::kName;
    }
}

// The width a column's rows need (QTreeView keeps its own override of it protected).
int ColumnWidth(const QAbstractItemView* view, int column) {
    return view->sizeHintForColumn(column);
}

Qt::CheckState StateOf(size_t checked, size_t total) {
    if (checked == 0 || total == 0) return Qt::Unchecked;
    return checked == total ? Qt::Checked : Qt::PartiallyChecked;
}

}  // namespace

QString FillFormat(const QString& format, const QString& value) {
    QString out;
    out.reserve(format.size() + value.size());
    bool filled = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c == QLatin1Char('%') && i + 1 < format.size()) {
            const QChar next = format[i + 1];
            if (next == QLatin1Char('%')) {
                out += QLatin1Char('%');
                ++i;
                continue;
            }
            if (!filled && (next == QLatin1Char('s') || next == QLatin1Char('d') ||
                            next == QLatin1Char('c'))) {
                out += value;
                filled = true;
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

QString FileIconResource(const std::string& icon) {
    // The icon set is drawn as pictures that scale: "FileIcon/zip.png" is "zip.svg".
    QString name = FromUtf8(icon);
    if (name.endsWith(QLatin1String(".png"))) name.chop(4);
    return QStringLiteral(":/icons/") + name + QStringLiteral(".svg");
}

CResultsPage::CResultsPage(QWidget* resultsPage, QWidget* fileTypePage, LanguageTable& table)
    : table_(table),
      fileTypePage_(fileTypePage),
      tree_(resultsPage->findChild<QTreeWidget*>(QStringLiteral("TypeTree"))),
      list_(resultsPage->findChild<QTreeWidget*>(QStringLiteral("FileList"))),
      checkAll_(resultsPage->findChild<QCheckBox*>(QStringLiteral("ChkAllListSel"))),
      selectionInfo_(resultsPage->findChild<QLabel*>(QStringLiteral("SelectedFileInfo"))),
      pagination_(resultsPage->findChild<CPaginationUI*>(QStringLiteral("Pagination"))) {
    auto* holder = resultsPage->findChild<QWidget*>(QStringLiteral("PreviewHolder"));
    Q_ASSERT(tree_ && list_ && checkAll_ && selectionInfo_ && pagination_ && holder);
    preview_ = new CPreviewPane(holder, table_);
    preview_->setObjectName(QStringLiteral("PreviewEdit"));
    holder->layout()->addWidget(preview_);

    // The list gets the larger part of the room beside the tree, the preview the rest.
    if (auto* splitter = resultsPage->findChild<QSplitter*>(QStringLiteral("ResultsSplitter"))) {
        splitter->setStretchFactor(0, 3);
        splitter->setStretchFactor(1, 2);
        splitter->setSizes({600, 300});
    }

    tree_->setColumnCount(1);
    for (int i = 0; i < 6; ++i) {
        auto* node = new QTreeWidgetItem(tree_);
        node->setData(0, kNodeNameRole, QString::fromLatin1(kCategoryNodes[i]));
        node->setFlags(node->flags() | Qt::ItemIsUserCheckable);
        node->setCheckState(0, Qt::Unchecked);
        node->setIcon(0, IconOf(kCategoryIcons[i]));
        categories_[i] = node;
    }

    list_->setColumnCount(kColumnCount);
    list_->setSortingEnabled(false);  // the page sorts all files of the node, not one page
    QHeaderView* header = list_->header();
    header->setSectionsMovable(false);
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    header->setStretchLastSection(false);
    header->setMinimumSectionSize(24);
    header->setSectionResizeMode(kCheckColumn, QHeaderView::Fixed);
    header->resizeSection(kCheckColumn, 26);
    // Names and folders get room; the short columns take what their texts need.
    header->resizeSection(kNameColumn, kMinNameWidth);
    header->resizeSection(kPathColumn, kMinPathWidth);
    for (int column :
         {int(kSizeColumn), int(kTypeColumn), int(kModifiedColumn), int(kCreatedColumn)})
        header->setSectionResizeMode(column, QHeaderView::ResizeToContents);

    rowMenu_ = new QMenu(list_);
    rowMenu_->setObjectName(QStringLiteral("RowMenu"));
    QAction* recover = rowMenu_->addAction(QString());
    recover->setObjectName(QString::fromLatin1(kRecoverRowKey));
    connect(recover, &QAction::triggered, this, [this] {
        if (menuItem_ >= 0 && size_t(menuItem_) < items_.size())
            emit recoverItemRequested(items_[size_t(menuItem_)]);
    });

    tree_->setStyleSheet(QString::fromLatin1(kViewStyle));
    list_->setStyleSheet(QString::fromLatin1(kViewStyle));
    tree_->setFocusPolicy(Qt::StrongFocus);
    list_->setFocusPolicy(Qt::StrongFocus);
    // A column the user drags keeps its width; the page sizes the columns again on a new search.
    connect(header, &QHeaderView::sectionResized, this, [this](int section, int, int) {
        if (!fitting_ && !filling_ && (section == kNameColumn || section == kPathColumn) &&
            list_->isVisible())
            sizedByUser_ = true;
    });
    list_->viewport()->installEventFilter(this);

    connect(tree_, &QTreeWidget::currentItemChanged, this,
            [this](QTreeWidgetItem* node) { ShowNode(node); });
    connect(tree_, &QTreeWidget::itemChanged, this, &CResultsPage::OnTreeItemChanged);
    connect(list_, &QTreeWidget::itemChanged, this, &CResultsPage::OnListItemChanged);
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &CResultsPage::OnRowSelected);
    connect(list_, &QWidget::customContextMenuRequested, this, &CResultsPage::OnRowMenu);
    connect(header, &QHeaderView::sectionClicked, this, [this](int section) {
        // A click on the same column turns its order around; another column starts ascending.
        const bool again = section == sortSection_ && sortOrder_ == Qt::AscendingOrder;
        OnSortIndicator(section, again ? Qt::DescendingOrder : Qt::AscendingOrder);
    });
    connect(checkAll_, &QAbstractButton::clicked, this, &CResultsPage::OnCheckAll);
    connect(pagination_, &CPaginationUI::pageChanged, this, &CResultsPage::ShowPage);
    ApplyTexts();
}

CResultsPage::~CResultsPage() = default;

void CResultsPage::ApplyTexts() {
    QStringList headers{QString()};
    for (int c = kNameColumn; c < kColumnCount; ++c)
        headers << FromUtf8(table_.Text("MainWnd", kColumnKeys[c]));
    list_->setHeaderLabels(headers);
    QString recover = FromUtf8(table_.Text("MainWnd", kRecoverRowKey));
    rowMenu_->actions().first()->setText(recover.isEmpty() ? QStringLiteral("Recover") : recover);
    BuildTree();
    UpdateSelectionInfo();
}

QTreeWidgetItem* CResultsPage::CategoryNode(const QString& name) const {
    for (QTreeWidgetItem* node : categories_) {
        if (node->data(0, kNodeNameRole).toString() == name) return node;
    }
    return nullptr;
}

QTreeWidgetItem* CResultsPage::GroupNode(const std::string& key) const {
    for (QTreeWidgetItem* node : categories_) {
        for (int i = 0; i < node->childCount(); ++i) {
            const size_t group = node->child(i)->data(0, kNodeGroupRole).toULongLong();
            if (group < groupKeys_.size() && groupKeys_[group] == key) return node->child(i);
        }
    }
    return nullptr;
}

void CResultsPage::Clear() {
    items_.clear();
    groups_.clear();
    groupItems_.clear();
    groupKeys_.clear();
    groupOf_.clear();
    groupChecked_.clear();
    checked_.clear();
    checkedCount_ = 0;
    checkedBytes_ = 0;
    node_ = nullptr;
    nodeRows_.clear();
    nodeChecked_ = 0;
    page_ = 0;
    menuItem_ = -1;
    sources_ = nullptr;
    partitionNames_.clear();
    {
        const QSignalBlocker block(list_);
        list_->clear();
    }
    pagination_->SetPages(1, 0);
    preview_->Clear();
    BuildTree();
    UpdateCheckAll();
    UpdateSelectionInfo();
}

void CResultsPage::Build(std::vector<RecoveredItem> items, const std::vector<SourceInfo>* sources) {
    Clear();
    sizedByUser_ = false;
    sources_ = sources;
    // Two partitions may hold the same folders and names: the path tells them apart.
    if (sources && sources->size() > 1) {
        for (const SourceInfo& source : *sources) {
            if (source.IsPartition())
                partitionNames_[source.Tag()] = PartitionDisplayName(*source.partition);
        }
    }
    items_ = std::move(items);
    checked_.assign(items_.size(), 0);
    groups_ = GroupByExtension(items_);
    groupOf_.assign(items_.size(), 0);
    for (const auto& [key, members] : groups_) {
        const auto group = uint32_t(groupKeys_.size());
        groupKeys_.push_back(key);
        groupItems_.push_back(&members);
        for (ItemIndex index : members) groupOf_[index] = group;
    }
    groupChecked_.assign(groupKeys_.size(), 0);
    BuildTree();
    tree_->expandAll();
    QTreeWidgetItem* first = categories_[0];
    for (QTreeWidgetItem* node : categories_) {
        if (node->childCount() > 0) {
            first = node;
            break;
        }
    }
    {
        const QSignalBlocker block(tree_);
        tree_->setCurrentItem(first);
    }
    ShowNode(first);
    UpdateSelectionInfo();
    // A new search starts at its first row with the names in view, whatever the last one
    // had scrolled to.
    list_->scrollToTop();
    list_->horizontalScrollBar()->setValue(0);
    tree_->scrollToTop();
}

bool CResultsPage::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_->viewport() && event->type() == QEvent::Resize) FitColumns();
    return QObject::eventFilter(watched, event);
}

void CResultsPage::FitColumns() {
    if (sizedByUser_ || fitting_) return;
    fitting_ = true;
    QHeaderView* header = list_->header();
    // The short columns take what their texts and titles need (their mode sizes them so).
    int others = header->sectionSize(kCheckColumn);
    for (int column :
         {int(kSizeColumn), int(kTypeColumn), int(kModifiedColumn), int(kCreatedColumn)}) {
        if (!header->isSectionHidden(column))
            others += std::max(ColumnWidth(list_, column), header->sectionSizeHint(column));
    }
    const int room = list_->viewport()->width() - others;
    const int nameWanted = std::max(
        {kMinNameWidth, ColumnWidth(list_, kNameColumn), header->sectionSizeHint(kNameColumn)});
    int name = kMinNameWidth;
    int path = kMinPathWidth;
    if (room >= nameWanted + kMinPathWidth) {
        // The whole names, and the path column to the list's right edge: all of each path
        // when there is room for it.
        name = nameWanted;
        path = std::max(room - nameWanted, kMinPathWidth);
    } else if (room > kMinNameWidth + kMinPathWidth) {
        name = room - kMinPathWidth;
    }
    header->resizeSection(kNameColumn, name);
    header->resizeSection(kPathColumn, path);
    fitting_ = false;
}

std::vector<FileTypeOption> CResultsPage::FileTypeOptions() const {
    std::vector<FileTypeOption> options;
    for (const char* groupName : kFileTypeGroups) {
        auto* group = fileTypePage_->findChild<QWidget*>(QString::fromLatin1(groupName));
        if (!group) continue;
        for (QCheckBox* option : group->findChildren<QCheckBox*>()) {
            const QString keys = option->property("userdata").toString();
            if (keys.isEmpty()) continue;  // the option of the whole group
            options.push_back({option->objectName().toStdString(), groupName,
                               option->text().toStdString(), keys.toStdString()});
        }
    }
    return options;
}

void CResultsPage::BuildTree() {
    // A language change builds the tree again: the node shown stays shown.
    const QString shownName = node_ ? node_->data(0, kNodeNameRole).toString() : QString();
    const QVariant shownGroup = node_ ? node_->data(0, kNodeGroupRole) : QVariant();
    const bool wasShown = node_ != nullptr;

    auto* other = fileTypePage_->findChild<QCheckBox*>(QString::fromLatin1(kOtherFilesOption));
    std::string baseTexts[6];
    for (int i = 0; i < 6; ++i) baseTexts[i] = table_.Text("MainWnd", kCategoryTextKeys[i]);
    const CategoryTree tree =
        BuildCategoryTree(groups_, FileTypeOptions(), other && other->isChecked(), baseTexts);

    QSignalBlocker block(tree_);
    node_ = nullptr;
    for (int i = 0; i < 6; ++i) {
        QTreeWidgetItem* node = categories_[i];
        qDeleteAll(node->takeChildren());
        node->setText(0, FromUtf8(tree.nodes[i].text));
        for (const TreeChild& child : tree.nodes[i].children) {
            const auto key = std::lower_bound(groupKeys_.begin(), groupKeys_.end(), child.key);
            if (key == groupKeys_.end() || *key != child.key) continue;
            auto* item = new QTreeWidgetItem(node, QStringList{FromUtf8(child.text)});
            item->setData(0, kNodeGroupRole, qulonglong(key - groupKeys_.begin()));
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(0, Qt::Unchecked);
            item->setIcon(0, IconOf(kCategoryIcons[i]));
        }
        if (wasShown && shownGroup.isNull() && node->data(0, kNodeNameRole) == shownName)
            node_ = node;
        for (int c = 0; wasShown && !shownGroup.isNull() && c < node->childCount(); ++c) {
            if (node->child(c)->data(0, kNodeGroupRole) == shownGroup) node_ = node->child(c);
        }
    }
    if (node_) tree_->setCurrentItem(node_);
    UpdateNodeChecks();
    block.unblock();
    // The group shown may have left the tree (its option changed): show the first node.
    if (wasShown && !node_) {
        tree_->setCurrentItem(categories_[0]);
        if (!node_) ShowNode(categories_[0]);
    }
}

std::vector<size_t> CResultsPage::GroupsOf(const QTreeWidgetItem* node) const {
    std::vector<size_t> groups;
    if (!node) return groups;
    auto add = [&](const QTreeWidgetItem* child) {
        const QVariant group = child->data(0, kNodeGroupRole);
        if (!group.isNull() && group.toULongLong() < groupItems_.size())
            groups.push_back(size_t(group.toULongLong()));
    };
    if (node->parent()) {
        add(node);
    } else {
        for (int i = 0; i < node->childCount(); ++i) add(node->child(i));
    }
    return groups;
}

void CResultsPage::ShowNode(QTreeWidgetItem* node) {
    node_ = node;
    nodeRows_.clear();
    nodeChecked_ = 0;
    for (size_t group : GroupsOf(node)) {
        nodeRows_.insert(nodeRows_.end(), groupItems_[group]->begin(), groupItems_[group]->end());
        nodeChecked_ += groupChecked_[group];
    }
    SortNode();
    page_ = 0;
    FillRows();
    preview_->Clear();
    UpdateCheckAll();
}

void CResultsPage::SortNode() {
    if (sortSection_ < 0) return;
    SortRows(nodeRows_, items_, SortColumnOf(sortSection_), sortOrder_ == Qt::AscendingOrder,
             [this](const RecoveredItem& item) { return ItemPath(item); });
}

void CResultsPage::OnSortIndicator(int section, Qt::SortOrder order) {
    if (section <= kCheckColumn || section >= kColumnCount) {
        // The check column has no order: the indicator stays where it was.
        list_->header()->setSortIndicator(sortSection_, sortOrder_);
        return;
    }
    sortSection_ = section;
    sortOrder_ = order;
    list_->header()->setSortIndicator(section, order);
    SortNode();
    page_ = 0;
    FillRows();
}

void CResultsPage::ShowPage(size_t page) {
    page_ = page;
    FillRows();
}

std::string CResultsPage::ItemPath(const RecoveredItem& item) const {
    if (!sources_) return {};
    IFileRecoveryParse* engine = FindEngineForItem(*sources_, item);
    std::string path;
    if (!engine || engine->GetItemPath(item, path) != kOk) return {};
    if (const auto name = partitionNames_.find(item.sourceTag); name != partitionNames_.end())
        return name->second + ": " + path;
    return path;
}

int64_t CResultsPage::ItemOfRow(const QTreeWidgetItem* row) const {
    if (!row) return -1;
    const QVariant index = row->data(kCheckColumn, kItemRole);
    if (index.isNull() || index.toULongLong() >= items_.size()) return -1;
    return int64_t(index.toULongLong());
}

void CResultsPage::FillRows() {
    const PageRange range = PageOf(nodeRows_.size(), page_);
    page_ = std::min(page_, range.pages - 1);
    filling_ = true;
    {
        const QSignalBlocker block(list_);
        list_->clear();
        QList<QTreeWidgetItem*> rows;
        rows.reserve(qsizetype(range.count));
        for (size_t i = range.first; i < range.first + range.count; ++i) {
            const ItemIndex index = nodeRows_[i];
            const RecoveredItem& item = items_[index];
            const FileRow texts = MakeFileRow(item);
            auto* row = new QTreeWidgetItem;
            row->setData(kCheckColumn, kItemRole, qulonglong(index));
            row->setFlags(row->flags() | Qt::ItemIsUserCheckable);
            row->setCheckState(kCheckColumn, checked_[index] ? Qt::Checked : Qt::Unchecked);
            row->setIcon(kNameColumn, IconOf(texts.icon));
            row->setText(kNameColumn, FromUtf8(texts.name));
            row->setText(kPathColumn, FromUtf8(ItemPath(item)));
            row->setText(kSizeColumn, FromUtf8(texts.size));
            row->setTextAlignment(kSizeColumn, Qt::AlignRight | Qt::AlignVCenter);
            row->setText(kTypeColumn, FromUtf8(texts.type));
            row->setText(kModifiedColumn, FromUtf8(texts.modified));
            row->setText(kCreatedColumn, FromUtf8(texts.created));
            rows.append(row);
        }
        list_->addTopLevelItems(rows);
    }
    filling_ = false;
    pagination_->SetPages(range.pages, page_);
    FitColumns();
}

void CResultsPage::SetChecked(ItemIndex index, bool on) {
    if (index >= checked_.size() || bool(checked_[index]) == on) return;
    checked_[index] = on ? 1 : 0;
    const uint64_t size = items_[index].fileSize;
    const uint32_t group = groupOf_[index];
    if (on) {
        ++checkedCount_;
        checkedBytes_ += size;
        ++groupChecked_[group];
    } else {
        --checkedCount_;
        checkedBytes_ -= size;
        --groupChecked_[group];
    }
}

void CResultsPage::OnListItemChanged(QTreeWidgetItem* row, int column) {
    if (filling_ || column != kCheckColumn) return;
    const int64_t index = ItemOfRow(row);
    if (index < 0) return;
    const bool on = row->checkState(kCheckColumn) == Qt::Checked;
    if (bool(checked_[size_t(index)]) == on) return;
    SetChecked(ItemIndex(index), on);
    // A row shown belongs to the node shown.
    nodeChecked_ = on ? nodeChecked_ + 1 : nodeChecked_ - 1;
    UpdateNodeChecks();
    UpdateCheckAll();
    UpdateSelectionInfo();
    emit checksChanged();
}

void CResultsPage::OnTreeItemChanged(QTreeWidgetItem* node, int column) {
    if (filling_ || column != 0) return;
    const bool on = node->checkState(0) == Qt::Checked;
    for (size_t group : GroupsOf(node)) {
        for (ItemIndex index : *groupItems_[group]) SetChecked(index, on);
    }
    nodeChecked_ = 0;
    for (size_t group : GroupsOf(node_)) nodeChecked_ += groupChecked_[group];
    UpdateNodeChecks();
    FillRows();  // the rows shown may be among the node's files
    UpdateCheckAll();
    UpdateSelectionInfo();
    emit checksChanged();
}

void CResultsPage::OnCheckAll(bool checked) {
    for (ItemIndex index : nodeRows_) SetChecked(index, checked);
    nodeChecked_ = checked ? nodeRows_.size() : 0;
    {
        filling_ = true;
        const QSignalBlocker block(list_);
        for (int i = 0; i < list_->topLevelItemCount(); ++i)
            list_->topLevelItem(i)->setCheckState(kCheckColumn,
                                                  checked ? Qt::Checked : Qt::Unchecked);
        filling_ = false;
    }
    UpdateNodeChecks();
    UpdateCheckAll();
    UpdateSelectionInfo();
    emit checksChanged();
}

void CResultsPage::UpdateNodeChecks() {
    const QSignalBlocker block(tree_);
    for (QTreeWidgetItem* node : categories_) {
        size_t checked = 0;
        size_t total = 0;
        for (size_t group : GroupsOf(node)) {
            checked += groupChecked_[group];
            total += groupItems_[group]->size();
        }
        for (int i = 0; i < node->childCount(); ++i) {
            const size_t group = GroupsOf(node->child(i)).front();
            node->child(i)->setCheckState(
                0, StateOf(groupChecked_[group], groupItems_[group]->size()));
        }
        node->setCheckState(0, StateOf(checked, total));
    }
}

void CResultsPage::UpdateCheckAll() {
    const QSignalBlocker block(checkAll_);
    checkAll_->setChecked(!nodeRows_.empty() && nodeChecked_ == nodeRows_.size());
}

void CResultsPage::UpdateSelectionInfo() {
    const QString size = FromUtf8(FormatSize(int64_t(checkedBytes_)));
    const QString count = QString::number(checkedCount_);
    const QString label = FromUtf8(table_.Text("Messages", "MSG0813"));
    if (label.isEmpty()) {
        // No text in the language: the layout's own wording with the numbers.
        selectionInfo_->setText(QStringLiteral("Selected %1 in %2 file").arg(size, count));
        return;
    }
    selectionInfo_->setText(label + QLatin1Char(' ') + count + QStringLiteral(" (") + size +
                            QLatin1Char(')'));
}

void CResultsPage::OnRowSelected() {
    const QList<QTreeWidgetItem*> selected = list_->selectedItems();
    if (selected.isEmpty()) return;
    const int64_t index = ItemOfRow(selected.first());
    if (index < 0) return;
    const RecoveredItem item = items_[size_t(index)];
    preview_->PreviewItem(item, sources_ ? FindEngineForItem(*sources_, item) : nullptr);
}

void CResultsPage::OnRowMenu(const QPoint& position) {
    QTreeWidgetItem* row = list_->itemAt(position);
    menuItem_ = ItemOfRow(row);
    if (menuItem_ < 0) return;
    rowMenu_->popup(list_->viewport()->mapToGlobal(position));
}

std::vector<RecoveredItem> CResultsPage::CheckedItems() const {
    std::vector<RecoveredItem> out;
    out.reserve(checkedCount_);
    for (size_t i = 0; i < items_.size(); ++i) {
        if (checked_[i]) out.push_back(items_[i]);
    }
    return out;
}

}  // namespace norvale
