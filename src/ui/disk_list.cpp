#include "ui/disk_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QContextMenuEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>

#include "app/format.h"
#include "device/disk_probe.h"
#include "device/sector_source.h"
#include "engine/engine_factory.h"
#include "ui/process_worker.h"
#include "ui/window_texts.h"

// Resources of a static library are only linked when something names them.
static void InitDiskListIcons() {
    Q_INIT_RESOURCE(icons);
}

namespace norvale {

namespace {

// "Partition 1": the number the partition table gives it.
QString PartitionTitle(const PartitionRecord& record, TextSection& messages) {
    return FillFormatText(messages.Text("MSG1230"), {int64_t(std::max(record.partitionNumber, 0))});
}

// The parts of a layout that decide which rows an image has (and so their tags).
bool SameStretch(const PartitionRecord& a, const PartitionRecord& b) {
    return a.startLba == b.startLba && a.sectorCount == b.sectorCount && a.kind == b.kind &&
           a.partitionNumber == b.partitionNumber;
}

constexpr int kRowType = QTreeWidgetItem::UserType + 0x4E4C;  // rows made by this list
constexpr int kNameColumn = 0;
constexpr int kTypeColumn = 1;
constexpr int kSizeColumn = 2;
constexpr int kInfoLabels = 10;

// Rows leave the tree before they are deleted. Taking a row out announces the change while the
// row is still whole, so the selection handlers that run then may look at every row; a row
// deleted in place announces it from the middle of its destructor.
void DeleteRow(QTreeWidget* tree, QTreeWidgetItem* row) {
    if (QTreeWidgetItem* parent = row->parent()) {
        parent->removeChild(row);
    } else if (const int at = tree->indexOfTopLevelItem(row); at >= 0) {
        tree->takeTopLevelItem(at);
    }
    delete row;
}

QString FormatBytes(uint64_t bytes) {
    return FromUtf8(FormatSize(static_cast<int64_t>(std::min<uint64_t>(bytes, INT64_MAX))));
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file system as the list shows it: FAT12 and FAT16 share the name "FAT", their version
// tells them apart.
QString FileSystemText(const PartitionRecord& record, TextSection& messages) {
    if (record.fsName.empty()) return FromUtf8(messages.Text("MSG1213"));
    if (record.fsName == "FAT" && (record.fsVersion == "FAT12" || record.fsVersion == "FAT16"))
        return FromUtf8(record.fsVersion);
    return FromUtf8(record.fsName);
}

// "MBR", "GPT": how people know the kinds of partition table (libblkid's "dos", "gpt", ...).
QString TableKindText(const std::string& scheme) {
    if (scheme == "dos") return QStringLiteral("MBR");
    return FromUtf8(scheme).toUpper();
}

// Whether the engine's own detection finds a file system in the first bytes of `path`: it
// knows some volumes the probe of the partition reader leaves unnamed.
bool EngineRecognises(const std::string& path) {
    std::unique_ptr<FileSource> file;
    if (FileSource::Open(path, file) != kOk) return false;
    std::array<uint8_t, kDetectBytes> buf{};
    size_t done = 0;
    while (done < buf.size()) {
        size_t got = 0;
        if (file->ReadAt(done, std::span(buf).subspan(done), got) != kOk || got == 0) break;
        done += got;
    }
    const DetectDetail detail = DetectFileSystemDetail(std::span<const uint8_t>(buf.data(), done));
    return detail.bitLocker || detail.kind != FileSystemKind::Other;
}

int DefaultDiskOpenProbe(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

bool IsLackOfRights(int error) {
    return error == EACCES || error == EPERM;
}

bool SameSource(const PartitionRecord& a, const PartitionRecord& b) {
    // Disk numbers are positions that shift when a disk before this one comes or goes; the
    // device path and the start sector name the same stretch of the same medium.
    return a.diskPath == b.diskPath && a.startLba == b.startLba &&
           (a.kind == PartitionRecord::Kind::WholeDisk) ==
               (b.kind == PartitionRecord::Kind::WholeDisk);
}

}  // namespace

class CDiskListUI::Row : public QTreeWidgetItem {
  public:
    explicit Row(RowKind kind) : QTreeWidgetItem(kRowType), kind(kind) {}

    RowKind kind;
    // Partition rows: their record. Disk rows: the enumerated whole-disk record when the disk
    // holds no volume (then `recordIsSource`), else a record covering the disk for imaging.
    PartitionRecord record;
    bool recordIsSource = false;
    bool denied = false;  // disk rows: the disk cannot be opened for lack of rights
    std::string model;    // disk rows: vendor and model as the kernel reports them
    uint64_t diskBytes = 0;
    QString imagePath;  // image rows
    // Image rows: the tag of an image scanned whole; 0 when its partition rows are the sources.
    uint16_t imageTag = 0;
    uint64_t imageBytes = 0;
    std::string imageScheme;  // image rows: the kind of its partition table; empty: none
    // Image rows read whole: whether `record` holds what was found on it (file system, label).
    bool imageRecord = false;
    std::vector<std::string> tableProblems;  // image rows: what is wrong with its table

    // A partition or unallocated row of an image rather than of a disk.
    bool InImage() const {
        const auto parentKind = KindOf(parent());
        return parentKind && *parentKind == RowKind::kImage;
    }

    Row* ChildRow(int i) const { return static_cast<Row*>(child(i)); }
};

CDiskListUI::CDiskListUI(QWidget* parent)
    : QTreeWidget(parent), paths_(CurrentSystemPaths()), openProbe_(DefaultDiskOpenProbe) {
    InitDiskListIcons();
    setObjectName(QStringLiteral("DiskList"));
    setColumnCount(3);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    // A double click is announced and the owner decides: expand a disk, or start a scan.
    setExpandsOnDoubleClick(false);
    setRootIsDecorated(true);
    setUniformRowHeights(true);
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(kNameColumn, QHeaderView::Stretch);
    header()->setSectionResizeMode(kTypeColumn, QHeaderView::ResizeToContents);
    header()->setSectionResizeMode(kSizeColumn, QHeaderView::ResizeToContents);

    connect(this, &QTreeWidget::itemSelectionChanged, this, &CDiskListUI::rowSelected);
    // Cards come and go and images are added and removed: the page's hint and the remove
    // button follow whatever changed the rows.
    connect(this, &QTreeWidget::itemSelectionChanged, this, &CDiskListUI::UpdatePageControls);
    connect(model(), &QAbstractItemModel::rowsInserted, this, &CDiskListUI::UpdatePageControls);
    connect(model(), &QAbstractItemModel::rowsRemoved, this, &CDiskListUI::UpdatePageControls);
    connect(model(), &QAbstractItemModel::modelReset, this, &CDiskListUI::UpdatePageControls);
    connect(this, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item, int) {
        const auto kind = KindOf(item);
        if (!kind || *kind == RowKind::kImageGroup) return;
        emit rowDoubleClicked((*kind == RowKind::kDisk || *kind == RowKind::kImage) &&
                              item->childCount() > 0);
    });
    connect(&LanguageEvents::Instance(), &LanguageEvents::languageChanged, this,
            &CDiskListUI::ApplyTexts);
    ApplyTexts();
}

CDiskListUI::~CDiskListUI() {
    // The rows and the selection go with the tree after this object's own part is gone.
    disconnect(model(), nullptr, this, nullptr);
    disconnect(this, &QTreeWidget::itemSelectionChanged, this, &CDiskListUI::UpdatePageControls);
}

void CDiskListUI::SetSystemPaths(SystemPaths paths) {
    paths_ = std::move(paths);
}

void CDiskListUI::SetDiskOpenProbe(DiskOpenProbe probe) {
    openProbe_ = probe ? std::move(probe) : DiskOpenProbe(DefaultDiskOpenProbe);
}

void CDiskListUI::SetLanguageTable(LanguageTable* table) {
    table_ = table;
    ApplyTexts();
}

LanguageTable& CDiskListUI::TextTable() const {
    return Texts();
}

LanguageTable& CDiskListUI::Texts() const {
    return table_ ? *table_ : LanguageTable::Instance();
}

std::optional<CDiskListUI::RowKind> CDiskListUI::KindOf(const QTreeWidgetItem* row) {
    if (!row || row->type() != kRowType) return std::nullopt;
    return static_cast<const Row*>(row)->kind;
}

uint16_t CDiskListUI::TagOf(const QTreeWidgetItem* row) {
    const auto kind = KindOf(row);
    if (!kind) return 0;
    const Row* r = static_cast<const Row*>(row);
    switch (*kind) {
        case RowKind::kPartition:
            return r->record.driveLetter;
        case RowKind::kDisk:
            return r->recordIsSource ? r->record.driveLetter : 0;
        case RowKind::kImage:
            return r->imageTag;
        case RowKind::kImageGroup:
            break;
    }
    return 0;
}

QTreeWidgetItem* CDiskListUI::ImageGroupRow() const {
    for (int i = 0; i < topLevelItemCount(); ++i) {
        if (KindOf(topLevelItem(i)) == RowKind::kImageGroup) return topLevelItem(i);
    }
    return nullptr;
}

std::vector<QTreeWidgetItem*> CDiskListUI::DiskRows() const {
    std::vector<QTreeWidgetItem*> rows;
    for (int i = 0; i < topLevelItemCount(); ++i) {
        if (KindOf(topLevelItem(i)) == RowKind::kDisk) rows.push_back(topLevelItem(i));
    }
    return rows;
}

CDiskListUI::Row* CDiskListUI::SelectedRow() const {
    const auto items = selectedItems();
    if (items.isEmpty() || !KindOf(items.front())) return nullptr;
    return static_cast<Row*>(items.front());
}

CDiskListUI::Row* CDiskListUI::FindDiskRow(const std::string& diskPath) const {
    for (QTreeWidgetItem* item : DiskRows()) {
        auto* row = static_cast<Row*>(item);
        if (row->record.diskPath == diskPath) return row;
    }
    return nullptr;
}

CDiskListUI::Row* CDiskListUI::FindSourceRow(const PartitionRecord& rec) const {
    Row* disk = FindDiskRow(rec.diskPath);
    if (!disk) return nullptr;
    if (disk->recordIsSource && SameSource(disk->record, rec)) return disk;
    for (int i = 0; i < disk->childCount(); ++i) {
        if (SameSource(disk->ChildRow(i)->record, rec)) return disk->ChildRow(i);
    }
    return nullptr;
}

std::set<uint16_t> CDiskListUI::UsedTags() const {
    std::set<uint16_t> used;
    for (QTreeWidgetItem* item : DiskRows()) {
        auto* disk = static_cast<Row*>(item);
        if (disk->recordIsSource) used.insert(disk->record.driveLetter);
        for (int i = 0; i < disk->childCount(); ++i)
            used.insert(disk->ChildRow(i)->record.driveLetter);
    }
    return used;
}

std::vector<PartitionRecord> CDiskListUI::RemovableRecords() const {
    DiskEnumerator enumerator(paths_);
    enumerator.Enumerate();
    std::vector<PartitionRecord> all;
    enumerator.AllPartitions(all);
    std::vector<PartitionRecord> removable;
    for (auto& rec : all) {
        if (rec.removable) removable.push_back(std::move(rec));
    }
    return removable;
}

// The row index a disk or partition row takes among its siblings: disks by number, partitions
// by start sector, before the image group.
static int InsertPosition(QTreeWidgetItem* parent, QTreeWidget* tree, uint64_t key,
                          const std::function<std::optional<uint64_t>(QTreeWidgetItem*)>& keyOf) {
    const int count = parent ? parent->childCount() : tree->topLevelItemCount();
    for (int i = 0; i < count; ++i) {
        QTreeWidgetItem* sibling = parent ? parent->child(i) : tree->topLevelItem(i);
        const auto siblingKey = keyOf(sibling);
        if (!siblingKey || *siblingKey > key) return i;
    }
    return count;
}

void CDiskListUI::ReadDiskFacts(Row* disk) const {
    const DiskFacts facts = norvale::ReadDiskFacts(paths_, BaseName(disk->record.diskPath));
    disk->model = facts.model;
    disk->diskBytes = facts.sizeBytes;
}

CDiskListUI::Row* CDiskListUI::AddDiskRow(const PartitionRecord& first) {
    auto* row = new Row(RowKind::kDisk);
    row->record.diskPath = first.diskPath;
    ReadDiskFacts(row);

    // Until told otherwise the disk row stands for the whole disk, for imaging it whole. Tag 0
    // is nobody's: positions start at 1 and image tags far above.
    PartitionRecord& whole = row->record;
    whole.kind = PartitionRecord::Kind::WholeDisk;
    whole.driveLetter = 0;
    whole.diskNumber = first.diskNumber;
    whole.diskPath = first.diskPath;
    whole.volumeRoot = first.diskPath;
    whole.bytesPerSector = first.bytesPerSector ? first.bytesPerSector : 512;
    whole.sectorCount = row->diskBytes / whole.bytesPerSector;
    whole.totalBytes = whole.freeBytes = whole.sectorCount * whole.bytesPerSector;
    whole.removable = first.removable;

    const int at =
        InsertPosition(nullptr, this, uint64_t(first.diskNumber), [](QTreeWidgetItem* i) {
            return KindOf(i) == RowKind::kDisk
                       ? std::optional<uint64_t>(uint64_t(static_cast<Row*>(i)->record.diskNumber))
                       : std::nullopt;
        });
    insertTopLevelItem(at, row);
    return row;
}

void CDiskListUI::AddRecords(const std::vector<PartitionRecord>& records) {
    std::set<uint16_t> used = UsedTags();
    std::vector<Row*> newDisks;
    for (const PartitionRecord& source : records) {
        if (FindSourceRow(source)) continue;
        PartitionRecord rec = source;
        // A disk that arrived later may be numbered like a row that is still listed; every
        // source of the list keeps a tag of its own, or found files would be traced to the
        // wrong medium.
        if (rec.driveLetter == 0 || rec.driveLetter >= kImageTagBase ||
            used.count(rec.driveLetter)) {
            uint16_t free = 1;
            while (used.count(free)) ++free;
            rec.driveLetter = free;
        }
        used.insert(rec.driveLetter);

        Row* disk = FindDiskRow(rec.diskPath);
        if (!disk) {
            disk = AddDiskRow(rec);
            newDisks.push_back(disk);
        }
        if (rec.kind == PartitionRecord::Kind::WholeDisk) {
            disk->record = rec;
            disk->recordIsSource = true;
            SetRowTexts(disk);
            continue;
        }
        auto* row = new Row(RowKind::kPartition);
        row->record = rec;
        const int at = InsertPosition(disk, this, rec.startLba, [](QTreeWidgetItem* i) {
            return std::optional<uint64_t>(static_cast<Row*>(i)->record.startLba);
        });
        disk->insertChild(at, row);
        SetRowTexts(row);
    }
    for (Row* disk : newDisks) {
        CheckAccess(disk);
        SetRowTexts(disk);
        disk->setExpanded(true);
    }
    ApplyImageMode();
}

void CDiskListUI::RefreshListed(const std::vector<PartitionRecord>& current) {
    for (QTreeWidgetItem* item : DiskRows()) {
        auto* disk = static_cast<Row*>(item);
        for (const PartitionRecord& rec : current) {
            if (rec.diskPath == disk->record.diskPath) {
                disk->record.diskNumber = rec.diskNumber;
                break;
            }
        }
        // The reader may hold another card of the same layout by now.
        ReadDiskFacts(disk);
        if (!disk->recordIsSource) {
            if (disk->record.bytesPerSector == 0) disk->record.bytesPerSector = 512;
            disk->record.sectorCount = disk->diskBytes / disk->record.bytesPerSector;
            disk->record.totalBytes = disk->record.freeBytes =
                disk->record.sectorCount * disk->record.bytesPerSector;
        }
        for (int i = 0; i < disk->childCount(); ++i) {
            Row* row = disk->ChildRow(i);
            for (const PartitionRecord& rec : current) {
                if (!SameSource(rec, row->record)) continue;
                // The fresh record (disk number, mount point, free space), under the old tag.
                const uint16_t tag = row->record.driveLetter;
                row->record = rec;
                row->record.driveLetter = tag;
                SetRowTexts(row);
                break;
            }
        }
        SetRowTexts(disk);
    }
}

void CDiskListUI::Refill() {
    // The selection survives a refill where its row does.
    std::optional<PartitionRecord> selected;
    bool selectedIsDisk = false;
    if (Row* row = SelectedRow(); row && row->kind != RowKind::kImage) {
        selected = row->record;
        selectedIsDisk = row->kind == RowKind::kDisk;
    }
    for (QTreeWidgetItem* disk : DiskRows()) DeleteRow(this, disk);
    AddRecords(RemovableRecords());
    // A disk that stays is not reported again; one that went is, should it come back.
    for (auto it = deniedReported_.begin(); it != deniedReported_.end();) {
        it = FindDiskRow(*it) ? std::next(it) : deniedReported_.erase(it);
    }
    if (selected) {
        QTreeWidgetItem* again =
            selectedIsDisk ? FindDiskRow(selected->diskPath) : FindSourceRow(*selected);
        if (again) again->setSelected(true);
    }
}

void CDiskListUI::RefillAfterArrival() {
    const std::vector<PartitionRecord> current = RemovableRecords();
    RefreshListed(current);
    AddRecords(current);
}

void CDiskListUI::RefillAfterRemoval() {
    const std::vector<PartitionRecord> current = RemovableRecords();
    const auto present = [&](const PartitionRecord& rec) {
        return std::any_of(current.begin(), current.end(),
                           [&](const PartitionRecord& c) { return SameSource(c, rec); });
    };
    for (QTreeWidgetItem* item : DiskRows()) {
        auto* disk = static_cast<Row*>(item);
        for (int i = disk->childCount() - 1; i >= 0; --i) {
            if (!present(disk->ChildRow(i)->record)) DeleteRow(this, disk->child(i));
        }
        if (disk->recordIsSource && !present(disk->record)) {
            disk->recordIsSource = false;
            disk->record.driveLetter = 0;
        }
        if (disk->childCount() == 0 && !disk->recordIsSource) {
            std::vector<PartitionRecord> stillThere;
            for (const PartitionRecord& rec : current) {
                if (rec.diskPath == disk->record.diskPath) stillThere.push_back(rec);
            }
            if (stillThere.empty()) {
                deniedReported_.erase(disk->record.diskPath);
                DeleteRow(this, disk);
            } else {
                // Its last partition was deleted: the disk stays, as what it now holds (a
                // blank disk, scanned whole), or it could not be chosen at all.
                AddRecords(stillThere);
            }
        }
    }
    RefreshListed(current);
}

void CDiskListUI::CheckAccess(Row* disk) {
    const std::string& path = disk->record.diskPath;
    disk->denied = IsLackOfRights(openProbe_(path));
    if (!disk->denied) {
        deniedReported_.erase(path);
        return;
    }
    // Once per disk while it stays in the list, so a refill does not ask again and again.
    if (deniedReported_.insert(path).second) emit accessDenied(FromUtf8(path));
}

void CDiskListUI::AddImage(const QString& path) {
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QTreeWidgetItem* group = ImageGroupRow();
    if (!group) {
        group = new Row(RowKind::kImageGroup);
        group->setFlags(Qt::ItemIsEnabled);
        group->setIcon(kNameColumn, QIcon(QStringLiteral(":/icons/image_group.svg")));
        addTopLevelItem(group);
        SetRowTexts(static_cast<Row*>(group));
    }
    Row* row = FindImageRow(absolute);
    if (!row) {
        row = new Row(RowKind::kImage);
        row->imagePath = absolute;
        group->addChild(row);
    }
    row->imageBytes = uint64_t(std::max<qint64>(QFileInfo(absolute).size(), 0));
    const bool madeAnew = FillImageRows(row);
    SetRowTexts(row);
    group->setExpanded(true);
    row->setExpanded(true);
    ApplyImageMode();
    clearSelection();
    row->setSelected(true);
    setCurrentItem(row);
    if (madeAnew && !row->tableProblems.empty()) {
        QStringList problems;
        for (const std::string& line : row->tableProblems) problems << FromUtf8(line);
        emit imageTableProblems(absolute, problems);
    }
}

bool CDiskListUI::FillImageRows(Row* image) {
    DiskLayout layout;
    const bool read = ReadDiskLayout(image->imagePath.toStdString(), layout) == kOk;
    const auto isVolume = [](const PartitionRecord& r) {
        return r.kind == PartitionRecord::Kind::Partition;
    };
    // A disk when its table names at least one partition; a table without a usable entry
    // leaves the image to be read whole, as one without a table is.
    const bool disk = read && !layout.scheme.empty() &&
                      std::any_of(layout.records.begin(), layout.records.end(), isVolume);
    image->imageScheme = disk ? layout.scheme : std::string();
    // Read whole, the image shows what was found on it as a partition row does.
    image->imageRecord = false;
    image->record = PartitionRecord{};
    if (read && !disk) {
        const auto volume = std::find_if(layout.records.begin(), layout.records.end(), isVolume);
        if (volume != layout.records.end()) {
            image->record = *volume;
            image->imageRecord = true;
        }
    }
    if (!disk) layout.records.clear();
    const std::vector<PartitionRecord>& records = layout.records;

    // Found files point back to their source by tag: rows that still stand for the same
    // stretches keep theirs, and only take what may have changed (labels, file systems).
    bool same = records.empty() ? image->imageTag != 0 && image->childCount() == 0
                                : image->childCount() == int(records.size());
    for (int i = 0; same && i < image->childCount(); ++i)
        same = SameStretch(image->ChildRow(i)->record, records[size_t(i)]);
    image->tableProblems = layout.problems;
    if (same) {
        for (int i = 0; i < image->childCount(); ++i) {
            Row* row = image->ChildRow(i);
            const uint16_t tag = row->record.driveLetter;
            row->record = records[size_t(i)];
            row->record.driveLetter = tag;
            SetRowTexts(row);
        }
        return false;
    }

    while (image->childCount() > 0) DeleteRow(this, image->child(0));
    // Given once: the found files of the image (or of each of its partitions) point back to
    // it by this tag.
    image->imageTag = records.empty() ? NextImageTag() : 0;
    for (const PartitionRecord& rec : records) {
        auto* row = new Row(RowKind::kPartition);
        row->record = rec;
        row->record.driveLetter = NextImageTag();
        image->addChild(row);
        SetRowTexts(row);
    }
    return true;
}

bool CDiskListUI::ListsImage(const QString& path) const {
    return FindImageRow(path) != nullptr;
}

CDiskListUI::Row* CDiskListUI::FindImageRow(const QString& path) const {
    QTreeWidgetItem* group = ImageGroupRow();
    if (!group) return nullptr;
    // The same file reached through a link or another spelling of its folder is one image; a
    // row whose file has gone is matched by the path it was listed under.
    const QFileInfo wanted(path);
    const QString canonical = wanted.canonicalFilePath();
    for (int i = 0; i < group->childCount(); ++i) {
        auto* image = static_cast<Row*>(group->child(i));
        const QString listed = QFileInfo(image->imagePath).canonicalFilePath();
        if (image->imagePath == wanted.absoluteFilePath() ||
            (!canonical.isEmpty() && listed == canonical))
            return image;
    }
    return nullptr;
}

bool CDiskListUI::RemoveSelectedImage() {
    Row* row = SelectedRow();
    if (!row || row->kind != RowKind::kImage) return false;
    RemoveImageRow(row);
    return true;
}

void CDiskListUI::RemoveImageRow(Row* image) {
    QTreeWidgetItem* group = image->parent();
    const bool wasSelected = image->isSelected();
    const int at = group ? group->indexOfChild(image) : -1;
    // Said before the rows go, so the owner's information lines never describe a gone row.
    clearSelection();
    setCurrentItem(nullptr);
    DeleteRow(this, image);
    if (group && group->childCount() == 0) {
        DeleteRow(this, group);
    } else if (group && wasSelected) {
        // As in a file manager, the selection moves on to the neighbouring image.
        QTreeWidgetItem* next = group->child(std::min(at, group->childCount() - 1));
        next->setSelected(true);
        setCurrentItem(next);
    }
    UpdatePageControls();
}

void CDiskListUI::AttachPageControls(QAbstractButton* remove, QLabel* hint) {
    if (removeButton_) disconnect(removeButton_, nullptr, this, nullptr);
    removeButton_ = remove;
    hint_ = hint;
    if (remove) connect(remove, &QAbstractButton::clicked, this, [this] { RemoveSelectedImage(); });
    if (hint) hint->setWordWrap(true);
    UpdatePageControls();
}

void CDiskListUI::UpdatePageControls() {
    QTreeWidgetItem* group = ImageGroupRow();
    const bool images = group && group->childCount() > 0;
    if (removeButton_) {
        // Images cannot be chosen in image mode, so there is nothing to remove there either.
        removeButton_->setVisible(images && !imageMode_);
        removeButton_->setEnabled(SelectedIsImage());
    }
    if (hint_) {
        // Shown while there is nothing to choose: no disk, and no image that may be chosen.
        const bool choice = !DiskRows().empty() || (images && !imageMode_);
        const QString text = FromUtf8(Texts().Text("Messages", imageMode_ ? "MSG1324" : "MSG1323"));
        hint_->setText(text);
        hint_->setAccessibleName(text);
        hint_->setVisible(!choice);
    }
}

void CDiskListUI::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete && event->modifiers() == Qt::NoModifier &&
        RemoveSelectedImage()) {
        event->accept();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

void CDiskListUI::contextMenuEvent(QContextMenuEvent* event) {
    QTreeWidgetItem* item = event->reason() == QContextMenuEvent::Mouse
                                ? itemAt(event->pos())
                                : (selectedItems().isEmpty() ? nullptr : selectedItems().front());
    if (KindOf(item) != RowKind::kImage || !(item->flags() & Qt::ItemIsSelectable)) {
        QTreeWidget::contextMenuEvent(event);
        return;
    }
    clearSelection();
    item->setSelected(true);
    setCurrentItem(item);
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("ImageRowMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const QString text = FromUtf8(Texts().Text("MainWnd", "BtnRemoveImage"));
    QAction* remove = menu->addAction(QIcon::fromTheme(QStringLiteral("list-remove")), text);
    remove->setObjectName(QStringLiteral("RowMenuRemoveImage"));
    // The menu names the row it was opened on, whatever is selected when it is chosen.
    const QString path = static_cast<Row*>(item)->imagePath;
    connect(remove, &QAction::triggered, this, [this, path] {
        if (Row* row = FindImageRow(path)) RemoveImageRow(row);
    });
    const QPoint at = event->reason() == QContextMenuEvent::Mouse
                          ? event->globalPos()
                          : viewport()->mapToGlobal(visualItemRect(item).bottomLeft());
    menu->popup(at);
    event->accept();
}

void CDiskListUI::SetImageMode(bool imageMode) {
    imageMode_ = imageMode;
    ApplyImageMode();
    UpdatePageControls();
}

void CDiskListUI::ApplyImageMode() {
    QTreeWidgetItem* group = ImageGroupRow();
    if (!group) return;
    const auto apply = [this](QTreeWidgetItem* row) {
        if (imageMode_) {
            row->setSelected(false);
            row->setFlags(Qt::NoItemFlags);
        } else {
            row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        }
    };
    for (int i = 0; i < group->childCount(); ++i) {
        QTreeWidgetItem* image = group->child(i);
        apply(image);
        for (int c = 0; c < image->childCount(); ++c) apply(image->child(c));
    }
}

bool CDiskListUI::HasSelection() const {
    const Row* row = SelectedRow();
    return row && row->kind != RowKind::kImageGroup;
}

bool CDiskListUI::SelectedIsImage() const {
    const Row* row = SelectedRow();
    return row && row->kind == RowKind::kImage;
}

bool CDiskListUI::SelectedCoversPartitions() const {
    const Row* row = SelectedRow();
    return row && (row->kind == RowKind::kDisk || row->kind == RowKind::kImage) &&
           row->childCount() > 0;
}

std::vector<SourceInfo> CDiskListUI::SelectedScanSources() const {
    std::vector<SourceInfo> sources;
    const Row* row = SelectedRow();
    if (!row) return sources;
    const auto add = [&](const PartitionRecord& rec) {
        SourceInfo s;
        s.partition = rec;
        sources.push_back(std::move(s));
    };
    switch (row->kind) {
        case RowKind::kDisk:
            if (row->childCount() > 0) {
                for (int i = 0; i < row->childCount(); ++i) add(row->ChildRow(i)->record);
            } else if (row->recordIsSource) {
                add(row->record);
            }
            break;
        case RowKind::kPartition:
            add(row->record);
            break;
        case RowKind::kImage: {
            if (row->childCount() > 0) {
                for (int i = 0; i < row->childCount(); ++i) add(row->ChildRow(i)->record);
                break;
            }
            SourceInfo s;
            s.imagePath = row->imagePath.toStdString();
            s.imageTag = row->imageTag;
            sources.push_back(std::move(s));
            break;
        }
        case RowKind::kImageGroup:
            break;
    }
    return sources;
}

std::optional<PartitionRecord> CDiskListUI::SelectedRecord() const {
    const Row* row = SelectedRow();
    if (!row || (row->kind != RowKind::kDisk && row->kind != RowKind::kPartition)) return {};
    return row->record;
}

QString CDiskListUI::SelectedImagePath() const {
    const Row* row = SelectedRow();
    return row && row->kind == RowKind::kImage ? row->imagePath : QString();
}

void CDiskListUI::ToggleExpandSelected() {
    Row* row = SelectedRow();
    if (row && (row->kind == RowKind::kDisk || row->kind == RowKind::kImage) &&
        row->childCount() > 0)
        row->setExpanded(!row->isExpanded());
}

void CDiskListUI::ApplyTexts() {
    LanguageTable& table = Texts();
    setHeaderLabels({FromUtf8(table.Text("MainWnd", "ListHeaderName")),
                     FromUtf8(table.Text("MainWnd", "ListHeaderType")),
                     FromUtf8(table.Text("MainWnd", "ListHeaderSize"))});
    // Disks hold partitions; the image group holds images, which may hold partitions.
    const std::function<void(Row*)> apply = [&](Row* row) {
        SetRowTexts(row);
        for (int c = 0; c < row->childCount(); ++c) apply(row->ChildRow(c));
    };
    for (int i = 0; i < topLevelItemCount(); ++i) apply(static_cast<Row*>(topLevelItem(i)));
    UpdatePageControls();
}

void CDiskListUI::SetRowTexts(Row* row) const {
    TextSection& messages = Texts().Section("Messages");
    const PartitionRecord& rec = row->record;
    switch (row->kind) {
        case RowKind::kDisk: {
            // Numbered from 1, as people count disks.
            QString name = FromUtf8(messages.Text("MSG1211")) + QLatin1Char(' ') +
                           QString::number(rec.diskNumber + 1LL);
            if (!row->model.empty()) name += QStringLiteral(": ") + FromUtf8(row->model);
            row->setText(kNameColumn, name);
            const QString denied = FromUtf8(messages.Text("MSG1210"));
            row->setText(kTypeColumn, row->denied ? denied : QString());
            row->setToolTip(kNameColumn, FromUtf8(rec.diskPath));
            row->setToolTip(kTypeColumn, row->denied ? denied : QString());
            row->setText(kSizeColumn, FormatBytes(row->diskBytes));
            row->setIcon(kNameColumn, QIcon(row->denied ? QStringLiteral(":/icons/locked.svg")
                                                        : QStringLiteral(":/icons/disk.svg")));
            break;
        }
        case RowKind::kPartition: {
            const bool gap = rec.kind == PartitionRecord::Kind::Unallocated;
            // A partition of an image has no device of its own: it is read through the image.
            QString name = gap              ? FromUtf8(messages.Text("MSG1212"))
                           : row->InImage() ? PartitionTitle(rec, messages)
                                            : FromUtf8(BaseName(rec.volumeRoot));
            if (!rec.volumeLabel.empty())
                name += QStringLiteral(" (") + FromUtf8(rec.volumeLabel) + QLatin1Char(')');
            row->setText(kNameColumn, name);
            row->setText(kTypeColumn, gap ? QString() : FileSystemText(rec, messages));
            row->setText(kSizeColumn, FormatBytes(rec.sectorCount * rec.bytesPerSector));
            row->setToolTip(kNameColumn,
                            FromUtf8(gap || row->InImage() ? rec.diskPath : rec.volumeRoot));
            row->setIcon(kNameColumn, QIcon(gap ? QStringLiteral(":/icons/unallocated.svg")
                                                : QStringLiteral(":/icons/partition.svg")));
            break;
        }
        case RowKind::kImageGroup:
            row->setText(kNameColumn, FromUtf8(Texts().Text("MainWnd", "ImageFile")));
            break;
        case RowKind::kImage: {
            // A disk image says what kind of table it has (its partitions say the rest); one
            // read whole names its file system and label as a partition does.
            QString name = QFileInfo(row->imagePath).fileName();
            if (row->imageRecord && !rec.volumeLabel.empty())
                name += QStringLiteral(" (") + FromUtf8(rec.volumeLabel) + QLatin1Char(')');
            row->setText(kNameColumn, name);
            row->setText(kTypeColumn,
                         row->childCount() > 0
                             ? FillFormatText(messages.Text("MSG1321"),
                                              {TableKindText(row->imageScheme).toStdString()})
                             : FileSystemText(rec, messages));
            row->setText(kSizeColumn, FormatBytes(row->imageBytes));
            {
                QString tip = row->imagePath;
                for (const std::string& line : row->tableProblems)
                    tip += QLatin1Char('\n') + FromUtf8(line);
                row->setToolTip(kNameColumn, tip);
            }
            row->setIcon(kNameColumn, QIcon(QStringLiteral(":/icons/image.svg")));
            break;
        }
    }
}

QStringList CDiskListUI::InfoTexts() const {
    QStringList lines;
    const Row* row = SelectedRow();
    TextSection& messages = Texts().Section("Messages");
    const auto line = [&](const char* captionKey, const QString& value) {
        lines << FromUtf8(messages.Text(captionKey)) + QLatin1Char(' ') + value;
    };
    if (row) {
        const PartitionRecord& rec = row->record;
        // "FAT32", with the version where it says more ("ext4 (1.0)").
        const auto fileSystem = [&] {
            QString fs = FileSystemText(rec, messages);
            if (!rec.fsVersion.empty() && FromUtf8(rec.fsVersion) != fs)
                fs += QStringLiteral(" (") + FromUtf8(rec.fsVersion) + QLatin1Char(')');
            return fs;
        };
        switch (row->kind) {
            case RowKind::kDisk:
                line("MSG1214", row->text(kNameColumn));
                line("MSG1215", FromUtf8(rec.diskPath));
                if (!row->model.empty()) line("MSG1226", FromUtf8(row->model));
                line("MSG1218", FormatBytes(row->diskBytes));
                line("MSG1225", QString::number(row->childCount()));
                line("MSG1223", QString::number(rec.bytesPerSector));
                if (row->denied) lines << FromUtf8(messages.Text("MSG1210"));
                break;
            case RowKind::kPartition: {
                const bool gap = rec.kind == PartitionRecord::Kind::Unallocated;
                line("MSG1214", row->text(kNameColumn));
                if (row->InImage())
                    line("MSG1227", FromUtf8(rec.diskPath));
                else
                    line("MSG1215", FromUtf8(gap ? rec.diskPath : rec.volumeRoot));
                if (!gap) {
                    line("MSG1216", fileSystem());
                    line("MSG1217", FromUtf8(rec.volumeLabel));
                }
                line("MSG1218", FormatBytes(rec.sectorCount * rec.bytesPerSector));
                // Used and free space are only known for a mounted volume; an unmounted one
                // would otherwise read as full.
                if (gap || !rec.mountPoint.empty()) {
                    line("MSG1219", FormatBytes(rec.usedBytes));
                    line("MSG1220", FormatBytes(rec.freeBytes));
                }
                line("MSG1221", QString::number(rec.startLba));
                line("MSG1222", QString::number(rec.sectorCount));
                if (!gap && !row->InImage()) {
                    line("MSG1224", rec.mountPoint.empty() ? FromUtf8(messages.Text("MSG1228"))
                                                           : FromUtf8(rec.mountPoint));
                }
                break;
            }
            case RowKind::kImage:
                line("MSG1214", row->text(kNameColumn));
                line("MSG1227", row->imagePath);
                line("MSG1218", FormatBytes(row->imageBytes));
                if (row->childCount() > 0) {
                    line("MSG1322", TableKindText(row->imageScheme));
                    line("MSG1225", QString::number(row->childCount()));
                } else {
                    line("MSG1216", fileSystem());
                    if (row->imageRecord) line("MSG1217", FromUtf8(rec.volumeLabel));
                }
                for (const std::string& problem : row->tableProblems) lines << FromUtf8(problem);
                break;
            case RowKind::kImageGroup:
                break;
        }
    }
    while (lines.size() < kInfoLabels) lines << QString();
    while (lines.size() > kInfoLabels) lines.removeLast();
    return lines;
}

ImageFileCheck CheckImageFile(const QString& path) {
    const std::string file = path.toStdString();
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return ImageFileCheck::kUnreadable;
    if (S_ISDIR(st.st_mode)) return ImageFileCheck::kFolder;
    // Told before anything is read: the reader would register the file as a disk.
    if (S_ISREG(st.st_mode) && st.st_size < 512) return ImageFileCheck::kTooSmall;
    // The reader the list itself uses: the partition table, else a file system on the whole.
    DiskLayout layout;
    if (ReadDiskLayout(file, layout) != kOk) return ImageFileCheck::kUnreadable;
    if (layout.sizeBytes < layout.bytesPerSector) return ImageFileCheck::kTooSmall;
    if (!layout.scheme.empty()) return ImageFileCheck::kRecognised;
    for (const PartitionRecord& rec : layout.records) {
        if (rec.kind == PartitionRecord::Kind::Partition) return ImageFileCheck::kRecognised;
    }
    return EngineRecognises(file) ? ImageFileCheck::kRecognised : ImageFileCheck::kUnrecognised;
}

const char* ImageFileCheckMessageKey(ImageFileCheck check) {
    switch (check) {
        case ImageFileCheck::kRecognised:
            break;
        case ImageFileCheck::kUnrecognised:
            return "MSG1328";
        case ImageFileCheck::kFolder:
            return "MSG1325";
        case ImageFileCheck::kTooSmall:
            return "MSG1326";
        case ImageFileCheck::kUnreadable:
            return "MSG1327";
    }
    return "";
}

QString ImagePartitionName(const PartitionRecord& record, TextSection& messages) {
    const QString size = FormatBytes(record.sectorCount * record.bytesPerSector);
    if (record.kind == PartitionRecord::Kind::Unallocated)
        return FromUtf8(messages.Text("MSG1212")) + QStringLiteral(" (") + size + QLatin1Char(')');
    QStringList facts;
    if (!record.volumeLabel.empty()) facts << FromUtf8(record.volumeLabel);
    if (!record.fsName.empty()) facts << FromUtf8(record.fsName);
    QString name = PartitionTitle(record, messages);
    if (!facts.isEmpty())
        name += QStringLiteral(" (") + facts.join(QStringLiteral(", ")) + QLatin1Char(')');
    return name;
}

QString ImagePartitionSourceName(const SourceInfo& source, TextSection& messages) {
    if (!source.IsPartition() || !IsImageDisk(source.partition->diskNumber)) return {};
    return FromUtf8(BaseName(source.partition->diskPath)) + QStringLiteral(": ") +
           ImagePartitionName(*source.partition, messages);
}

}  // namespace norvale
