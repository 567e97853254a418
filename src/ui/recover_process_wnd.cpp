#include "ui/recover_process_wnd.h"

#include <QAbstractButton>
#include <QColor>
#include <QDesktopServices>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <algorithm>

#include "ui/process_worker.h"
#include "ui/window_texts.h"
#include "ui_RecoverProcessWnd.h"

namespace norvale {

namespace {

// A finished file as the detail list names it: its path inside the destination folder, so that
// the rows differ where the files do. A name that is not below the folder (a file that failed
// before it had a path) stays as it is.
QString PathInDestination(const QString& destination, const QString& name) {
    QString prefix = destination;
    if (!prefix.endsWith(QLatin1Char('/'))) prefix += QLatin1Char('/');
    return name.startsWith(prefix) && name.size() > prefix.size() ? name.mid(prefix.size()) : name;
}

}  // namespace

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
      opener_([](const QUrl& folder) { return QDesktopServices::openUrl(folder); }) {
    current_ = findChild<QLabel*>(QStringLiteral("current"));
    recovered_ = findChild<QLabel*>(QStringLiteral("recovered"));
    percent_ = findChild<QLabel*>(QStringLiteral("percent"));
    timeLeft_ = findChild<QLabel*>(QStringLiteral("TxtTimeLeft"));
    destinationText_ = findChild<QLineEdit*>(QStringLiteral("TxtDestination"));
    openFailed_ = findChild<QLabel*>(QStringLiteral("TxtOpenFolderFailed"));
    progress_ = findChild<QProgressBar*>(QStringLiteral("progress"));
    openButton_ = findChild<QPushButton*>(QStringLiteral("OpenBtn"));
    finishButton_ = findChild<QPushButton*>(QStringLiteral("FinishBtn"));
    cancelButton_ = findChild<QPushButton*>(QStringLiteral("CancelBtn"));
    detailButton_ = findChild<QPushButton*>(QStringLiteral("DetailBtn"));
    detailList_ = findChild<QTreeWidget*>(QStringLiteral("DetailList"));

    finishButton_->hide();
    detailList_->hide();
    openFailed_->hide();
    // The folder is named once here, whole and selectable, rather than on every detail row.
    destinationText_->setText(destination_);
    destinationText_->setToolTip(destination_);
    destinationText_->setCursorPosition(0);
    detailList_->header()->setStretchLastSection(true);
    detailList_->header()->setSectionResizeMode(0, QHeaderView::Interactive);
    connect(openButton_, &QAbstractButton::clicked, this, &CRecoverProcessWnd::OpenFolder);
    connect(finishButton_, &QAbstractButton::clicked, this,
            [this] { done(stoppedRun_ ? kStopped : kDone); });
    connect(detailButton_, &QAbstractButton::clicked, this, &CRecoverProcessWnd::ToggleDetail);
    // After the window's own texts (connected first, in ProcessWindow).
    connect(&LanguageEvents::Instance(), &LanguageEvents::languageChanged, this,
            &CRecoverProcessWnd::NameControls);
}

void CRecoverProcessWnd::NameControls() {
    // Controls whose text is a value, or that may be empty, are named by what they show.
    TextSection& messages = table_->Section("Messages");
    auto plain = [](QString text) {
        while (text.endsWith(QLatin1Char(':')) || text.endsWith(QLatin1Char('.'))) text.chop(1);
        return text.trimmed();
    };
    destinationText_->setAccessibleName(
        plain(findChild<QLabel*>(QStringLiteral("LblDestination"))->text()));
    progress_->setAccessibleName(plain(FromUtf8(messages.Text("MSG1101"))));
    timeLeft_->setAccessibleName(plain(FromUtf8(messages.Text("MSG1342"))));
    detailList_->setAccessibleName(detailButton_->text());
    openFailed_->setAccessibleName(
        FillFormatText(messages.Text("MSG1343"), {destination_.toStdString()}));
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
    NameControls();
    counts_ = RecoveryCounts{};
    counts_.total = singleItem_ ? 1 : int(items_.size());
    ShowSummary(counts_);
    percent_->setText(LabelAndValue(table_->Text("Messages", "MSG1101"), QStringLiteral("0%")));
    clock_.Start(clockStart_.value_or(ProgressClock::Clock::now()));
    ShowTimeLeft(counts_, 0);

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
    current_->setText(PathInDestination(destination_, name));
    percent_->setText(LabelAndValue(table_->Text("Messages", "MSG1101"),
                                    QString::number(shownPercent) + QLatin1Char('%')));
    ShowSummary(counts);
    ShowTimeLeft(counts, shownPercent);
}

void CRecoverProcessWnd::ShowTimeLeft(const RecoveryCounts& counts, int shownPercent) {
    if (finished_) return;
    // Counted in hundredths of files: the finished ones and the part of the current one. A
    // folder recovered as one item holds more files than the list counts; its time stays
    // unknown rather than wrong.
    const uint64_t total = uint64_t(std::max(counts.total, 0)) * 100;
    uint64_t done = uint64_t(std::max(counts.processed, 0)) * 100;
    if (shownPercent > 0 && shownPercent < 100) done += uint64_t(shownPercent);
    TextSection& messages = table_->Section("Messages");
    timeLeft_->setText(
        TimeLeftLine(messages, "MSG1341", "MSG1342", clock_.SecondsLeft(done, total)));
}

void CRecoverProcessWnd::ShowSummary(const RecoveryCounts& counts) {
    counts_ = counts;
    recovered_->setText(FillFormatText(table_->Text("Messages", "MSG1102"),
                                       {int64_t(counts.processed), int64_t(counts.total),
                                        int64_t(counts.Succeeded()), int64_t(counts.failed)}));
}

void CRecoverProcessWnd::AddDetailRow(const RecoveryDetailRow& row) {
    const QString name = FromUtf8(row.name);
    const QString status = FromUtf8(row.status);
    // The row names the file inside the destination folder (shown once above the list); the
    // tip has the whole path and the status, for a reason too long for its column.
    auto* item = new QTreeWidgetItem({PathInDestination(destination_, name), status});
    const QString tip = name + QLatin1Char('\n') + status;
    item->setToolTip(0, tip);
    item->setToolTip(1, tip);
    if (row.result != kOk) {
        // Failures go to the top, in red, so that they are seen before the successes.
        const QColor red = QColor::fromRgba(kFailureColour);
        item->setForeground(0, red);
        item->setForeground(1, red);
        detailList_->insertTopLevelItem(0, item);
    } else {
        detailList_->addTopLevelItem(item);
    }
    if (detailShown_ && detailList_->topLevelItemCount() <= 50) FitDetailColumns();
}

void CRecoverProcessWnd::FitDetailColumns() {
    // The names get what they need, up to two thirds of the list; the status takes the rest.
    const int room = detailList_->viewport()->width();
    const int wanted =
        static_cast<const QAbstractItemView*>(detailList_)->sizeHintForColumn(0) + 16;
    detailList_->header()->resizeSection(0, std::clamp(wanted, 120, std::max(120, room * 2 / 3)));
}

void CRecoverProcessWnd::OnFinished(RecoveryOutcome outcome, const RecoveryCounts& counts) {
    ShowSummary(counts);
    finished_ = true;
    timeLeft_->clear();
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
    if (detailShown_) {
        if (layout()) layout()->activate();
        FitDetailColumns();
    }
    QRect frame = frameGeometry();
    frame.moveCenter(centre);
    move(frame.topLeft());
}

void CRecoverProcessWnd::OpenFolder() {
    if (opener_ && opener_(QUrl::fromLocalFile(destination_))) {
        openFailed_->hide();
        return;
    }
    // No file manager took the folder: the user gets its path to open it some other way.
    openFailed_->setText(
        FillFormatText(table_->Text("Messages", "MSG1343"), {destination_.toStdString()}));
    openFailed_->show();
}

}  // namespace norvale
