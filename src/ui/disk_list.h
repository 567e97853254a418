#pragma once
// The "DiskList" control: what can be scanned, as a tree. Every removable disk is a row with
// its partitions (and the unallocated stretches between them) beneath; image files the user
// added sit beneath an "ImageFile" group row. An image that starts with a partition table is a
// disk: its partitions and unallocated stretches are rows beneath it, as a card's are. Each row
// carries what a scan of it needs: the partition record with its source tag, or the image path
// with the tag it was given once when it was added (an image's partition rows get theirs then
// too).
//
// Only removable disks are listed: fixed disks hold the running system, and a recovery tool
// that offers them invites writing the recovered files onto the disk being recovered.

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTreeWidget>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/language_table.h"
#include "device/disk_enumerator.h"
#include "engine/source_info.h"

class QAbstractButton;
class QLabel;

namespace norvale {

// What a file offered as a disk image turned out to be, read before it is listed.
enum class ImageFileCheck {
    kRecognised,    // a partition table or a file system was found
    kUnrecognised,  // readable and at least a sector long, but nothing recognised: a raw dump?
    kFolder,
    kTooSmall,   // shorter than one sector: no medium is that small
    kUnreadable  // missing, no rights, or not a file at all (a pipe, a socket)
};
// Looks at `path` with the partition-table reader and the file-system probes the scan uses.
ImageFileCheck CheckImageFile(const QString& path);
// The "Messages" key of what the user is told about a file of that check ("" when recognised):
// the refusals take the path for their %s, as does the question whether to add a file in which
// nothing was recognised.
const char* ImageFileCheckMessageKey(ImageFileCheck check);

class CDiskListUI : public QTreeWidget {
    Q_OBJECT
  public:
    // The kinds of rows, kept in each row's data.
    enum class RowKind { kDisk, kPartition, kImageGroup, kImage };

    // Answers 0 when the disk device at `path` can be opened for reading, else the errno of the
    // failed open. Tests replace it; the default opens the device read-only and closes it.
    using DiskOpenProbe = std::function<int(const std::string& path)>;

    explicit CDiskListUI(QWidget* parent = nullptr);
    ~CDiskListUI() override;

    // Tests point the enumerator at a fake sysfs/dev tree (device/disk_enumerator.h).
    void SetSystemPaths(SystemPaths paths);
    void SetDiskOpenProbe(DiskOpenProbe probe);

    // Full enumeration: removable disks with their partition rows beneath. Image rows stay.
    void Refill();
    // Enumerates again and adds the records that are new. Rows already listed stay, with their
    // tags; their records follow the new enumeration (disk numbers shift when a disk is added
    // before theirs, and the engine opens a disk by its number).
    void RefillAfterArrival();
    // Takes out the rows of the records that are gone, matched by device path and start sector
    // (not by disk number, which shifts when a disk before theirs goes); the selection stays
    // where its row does. A disk whose last partition went stays as what it now holds.
    void RefillAfterRemoval();

    // A row under the "ImageFile" group (made when needed) for the image at `path`, selected.
    // An image already listed is selected again rather than added twice; its rows and tags stay
    // unless its partition table changed meanwhile. An image with a partition table gets a row
    // for each partition and unallocated stretch beneath it; the table's problems are its row's
    // tooltip and are announced with imageTableProblems when the rows are made.
    void AddImage(const QString& path);
    // Whether the image at `path` (the same file, however its path is written) is listed.
    bool ListsImage(const QString& path) const;
    // Takes the selected image row and its partition rows out of the list (the group row too
    // when it was the last image); false when no image row is selected. Only the rows go: the
    // sources of a scan already made are the owner's copies and stay as they are.
    bool RemoveSelectedImage();
    // The page's controls that follow the list: `remove` is shown while an image is listed,
    // enabled while one is selected, and removes it; `hint` tells what to do while the list
    // offers nothing to choose. Either may be null.
    void AttachPageControls(QAbstractButton* remove, QLabel* hint);
    // In image mode image rows cannot be chosen: an image is not copied into another image.
    void SetImageMode(bool imageMode);
    bool ImageMode() const { return imageMode_; }

    bool HasSelection() const;
    // The image row itself is selected (not one of its partitions).
    bool SelectedIsImage() const;
    // A disk row or image row with partition rows beneath is selected: its scan covers them.
    bool SelectedCoversPartitions() const;
    // The sources a scan of the selected row covers: the row itself when it has no partition
    // rows beneath, else every partition row beneath it. No engines yet.
    std::vector<SourceInfo> SelectedScanSources() const;
    // The record of the selected partition or disk row. A disk row with partitions beneath
    // answers a whole-disk record covering the entire disk (for imaging it whole).
    std::optional<PartitionRecord> SelectedRecord() const;
    QString SelectedImagePath() const;
    // The texts of "Label1".."Label10" for the selected row: always ten, unused ones empty.
    QStringList InfoTexts() const;
    // A disk row with partitions beneath opens or closes.
    void ToggleExpandSelected();

    // Applies the column titles and the row texts of the current language.
    void ApplyTexts();
    // Texts from `table` instead of the process-wide one (tests).
    void SetLanguageTable(LanguageTable* table);
    // The table the list takes its texts from (the window's own).
    LanguageTable& TextTable() const;

    // The kind of a row (for the main window and tests); std::nullopt for a null row.
    static std::optional<RowKind> KindOf(const QTreeWidgetItem* row);
    // The source tag a row carries (0 for group rows).
    static uint16_t TagOf(const QTreeWidgetItem* row);
    // The row of the image group, or null when no image was added.
    QTreeWidgetItem* ImageGroupRow() const;
    // The disk rows, in list order.
    std::vector<QTreeWidgetItem*> DiskRows() const;

  signals:
    void rowSelected();  // "itemselect"
    void rowDoubleClicked(bool isDiskWithPartitions);
    void accessDenied(QString devicePath);  // a disk could not be opened for lack of rights
    // The partition table of an added image has problems, one line each; the partitions that
    // could be read are listed all the same.
    void imageTableProblems(QString imagePath, QStringList problems);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

  private:
    class Row;

    LanguageTable& Texts() const;
    Row* SelectedRow() const;
    Row* FindDiskRow(const std::string& diskPath) const;
    // The image row of the file at `path` (compared as the same file), or null.
    Row* FindImageRow(const QString& path) const;
    void RemoveImageRow(Row* image);
    // The row listing the same stretch of the same medium as `rec`, or null.
    Row* FindSourceRow(const PartitionRecord& rec) const;
    std::set<uint16_t> UsedTags() const;
    // Enumerates and returns the records of removable disks, in enumeration order.
    std::vector<PartitionRecord> RemovableRecords() const;
    // Adds rows for `records` that are not listed yet; a record whose tag is already in use
    // gets a free one.
    void AddRecords(const std::vector<PartitionRecord>& records);
    // Rows still listed take the fresh records (disk numbers, mount points) under their tags.
    void RefreshListed(const std::vector<PartitionRecord>& current);
    Row* AddDiskRow(const PartitionRecord& first);
    // Model and size of the disk row's disk, from sysfs.
    void ReadDiskFacts(Row* disk) const;
    void SetRowTexts(Row* row) const;
    // Makes the partition rows of an image from its layout (none without a table); true when
    // its rows were made anew.
    bool FillImageRows(Row* image);
    void CheckAccess(Row* disk);
    void ApplyImageMode();
    // Shows, enables and words the attached page controls for the rows listed now.
    void UpdatePageControls();

    SystemPaths paths_;
    LanguageTable* table_ = nullptr;  // null: LanguageTable::Instance()
    DiskOpenProbe openProbe_;
    bool imageMode_ = false;
    std::set<std::string> deniedReported_;  // disk paths accessDenied was emitted for
    QPointer<QAbstractButton> removeButton_;
    QPointer<QLabel> hint_;
};

// How a partition or unallocated stretch of an image reads where the whole image is not shown
// above it: "Partition 1 (CARD, FAT32)", "Unallocated space (10.00 MB)", in the language of
// `messages`.
QString ImagePartitionName(const PartitionRecord& record, TextSection& messages);
// "card.img: Partition 1 (CARD, FAT32)" for a source that is a partition of an image file;
// empty for any other source.
QString ImagePartitionSourceName(const SourceInfo& source, TextSection& messages);

}  // namespace norvale
