#include "ui/recover_process_wnd.h"

#include <QAbstractButton>
#include <QColor>
#include <QDesktopServices>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <algorithm>

#include "engine/output_naming.h"
#include "ui/process_worker.h"
#include "ui/window_texts.h"
#include "ui_RecoverProcessWnd.h"

namespace norvale {

// Runs on the worker (inside the driver's progress lock): hands every report to the window.
class CRecoverProcessWnd::Observer : public IRecoveryObserver {
  public:
    explicit Observer(CRecoverProcessWnd& wnd) : wnd_(wnd) {}

    void OnProgress(const std::string& name, int shownPercent,
                    const RecoveryCounts& counts) override {
        wnd_.worker_->Post([w = &wnd_, name = FromUtf8(name), shownPercent, counts] {
            w->ShowProgress(name, shownPercent, counts);
        });
    }
    void OnItemDone(const RecoveryDetailRow& row, const RecoveryCounts& counts) override {
        wnd_.worker_->Post([w = &wnd_, row, counts] {
            w->AddDetailRow(row);
            w->ShowSummary(counts);
        });
    }
    void OnFinished(RecoveryOutcome outcome, const RecoveryCounts& counts) override {
        wnd_.worker_->Post([w = &wnd_, outcome, counts] { w->OnFinished(outcome, counts); });
    }

  private:
    CRecoverProcessWnd& wnd_;
};

CRecoverProcessWnd::CRecoverProcessWnd(const std::vector<SourceInfo>& sources,
                                       std::vector<RecoveredItem> items, QString destination,
                                       QWidget* owner)
    : ProcessWindow(
          owner, {"UIRecoverProcessWnd", "RecoverProcessWnd", "MSG1103", QSize(kWidth, kHeight)},
          [](QDialog* self) { Ui::RecoverProcessWnd().setupUi(self); }, {"CancelBtn", "closebtn"}),
      sources_(sources),
      items_(std::move(items)),
      destination_(std::move(destination)),
      opener_([](const QUrl& folder) { QDesktopServices::openUrl(folder); }) {
    current_ = findChild<QLabel*>(QStringLiteral("current"));
    recovered_ = findChild<QLabel*>(QStringLiteral("recovered"));
    percent_ = findChild<QLabel*>(QStringLiteral("percent"));
    progress_ = findChild<QProgressBar*>(QStringLiteral("progress"));
    openButton_ = findChild<QPushButton*>(QStringLiteral("OpenBtn"));
    finishButton_ = findChild<QPushButton*>(QStringLiteral("FinishBtn"));
    cancelButton_ = findChild<QPushButton*>(QStringLiteral("CancelBtn"));
    detailButton_ = findChild<QPushButton*>(QStringLiteral("DetailBtn"));
    detailList_ = findChild<QTreeWidget*>(QStringLiteral("DetailList"));

    finishButton_->hide();
    detailList_->hide();
    connect(openButton_, &QAbstractButton::clicked, this, &CRecoverProcessWnd::OpenFolder);
    connect(finishButton_, &QAbstractButton::clicked, this,
            [this] { done(stoppedRun_ ? kStopped : kDone); });
    connect(detailButton_, &QAbstractButton::clicked, this, &CRecoverProcessWnd::ToggleDetail);
}

CRecoverProcessWnd::~CRecoverProcessWnd() {
    worker_->Join();
}

void CRecoverProcessWnd::SetSingleItem(const RecoveredItem& item) {
    singleItem_ = item;
}

void CRecoverProcessWnd::PlaceItemText(const QString& key, const QString& text) {
    // The detail list's column headers are items, not objects: their keys reach us unmatched.
    if (key == QLatin1String("DetailListName")) detailList_->headerItem()->setText(0, text);
    if (key == QLatin1String("DetailListStatus")) detailList_->headerItem()->setText(1, text);
}

int CRecoverProcessWnd::Run() {
    if (worker_->Started()) return finished_ ? kDone : kStopped;
    ApplyTexts();
    counts_ = RecoveryCounts{};
    counts_.total = singleItem_ ? 1 : int(items_.size());
    ShowSummary(counts_);
    percent_->setText(LabelAndValue(table_->Text("Messages", "MSG1101"), QStringLiteral("0%")));

    observer_ = std::make_unique<Observer>(*this);
    driver_ = std::make_unique<RecoveryDriver>(sources_, *observer_);
    driver_->SetSourceFolders(sourceFolders_);
    const std::string root = destination_.toStdString();
    if (singleItem_) {
        worker_->Start([driver = driver_.get(), item = *singleItem_, root] {
            driver->RecoverSingle(item, root);
        });
    } else {
        worker_->Start([driver = driver_.get(), items = &items_, root] {
            driver->RecoverItems(*items, root);
        });
    }
    return RunModal(kStopped);
}

void CRecoverProcessWnd::ShowProgress(const QString& name, int shownPercent,
                                      const RecoveryCounts& counts) {
    progress_->setValue(std::clamp(shownPercent, 0, 100));
    current_->setText(name);
    percent_->setText(LabelAndValue(table_->Text("Messages", "MSG1101"),
                                    QString::number(shownPercent) + QLatin1Char('%')));
    ShowSummary(counts);
}

void CRecoverProcessWnd::ShowSummary(const RecoveryCounts& counts) {
    counts_ = counts;
    recovered_->setText(FillFormatText(table_->Text("Messages", "MSG1102"),
                                       {int64_t(counts.processed), int64_t(counts.total),
                                        int64_t(counts.Succeeded()), int64_t(counts.failed)}));
}

void CRecoverProcessWnd::AddDetailRow(const RecoveryDetailRow& row) {
    QString status = FromUtf8(row.status);
    // A failure names the folder the file was meant for: "No space left on device" alone does
    // not say which drive filled up.
    if (row.result != kOk) {
        status += QStringLiteral(" (") + destination_ + QLatin1Char('/') +
                  FromUtf8(CategoryOf(row.name)) + QLatin1Char(')');
    }
    auto* item = new QTreeWidgetItem({FromUtf8(row.name), status});
    if (row.result != kOk) {
        // Failures go to the top, in red, so that they are seen before the successes.
        const QColor red = QColor::fromRgba(kFailureColour);
        item->setForeground(0, red);
        item->setForeground(1, red);
        detailList_->insertTopLevelItem(0, item);
    } else {
        detailList_->addTopLevelItem(item);
    }
}

void CRecoverProcessWnd::OnFinished(RecoveryOutcome outcome, const RecoveryCounts& counts) {
    ShowSummary(counts);
    finished_ = true;
    // A stopped run shows what it did and what it left, like a finished one, until closed.
    stoppedRun_ = stopConfirmed_ || outcome == RecoveryOutcome::kStopped;
    if (stoppedRun_) {
        current_->setText(FromUtf8(table_->Text("Messages", "MSG1104")) + QLatin1Char(' ') +
                          QString::number(counts.notTried));
    }
    finishButton_->show();
    cancelButton_->hide();
}

void CRecoverProcessWnd::OnStopButton() {
    if (finished_) {
        done(stoppedRun_ ? kStopped : kDone);
        return;
    }
    AskStop();
    // After a confirmed stop the worker's end shows the summary; closing it gives kStopped.
}

void CRecoverProcessWnd::ToggleDetail() {
    const QPoint centre = frameGeometry().center();
    QSize size;
    if (detailShown_) {
        size = QSize(kWidth, kHeight);
        detailList_->hide();
    } else {
        size = QSize(width() + kDetailExtraWidth, height() + kDetailExtraHeight);
        detailList_->show();
    }
    detailShown_ = !detailShown_;
    setFixedSize(size);
    QRect frame = frameGeometry();
    frame.moveCenter(centre);
    move(frame.topLeft());
}

void CRecoverProcessWnd::OpenFolder() {
    if (opener_) opener_(QUrl::fromLocalFile(destination_));
}

}  // namespace norvale
