// The desktop application for people who use the keyboard, a screen reader or a large scale:
// every control in the accessibility tree has a name, focus shows, Enter presses the focused
// button, nothing is cut off where windows have a fixed size, and the assistance menu's About
// box with the greyed-out items that say why.

#include <gtest/gtest.h>

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <memory>

#include "engine/data_paths.h"
#include "support/test_support.h"
#include "ui/application.h"
#include "ui/assist_menu.h"
#include "ui/create_image_process_wnd.h"
#include "ui/disk_list.h"
#include "ui/main_wnd.h"
#include "ui/main_wnd_test_env.h"
#include "ui/message_box.h"
#include "ui/preview_process_wnd.h"
#include "ui/qt_test_app.h"
#include "ui/recover_process_wnd.h"
#include "ui/scan_process_wnd.h"
#include "ui/search_process_wnd.h"
#include "ui/window_texts.h"

namespace norvale {
namespace {

using testing::Settle;

// The roles a person acts on: each needs a name a screen reader can say.
bool Interactive(QAccessible::Role role) {
    switch (role) {
        case QAccessible::PushButton:
        case QAccessible::CheckBox:
        case QAccessible::RadioButton:
        case QAccessible::ButtonMenu:
        case QAccessible::ButtonDropDown:
        case QAccessible::List:
        case QAccessible::Tree:
        case QAccessible::Table:
        case QAccessible::EditableText:
        case QAccessible::ComboBox:
        case QAccessible::ProgressBar:
        case QAccessible::Slider:
        case QAccessible::SpinBox:
            return true;
        default:
            return false;
    }
}

// The object names of the shown interactive controls below `root` that have no accessible
// name, one a line. The items of lists and trees are theirs to name, and are not walked.
std::string Unnamed(QWidget* root) {
    QStringList unnamed;
    std::function<void(QAccessibleInterface*, int)> walk = [&](QAccessibleInterface* node,
                                                               int depth) {
        if (!node || !node->isValid() || depth > 40 || node->state().invisible) return;
        const QAccessible::Role role = node->role();
        if (Interactive(role)) {
            if (node->text(QAccessible::Name).trimmed().isEmpty()) {
                QObject* object = node->object();
                unnamed << QStringLiteral("%1 (role %2)")
                               .arg(object ? object->objectName() : QStringLiteral("?"))
                               .arg(int(role), 0, 16);
            }
            if (role != QAccessible::PushButton && role != QAccessible::CheckBox) return;
        }
        for (int i = 0; i < node->childCount(); ++i) walk(node->child(i), depth + 1);
    };
    walk(QAccessible::queryAccessibleInterface(root), 0);
    return unnamed.join(QLatin1Char('\n')).toStdString();
}

// Every label and button of a window of fixed size lies inside it and has the room its text
// needs; `where` names the window in failures.
void ExpectNothingCutOff(QWidget* window, const char* where) {
    window->show();
    QCoreApplication::processEvents();
    const QRect inside = window->rect();
    for (QWidget* child : window->findChildren<QWidget*>()) {
        if (!child->isVisible()) continue;
        const auto* label = qobject_cast<QLabel*>(child);
        const auto* button = qobject_cast<QAbstractButton*>(child);
        if (!label && !button) continue;
        const QRect at(child->mapTo(window, QPoint(0, 0)), child->size());
        EXPECT_TRUE(inside.contains(at)) << where << ": " << child->objectName().toStdString();
        const int needed = label && label->wordWrap() ? label->heightForWidth(child->width())
                                                      : child->minimumSizeHint().height();
        EXPECT_GE(child->height(), needed) << where << ": " << child->objectName().toStdString();
        if (!(label && label->wordWrap())) {
            EXPECT_GE(child->width(), child->minimumSizeHint().width())
                << where << ": " << child->objectName().toStdString();
        }
    }
}

class AccessibilityTest : public testing::MainWndFixture {
  protected:
    void SetUp() override {
        OpenWindow(
            "[Default]\nDefaultLanguage=English\n[Languages]\nEnglish=English\n"
            "Deutsch=Deutsch\n[Links]\nHelp=https://example.org/help\n");
        window_->resize(800, 500);
    }

    // Every page of the stack in turn, the results page too (its controls are there before
    // any scan).
    void ForEachPage(const std::function<void(int)>& check) {
        auto* stack = Find<QStackedWidget>("TabPage");
        for (int page = 0; page < stack->count(); ++page) {
            stack->setCurrentIndex(page);
            QCoreApplication::processEvents();
            check(page);
        }
    }
    // Runs `act` on the modal window that opens next, then `trigger`, which opens it.
    void WithNextModal(const std::function<void()>& trigger,
                       const std::function<void(QWidget*)>& act) {
        bool seen = false;
        QTimer::singleShot(0, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (!modal) return;
            seen = true;
            act(modal);
            modal->close();
        });
        trigger();
        EXPECT_TRUE(seen);
    }
};

TEST_F(AccessibilityTest, EveryControlOfEveryPageAndWindowHasAName) {
    window_->show();
    ForEachPage([&](int page) { EXPECT_EQ(Unnamed(window_.get()), "") << page; });

    for (int type = CMessageBox::kErrorBox; type <= CMessageBox::kQuestionBox; ++type) {
        // A message four times as long as the longest question: the box grows to show it.
        CMessageBox box(type, window_.get(), Text("MSG1206").repeated(4), *table_);
        box.show();
        EXPECT_EQ(Unnamed(&box), "") << CMessageBox::LayoutName(type);
        ExpectNothingCutOff(&box, CMessageBox::LayoutName(type));
    }
    auto about = CAssistMenu::MakeAboutBox(window_.get(), *table_);
    about->show();
    EXPECT_EQ(Unnamed(about.get()), "");
    ExpectNothingCutOff(about.get(), "About box");
    about->close();

    // The progress windows as they open, with the texts of the language files.
    std::vector<RecoveredItem> collected;
    std::vector<std::unique_ptr<QDialog>> windows;
    auto scan = std::make_unique<CScanProcessWnd>(std::vector<SourceInfo*>{}, 0, nullptr);
    scan->SetLanguageTable(*table_);
    auto search = std::make_unique<CSearchProcessWnd>(std::vector<SourceInfo*>{}, "*.jpg",
                                                      collected, nullptr);
    search->SetLanguageTable(*table_);
    auto recover = std::make_unique<CRecoverProcessWnd>(
        std::vector<SourceInfo>{}, std::vector<RecoveredItem>{},
        QString::fromStdString(dir_.Path()), nullptr);
    recover->SetLanguageTable(*table_);
    auto image = std::make_unique<CCreateImageProcessWnd>(ImageJob{}, nullptr);
    image->SetLanguageTable(*table_);
    windows.push_back(std::move(scan));
    windows.push_back(std::move(search));
    windows.push_back(std::move(recover));
    windows.push_back(std::move(image));
    windows.push_back(
        std::make_unique<CPreviewProcessWnd>(RecoveredItem{}, nullptr, "", nullptr, *table_));
    emit LanguageEvents::Instance().languageChanged();
    for (auto& wnd : windows) {
        wnd->show();
        EXPECT_EQ(Unnamed(wnd.get()), "") << wnd->objectName().toStdString();
        wnd->hide();
    }

    // The preview window tells the time left like the others, and not before it is known.
    auto* previewTime = windows.back()->findChild<QLabel*>(QStringLiteral("time"));
    ASSERT_NE(previewTime, nullptr);
    EXPECT_EQ(previewTime->text(), Text("MSG0304"));

    // In German, with every line as long as it gets while the work runs, the windows of fixed
    // size still show all of it.
    ASSERT_EQ(SetLanguageAndAnnounce("Deutsch", *table_), kOk);
    const QString longLine = Text("MSG0304") + QStringLiteral(" 100%");
    const QString longPath = Text("MSG1203").replace(
        QStringLiteral("%s"), QStringLiteral("/media/benutzer/SPEICHERKARTE/Bilder/Urlaub "
                                             "2024 am Meer mit Oma/karte-vom-handy.img"));
    for (auto& wnd : windows) {
        for (QLabel* label : wnd->findChildren<QLabel*>()) {
            if (label->objectName() == QLatin1String("title") || !label->pixmap().isNull())
                continue;
            if (label->text().isEmpty() || label->wordWrap())
                label->setText(label->wordWrap() ? longPath : longLine);
        }
        ExpectNothingCutOff(wnd.get(), wnd->metaObject()->className());
        wnd->hide();
    }
    (void)SetLanguageAndAnnounce("English", *table_);
}

// Each button and check box of the main window looks different with the keyboard's focus on
// it: no style sheet hides the focus.
TEST_F(AccessibilityTest, FocusIsVisibleOnEveryButtonAndCheckBox) {
    ShowActive();
    // As after a press of Tab: the focus frame is for keyboard use.
    window_->setAttribute(Qt::WA_KeyboardFocusChange);
    ForEachPage([&](int page) {
        for (QAbstractButton* button : window_->findChildren<QAbstractButton*>()) {
            if (!button->isVisible() || !button->isEnabled() ||
                !(button->focusPolicy() & Qt::TabFocus))
                continue;
            window_->setFocus(Qt::OtherFocusReason);
            const QImage without = button->grab().toImage();
            button->setFocus(Qt::TabFocusReason);
            ASSERT_TRUE(button->hasFocus()) << button->objectName().toStdString();
            const QImage with = button->grab().toImage();
            EXPECT_NE(with, without)
                << "page " << page << ": " << button->objectName().toStdString();
        }
    });
}

TEST_F(AccessibilityTest, EnterPressesTheFocusedButtonAsSpaceDoes) {
    ShowActive();
    // A check box, with the keypad's Enter.
    auto* photo = Find<QCheckBox>("ChkPhoto");
    photo->setFocus(Qt::TabFocusReason);
    QTest::keyClick(photo, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_TRUE(photo->isChecked());
    // A held key's repeats press nothing more.
    QKeyEvent repeat(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QString(), true);
    QCoreApplication::sendEvent(photo, &repeat);
    EXPECT_TRUE(photo->isChecked());
    QTest::keyClick(photo, Qt::Key_Return);
    EXPECT_FALSE(photo->isChecked());
    // With a modifier Enter is someone else's.
    QTest::keyClick(photo, Qt::Key_Return, Qt::ControlModifier);
    EXPECT_FALSE(photo->isChecked());

    // A button: Return chooses the mode (which needs a kind ticked) and leads to the disk list.
    QTest::keyClick(photo, Qt::Key_Return);
    ASSERT_TRUE(photo->isChecked());
    auto* deleted = Find("BtnDeletedRecovery");
    deleted->setFocus(Qt::TabFocusReason);
    QTest::keyClick(deleted, Qt::Key_Return);
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kDiskPage);
    EXPECT_EQ(window_->ScanKind(), CMainWnd::kDeletedFileScan);

    // The disk list keeps Enter: no button is pressed for it.
    window_->DiskList()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(window_->DiskList(), Qt::Key_Return);
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kDiskPage);
    // A button of another window is left to that window.
    CMessageBox box(CMessageBox::kQuestionBox, nullptr, QStringLiteral("?"), *table_);
    box.show();
    auto* cancel = box.findChild<QPushButton*>(QStringLiteral("cancelbtn"));
    ASSERT_NE(cancel, nullptr);
    cancel->setAutoDefault(false);
    int clicks = 0;
    QObject::connect(cancel, &QAbstractButton::clicked, [&] { ++clicks; });
    QTest::keyClick(cancel, Qt::Key_Return);
    EXPECT_EQ(clicks, 0);
}

TEST_F(AccessibilityTest, AboutIsAlwaysThereAndTheOtherItemsSayWhyTheyAreGreyedOut) {
    CAssistMenu* menu = window_->AssistMenu();
    const auto [help, faq, about, support] = Links();
    ASSERT_TRUE(Links().All());
    EXPECT_TRUE(menu->toolTipsVisible());
    EXPECT_TRUE(help->isEnabled());
    EXPECT_TRUE(help->toolTip() == help->text());  // nothing to explain
    for (QAction* greyed : {faq, support}) {
        EXPECT_FALSE(greyed->isEnabled());
        EXPECT_EQ(greyed->toolTip(), Text("MSG1367"));
    }
    ASSERT_TRUE(about->isEnabled());

    window_->show();
    WithNextModal([&] { about->trigger(); },
                  [&](QWidget* box) {
                      EXPECT_EQ(box->parentWidget(), window_.get());
                      EXPECT_EQ(box->windowTitle(), Text("MSG1361"));
                      auto* message = box->findChild<QLabel*>(QStringLiteral("message"));
                      ASSERT_NE(message, nullptr);
                      const QString text = message->text();
                      EXPECT_TRUE(text.contains(Text("MSG1362")));
                      EXPECT_TRUE(text.contains(Text("MSG1363") + " " + ProgramVersion()));
                      EXPECT_TRUE(text.contains(Text("MSG1364") + " " + Text("MSG1365")));
                      // The real folder, which the person can select and copy.
                      EXPECT_TRUE(text.contains(QString::fromStdString(ScanLogFolder())));
                      EXPECT_TRUE(message->textInteractionFlags() & Qt::TextSelectableByMouse);
                  });
    EXPECT_TRUE(opened_.empty());
    EXPECT_FALSE(ProgramVersion().isEmpty());
    EXPECT_TRUE(ProgramVersion().at(0).isDigit());

    // In German the box speaks German.
    ASSERT_EQ(SetLanguageAndAnnounce("Deutsch", *table_), kOk);
    auto german = CAssistMenu::MakeAboutBox(window_.get(), *table_);
    EXPECT_EQ(german->windowTitle(), QString::fromUtf8("Über Norvale Card Data Recovery"));
    EXPECT_EQ(faq->toolTip(), Text("MSG1367"));
    EXPECT_TRUE(faq->toolTip().startsWith(QString::fromUtf8("Für diesen Eintrag")));
    (void)SetLanguageAndAnnounce("English", *table_);
}

// The ☰ button opened its menu under the pointer; once the menu is gone it looks as before.
TEST_F(AccessibilityTest, MenuButtonDoesNotStayHighlightedAfterItsMenuCloses) {
    ShowActive();
    auto* button = Find<QPushButton>("BtnAssist");
    EXPECT_FALSE(button->accessibleName().isEmpty());
    const QImage plain = button->grab().toImage();
    QTest::mouseMove(button);
    EXPECT_TRUE(button->underMouse());
    CAssistMenu* menu = window_->AssistMenu();
    QTimer::singleShot(0, [&] {
        EXPECT_TRUE(menu->isVisible());
        EXPECT_TRUE(button->isDown());
        // The pointer goes down to "Help" and chooses it; the menu closes.
        const QPoint help = menu->actionGeometry(MenuItem("item_help")).center();
        QCursor::setPos(menu->mapToGlobal(help));
        // Under X11 the open menu holds the pointer and the window hears nothing of it
        // leaving the button: the button still counts as under the pointer.
        button->setAttribute(Qt::WA_UnderMouse, true);
        QTest::mouseClick(menu, Qt::LeftButton, {}, help);
    });
    QTest::mouseClick(button, Qt::LeftButton);
    Settle(20);
    EXPECT_EQ(opened_.size(), 1u);
    EXPECT_FALSE(menu->isVisible());
    EXPECT_FALSE(button->isDown());
    EXPECT_FALSE(button->underMouse());
    window_->setFocus(Qt::OtherFocusReason);
    EXPECT_EQ(button->grab().toImage(), plain);
}

// At 200 % a 1920 x 1080 screen is 960 x 540: the main window must fit it, on every page.
TEST_F(AccessibilityTest, MainWindowFitsAFullHdScreenAtDoubleScale) {
    window_->show();
    ForEachPage([&](int page) {
        const QSize least = window_->minimumSizeHint().expandedTo(window_->minimumSize());
        EXPECT_LE(least.width(), 960) << page;
        EXPECT_LE(least.height(), 540) << page;
    });
    // Started on a screen smaller than the window, it is made to fit, title bar on screen.
    const QRect available = window_->screen()->availableGeometry();
    window_->resize(available.width() + 400, available.height() + 300);
    CentreOnScreen(window_.get());
    EXPECT_TRUE(available.contains(window_->frameGeometry().topLeft()));
    const QSize least = window_->minimumSizeHint().expandedTo(window_->minimumSize());
    if (least.width() <= available.width() && least.height() <= available.height()) {
        EXPECT_TRUE(available.contains(window_->frameGeometry()))
            << window_->frameGeometry().width() << "x" << window_->frameGeometry().height();
        // A window that fits is centred.
        window_->resize(least);
        CentreOnScreen(window_.get());
        EXPECT_LE((window_->frameGeometry().center() - available.center()).manhattanLength(), 2);
    }
}

// Not a check: saves the About box over the main window for the documentation when
// NORVALE_SCREENSHOTS names a folder (scripts/ui-screenshots.sh).
TEST_F(AccessibilityTest, SaveAboutPictures) {
    NORVALE_REQUIRE_SCREENSHOTS();
    window_->show();
    Settle(150);
    QPixmap shot = window_->grab();
    WithNextModal([&] { MenuItem("item_about")->trigger(); },
                  [&](QWidget* box) {
                      Settle(150);
                      const QPixmap picture = box->grab();
                      QPainter painter(&shot);
                      painter.fillRect(shot.rect(), QColor(0, 0, 0, 60));
                      painter.drawPixmap((shot.width() - picture.width()) / 2,
                                         (shot.height() - picture.height()) / 2, picture);
                  });
    EXPECT_TRUE(shot.save(ScreenshotFolder() + QStringLiteral("/about.png")));
}

// Not a check: the disk page as it looks at QT_SCALE_FACTOR=2 (scripts/ui-screenshots.sh runs
// it in a second pass with that scale).
TEST_F(AccessibilityTest, SaveScaledPictures) {
    NORVALE_REQUIRE_SCREENSHOTS();
    if (qEnvironmentVariable("QT_SCALE_FACTOR") != QLatin1String("2"))
        GTEST_SKIP() << "QT_SCALE_FACTOR is not 2";
    window_->show();
    Click("BtnDeletedRecovery");
    SavePicture(window_.get(), "scale-200.png", 200);
}

}  // namespace
}  // namespace norvale
