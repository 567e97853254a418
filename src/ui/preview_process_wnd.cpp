#include "ui/preview_process_wnd.h"

#include <unistd.h>

#include <QAbstractButton>
#include <QCloseEvent>
#include <QLabel>
#include <QProgressBar>

#include "engine/data_paths.h"
#include "ui/message_box.h"
#include "ui/process_worker.h"
#include "ui/window_texts.h"
#include "ui_PreviewProcessWnd.h"

namespace norvale {

void DeletePreviewCopy(const std::string& path) {
    const std::string folder = ScanLogFolder() + "/";
    if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0) return;
    if (path.find("/..") != std::string::npos) return;
    ::unlink(path.c_str());
}

CPreviewProcessWnd::CPreviewProcessWnd(const RecoveredItem& item, IFileRecoveryParse* engine,
                                       std::string previousTempPath, QWidget* owner,
                                       LanguageTable& table)
    : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint),
      item_(item),
      engine_(engine),
      previousTempPath_(std::move(previousTempPath)),
      table_(&table),
      worker_(new ProcessWorker(this)) {
    Ui::PreviewProcessWnd layout;
    layout.setupUi(this);
    setModal(true);
    setFixedSize(kWidth, kHeight);
    percent_ = layout.percent;
    time_ = layout.time;
    progress_ = layout.progress;

    ApplySection(this, "PreviewProcessWnd", table);
    const std::string& title = table.Text("PreviewProcessWnd", "title");
    if (!title.empty()) setWindowTitle(FromUtf8(title));
    layout.FileName->setText(
        LabelAndValue(table.Text("Messages", "MSG0902"), FromUtf8(std::string(item_.Name()))));
    ShowPercent(0);

    connect(layout.cancelbtn, &QAbstractButton::clicked, this, &CPreviewProcessWnd::AskStop);
    connect(layout.closebtn, &QAbstractButton::clicked, this, &CPreviewProcessWnd::AskStop);
    connect(worker_, &ProcessWorker::finished, this, [this] { done(outcome_); });
}

CPreviewProcessWnd::~CPreviewProcessWnd() {
    // The work uses this window's fields: it must end before they go.
    stop_ = true;
    worker_->Join();
}

int CPreviewProcessWnd::Run() {
    clock_.Start();
    worker_->Start([this] { Work(); });
    return exec();
}

int CPreviewProcessWnd::OnProgress(void* userData, int percent, int /*errorCode*/) {
    auto* self = static_cast<CPreviewProcessWnd*>(userData);
    if (self->stop_) return kScanCancelled;
    self->worker_->Post([self, percent] { self->ShowPercent(percent); });
    return 0;
}

void CPreviewProcessWnd::Work() {
    request_.item = item_;
    request_.kind = DecidePreviewKind(item_.Name());
    DeletePreviewCopy(previousTempPath_);
    if (engine_) {
        request_.memory.assign(kPreviewMemoryBytes, 0);
        uint64_t bytes = request_.memory.size();
        extractResult_ =
            engine_->ExtractForPreview(item_, request_.tempPath, request_.memory.data(), bytes,
                                       &CPreviewProcessWnd::OnProgress, this);
        request_.memoryBytes = std::min<uint64_t>(bytes, request_.memory.size());
    } else {
        extractResult_ = kErrInvalidParameter;
    }
    // A confirmed stop wins even when the engine finished first: the user no longer wants
    // this preview, and a conversion still to come may take long.
    if (extractResult_ == kScanCancelled || stop_) {
        outcome_ = kStopped;
        return;
    }
    content_ = PreparePreviewContent(request_, options_, &stop_);
    if (stop_) {
        content_ = {};
        outcome_ = kStopped;
    }
}

void CPreviewProcessWnd::ShowPercent(int percent) {
    percent = std::clamp(percent, 0, 100);
    progress_->setValue(percent);
    percent_->setText(LabelAndValue(table_->Text("Messages", "MSG0901"),
                                    QString::number(percent) + QLatin1Char('%')));
    time_->setText(TimeLeftLine(table_->Section("Messages"), "MSG0304", "MSG0305",
                                clock_.SecondsLeft(uint64_t(percent), 100)));
}

void CPreviewProcessWnd::AskStop() {
    if (asking_ || worker_->Done()) return;
    asking_ = true;
    worker_->HoldDisplay();
    const int answer = CMessageBox::Show(CMessageBox::kQuestionBox, this,
                                         FromUtf8(table_->Text("Messages", "MSG0903")), *table_);
    if (answer == CMessageBox::kAnswerOk) stop_ = true;
    asking_ = false;
    worker_->ReleaseDisplay();
}

void CPreviewProcessWnd::reject() {
    AskStop();
}

void CPreviewProcessWnd::closeEvent(QCloseEvent* event) {
    event->ignore();
    AskStop();
}

}  // namespace norvale
