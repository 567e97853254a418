// Language texts on windows: applied by object name, keys without a control skipped or handed
// on, and a language change announced so that windows apply their texts again.

#include "ui/window_texts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QVBoxLayout>
#include <fstream>

#include "support/test_support.h"
#include "ui/process_window.h"
#include "ui/qt_test_app.h"

namespace norvale {
namespace {

using testing::TempDir;

// A window shaped like a layout: controls nested in frames, an action in a menu.
struct Window {
    QWidget root;
    QLabel* title;
    QPushButton* scan;
    QCheckBox* photo;
    QGroupBox* group;
    QProgressBar* progress;
    QMenu* menu;
    QAction* exit;

    Window() {
        auto* layout = new QVBoxLayout(&root);
        auto* frame = new QWidget(&root);
        layout->addWidget(frame);
        auto* inner = new QVBoxLayout(frame);
        title = new QLabel(QStringLiteral("layout text"), frame);
        title->setObjectName(QStringLiteral("Txt1"));
        inner->addWidget(title);
        group = new QGroupBox(frame);
        group->setObjectName(QStringLiteral("FileTypePhoto"));
        inner->addWidget(group);
        auto* groupLayout = new QVBoxLayout(group);
        photo = new QCheckBox(group);
        photo->setObjectName(QStringLiteral("ChkPhoto"));
        groupLayout->addWidget(photo);
        scan = new QPushButton(&root);
        scan->setObjectName(QStringLiteral("BtnScan"));
        layout->addWidget(scan);
        progress = new QProgressBar(&root);
        progress->setObjectName(QStringLiteral("progress"));
        layout->addWidget(progress);
        menu = new QMenu(&root);
        menu->setObjectName(QStringLiteral("item_language"));
        exit = menu->addAction(QString());
        exit->setObjectName(QStringLiteral("item_exit"));
    }
};

class WindowTextsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::TestApplication();
        ASSERT_EQ(::mkdir((dir_ / "Languages").c_str(), 0755), 0);
        std::ofstream(dir_ / "config.ini") << "[Default]\nDefaultLanguage=English\n";
        std::ofstream(dir_ / "Languages/English.ini")
            << "[MainWnd]\nTxt1=Choose file kinds\nBtnScan=Scan\nChkPhoto=Photos\n"
               "FileTypePhoto=Photo types\nitem_exit=Exit\nitem_language=Language\n"
               "progress=50%\nNodePhoto=Photo\nMSG0807=Photo\n"
               "progress.accessibleName=Scan progress\nGone.accessibleName=Nothing\n";
        std::ofstream(dir_ / "Languages/Deutsch.ini")
            << "[MainWnd]\nTxt1=Dateiarten w\xC3\xA4hlen\nBtnScan=Durchsuchen\n";
        table_ = std::make_unique<LanguageTable>(dir_ / "config.ini", dir_ / "Languages");
        table_->Load();
    }

    TempDir dir_;
    std::unique_ptr<LanguageTable> table_;
};

TEST_F(WindowTextsTest, TextsReachControlsByNameAtAnyDepth) {
    Window w;
    const QString progressBefore = w.progress->text();
    QStringList unmatched;
    const int applied =
        ApplySection(&w.root, "MainWnd", *table_, [&](const QString& key, const QString& text) {
            unmatched << key + QLatin1Char('=') + text;
        });
    EXPECT_EQ(w.title->text(), "Choose file kinds");
    EXPECT_EQ(w.scan->text(), "Scan");
    EXPECT_EQ(w.photo->text(), "Photos");
    EXPECT_EQ(w.group->title(), "Photo types");
    EXPECT_EQ(w.menu->title(), "Language");
    EXPECT_EQ(w.exit->text(), "Exit");
    EXPECT_EQ(w.progress->text(), progressBefore);  // its text is not settable: left alone
    // "<name>.accessibleName" names a control for screen readers, and is nobody else's key.
    EXPECT_EQ(w.progress->accessibleName(), "Scan progress");
    EXPECT_EQ(applied, 7);
    // Keys naming no object (message keys, tree nodes) go to the window's own handler.
    unmatched.sort();
    EXPECT_EQ(unmatched, (QStringList{"MSG0807=Photo", "NodePhoto=Photo"}));
}

TEST_F(WindowTextsTest, KeysWithoutControlsAreSkippedWithoutHandler) {
    Window w;
    EXPECT_EQ(ApplySection(&w.root, "Messages", *table_), 0);  // section absent: created empty
    EXPECT_EQ(ApplySection(&w.root, "MainWnd", *table_), 7);
    EXPECT_EQ(ApplySection(nullptr, "MainWnd", *table_), 0);
}

TEST_F(WindowTextsTest, ALanguageChangeIsAnnouncedAndWindowsApplyTheirTextsAgain) {
    Window w;
    ApplySection(&w.root, "MainWnd", *table_);
    QObject::connect(&LanguageEvents::Instance(), &LanguageEvents::languageChanged, &w.root,
                     [&] { ApplySection(&w.root, "MainWnd", *table_); });
    QSignalSpy spy(&LanguageEvents::Instance(), &LanguageEvents::languageChanged);

    EXPECT_EQ(SetLanguageAndAnnounce("Deutsch", *table_), kOk);
    EXPECT_EQ(spy.count(), 1);
    EXPECT_EQ(w.title->text(), QString::fromUtf8("Dateiarten w\xC3\xA4hlen"));
    EXPECT_EQ(w.scan->text(), "Durchsuchen");
    // Keys the new language lacks were not re-applied: the control keeps its last text.
    EXPECT_EQ(w.photo->text(), "Photos");

    EXPECT_EQ(SetLanguageAndAnnounce("../Deutsch", *table_), kErrInvalidParameter);
    EXPECT_EQ(spy.count(), 1);  // refused: nothing to announce
}

// The time left is told only once the task has run long enough to tell it, and then scales the
// time so far by what is still to do.
TEST(ProgressClockTest, TellsTimeLeftOnceKnown) {
    using namespace std::chrono_literals;
    ProgressClock clock;
    const auto start = ProgressClock::Clock::time_point{} + 100s;
    clock.Start(start);
    EXPECT_EQ(clock.SecondsLeft(50, 100, start + 1s), -1);   // too early
    EXPECT_EQ(clock.SecondsLeft(0, 100, start + 10s), -1);   // nothing done yet
    EXPECT_EQ(clock.SecondsLeft(5, 1000, start + 10s), -1);  // under 1 %
    EXPECT_EQ(clock.SecondsLeft(5, 0, start + 10s), -1);     // no total
    EXPECT_EQ(clock.SecondsLeft(25, 100, start + 10s), 30);
    EXPECT_EQ(clock.SecondsLeft(100, 100, start + 10s), 0);
    EXPECT_EQ(clock.SecondsLeft(101, 100, start + 10s), -1);  // a report past the end
}

}  // namespace
}  // namespace norvale
