// The scan progress window: a real scan of a FAT card image through the window, the end of the
// pass announced or not, the stop question that holds the scan, and the stage and progress
// texts filled from the language's format texts.

#include "ui/scan_process_wnd.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QSignalSpy>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/engine_set.h"
#include "engine/scan_log_history.h"
#include "support/fake_engine.h"
#include "ui/process_wnd_test_helpers.h"
#include "ui/process_worker.h"

namespace norvale {
namespace {

using namespace std::chrono_literals;
using namespace testing;

// Reports its scan in `steps` paced steps and counts the reports the window let through: the
// count stands still while the worker is held at a report.
class PacedEngine : public FakeEngine {
  public:
    PacedEngine(std::atomic<int>& reports, int steps, uint64_t totalSectors)
        : reports_(reports), steps_(steps), totalSectors_(totalSectors) {}
    Result Scan(const char*) override {
        for (int i = 1; i <= steps_; ++i) {
            std::this_thread::sleep_for(1ms);
            const int secondsLeft = i == 1 ? -1 : 75;
            if (int r = scanFn(userData, i * 100 / steps_, scale, secondsLeft, uint64_t(i),
                               totalSectors_, uint64_t(i / 2), 0))
                return r;
            ++reports_;
        }
        return kOk;
    }

  private:
    std::atomic<int>& reports_;
    int steps_;
    uint64_t totalSectors_;
};

class ScanProcessWndTest : public ProcessWndTest {
  protected:
    void SetUp() override {
        ProcessWndTest::SetUp();
        InstallEngineMakers();
    }
    std::string CardImage() {
        const std::string path = dir_ / "card.img";
        EXPECT_EQ(testing::Run("gzip -dc '" + SourceDir() +
                               "/tests/fixtures/fat/fat12_card.img.gz' > '" + path + "'"),
                  0);
        return path;
    }
    static SourceInfo ImageSource(const std::string& path) {
        SourceInfo s;
        s.imagePath = path;
        s.imageTag = NextImageTag();
        return s;
    }
    static SourceInfo PartitionSource(uint16_t tag) {
        SourceInfo s;
        s.partition = PartitionRecord{};
        s.partition->driveLetter = tag;
        return s;
    }
    ScanDriver::EngineBuilder Paced(int steps, uint64_t totalSectors = 1000) {
        return [this, steps, totalSectors](const SourceInfo&) {
            return std::make_unique<PacedEngine>(reports_, steps, totalSectors);
        };
    }

    std::atomic<int> reports_{0};
};

TEST_F(ScanProcessWndTest, DeletedFileScanOfACardImageFindsItsFilesAndAnnouncesTheEnd) {
    SourceInfo card = ImageSource(CardImage());
    CScanProcessWnd wnd({&card}, 0, nullptr);
    wnd.SetLanguageTable(*texts_);
    QSignalSpy finished(&wnd, &CScanProcessWnd::scanFinished);

    EXPECT_EQ(wnd.Run(), CScanProcessWnd::kDone);
    ASSERT_TRUE(card.engine);
    // The card holds 11 files and folders, 5 of them deleted: the scan finds them all.
    EXPECT_GE(card.engine->GetItemCount(), 5u);
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(finished.at(0).at(0).toInt(), CScanProcessWnd::kDone);
    EXPECT_EQ(LabelText(&wnd, "stage"), Message(*texts_, "MSG0703") + " card.img");
    EXPECT_EQ(wnd.objectName(), "UIScanProcessWnd");
    EXPECT_EQ(wnd.size(), QSize(450, 250));
}

TEST_F(ScanProcessWndTest, ProfessionalScanOfACardImageReplacesTheEarlierEngine) {
    SourceInfo card = ImageSource(CardImage());
    card.engine = std::make_unique<FakeEngine>();
    const int alive = FakeEngine::alive;
    CScanProcessWnd wnd({&card}, 1, nullptr);
    wnd.SetLanguageTable(*texts_);
    EXPECT_EQ(wnd.Run(), CScanProcessWnd::kDone);
    // The earlier engine made way for the new one.
    EXPECT_EQ(FakeEngine::alive, alive - 1);
    ASSERT_TRUE(card.engine);
    EXPECT_GE(card.engine->GetItemCount(), 5u);
}

TEST_F(ScanProcessWndTest, UnreadableSourceEndsWithNoEngineAndNothingAnnounced) {
    SourceInfo missing = ImageSource(dir_ / "no-such.img");
    SourceInfo card = ImageSource(CardImage());
    CScanProcessWnd wnd({&missing, &card}, 0, nullptr);
    wnd.SetLanguageTable(*texts_);
    QSignalSpy finished(&wnd, &CScanProcessWnd::scanFinished);

    EXPECT_EQ(wnd.Run(), CScanProcessWnd::kNoEngine);
    EXPECT_EQ(wnd.FailedSource(), 0u);
    EXPECT_FALSE(card.engine);  // the pass ended before it
    EXPECT_EQ(finished.count(), 0);
}

TEST_F(ScanProcessWndTest, NoSourcesReturnsAtOnceWithoutShowingTheWindow) {
    CScanProcessWnd wnd({}, 0, nullptr);
    QSignalSpy finished(&wnd, &CScanProcessWnd::scanFinished);
    EXPECT_EQ(wnd.Run(), CScanProcessWnd::kDone);
    EXPECT_FALSE(wnd.isVisible());
    EXPECT_EQ(finished.count(), 0);
}

// Clicks `button` once the scan made `after` reports; in the question that opens, checks that
// neither the scan nor the display moves, then answers with `answer`.
void StopDuringScan(CScanProcessWnd& wnd, std::atomic<int>& reports, int after, const char* button,
                    const char* answer, int* reportsWhileHeld) {
    StopWhen(
        &wnd, [&reports, after] { return reports >= after; }, button, answer,
        [&wnd, &reports, reportsWhileHeld] {
            const QString percent = LabelText(&wnd, "percent");
            *reportsWhileHeld = MovesWhileWaiting([&reports] { return reports.load(); });
            EXPECT_EQ(LabelText(&wnd, "percent"), percent);
        });
}

TEST_F(ScanProcessWndTest, StopQuestionHoldsTheScanAndOkEndsThePassWithTwo) {
    SourceInfo a = PartitionSource(1), b = PartitionSource(2), c = PartitionSource(3);
    CScanProcessWnd wnd({&a, &b, &c}, 0, nullptr);
    wnd.SetLanguageTable(*texts_);
    wnd.SetEngineBuilder(Paced(400));
    QSignalSpy finished(&wnd, &CScanProcessWnd::scanFinished);
    int reportsWhileHeld = -1;
    // Stopped during the second of three sources.
    StopDuringScan(wnd, reports_, 450, "cancelbtn", "okbtn", &reportsWhileHeld);

    EXPECT_EQ(wnd.Run(), CScanProcessWnd::kStopped);
    EXPECT_EQ(reportsWhileHeld, 0);
    EXPECT_LT(reports_, 800);
    EXPECT_TRUE(a.engine);
    EXPECT_TRUE(b.engine);
    EXPECT_FALSE(c.engine);
    ASSERT_EQ(finished.count(), 1);  // the end is announced after a stop too
    EXPECT_EQ(finished.at(0).at(0).toInt(), CScanProcessWnd::kStopped);
}

TEST_F(ScanProcessWndTest, AnsweringNoToTheStopQuestionLetsTheScanFinish) {
    SourceInfo a = PartitionSource(1);
    CScanProcessWnd wnd({&a}, 0, nullptr);
    wnd.SetLanguageTable(*texts_);
    wnd.SetEngineBuilder(Paced(300));
    int reportsWhileHeld = -1;
    StopDuringScan(wnd, reports_, 20, "closebtn", "cancelbtn", &reportsWhileHeld);

    EXPECT_EQ(wnd.Run(), CScanProcessWnd::kDone);
    EXPECT_EQ(reportsWhileHeld, 0);
    EXPECT_EQ(reports_, 300);
}

TEST_F(ScanProcessWndTest, WindowClosedFromOutsideStopsTheScanBeforeItGoes) {
    SourceInfo a = PartitionSource(1), b = PartitionSource(2);
    CScanProcessWnd wnd({&a, &b}, 0, nullptr);
    wnd.SetLanguageTable(*texts_);
    wnd.SetEngineBuilder(Paced(400));
    WhenReady(
        &wnd, [&] { return reports_ >= 20; }, [&] { wnd.accept(); });
    EXPECT_EQ(wnd.Run(), CScanProcessWnd::kStopped);
    EXPECT_LT(reports_, 400);
    EXPECT_FALSE(b.engine);
}

TEST_F(ScanProcessWndTest, ProgressLinesFollowTheReports) {
    SourceInfo lettered = PartitionSource('E');
    SourceInfo numbered = PartitionSource(4);
    CScanProcessWnd wnd({&lettered, &numbered}, 0, nullptr);
    wnd.SetLanguageTable(*texts_);
    wnd.SetEngineBuilder(Paced(400));
    QString letterStage, numberStage, time, sectors;
    bool sectorsShown = false;
    WhenReady(
        &wnd, [&] { return reports_ >= 50; },
        [&] {
            letterStage = LabelText(&wnd, "stage");
            time = LabelText(&wnd, "time");
            sectors = LabelText(&wnd, "sectors");
            sectorsShown = wnd.findChild<QLabel*>("sectors")->isVisible();
        });
    WhenReady(
        &wnd, [&] { return reports_ >= 450; }, [&] { numberStage = LabelText(&wnd, "stage"); });
    ASSERT_EQ(wnd.Run(), CScanProcessWnd::kDone);

    EXPECT_EQ(letterStage, "Scanning drive E:");
    EXPECT_EQ(numberStage, "Scanning partition 4");
    EXPECT_EQ(time, Message(*texts_, "MSG0708") + " 1 Min 15 Sec");
    EXPECT_TRUE(sectorsShown);
    EXPECT_TRUE(sectors.startsWith(Message(*texts_, "MSG0706") + " "));
    EXPECT_TRUE(sectors.endsWith(" / 1000"));
    EXPECT_EQ(LabelText(&wnd, "percent"), Message(*texts_, "MSG0704") + " 100%");
    EXPECT_EQ(wnd.findChild<QProgressBar*>("progress")->value(), 100);
}

TEST_F(ScanProcessWndTest, WithoutSectorCountsTheSectorAndFileLinesAreHidden) {
    SourceInfo a = PartitionSource(1);
    CScanProcessWnd wnd({&a}, 0, nullptr);
    wnd.SetLanguageTable(*texts_);
    wnd.SetEngineBuilder(Paced(200, 0));
    bool anyShown = true;
    WhenReady(
        &wnd, [&] { return reports_ >= 20; },
        [&] {
            anyShown = wnd.findChild<QLabel*>("sectors")->isVisible() ||
                       wnd.findChild<QLabel*>("totalfile")->isVisible();
        });
    ASSERT_EQ(wnd.Run(), CScanProcessWnd::kDone);
    EXPECT_FALSE(anyShown);
}

// A professional scan of an image with a saved scan asks first, with the progress window out
// of the way; declining deletes the saved scan, accepting keeps it for the engine.
TEST_F(ScanProcessWndTest, SavedScanIsOfferedAndDecliningDeletesIt) {
    const std::string image = CardImage();
    for (const char* answer : {"cancelbtn", "okbtn"}) {
        SCOPED_TRACE(answer);
        std::string savedFolder;
        SourceInfo card = ImageSource(image);
        CScanProcessWnd wnd({&card}, 1, nullptr);
        wnd.SetLanguageTable(*texts_);
        // As an engine that opens the image and finds its saved scan.
        wnd.SetEngineBuilder([&](const SourceInfo& source) {
            ScanLogHistory& history = ScanLogHistory::Instance();
            const uint32_t state[10] = {1, 2, 3};
            savedFolder = history.CurrentFolder();
            EXPECT_EQ(history.SaveScanState(0, 0, 0, state, savedFolder, source.imagePath), kOk);
            ScanLogRecord record;
            EXPECT_EQ(history.FindImageScan(source.imagePath, record), 1);
            return std::make_unique<FakeEngine>();
        });
        QString question;
        bool windowHidden = false;
        WhenReady(
            &wnd, [] { return OpenQuestion() != nullptr; },
            [&] {
                question = OpenQuestion()->findChild<QLabel*>("message")->text();
                windowHidden = !wnd.isVisible();
                Click(OpenQuestion(), answer);
            });
        EXPECT_EQ(wnd.Run(), CScanProcessWnd::kDone);
        EXPECT_EQ(question, Message(*texts_, "MSG1206"));
        EXPECT_TRUE(windowHidden);
        const bool accepted = std::string(answer) == "okbtn";
        EXPECT_EQ(ScanLogHistory::Instance().ResumeFound(), accepted);
        ScanLogRecord record;
        EXPECT_EQ(ScanLogHistory::Instance().FindImageScan(image, record), accepted ? 1 : 0);
    }
}

TEST(FillFormatText, ValuesFillTheirConversionsInOrder) {
    EXPECT_EQ(FillFormatText("Scanning drive %c:", {char32_t('F')}), "Scanning drive F:");
    EXPECT_EQ(FillFormatText("Processed %d of %d files: %d recovered, %d failed.",
                             {int64_t(3), int64_t(5), int64_t(2), int64_t(1)}),
              "Processed 3 of 5 files: 2 recovered, 1 failed.");
    EXPECT_EQ(FillFormatText("%I64u / %llu", {uint64_t(1) << 40, uint64_t(7)}),
              "1099511627776 / 7");
    EXPECT_EQ(FillFormatText("100%% of %s", {std::string("Fotos für Oma")}),
              "100% of Fotos für Oma");
}

TEST(FillFormatText, TranslatedTextsWithWrongOrSurplusConversionsAreHarmless) {
    // A text asking for a name where a number comes gets the number, written as one.
    EXPECT_EQ(FillFormatText("Partition %s", {int64_t(4)}), "Partition 4");
    // Conversions without a value, and ones not understood, stay as written.
    EXPECT_EQ(FillFormatText("%d of %d, %x %n %", {int64_t(1)}), "1 of %d, %x %n %");
    EXPECT_EQ(FillFormatText("", {int64_t(1)}), "");
}

}  // namespace
}  // namespace norvale
