#pragma once
// Helpers for the progress window tests: the shipped English texts in a private table, acting
// on a modal window (the progress window or its question) from a polling timer while the
// window's own event loop runs, and the stop question that must hold the work.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "app/language_table.h"
#include "support/test_support.h"
#include "ui/message_box.h"
#include "ui/qt_test_app.h"

namespace norvale::testing {

// The shipped language files with a config.ini of its own (English by default).
inline std::unique_ptr<LanguageTable> ShippedTexts(const TempDir& dir) {
    auto table =
        std::make_unique<LanguageTable>(dir / "config.ini", SourceDir() + "/src/ui/Languages");
    table->Load();
    return table;
}

// Polls every few milliseconds, in whatever event loop runs, until `ready` holds, then runs
// `act` once. Gives up silently after `timeoutMs` (the test's own checks then fail), and when
// `window` goes, so that a poll never outlives what it looks at.
inline void WhenReady(QObject* window, std::function<bool()> ready, std::function<void()> act,
                      int timeoutMs = 8000) {
    auto* timer = new QTimer(window);
    auto started = std::chrono::steady_clock::now();
    timer->setInterval(3);
    QObject::connect(timer, &QTimer::timeout, timer, [=] {
        const bool late =
            std::chrono::steady_clock::now() - started > std::chrono::milliseconds(timeoutMs);
        if (!late && !ready()) return;
        timer->stop();
        timer->deleteLater();
        if (!late) act();
    });
    timer->start();
}

// The question box that is open now, if any.
inline CMessageBox* OpenQuestion() {
    return qobject_cast<CMessageBox*>(QApplication::activeModalWidget());
}

inline void Click(QWidget* window, const char* name) {
    auto* button = window->findChild<QAbstractButton*>(QString::fromLatin1(name));
    ASSERT_TRUE(button) << name;
    QTest::mouseClick(button, Qt::LeftButton);
}

inline QString LabelText(QWidget* window, const char* name) {
    auto* label = window->findChild<QLabel*>(QString::fromLatin1(name));
    return label ? label->text() : QStringLiteral("<no label>");
}

inline QString Message(LanguageTable& table, const char* key) {
    return QString::fromStdString(table.Text("Messages", key));
}

// Once `ready` holds, asks `window` to stop with a click on `button` (Escape when null); in
// the question that opens, runs `whileAsked`, then answers with `answer` ("okbtn" to stop,
// "cancelbtn" to go on).
inline void StopWhen(QWidget* window, std::function<bool()> ready, const char* button,
                     const char* answer, std::function<void()> whileAsked = {}) {
    WhenReady(window, std::move(ready), [=] {
        WhenReady(
            window, [] { return OpenQuestion() != nullptr; },
            [=] {
                if (whileAsked) whileAsked();
                Click(OpenQuestion(), answer);
            });
        if (button)
            Click(window, button);
        else
            QTest::keyClick(window, Qt::Key_Escape);
    });
}

// How far `count` (of the work's reports, reads, files) moves while the test waits a while:
// nothing when the work is held. The step the work was in when the question opened may still
// end (a read, a count after a report); it is let finish before the count is taken.
inline int MovesWhileWaiting(const std::function<int()>& count) {
    QTest::qWait(30);
    const int before = count();
    QTest::qWait(150);
    return count() - before;
}

// The set-up all progress window tests share: the test application, a home of their own and
// the shipped English texts.
class ProcessWndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TestApplication();
        texts_ = ShippedTexts(dir_);
    }

    IsolatedHome home_;
    TempDir dir_;
    std::unique_ptr<LanguageTable> texts_;
};

}  // namespace norvale::testing
