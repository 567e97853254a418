// The imaging flow of the main window ("BtnCreateImage" in image mode): a name proposed for
// the selected disk or partition, a destination checked until it can take the image, the copy
// in the imaging window, and the offer to scan the finished image.

#include <QDir>
#include <QFileInfo>
#include <chrono>
#include <thread>

#include "app/format.h"
#include "device/disk_imager.h"
#include "device/image_destination.h"
#include "device/sector_source.h"
#include "ui/create_image_process_wnd.h"
#include "ui/disk_list.h"
#include "ui/main_wnd.h"
#include "ui/message_box.h"
#include "ui/window_texts.h"

namespace norvale {

namespace {

// The image name offered for a record: "sdb1 (CARD, 1.00 GB)" for a volume, "3 (, 1.00 GB)"
// for a stretch without device, "Physical Disk 2" for a whole disk.
QString ProposedImageName(const PartitionRecord& record) {
    if (record.kind == PartitionRecord::Kind::WholeDisk) {
        return QStringLiteral("Physical Disk %1").arg(record.diskNumber + 1);
    }
    const QString size = FromUtf8(FormatSize(int64_t(record.totalBytes)));
    const QString device = record.volumeRoot.empty()
                               ? QString::number(record.driveLetter)
                               : QFileInfo(FromUtf8(record.volumeRoot)).fileName();
    QString name = QStringLiteral("%1 (%2, %3)").arg(device, FromUtf8(record.volumeLabel), size);
    // A label may hold characters a file name cannot.
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return name;
}

}  // namespace

void CMainWnd::StartImaging() {
    const std::optional<PartitionRecord> record =
        diskList_->HasSelection() ? diskList_->SelectedRecord() : std::nullopt;
    if (!record) {
        Message(CMessageBox::kInformationBox, "MSG0216");
        return;
    }
    const uint32_t bytesPerSector = record->bytesPerSector ? record->bytesPerSector : 512;
    const uint64_t imageBytes =
        record->sectorCount ? record->sectorCount * bytesPerSector : record->totalBytes;

    QString proposed = QDir::home().filePath(ProposedImageName(*record) + QStringLiteral(".img"));
    QString path;
    bool replaceExisting = false;
    for (;;) {
        path = options_.hooks.pickImageToSave(this, proposed);
        if (path.isEmpty()) return;
        // The save dialog asks before it returns an existing file; that answer is the
        // permission to replace it. A name completed here was not asked about: the dialog
        // opens again on it, and asks.
        replaceExisting = QFileInfo::exists(path);
        if (QFileInfo(path).suffix().isEmpty()) {
            path += QStringLiteral(".img");
            replaceExisting = false;
            if (QFileInfo::exists(path)) {
                proposed = path;
                continue;
            }
        }
        proposed = path;
        // An image is never written through a link, whatever the dialog allowed.
        if (QFileInfo(path).isSymLink()) {
            Message(CMessageBox::kInformationBox, "MSG0223");
            continue;
        }
        DestinationFacts facts;
        if (GatherDestinationFacts(path.toStdString(), record->diskPath, facts) != kOk) {
            // The folder is gone or the name is a folder: ask again.
            facts = DestinationFacts{};
            facts.onSourceDevice =
                FindDestinationOverlap(path.toStdString(), record->diskPath).Found();
        }
        const DestinationVerdict verdict = CheckImageDestination(facts, imageBytes);
        if (verdict == DestinationVerdict::kOk) break;
        Message(CMessageBox::kInformationBox, DestinationMessageKey(verdict));
    }

    std::unique_ptr<FileSource> source;
    int outcome = CCreateImageProcessWnd::kFailed;
    if (FileSource::Open(record->diskPath, source) == kOk) {
        ImageJob job;
        job.source = source.get();
        job.sourcePath = record->diskPath;
        job.bytesPerSector = bytesPerSector;
        job.firstSector = record->startLba;
        job.sectorCount = record->sectorCount;
        job.imagePath = path.toStdString();
        job.replaceExisting = replaceExisting;
        CCreateImageProcessWnd window(job, this);
        window.SetLanguageTable(table_);
        outcome = options_.hooks.runProgress(&window, [&window] { return window.Run(); });
    }
    if (outcome == CCreateImageProcessWnd::kFailed) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Message(CMessageBox::kInformationBox, "MSG0217");
    }
    // Only a finished copy is worth scanning; a stopped or failed one holds part of the disk.
    if (outcome != CCreateImageProcessWnd::kDone) return;
    if (Message(CMessageBox::kQuestionBox, "MSG0214") != CMessageBox::kAnswerOk) return;
    imageMode_ = false;
    scanKind_ = kFullScan;
    diskList_->SetImageMode(false);
    diskList_->AddImage(path);
    ShowPage(kDiskPage);
}

}  // namespace norvale
