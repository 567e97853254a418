// The message box: five layouts chosen by type, titles from the language table, the answers
// 1 and 2 by button, Escape and closing.

#include "ui/message_box.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAbstractButton>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <functional>

#include "support/test_support.h"
#include "ui/qt_test_app.h"

namespace norvale {
namespace {

using testing::TempDir;

class MessageBoxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::TestApplication();
        ::mkdir((dir_ / "Languages").c_str(), 0755);
    }
    LanguageTable& Table(const std::string& languageText) {
        std::ofstream(dir_ / "Languages/English.ini") << languageText;
        table_ = std::make_unique<LanguageTable>(dir_ / "config.ini", dir_ / "Languages");
        table_->Load();
        return *table_;
    }
    static QString LabelText(QWidget* box, const char* name) {
        auto* label = box->findChild<QLabel*>(QString::fromLatin1(name));
        return label ? label->text() : QStringLiteral("<no label>");
    }
    static QAbstractButton* Button(QWidget* box, const char* name) {
        return box->findChild<QAbstractButton*>(QString::fromLatin1(name));
    }

    TempDir dir_;
    std::unique_ptr<LanguageTable> table_;
};

const char* kTitles =
    "[Messages]\nMSG0401=Error title\nMSG0402=Confirm title\nMSG0403=Information title\n"
    "MSG0404=Question title\nMSG0405=Warning title\n"
    "[MessageBox]\nokbtn=Fine\ncancelbtn=Rather not\nyesbtn=Sure\nnobtn=Nope\n"
    "MSG0401=not a control\n";

struct BoxCase {
    int type;
    const char* title;
    bool hasCancel;
};

TEST_F(MessageBoxTest, EachTypeHasItsTitleAndButtons) {
    LanguageTable& table = Table(kTitles);
    const BoxCase cases[] = {
        {0, "Error title", false},       {1, "Confirm title", true},
        {2, "Information title", false}, {3, "Warning title", false},  // 3 is the warning box
        {4, "Question title", true},                                   // and 4 the question box
        {5, "Error title", false},       {-1, "Error title", false},   // unknown types: error box
    };
    for (const BoxCase& c : cases) {
        SCOPED_TRACE(c.type);
        CMessageBox box(c.type, nullptr, QStringLiteral("Something happened"), table);
        EXPECT_EQ(box.BoxType(), c.type >= 0 && c.type <= 4 ? c.type : 0);
        EXPECT_EQ(box.objectName(), "UIMessageBox");
        EXPECT_EQ(LabelText(&box, "title"), c.title);
        EXPECT_EQ(box.windowTitle(), c.title);
        EXPECT_EQ(LabelText(&box, "message"), "Something happened");
        ASSERT_TRUE(Button(&box, "okbtn"));
        ASSERT_TRUE(Button(&box, "closebtn"));
        // From the "MessageBox" section; a question is answered Yes or No, a confirmation
        // keeps OK and Cancel.
        const bool question = c.type == CMessageBox::kQuestionBox;
        EXPECT_EQ(Button(&box, "okbtn")->text(), question ? "Sure" : "Fine");
        EXPECT_EQ(Button(&box, "cancelbtn") != nullptr, c.hasCancel);
        if (c.hasCancel) {
            EXPECT_EQ(Button(&box, "cancelbtn")->text(), question ? "Nope" : "Rather not");
        }
    }
    EXPECT_STREQ(CMessageBox::LayoutName(3), "MessageBox_Warning");
    EXPECT_STREQ(CMessageBox::LayoutName(4), "MessageBox_Question");
    EXPECT_STREQ(CMessageBox::LayoutName(9), "MessageBox_Error");
}

TEST_F(MessageBoxTest, WithoutTitleKeysTheTitleIsEmptyAndTheMessageStillShows) {
    LanguageTable& table = Table("[Messages]\nMSG0001=unrelated\n");
    CMessageBox box(CMessageBox::kWarningBox, nullptr, QStringLiteral("Disk is full"), table);
    EXPECT_EQ(LabelText(&box, "title"), "");
    EXPECT_EQ(LabelText(&box, "message"), "Disk is full");
    // The lookup left the key behind, empty.
    EXPECT_TRUE(table.Section("Messages").Contains("MSG0405"));
}

TEST_F(MessageBoxTest, MessagesAreShownAsPlainText) {
    LanguageTable& table = Table(kTitles);
    const QString name = QStringLiteral("<b>IMG_1.JPG</b> <img src=\"/etc/passwd\">");
    CMessageBox box(CMessageBox::kErrorBox, nullptr, name, table);
    auto* message = box.findChild<QLabel*>(QStringLiteral("message"));
    ASSERT_TRUE(message);
    EXPECT_EQ(message->textFormat(), Qt::PlainText);
    EXPECT_EQ(message->text(), name);
}

// Runs `act` on the box once it is up, and returns what Show answered.
int ShowAndThen(int type, LanguageTable& table, const std::function<void(QWidget*)>& act) {
    bool acted = false;
    QTimer::singleShot(0, [&] {
        QWidget* box = QApplication::activeModalWidget();
        if (!box) return;
        acted = true;
        act(box);
    });
    const int answer = CMessageBox::Show(type, nullptr, QStringLiteral("Stop the scan?"), table);
    EXPECT_TRUE(acted);
    return answer;
}

TEST_F(MessageBoxTest, OkAnswersOneAndEveryOtherWayOutAnswersTwo) {
    LanguageTable& table = Table(kTitles);
    EXPECT_EQ(
        ShowAndThen(4, table,
                    [](QWidget* box) { QTest::mouseClick(Button(box, "okbtn"), Qt::LeftButton); }),
        1);
    EXPECT_EQ(ShowAndThen(4, table,
                          [](QWidget* box) {
                              QTest::mouseClick(Button(box, "cancelbtn"), Qt::LeftButton);
                          }),
              2);
    EXPECT_EQ(ShowAndThen(
                  1, table,
                  [](QWidget* box) { QTest::mouseClick(Button(box, "closebtn"), Qt::LeftButton); }),
              2);
    EXPECT_EQ(ShowAndThen(2, table, [](QWidget* box) { QTest::keyClick(box, Qt::Key_Escape); }), 2);
    EXPECT_EQ(ShowAndThen(0, table, [](QWidget* box) { box->close(); }), 2);
    // Return presses the default button, okbtn.
    EXPECT_EQ(ShowAndThen(1, table, [](QWidget* box) { QTest::keyClick(box, Qt::Key_Return); }), 1);
}

}  // namespace
}  // namespace norvale
