// The main window's pages without a scan: kinds of files and file types as one selection, the
// start button, the page rules of "BtnPrev" and "BtnNext", the headers, the hover texts of the
// modes, the assistance menu and a language switch.

#include "ui/main_wnd.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QCheckBox>
#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <algorithm>
#include <fstream>

#include "support/test_support.h"
#include "ui/assist_menu.h"
#include "ui/disk_list.h"
#include "ui/main_wnd_test_env.h"
#include "ui/qt_test_app.h"
#include "ui/results_page.h"
#include "ui/window_texts.h"

namespace norvale {
namespace {

using testing::TempDir;

class MainWndTest : public testing::MainWndFixture {
  protected:
    void SetUp() override {
        OpenWindow(
            "[Default]\nDefaultLanguage=English\n[Languages]\nEnglish=English\n"
            "Deutsch=Deutsch\n[Links]\nHelp=https://example.org/help\n"
            "FAQ=file:///etc/passwd\nAbout=javascript:alert(1)\n",
            [this](MainWndHooks& hooks) {
                hooks.restartWithRights = [this] {
                    ++restarts_;
                    return false;
                };
            });
    }

    QString LabelText(const char* name) { return Find<QLabel>(name)->text(); }
    bool Has(const std::vector<std::string>& keys, const char* key) {
        return std::find(keys.begin(), keys.end(), key) != keys.end();
    }

    int restarts_ = 0;
};

TEST_F(MainWndTest, KindBoxesChooseTheExtensionsOfTheirGroups) {
    auto* start = Find<QPushButton>("BtnStart");
    EXPECT_FALSE(start->isEnabled());
    EXPECT_TRUE(window_->SelectedExtensions().empty());

    Click("ChkPhoto");
    auto keys = window_->SelectedExtensions();
    EXPECT_TRUE(start->isEnabled());
    EXPECT_TRUE(Has(keys, "jpg") && Has(keys, "jpeg") && Has(keys, "png") && Has(keys, "cr2"));
    EXPECT_TRUE(Has(keys, "heic"));  // a kind of the photo list that no option names
    EXPECT_FALSE(Has(keys, "mp3"));
    // The page-2 options show the same choice.
    EXPECT_TRUE(Find<QCheckBox>("OptJpg")->isChecked());
    EXPECT_TRUE(Find<QCheckBox>("OptPhotoFile")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>("OptMp3")->isChecked());

    Click("ChkMusic");
    EXPECT_TRUE(Has(window_->SelectedExtensions(), "mp3"));
    Click("ChkPhoto");
    keys = window_->SelectedExtensions();
    EXPECT_FALSE(Has(keys, "jpg"));
    EXPECT_TRUE(Has(keys, "mp3"));
    Click("ChkMusic");
    EXPECT_TRUE(window_->SelectedExtensions().empty());
    EXPECT_FALSE(start->isEnabled());
}

TEST_F(MainWndTest, RecoverAllAppliesToEverySixAndFollowsThem) {
    auto* all = Find<QCheckBox>("ChkRecoverAll");
    all->click();
    for (const char* kind :
         {"ChkPhoto", "ChkMusic", "ChkVideo", "ChkOffice", "ChkArchive", "ChkOther"})
        EXPECT_TRUE(Find<QCheckBox>(kind)->isChecked()) << kind;
    const auto keys = window_->SelectedExtensions();
    EXPECT_TRUE(Has(keys, "other") && Has(keys, "zip") && Has(keys, "pdf") && Has(keys, "mkv"));
    // Each key once, although groups are walked one by one.
    auto sorted = keys;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end());

    Click("ChkVideo");
    EXPECT_FALSE(all->isChecked());
    EXPECT_TRUE(Find<QPushButton>("BtnStart")->isEnabled());
    all->click();  // checks all again, video included
    EXPECT_TRUE(Find<QCheckBox>("ChkVideo")->isChecked());
    all->click();
    EXPECT_TRUE(window_->SelectedExtensions().empty());
    EXPECT_FALSE(Find<QPushButton>("BtnStart")->isEnabled());
}

TEST_F(MainWndTest, FileTypeOptionsNarrowTheChoiceAndMarkTheirKind) {
    Click("OptMp3");
    EXPECT_EQ(window_->SelectedExtensions(), std::vector<std::string>{"mp3"});
    EXPECT_TRUE(Find<QCheckBox>("ChkMusic")->isChecked());
    EXPECT_FALSE(Find<QCheckBox>("OptAudioFile")->isChecked());
    EXPECT_TRUE(Find<QPushButton>("BtnStart")->isEnabled());

    Click("OptAudioFile");  // the group option takes the whole group
    EXPECT_TRUE(Find<QCheckBox>("OptWav")->isChecked());
    EXPECT_TRUE(Has(window_->SelectedExtensions(), "midi"));
    Click("OptWav");  // one type less: the group is no longer whole
    EXPECT_FALSE(Find<QCheckBox>("OptAudioFile")->isChecked());
    EXPECT_FALSE(Has(window_->SelectedExtensions(), "wav"));
}

TEST_F(MainWndTest, PrevAndNextFollowThePageRules) {
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kKindsPage);
    Click("BtnPrev");  // nothing before the first page
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kKindsPage);
    Click("BtnNext");
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kDiskPage);

    // No row chosen: "Next" says so and stays; so does "Scan".
    Click("BtnNext");
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kDiskPage);
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0].type, 2);
    EXPECT_EQ(shown_[0].text, Text("MSG0505"));
    Click("BtnScan");
    ASSERT_EQ(shown_.size(), 2u);
    EXPECT_EQ(shown_[1].text, Text("MSG0505"));

    Click("TabFileType");
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kFileTypePage);
    // The results page opens only once a search has filled it; before, Next scans, and with
    // no source chosen says so.
    EXPECT_FALSE(Find("TabRecover")->isEnabled());
    Click("BtnNext");
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kFileTypePage);
    ASSERT_EQ(shown_.size(), 3u);
    EXPECT_EQ(shown_[2].text, Text("MSG0505"));
    Click("BtnPrev");
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kDiskPage);
    Click("BtnPrev");
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kKindsPage);
}

TEST_F(MainWndTest, ModeButtonsSetScanKindImageModeAndHeader) {
    Click("ChkPhoto");  // the recovery modes look for the kinds ticked
    Click("BtnDeletedRecovery");
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kDiskPage);
    EXPECT_EQ(window_->ScanKind(), CMainWnd::kDeletedFileScan);
    EXPECT_FALSE(window_->ImageMode());
    EXPECT_EQ(LabelText("Txt1"),
              FillFormat(Text("MSG1307"), QStringLiteral("Deleted File Recovery")));
    EXPECT_TRUE(LabelText("Txt2").startsWith(Text("MSG0212")));
    EXPECT_TRUE(Find("BtnScan")->isVisibleTo(window_.get()));
    EXPECT_FALSE(Find("BtnCreateImage")->isVisibleTo(window_.get()));

    Click("BtnPrev");
    Click("BtnCreateImageMode");
    EXPECT_TRUE(window_->ImageMode());
    EXPECT_EQ(LabelText("Txt1"), Text("MSG0501"));
    EXPECT_TRUE(LabelText("Txt2").startsWith(Text("MSG0502")));
    EXPECT_TRUE(Find("BtnCreateImage")->isVisibleTo(window_.get()));
    EXPECT_FALSE(Find("BtnScan")->isVisibleTo(window_.get()));
    Click("BtnCreateImage");
    ASSERT_FALSE(shown_.empty());
    EXPECT_EQ(shown_.back().text, Text("MSG0216"));

    Click("BtnPrev");
    Click("BtnFormattedRecovery");
    EXPECT_FALSE(window_->ImageMode());
    EXPECT_EQ(window_->ScanKind(), CMainWnd::kFullScan);
    Click("TabFileType");
    EXPECT_EQ(LabelText("Txt1"), Text("MSG0601"));
    EXPECT_EQ(LabelText("Txt2"), Text("MSG0602"));
}

TEST_F(MainWndTest, HoveringAModeDescribesIt) {
    EXPECT_EQ(LabelText("Txt2"), Text("MSG1209"));  // the first page's invitation
    EXPECT_TRUE(LabelText("TxtMainInfo").isEmpty());
    const std::pair<const char*, const char*> modes[] = {{"BtnDeletedRecovery", "MSG0101"},
                                                         {"BtnFormattedRecovery", "MSG0102"},
                                                         {"BtnDeepRecovery", "MSG0103"},
                                                         {"BtnCreateImageMode", "MSG0104"}};
    for (const auto& [button, key] : modes) {
        QEvent enter(QEvent::Enter);
        QCoreApplication::sendEvent(Find(button), &enter);
        EXPECT_EQ(LabelText("TxtMainInfo"), Text(key)) << button;
    }
}

TEST_F(MainWndTest, ChoosingALanguageAppliesItsTextsAndMarksIt) {
    EXPECT_EQ(Find("BtnNext")->text(), "Next");
    Click("ChkPhoto");
    Click("BtnDeletedRecovery");
    CAssistMenu* menu = window_->AssistMenu();
    ASSERT_NE(menu, nullptr);
    auto* german = menu->findChild<QAction*>(QStringLiteral("Deutsch"));
    ASSERT_NE(german, nullptr);
    EXPECT_FALSE(german->isChecked());
    german->trigger();

    EXPECT_EQ(table_->CurrentLanguage(), "Deutsch");
    EXPECT_EQ(Find("BtnNext")->text(), QString::fromUtf8("Weiter"));
    EXPECT_EQ(Find<QCheckBox>("OptJpg")->text(), "JPEG (*.jpg)");
    // The page header follows, with the mode's name.
    EXPECT_EQ(LabelText("Txt1"), FillFormat(Text("MSG1307"), Find("BtnDeletedRecovery")->text()));
    EXPECT_TRUE(LabelText("Txt1").startsWith(QString::fromUtf8("Ort für die Suche wählen")));
    auto* tree = window_->Results()->Tree();
    EXPECT_EQ(tree->topLevelItem(0)->text(0), QString::fromUtf8("Foto (0)"));
    EXPECT_EQ(window_->Results()->List()->headerItem()->text(CResultsPage::kSizeColumn),
              QString::fromUtf8("Größe"));
    EXPECT_EQ(MenuItem("item_exit")->text(), "Beenden");
    // The menu is filled again and marks the new language.
    menu->ApplyTexts();
    EXPECT_TRUE(menu->findChild<QAction*>(QStringLiteral("Deutsch"))->isChecked());
    EXPECT_FALSE(menu->findChild<QAction*>(QStringLiteral("English"))->isChecked());
    (void)SetLanguageAndAnnounce("English", *table_);
    EXPECT_EQ(Find("BtnNext")->text(), "Next");
}

TEST_F(MainWndTest, AssistanceLinksOpenOnlyConfiguredWebAddresses) {
    CAssistMenu* menu = window_->AssistMenu();
    const auto [help, faq, about, support] = Links();
    ASSERT_TRUE(Links().All());
    EXPECT_TRUE(help->isEnabled());
    // A file or script address, or none at all, is not offered.
    EXPECT_FALSE(faq->isEnabled());
    EXPECT_FALSE(support->isEnabled());
    // About is never greyed out: with no page to open it shows the About box.
    EXPECT_TRUE(about->isEnabled());
    help->trigger();
    emit menu->linkChosen(QStringLiteral("item_faq"));  // even when asked for directly
    ASSERT_EQ(opened_.size(), 1u);
    EXPECT_EQ(opened_[0], QUrl(QStringLiteral("https://example.org/help")));
}

TEST_F(MainWndTest, ClosedDisksOfferARestartWithRightsOnce) {
    answer_ = 1;
    emit window_->DiskList()->accessDenied(QStringLiteral("/dev/sdz"));
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0].type, 4);
    EXPECT_EQ(shown_[0].text, Text("MSG0222"));
    EXPECT_EQ(restarts_, 1);  // it could not start: the window stays
    EXPECT_TRUE(window_->isEnabled());
    emit window_->DiskList()->accessDenied(QStringLiteral("/dev/sdy"));
    EXPECT_EQ(shown_.size(), 1u);
    EXPECT_EQ(restarts_, 1);
}

TEST(ResultsPageText, FormatsFillSafely) {
    EXPECT_EQ(FillFormat("%s files were found.", "12"), "12 files were found.");
    // One value fills one place; other conversions stay as text, never reach printf.
    EXPECT_EQ(FillFormat("%d of %d, 100%% %n", "3"), "3 of %d, 100% %n");
    EXPECT_EQ(FillFormat("no place", "3"), "no place");
    EXPECT_EQ(FillFormat("ends with %", "3"), "ends with %");
}

TEST(DestinationOnSourceTest, WritingBesideAnImageFileIsNotWritingOnIt) {
    TempDir dir;
    SourceInfo image;
    image.imagePath = dir / "card.img";
    testing::WriteFileBytes(image.imagePath, std::vector<uint8_t>(4096));
    image.imageTag = kImageTagBase + 1;
    EXPECT_FALSE(DestinationOnSource(dir.Path(), image));
    EXPECT_FALSE(DestinationOnSource(dir / "not yet made/below", image));
}

}  // namespace
}  // namespace norvale
