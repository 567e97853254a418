// The search window: the found files of stand-in and really scanned sources collected by
// pattern, the stage line for each kind of source, the stop question that holds the listing and
// keeps what was collected, and a list without sources.

#include "ui/search_process_wnd.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QSignalSpy>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "app/engine_set.h"
#include "engine/text_codec.h"
#include "support/fake_engine.h"
#include "ui/process_wnd_test_helpers.h"
#include "ui/scan_process_wnd.h"

namespace norvale {
namespace {

using namespace std::chrono_literals;
using namespace testing;

// Lists its items slowly, with a progress report before each, and counts the reports the
// window let through: the count stands still while the listing is held.
class PacedListEngine : public FakeEngine {
  public:
    explicit PacedListEngine(std::atomic<int>& reports) : reports_(reports) {}
    int ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) override {
        for (size_t i = 0; i < items.size(); ++i) {
            std::this_thread::sleep_for(1ms);
            const int percent = int((i + 1) * 100 / items.size());
            if (listFn && listFn(listUserData, percent, 0) != 0) break;
            ++reports_;
            const std::string name(items[i].Name());
            const size_t dot = name.rfind('.');
            if (dot != std::string::npos &&
                pattern.find("*" + name.substr(dot)) != std::string::npos)
                out.push_back(items[i]);
        }
        return 1;
    }

  private:
    std::atomic<int>& reports_;
};

class SearchProcessWndTest : public ProcessWndTest {
  protected:
    // A scanned partition numbered (or lettered) `tag` whose engine found `names`.
    SourceInfo Partition(uint16_t tag, const std::vector<std::string>& names) {
        SourceInfo s;
        s.partition = PartitionRecord{};
        s.partition->driveLetter = tag;
        Found(s, names);
        return s;
    }
    SourceInfo Image(const std::string& path, const std::vector<std::string>& names) {
        SourceInfo s;
        s.imagePath = path;
        s.imageTag = NextImageTag();
        Found(s, names);
        return s;
    }
    void Found(SourceInfo& s, const std::vector<std::string>& names) {
        auto engine = std::make_unique<PacedListEngine>(reports_);
        for (const std::string& name : names)
            engine->items.push_back(FakeEngine::Item(name, s.Tag()));
        s.engine = std::move(engine);
    }
    static std::vector<std::string> Photos(int count) {
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i) names.push_back("IMG_" + std::to_string(i) + ".jpg");
        return names;
    }
    static std::vector<std::string> Names(const std::vector<RecoveredItem>& items) {
        std::vector<std::string> names;
        for (const RecoveredItem& item : items) names.emplace_back(item.Name());
        return names;
    }

    // A search over two partitions (numbered 1 and 2) that found `photosEach` photos each.
    std::unique_ptr<CSearchProcessWnd> TwoSourceSearch(int photosEach) {
        first_ = Partition(1, Photos(photosEach));
        second_ = Partition(2, Photos(photosEach));
        auto wnd = std::make_unique<CSearchProcessWnd>(std::vector<SourceInfo*>{&first_, &second_},
                                                       BuildFilter({}), collected_, nullptr);
        wnd->SetLanguageTable(*texts_);
        return wnd;
    }
    bool AllFromFirstSource() const {
        return std::all_of(collected_.begin(), collected_.end(),
                           [](const RecoveredItem& item) { return item.sourceTag == 1; });
    }

    std::atomic<int> reports_{0};
    SourceInfo first_, second_;
    std::vector<RecoveredItem> collected_;
};

TEST_F(SearchProcessWndTest, MatchingFilesOfEveryScannedSourceAreCollectedAndTheEndAnnounced) {
    SourceInfo card = Partition(1, {"a.jpg", "song.mp3", "notes.txt"});
    SourceInfo notScanned = Partition(2, {});
    notScanned.engine.reset();
    SourceInfo image = Image(dir_ / "disk.img", {"b.png", "letter.doc", "README"});
    std::vector<RecoveredItem> collected;
    CSearchProcessWnd wnd({&card, &notScanned, &image}, BuildFilter({"jpg", "png"}), collected,
                          nullptr);
    wnd.SetLanguageTable(*texts_);
    QSignalSpy finished(&wnd, &CSearchProcessWnd::searchFinished);

    EXPECT_EQ(wnd.Run(), 1);
    EXPECT_EQ(Names(collected), (std::vector<std::string>{"a.jpg", "b.png"}));
    ASSERT_EQ(collected.size(), 2u);
    // Each item keeps the tag of its source, so that it is recovered through that engine.
    EXPECT_EQ(collected[0].sourceTag, card.Tag());
    EXPECT_EQ(collected[1].sourceTag, image.Tag());
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(LabelText(&wnd, "percent"), Message(*texts_, "MSG1204") + " 100%");
    EXPECT_EQ(wnd.findChild<QProgressBar*>("progress")->value(), 100);
    EXPECT_EQ(wnd.objectName(), "UISearchProcessWnd");
    EXPECT_EQ(wnd.windowTitle(), "Collecting Results");
    EXPECT_EQ(wnd.size(), QSize(450, 220));
}

TEST_F(SearchProcessWndTest, FilesOfARealScanAreCollectedByKind) {
    InstallEngineMakers();
    const std::string path = dir_ / "card.img";
    ASSERT_EQ(testing::Run("gzip -dc '" + SourceDir() +
                           "/tests/fixtures/ntfs/ntfs_card.img.gz' > '" + path + "'"),
              0);
    SourceInfo card;
    card.imagePath = path;
    card.imageTag = NextImageTag();
    {
        CScanProcessWnd scan({&card}, 0, nullptr);
        scan.SetLanguageTable(*texts_);
        ASSERT_EQ(scan.Run(), CScanProcessWnd::kDone);
    }
    ASSERT_TRUE(card.engine);

    // The card's deleted files: "gone.txt" and "old photo.jpg".
    std::vector<RecoveredItem> texts, archives;
    CSearchProcessWnd textSearch({&card}, BuildFilter({"txt"}), texts, nullptr);
    textSearch.SetLanguageTable(*texts_);
    EXPECT_EQ(textSearch.Run(), 1);
    CSearchProcessWnd archiveSearch({&card}, BuildFilter({"zip", "rar"}), archives, nullptr);
    archiveSearch.SetLanguageTable(*texts_);
    EXPECT_EQ(archiveSearch.Run(), 1);

    EXPECT_EQ(Names(texts), std::vector<std::string>{"gone.txt"});
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts[0].sourceTag, card.Tag());
    EXPECT_TRUE(archives.empty());
    EXPECT_EQ(LabelText(&textSearch, "stage"),
              "Collecting the files found in " + QString::fromStdString(path));
}

TEST_F(SearchProcessWndTest, StageLineNamesTheDriveThePartitionOrTheImage) {
    SourceInfo lettered = Partition('E', Photos(100));
    SourceInfo numbered = Partition(4, Photos(100));
    const std::string imagePath = dir_ / "Fotos für Oma.img";
    SourceInfo image = Image(imagePath, Photos(100));
    std::vector<RecoveredItem> collected;
    CSearchProcessWnd wnd({&lettered, &numbered, &image}, BuildFilter({}), collected, nullptr);
    wnd.SetLanguageTable(*texts_);
    QString stages[3];
    for (int i = 0; i < 3; ++i) {
        WhenReady(
            &wnd, [this, i] { return reports_ >= 100 * i + 40; },
            [&wnd, &stages, i] { stages[i] = LabelText(&wnd, "stage"); });
    }
    ASSERT_EQ(wnd.Run(), 1);

    EXPECT_EQ(stages[0], "Collecting the files found on drive E:");
    EXPECT_EQ(stages[1], "Collecting the files found on partition 4");
    EXPECT_EQ(stages[2], "Collecting the files found in " + QString::fromStdString(imagePath));
    EXPECT_EQ(collected.size(), 300u);
}

TEST_F(SearchProcessWndTest, StopQuestionHoldsTheListingAndOkKeepsWhatWasCollected) {
    auto search = TwoSourceSearch(400);
    CSearchProcessWnd& wnd = *search;
    QSignalSpy finished(&wnd, &CSearchProcessWnd::searchFinished);
    int whileHeld = -1;
    QString question, percentBefore, percentDuring;
    StopWhen(
        &wnd, [&] { return reports_ >= 50; }, "cancelbtn", "okbtn",
        [&] {
            question = OpenQuestion()->findChild<QLabel*>("message")->text();
            percentBefore = LabelText(&wnd, "percent");
            whileHeld = MovesWhileWaiting([&] { return reports_.load(); });
            percentDuring = LabelText(&wnd, "percent");
        });

    EXPECT_EQ(wnd.Run(), 1);
    EXPECT_EQ(question, Message(*texts_, "MSG1205"));
    EXPECT_EQ(whileHeld, 0);
    EXPECT_EQ(percentDuring, percentBefore);
    // What the first listing selected before the stop stays; the second one ends at its first
    // report, before it selected anything.
    EXPECT_GE(collected_.size(), 50u);
    EXPECT_LT(collected_.size(), 400u);
    EXPECT_TRUE(AllFromFirstSource());
    EXPECT_EQ(finished.count(), 1);  // the end is announced after a stop too
}

TEST_F(SearchProcessWndTest, WindowClosedFromOutsideStopsTheListingBeforeItGoes) {
    auto wnd = TwoSourceSearch(300);
    QSignalSpy finished(wnd.get(), &CSearchProcessWnd::searchFinished);
    WhenReady(
        wnd.get(), [&] { return reports_ >= 20; }, [&] { wnd->accept(); });
    EXPECT_EQ(wnd->Run(), 1);
    EXPECT_GE(collected_.size(), 20u);
    EXPECT_LT(collected_.size(), 300u);
    EXPECT_TRUE(AllFromFirstSource());
    EXPECT_EQ(finished.count(), 1);
}

// The time line says it is estimating until the listing has run a while, then tells the time
// left; the stop question is asked before anything is thrown away, and No goes on.
TEST_F(SearchProcessWndTest, TimeLeftIsToldOnceKnownAndNoToTheStopGoesOn) {
    auto wnd = TwoSourceSearch(1300);
    QString early, late, question;
    WhenReady(
        wnd.get(), [&] { return reports_ >= 20; }, [&] { early = LabelText(wnd.get(), "time"); });
    StopWhen(
        wnd.get(), [&] { return reports_ >= 100; }, "cancelbtn", "cancelbtn",
        [&] { question = OpenQuestion()->findChild<QLabel*>("message")->text(); });
    WhenReady(
        wnd.get(), [&] { return reports_ >= 2450; }, [&] { late = LabelText(wnd.get(), "time"); });
    EXPECT_EQ(wnd->Run(), 1);
    EXPECT_EQ(question, Message(*texts_, "MSG1205"));
    EXPECT_EQ(collected_.size(), 2600u);  // nothing was thrown away
    EXPECT_EQ(early, Message(*texts_, "MSG0304"));
    EXPECT_TRUE(late.startsWith(Message(*texts_, "MSG0305"))) << late.toStdString();
}

TEST_F(SearchProcessWndTest, NoSourcesClosesWithOneAtOnce) {
    std::vector<RecoveredItem> collected = {FakeEngine::Item("kept.jpg", 1)};
    CSearchProcessWnd wnd({}, BuildFilter({}), collected, nullptr);
    QSignalSpy finished(&wnd, &CSearchProcessWnd::searchFinished);
    EXPECT_EQ(wnd.Run(), 1);
    EXPECT_FALSE(wnd.isVisible());
    EXPECT_EQ(finished.count(), 0);
    EXPECT_EQ(collected.size(), 1u);
}

}  // namespace
}  // namespace norvale
