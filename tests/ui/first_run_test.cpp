// A first run through the main window on the demo card (scripts/make-demo-card.sh), as a new
// user makes it: Next leads on from every page, the mode chosen shows and needs a kind ticked,
// the resume question is a Yes/No question asked only about a scan that stopped part-way,
// closing the window while a task runs asks first, and the results page's counts agree with
// what the scan window said.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>

#include "app/engine_set.h"
#include "engine/scan_log_history.h"
#include "support/test_support.h"
#include "ui/assist_menu.h"
#include "ui/disk_list.h"
#include "ui/main_wnd.h"
#include "ui/main_wnd_test_env.h"
#include "ui/message_box.h"
#include "ui/qt_test_app.h"
#include "ui/results_page.h"
#include "ui/scan_process_wnd.h"
#include "ui/window_texts.h"

namespace norvale {
namespace {

using testing::Settle;

class FirstRunTest : public testing::MainWndFixture {
  protected:
    void SetUp() override {
        if (!OpenWindowOnDemoCard()) return;
        // The scan window's last "Files found" line.
        afterRun_ = [this](QDialog* window) {
            if (qobject_cast<CScanProcessWnd*>(window))
                filesLine_ = window->findChild<QLabel*>(QStringLiteral("totalfile"))->text();
        };
    }

    QString Header() { return Find<QLabel>("Txt2")->text(); }
    // Loads the card, ticks photos and scans it in `mode` from the disk page.
    void ScanCard(const char* mode) {
        for (int i = 0; i < 3 && window_->CurrentPage() != CMainWnd::kKindsPage; ++i)
            Click("BtnPrev");
        Click(mode);
        if (!window_->DiskList()->HasSelection()) Click("BtnLoadImage");
        Click("BtnScan");
    }
    // The saved scan of the card, marked stopped before its pass (as a stop leaves it).
    void MarkSavedScanStopped() {
        ScanLogHistory& history = ScanLogHistory::Instance();
        ASSERT_EQ(history.Records().size(), 1u);
        const ScanLogRecord record = history.Records()[0];
        EXPECT_TRUE(ScanLogHistory::PassFinished(RecordPath(record.logFolder)));
        const uint32_t notStarted[10] = {};
        ASSERT_EQ(history.SaveScanState(
                      record.diskNumber, record.startLba, record.sectorCount, notStarted,
                      RecordPath(record.logFolder), card_,
                      [](int, uint64_t) { return uint64_t{0}; }, false),
                  kOk);
    }

    QString filesLine_;  // the scan window's last "Files found" line
};

// Next leads on from every page; the modes need a kind ticked (except the disk image) and show
// which one was chosen; nothing ticked on File Types starts no scan.
TEST_F(FirstRunTest, NextLeadsThroughEveryPageAndTheModeShows) {
    const char* recoveryModes[] = {"BtnDeletedRecovery", "BtnFormattedRecovery", "BtnDeepRecovery"};
    for (const char* mode : recoveryModes) EXPECT_FALSE(Find(mode)->isEnabled()) << mode;
    EXPECT_FALSE(Find("BtnStart")->isEnabled());
    EXPECT_TRUE(Find("BtnCreateImageMode")->isEnabled());
    Click("ChkPhoto");
    for (const char* mode : recoveryModes) {
        EXPECT_TRUE(Find(mode)->isEnabled()) << mode;
        EXPECT_FALSE(Find(mode)->isChecked()) << mode;
    }
    EXPECT_TRUE(Find("BtnStart")->isEnabled());

    Click("BtnDeepRecovery");
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kDiskPage);
    EXPECT_EQ(window_->ChosenMode(), CMainWnd::kDeepMode);
    EXPECT_TRUE(Find("BtnDeepRecovery")->isChecked());
    EXPECT_FALSE(Find("BtnFormattedRecovery")->isChecked());
    EXPECT_EQ(Find<QLabel>("Txt1")->text(),
              FillFormat(Text("MSG1307"), Find("BtnDeepRecovery")->text()));
    Click("BtnPrev");
    Click("BtnDeepRecovery");  // a second click keeps it chosen
    EXPECT_TRUE(Find("BtnDeepRecovery")->isChecked());
    Click("BtnPrev");
    Click("ChkPhoto");  // nothing ticked: the modes go grey as Start does
    for (const char* mode : recoveryModes) EXPECT_FALSE(Find(mode)->isEnabled()) << mode;
    Click("ChkPhoto");

    // The disk page: without a source Next says so; with one it goes on to the file types.
    Click("BtnFormattedRecovery");
    EXPECT_TRUE(Find("BtnFormattedRecovery")->isChecked());
    EXPECT_FALSE(Find("BtnDeepRecovery")->isChecked());
    Click("BtnNext");
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kDiskPage);
    ASSERT_EQ(shown_.size(), 1u);
    EXPECT_EQ(shown_[0].text, Text("MSG0505"));
    Click("BtnLoadImage");
    ASSERT_TRUE(window_->DiskList()->HasSelection());
    Click("BtnNext");
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kFileTypePage);

    // Nothing ticked on File Types: neither Next nor Scan starts a scan that finds everything.
    Click("OptPhotoFile");
    EXPECT_TRUE(window_->SelectedExtensions().empty());
    Click("BtnNext");
    Click("BtnScan");
    EXPECT_EQ(runs_, 0);
    EXPECT_EQ(Count("MSG1306"), 2);
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kFileTypePage);

    // Next scans, as the page says, and shows the results.
    Click("OptPng");
    Click("BtnNext");
    EXPECT_EQ(scans_, 1);
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    EXPECT_TRUE(window_->ScannedFromFileTypePage());
    EXPECT_GT(window_->Results()->ItemCount(), 0u);
    // After the scan Next goes to the results without scanning again.
    Click("BtnPrev");
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kFileTypePage);
    Click("BtnNext");
    EXPECT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    EXPECT_EQ(scans_, 1);
}

// The resume question is asked only about a saved scan that stopped part-way, and not when the
// saved scan was made in another mode in this session; Yes continues, No starts over.
TEST_F(FirstRunTest, ResumeQuestionOnlyForAScanStoppedPartWayInTheSameMode) {
    Click("ChkPhoto");
    ScanCard("BtnFormattedRecovery");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    EXPECT_EQ(Count("MSG1206"), 0);
    const size_t found = window_->Results()->ItemCount();
    ASSERT_GT(found, 0u);
    // The history file tells the next session that this scan ran to its end.
    ScanLogHistory::ResetInstance();
    ASSERT_EQ(ScanLogHistory::Instance().Records().size(), 1u);
    EXPECT_TRUE(ScanLogHistory::PassFinished(
        RecordPath(ScanLogHistory::Instance().Records()[0].logFolder)));

    // Scans again in `mode`: by then the question was asked `asked` times in all, and the
    // card's files are all found again.
    const auto scanAgain = [&](const char* mode, int asked) {
        SCOPED_TRACE(mode);
        ScanCard(mode);
        EXPECT_EQ(Count("MSG1206"), asked);
        ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
        EXPECT_EQ(window_->Results()->ItemCount(), found);
    };

    // The saved scan ran to its end: nothing to continue, the card is scanned again.
    scanAgain("BtnFormattedRecovery", 0);

    // Stopped part-way: a Yes/No question; Yes continues it.
    MarkSavedScanStopped();
    answer_ = CMessageBox::kAnswerOk;
    scanAgain("BtnFormattedRecovery", 1);
    EXPECT_EQ(shown_.back().type, CMessageBox::kQuestionBox);

    // Deep Scan after Formatted Recovery: a scan of its own, without the question.
    MarkSavedScanStopped();
    scanAgain("BtnDeepRecovery", 1);

    // No scans again from the start.
    MarkSavedScanStopped();
    answer_ = CMessageBox::kAnswerCancel;
    scanAgain("BtnDeepRecovery", 2);
    ASSERT_EQ(ScanLogHistory::Instance().Records().size(), 1u);
    EXPECT_TRUE(ScanLogHistory::PassFinished(
        RecordPath(ScanLogHistory::Instance().Records()[0].logFolder)));
}

// Closing the window while a scan runs asks first: No keeps scanning; Yes stops the scan,
// keeps it resumable and quits once it has ended. The window manager's close, the assistance
// menu's Exit and a close event all take this way.
TEST_F(FirstRunTest, ClosingDuringAScanAsksAndYesStopsItKeepingItResumable) {
    window_->show();
    Click("ChkPhoto");
    ScanCard("BtnFormattedRecovery");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    EXPECT_FALSE(window_->LastScanStopped());
    EXPECT_FALSE(Header().contains(Text("MSG1302").toHtmlEscaped()));

    // A scan stopped part-way (stopped while it asked whether to resume): its results page
    // says they may be incomplete.
    MarkSavedScanStopped();
    answerWith_ = [this](int, const QString& text) {
        if (text == Text("MSG1206")) {
            auto* scan = window_->findChild<CScanProcessWnd*>();
            EXPECT_NE(scan, nullptr);
            if (scan) scan->StopWithoutAsking();
        }
        return int(CMessageBox::kAnswerOk);
    };
    ScanCard("BtnFormattedRecovery");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    EXPECT_TRUE(window_->LastScanStopped());
    EXPECT_TRUE(Header().startsWith("<b>" + Text("MSG1302").toHtmlEscaped() + "</b>"));
    ASSERT_EQ(ScanLogHistory::Instance().Records().size(), 1u);
    EXPECT_FALSE(ScanLogHistory::PassFinished(
        RecordPath(ScanLogHistory::Instance().Records()[0].logFolder)));  // still to be continued
    // Continued to its end: complete again.
    answerWith_ = [](int, const QString&) { return int(CMessageBox::kAnswerOk); };
    ScanCard("BtnFormattedRecovery");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    EXPECT_FALSE(window_->LastScanStopped());
    MarkSavedScanStopped();

    // The scan waits for the resume question meanwhile, so it is still running at each close.
    int closeQuestions = 0;
    bool stillRunning = true;
    answerWith_ = [&](int type, const QString& text) {
        if (text == Text("MSG1301")) {
            EXPECT_EQ(type, CMessageBox::kQuestionBox);
            return int(++closeQuestions < 3 ? CMessageBox::kAnswerCancel : CMessageBox::kAnswerOk);
        }
        if (text != Text("MSG1206")) return int(CMessageBox::kAnswerCancel);
        EXPECT_TRUE(window_->TaskRunning());
        // The window manager's close, as the platform hands it to the main window's native
        // window: no modal window keeps it from the main window while a scan runs.
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
        QCloseEvent managerClose;
        QCoreApplication::sendEvent(window_->windowHandle(), &managerClose);
        EXPECT_EQ(closeQuestions, 1);
        // A close event.
        QCloseEvent event;
        QCoreApplication::sendEvent(window_.get(), &event);
        EXPECT_FALSE(event.isAccepted());
        EXPECT_EQ(closeQuestions, 2);
        stillRunning = window_->TaskRunning() && window_->isVisible();
        // The menu's Exit, answered Yes.
        MenuItem("item_exit")->trigger();
        EXPECT_EQ(closeQuestions, 3);
        EXPECT_EQ(quits_, 0);  // not before the scan has ended
        return int(CMessageBox::kAnswerOk);
    };
    const int runsBefore = runs_;
    ScanCard("BtnFormattedRecovery");
    EXPECT_TRUE(stillRunning);
    EXPECT_EQ(closeQuestions, 3);
    // The scan stopped and no search followed; the window quits once the scan has gone.
    EXPECT_EQ(runs_, runsBefore + 1);
    EXPECT_TRUE(window_->LastScanStopped());
    for (int i = 0; i < 100 && quits_ == 0; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    EXPECT_EQ(quits_, 1);
    EXPECT_FALSE(window_->isVisible());
    // What the scan did is kept, to be continued.
    ASSERT_EQ(ScanLogHistory::Instance().Records().size(), 1u);
    EXPECT_FALSE(ScanLogHistory::PassFinished(
        RecordPath(ScanLogHistory::Instance().Records()[0].logFolder)));
}

// Closing during a recovery: Yes stops it, keeps what was copied and quits without waiting
// for the summary the recovery window would stay open for.
TEST_F(FirstRunTest, ClosingDuringARecoveryQuitsWithoutWaitingForItsSummary) {
    Click("ChkPhoto");
    ScanCard("BtnDeletedRecovery");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    CResultsPage* results = window_->Results();
    results->Tree()->setCurrentItem(results->CategoryNode(QStringLiteral("NodePhoto")));
    ASSERT_GT(results->List()->topLevelItemCount(), 0);
    results->List()->topLevelItem(0)->setCheckState(CResultsPage::kCheckColumn, Qt::Checked);

    answerWith_ = [this](int, const QString& text) {
        return int(text == Text("MSG1301") ? CMessageBox::kAnswerOk : CMessageBox::kAnswerCancel);
    };
    pressFinish_ = false;
    onWindow_ = [this](QDialog* window) {
        QTimer::singleShot(0, window_.get(), [this] { window_->close(); });
        // Were the summary to wait, Finish would end the wait after a while; the test fails.
        QTimer::singleShot(5000, window, [window] {
            ADD_FAILURE() << "the recovery window waited for Finish";
            if (auto* finish = window->findChild<QPushButton*>(QStringLiteral("FinishBtn")))
                finish->click();
        });
    };
    Click("BtnRecover");
    EXPECT_EQ(Count("MSG1301"), 1);
    EXPECT_FALSE(window_->TaskRunning());
    for (int i = 0; i < 100 && quits_ == 0; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    EXPECT_EQ(quits_, 1);
}

// The results page says what the scan window said: on a quick-formatted card a deep scan finds
// every file, the page lists the kinds chosen and says how many were found in all.
TEST_F(FirstRunTest, ResultsCountsAgreeWithTheScanWindow) {
    std::string out;
    ASSERT_EQ(testing::Run("mkfs.fat -F 32 -n FORMATTED '" + card_ + "' 2>&1", &out), 0) << out;
    const auto plain = [](QString html) {
        return html.remove(QRegularExpression(QStringLiteral("<[^>]*>")));
    };
    const auto found = [this] {
        return filesLine_.mid(Text("MSG0707").size()).trimmed();  // "Files found: 9"
    };

    // Only the sound asked for: one file listed, all the card's files found.
    Click("ChkMusic");
    ScanCard("BtnDeepRecovery");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    ASSERT_EQ(window_->Results()->ItemCount(), 1u);
    ASSERT_GT(found().toInt(), 1) << filesLine_.toStdString();
    EXPECT_EQ(plain(Header()),
              FillFormat(FillFormat(Text("MSG1305"), QStringLiteral("1")), found()));

    // Every kind asked for: the scan window counted the card's three folders as well, and the
    // page says how many files it lists of how many files and folders found.
    Click("ChkRecoverAll");
    ScanCard("BtnDeepRecovery");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    const QString listed = QString::number(window_->Results()->ItemCount());
    EXPECT_EQ(found().toInt(), listed.toInt() + 3);
    EXPECT_EQ(plain(Header()), FillFormat(FillFormat(Text("MSG1304"), listed), found()));
}

// Not a check: saves the resume question over the main window as a picture for the
// documentation when NORVALE_SCREENSHOTS names a folder.
TEST_F(FirstRunTest, SaveResumePictures) {
    NORVALE_REQUIRE_SCREENSHOTS();
    window_->resize(900, 560);
    window_->show();
    Click("ChkPhoto");
    ScanCard("BtnFormattedRecovery");
    ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage);
    MarkSavedScanStopped();
    Click("BtnPrev");
    Settle(300);

    // The question as the program shows it, over the main window with the card chosen.
    answerWith_ = [&](int type, const QString& text) {
        if (text != Text("MSG1206")) return int(CMessageBox::kAnswerCancel);
        CMessageBox box(type, window_.get(), text, *table_);
        box.show();
        box.move(window_->geometry().center() - box.rect().center());
        Settle(300);
        const QRect area = window_->frameGeometry();
        QPixmap picture =
            window_->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
        if (picture.isNull()) picture = box.grab();
        EXPECT_TRUE(picture.save(ScreenshotFolder() + QStringLiteral("/resume-question.png")));
        return int(CMessageBox::kAnswerOk);
    };
    Click("BtnScan");
    EXPECT_EQ(Count("MSG1206"), 1);
}

}  // namespace
}  // namespace norvale
