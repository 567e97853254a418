#include "ui/process_window.h"

#include <QAbstractButton>
#include <QCloseEvent>
#include <QEventLoop>
#include <QLabel>
#include <QPointer>
#include <QTimer>
#include <vector>

#include "ui/message_box.h"
#include "ui/process_worker.h"
#include "ui/window_texts.h"

namespace norvale {

int ProgressClock::SecondsLeft(uint64_t done, uint64_t total, Clock::time_point now) const {
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    if (total == 0 || done == 0 || done > total || elapsed < 2.0) return -1;
    const double fraction = double(done) / double(total);
    if (fraction < 0.01) return -1;
    const double left = elapsed * (1.0 - fraction) / fraction;
    return left >= double(INT32_MAX) ? INT32_MAX : int(left + 0.5);
}

ProcessWindow::ProcessWindow(QWidget* owner, const Look& look,
                             const std::function<void(QDialog*)>& setupLayout,
                             std::initializer_list<const char*> stopButtons)
    : QDialog(owner, Qt::Dialog | Qt::FramelessWindowHint),
      table_(&LanguageTable::Instance()),
      worker_(new ProcessWorker(this)),
      look_(look) {
    setObjectName(QString::fromLatin1(look.objectName));
    setupLayout(this);
    // Not modal to the application: a window blocked by a modal one never hears of its close
    // by the window manager, and closing the owner while the work runs must be asked about.
    // RunModal takes the owner's controls out of reach instead.
    setFixedSize(look.size);
    for (const char* name : stopButtons) {
        if (auto* button = findChild<QAbstractButton*>(QString::fromLatin1(name)))
            connect(button, &QAbstractButton::clicked, this, [this] { OnStopButton(); });
    }
    connect(&LanguageEvents::Instance(), &LanguageEvents::languageChanged, this,
            &ProcessWindow::ApplyTexts);
}

void ProcessWindow::OnStopButton() {
    AskStop();
}

void ProcessWindow::PlaceItemText(const QString&, const QString&) {}

void ProcessWindow::ApplyTexts() {
    ApplySection(this, look_.section, *table_,
                 [this](const QString& key, const QString& text) { PlaceItemText(key, text); });
    if (auto* title = findChild<QLabel*>(QStringLiteral("title"))) setWindowTitle(title->text());
}

int ProcessWindow::RunModal(int stoppedResult) {
    // A local loop in place of exec(): a window may hide while a question of its work is open,
    // and hiding a dialog would end exec() early.
    QEventLoop loop;
    connect(this, &QDialog::finished, &loop, &QEventLoop::exit);
    // The owner's controls wait for the work as under a modal window; its own close still
    // reaches it.
    std::vector<QPointer<QWidget>> disabled;
    if (QWidget* owner = parentWidget()) {
        for (QWidget* control : owner->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            if (control->isWindow() || !control->isEnabled()) continue;
            control->setEnabled(false);
            disabled.emplace_back(control);
        }
    }
    show();
    int result = loop.exec(QEventLoop::DialogExec);
    for (const QPointer<QWidget>& control : disabled) {
        if (control) control->setEnabled(true);
    }
    if (!finished_) {
        // Closed from outside before the work ended: it must not outlive the window.
        stopConfirmed_ = true;
        StopWork();
        result = stoppedResult;
    }
    worker_->WaitUntilDone();
    return result;
}

bool ProcessWindow::AskStop() {
    if (finished_ || stopConfirmed_ || asking_ || !worker_->Started()) return false;
    asking_ = true;
    {
        std::unique_lock hold = HoldWork();
        worker_->HoldDisplay();
        const int answer =
            CMessageBox::Show(CMessageBox::kQuestionBox, this,
                              FromUtf8(table_->Text("Messages", look_.stopQuestion)), *table_);
        if (answer == CMessageBox::kAnswerOk) {
            stopConfirmed_ = true;
            StopWork();
        }
    }
    asking_ = false;
    worker_->ReleaseDisplay();
    // A confirmed stop ends the work at its next report; the work's end closes the window, so
    // the user-interface thread never sits waiting for it.
    return stopConfirmed_;
}

void ProcessWindow::StopWithoutAsking() {
    // Once the work has ended the window closes, without waiting on a summary it shows.
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this] {
        if (finished_ && isVisible()) reject();
    });
    poll->start(50);
    if (finished_ || stopConfirmed_ || !worker_->Started()) return;
    stopConfirmed_ = true;
    StopWork();
}

void ProcessWindow::reject() {
    OnStopButton();
}

void ProcessWindow::closeEvent(QCloseEvent* event) {
    if (finished_ && !isVisible()) {
        QDialog::closeEvent(event);
        return;
    }
    event->ignore();
    OnStopButton();
}

}  // namespace norvale
