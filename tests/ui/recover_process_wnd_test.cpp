// The recovery progress window: files land in their category folders without overwriting,
// the detail list puts failures first in red, the window's size toggle and the folder opener,
// the time left, and the stop question that holds the recovery.

#include "ui/recover_process_wnd.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "support/fake_engine.h"
#include "ui/process_wnd_test_helpers.h"
#include "ui/process_worker.h"

namespace norvale {
namespace {

using namespace std::chrono_literals;
using namespace testing;
namespace fs = std::filesystem;

constexpr uint16_t kTag = kImageTagBase + 1;

// Recovers slowly and counts the files it reported done; the count stands still while the
// worker is held at a report.
class PacedEngine : public FakeEngine {
  public:
    std::atomic<int> reported{0};
    Result RecoverItem(const RecoveredItem& item, const std::string& path, int depth) override {
        std::this_thread::sleep_for(2ms);
        const Result r = FakeEngine::RecoverItem(item, path, depth);
        if (r != kScanCancelled) ++reported;
        return r;
    }
};

class RecoverProcessWndTest : public ProcessWndTest {
  protected:
    void SetUp() override {
        ProcessWndTest::SetUp();
        sources_.resize(1);
        sources_[0].imagePath = "card.img";
        sources_[0].imageTag = kTag;
    }
    template <typename Engine = FakeEngine>
    Engine& Install() {
        auto engine = std::make_unique<Engine>();
        Engine& ref = *engine;
        sources_[0].engine = std::move(engine);
        return ref;
    }
    QString Destination() const { return QString::fromStdString(out_.Path()); }
    static std::string Content(const fs::path& path) {
        auto bytes = ReadFileBytes(path.string());
        return std::string(bytes.begin(), bytes.end());
    }

    TempDir out_;
    std::vector<SourceInfo> sources_;
};

TEST_F(RecoverProcessWndTest, FilesGoToTheirCategoriesAndFailuresLeadTheDetailListInRed) {
    FakeEngine& engine = Install();
    engine.failures["broken.jpg"] = kErrDiskFull;
    std::vector<RecoveredItem> items = {
        FakeEngine::Item("IMG_1.JPG", kTag),    FakeEngine::Item("song.RM", kTag),
        FakeEngine::Item("broken.jpg", kTag),   FakeEngine::Item("notes", kTag),
        FakeEngine::Item("lost.doc", kTag + 2),  // no engine found it
    };
    CRecoverProcessWnd wnd(sources_, items, Destination(), nullptr);
    wnd.SetLanguageTable(*texts_);
    std::vector<QUrl> opened;
    wnd.SetFolderOpener([&](const QUrl& url) {
        opened.push_back(url);
        return true;
    });

    auto* finish = wnd.findChild<QPushButton*>("FinishBtn");
    auto* cancel = wnd.findChild<QPushButton*>("CancelBtn");
    auto* list = wnd.findChild<QTreeWidget*>("DetailList");
    QSize before, enlarged, after;
    bool listShown = false;
    WhenReady(
        &wnd, [&] { return finish->isVisible(); },
        [&] {
            EXPECT_FALSE(cancel->isVisible());
            before = wnd.size();
            Click(&wnd, "DetailBtn");
            enlarged = wnd.size();
            listShown = list->isVisible();
            Click(&wnd, "DetailBtn");
            after = wnd.size();
            Click(&wnd, "OpenBtn");
            Click(&wnd, "FinishBtn");
        });
    EXPECT_EQ(wnd.Run(), CRecoverProcessWnd::kDone);

    const fs::path out = out_.Path();
    EXPECT_EQ(Content(out / "photo/IMG_1.JPG"), "IMG_1.JPG");
    EXPECT_EQ(Content(out / "audio/song.RM"), "song.RM");  // audio is tried before video
    EXPECT_EQ(Content(out / "others/notes"), "notes");
    EXPECT_FALSE(fs::exists(out / "photo/broken.jpg"));

    // Failures on top (newest first) in red; successes below in the order they finished.
    ASSERT_EQ(list->topLevelItemCount(), 5);
    EXPECT_EQ(list->topLevelItem(0)->text(0), "lost.doc");
    EXPECT_EQ(list->topLevelItem(1)->text(0), "broken.jpg");
    // The reason alone: the destination is named once, in the window.
    EXPECT_EQ(list->topLevelItem(1)->text(1), "No space left on device");
    EXPECT_EQ(list->topLevelItem(1)->toolTip(0), "broken.jpg\nNo space left on device");
    EXPECT_EQ(list->topLevelItem(1)->foreground(0).color(), QColor(255, 0, 0));
    EXPECT_EQ(list->topLevelItem(2)->text(0), "IMG_1.JPG");
    EXPECT_EQ(list->topLevelItem(2)->text(1), "Success");
    EXPECT_NE(list->topLevelItem(2)->foreground(0).color(), QColor(255, 0, 0));
    EXPECT_EQ(list->topLevelItem(4)->text(0), "notes");
    EXPECT_EQ(list->headerItem()->text(1), "Status");

    EXPECT_EQ(LabelText(&wnd, "recovered"), "Processed 5 of 5 files: 3 recovered, 2 failed.");
    EXPECT_EQ(wnd.Counts().failed, 2);

    EXPECT_EQ(before, QSize(500, 250));
    EXPECT_EQ(enlarged, QSize(650, 550));
    EXPECT_TRUE(listShown);
    EXPECT_EQ(after, QSize(500, 250));
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(Destination()));
    EXPECT_FALSE(wnd.findChild<QLabel*>("TxtOpenFolderFailed")->isVisibleTo(&wnd));
}

TEST_F(RecoverProcessWndTest, SingleItemNeverOverwritesAnExistingFile) {
    Install();
    fs::create_directories(fs::path(out_.Path()) / "photo");
    WriteFileBytes(out_ / "photo/IMG_1.JPG", {'o', 'l', 'd'});
    for (int copy = 1; copy <= 2; ++copy) {
        CRecoverProcessWnd wnd(sources_, {}, Destination(), nullptr);
        wnd.SetLanguageTable(*texts_);
        wnd.SetSingleItem(FakeEngine::Item("IMG_1.JPG", kTag));
        // Closing a finished window counts as finishing it.
        WhenReady(
            &wnd, [&] { return wnd.findChild<QPushButton*>("FinishBtn")->isVisible(); },
            [&] { Click(&wnd, "closebtn"); });
        EXPECT_EQ(wnd.Run(), CRecoverProcessWnd::kDone);
        EXPECT_EQ(wnd.Counts().total, 1);
        EXPECT_EQ(wnd.Counts().processed, 1);
    }
    EXPECT_EQ(Content(fs::path(out_.Path()) / "photo/IMG_1.JPG"), "old");
    EXPECT_EQ(Content(fs::path(out_.Path()) / "photo/IMG_1(1).JPG"), "IMG_1.JPG");
    EXPECT_EQ(Content(fs::path(out_.Path()) / "photo/IMG_1(2).JPG"), "IMG_1.JPG");
}

TEST_F(RecoverProcessWndTest, StopQuestionHoldsTheRecoveryAndOkClosesWithTwo) {
    PacedEngine& engine = Install<PacedEngine>();
    std::vector<RecoveredItem> items;
    for (int i = 0; i < 300; ++i)
        items.push_back(FakeEngine::Item("IMG_" + std::to_string(i) + ".JPG", kTag));
    CRecoverProcessWnd wnd(sources_, items, Destination(), nullptr);
    wnd.SetLanguageTable(*texts_);
    // As if the recovery had run for an hour already: the time left is known at once.
    wnd.SetClockStart(std::chrono::steady_clock::now() - 1h);
    int whileHeld = -1;
    QString summaryBefore, summaryDuring, timeLeft;
    StopWhen(
        &wnd, [&] { return engine.reported >= 10; }, "CancelBtn", "okbtn",
        [&] {
            timeLeft = LabelText(&wnd, "TxtTimeLeft");
            EXPECT_EQ(OpenQuestion()->findChild<QLabel*>("message")->text(),
                      Message(*texts_, "MSG1103"));
            summaryBefore = LabelText(&wnd, "recovered");
            whileHeld = MovesWhileWaiting([&] { return engine.reported.load(); });
            summaryDuring = LabelText(&wnd, "recovered");
        });
    // After the stop the window stays with its summary and the count of files not tried.
    QString stoppedLine;
    WhenReady(
        &wnd, [&] { return wnd.findChild<QPushButton*>("FinishBtn")->isVisible(); },
        [&] {
            stoppedLine = LabelText(&wnd, "current");
            Click(&wnd, "FinishBtn");
        });
    EXPECT_EQ(wnd.Run(), CRecoverProcessWnd::kStopped);
    EXPECT_EQ(whileHeld, 0);
    // Ten of 300 files in an hour: more than a day to go.
    EXPECT_TRUE(timeLeft.startsWith(Message(*texts_, "MSG1342") + " ")) << timeLeft.toStdString();
    EXPECT_GT(timeLeft.size(), Message(*texts_, "MSG1342").size() + 1);
    EXPECT_EQ(summaryDuring, summaryBefore);
    EXPECT_TRUE(stoppedLine.startsWith(Message(*texts_, "MSG1104"))) << stoppedLine.toStdString();
    EXPECT_GT(wnd.Counts().notTried, 0);
    EXPECT_EQ(wnd.Counts().processed + wnd.Counts().notTried, 300);

    // What was written before the stop stays; the rest was never written.
    size_t written = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(out_.Path()) / "photo")) {
        (void)entry;
        ++written;
    }
    EXPECT_GE(written, 10u);
    EXPECT_LT(written, 300u);
}

TEST_F(RecoverProcessWndTest, AnsweringNoLetsTheRecoveryFinish) {
    PacedEngine& engine = Install<PacedEngine>();
    std::vector<RecoveredItem> items;
    for (int i = 0; i < 60; ++i)
        items.push_back(FakeEngine::Item("clip" + std::to_string(i) + ".mp4", kTag));
    CRecoverProcessWnd wnd(sources_, items, Destination(), nullptr);
    wnd.SetLanguageTable(*texts_);
    // Escape (no button) asks like CancelBtn.
    StopWhen(
        &wnd, [&] { return engine.reported >= 5; }, nullptr, "cancelbtn");
    WhenReady(
        &wnd, [&] { return wnd.findChild<QPushButton*>("FinishBtn")->isVisible(); },
        [&] { Click(&wnd, "FinishBtn"); });
    EXPECT_EQ(wnd.Run(), CRecoverProcessWnd::kDone);
    EXPECT_EQ(engine.reported, 60);
    EXPECT_EQ(wnd.Counts().processed, 60);
}

}  // namespace
}  // namespace norvale
