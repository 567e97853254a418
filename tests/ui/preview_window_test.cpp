// The preview of a selected item from end to end: the progress window extracts it through the
// engine on its worker thread and prepares it, the pane shows it on the right page. Stopping,
// the previous copy, folders, missing engines and unplayable media.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QAudioDevice>
#include <QLabel>
#include <QMediaDevices>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

#include "engine/data_paths.h"
#include "engine/preview_target.h"
#include "support/fake_engine.h"
#include "support/test_support.h"
#include "ui/preview_pane.h"
#include "ui/preview_process_wnd.h"
#include "ui/qt_test_app.h"

namespace norvale {
namespace {

using testing::IsolatedHome;

using testing::PlaybackLeaksIgnored;
using testing::TempDir;

// Extracts the contents it is given the way the engines do: to the target the item's name
// chooses, in pieces with a progress report after each, or into memory.
class PreviewEngine : public testing::FakeEngine {
  public:
    std::map<std::string, std::string> contents;
    bool waitForStop = false;  // keep reporting until the callback asks to stop
    std::vector<int> percents;

    Result ExtractForPreview(const RecoveredItem& item, std::string& tempPath, uint8_t* memory,
                             uint64_t& byteCount, PreviewProgressFn fn, void* user) override {
        const uint64_t capacity = byteCount;
        byteCount = 0;
        tempPath.clear();
        const std::string data = contents[std::string(item.Name())];
        if (waitForStop) {
            for (int i = 0; i < 500; ++i) {
                if (int answer = fn(user, i % 100, 0); answer != 0) return answer;
                ::usleep(10000);
            }
            return kOk;
        }
        const PreviewTarget target = ChoosePreviewTarget(item.Name());
        if (target.kind == PreviewTargetKind::kMemory) {
            byteCount = std::min<uint64_t>(capacity, data.size());
            std::memcpy(memory, data.data(), byteCount);
            fn(user, 100, 0);
            return kOk;
        }
        int fd = -1;
        if (Result r = CreatePreviewFile(target.path, fd); r != kOk) return r;
        tempPath = target.path;
        const size_t piece = std::max<size_t>(1, data.size() / 4);
        for (size_t done = 0; done < data.size(); done += piece) {
            const size_t n = std::min(piece, data.size() - done);
            if (::write(fd, data.data() + done, n) != ssize_t(n)) return kErrWriteFault;
            const int percent = int((done + n) * 100 / data.size());
            percents.push_back(percent);
            fn(user, percent, 0);
        }
        ::close(fd);
        return kOk;
    }
};

class PreviewWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::TestApplication();
        ::mkdir((dir_ / "Languages").c_str(), 0755);
        std::ofstream(dir_ / "Languages/English.ini")
            << "[Messages]\nMSG0901=Loading:\nMSG0902=File:\nMSG0903=Stop it?\n"
               "MSG0904=Folder text\nMSG0905=No picture\nMSG0906=Cut short\nMSG0907=Damaged\n"
               "MSG1207=Cannot play\n[PreviewProcessWnd]\ntitle=Preparing\ncancelbtn=Halt\n";
        table_ = std::make_unique<LanguageTable>(dir_ / "config.ini", dir_ / "Languages");
        table_->Load();
    }
    static RecoveredItem Item(const std::string& name, bool folder = false) {
        RecoveredItem item = testing::FakeEngine::Item(name, 1);
        item.isFolder = folder ? 1 : 0;
        return item;
    }
    // Runs `action` on the first visible top-level widget named `name` once it appears. The
    // watch ends with the test.
    void WhenShown(const char* name, std::function<void(QWidget*)> action) {
        auto* timer = new QTimer(&watches_);
        QObject::connect(timer, &QTimer::timeout, [timer, name, action] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (w->isVisible() && w->objectName() == QLatin1String(name)) {
                    timer->stop();
                    action(w);
                    return;
                }
            }
        });
        timer->start(20);
    }
    static void Click(QWidget* window, const char* button) {
        auto* b = window->findChild<QAbstractButton*>(QLatin1String(button));
        ASSERT_TRUE(b) << button;
        // Clicked from the event loop, not from inside the watch: a modal question may open.
        QTimer::singleShot(0, b, [b] { b->click(); });
    }

    IsolatedHome home_;
    TempDir dir_;
    std::unique_ptr<LanguageTable> table_;
    QObject watches_;
};

TEST_F(PreviewWindowTest, ExtractedFileIsPreparedAndTheWindowShowsNameAndPercent) {
    PreviewEngine engine;
    engine.contents["notes.csv"] = "a,b\n1,2\n";
    CPreviewProcessWnd window(Item("notes.csv"), &engine, "", nullptr, *table_);
    EXPECT_EQ(window.Run(), CPreviewProcessWnd::kDone);
    EXPECT_EQ(window.findChild<QLabel*>("FileName")->text(), "File: notes.csv");
    EXPECT_EQ(window.findChild<QLabel*>("percent")->text(), "Loading: 100%");
    EXPECT_EQ(window.findChild<QAbstractButton*>("cancelbtn")->text(), "Halt");
    EXPECT_EQ(window.windowTitle(), "Preparing");
    EXPECT_EQ(window.ExtractResult(), kOk);
    EXPECT_EQ(window.Request().tempPath, ScanLogFolder() + "/notes.csv");
    EXPECT_EQ(window.Content().page, PreviewPage::kText);
    EXPECT_EQ(window.Content().text, "a,b\n1,2\n");
}

TEST_F(PreviewWindowTest, ConfirmedStopEndsExtractionWithOutcomeTwo) {
    PreviewEngine engine;
    engine.waitForStop = true;
    CPreviewProcessWnd window(Item("clip.avi"), &engine, "", nullptr, *table_);
    bool asked = false;
    WhenShown("PreviewProcessWnd", [&](QWidget* w) {
        WhenShown("UIMessageBox", [&](QWidget* box) {
            asked = box->findChild<QLabel*>("message")->text() == "Stop it?";
            Click(box, "okbtn");
        });
        Click(w, "cancelbtn");
    });
    EXPECT_EQ(window.Run(), CPreviewProcessWnd::kStopped);
    EXPECT_TRUE(asked);
    EXPECT_EQ(window.ExtractResult(), kScanCancelled);
    EXPECT_EQ(window.Content().page, PreviewPage::kEmpty);
}

TEST_F(PreviewWindowTest, DeclinedStopLetsThePreviewFinish) {
    PreviewEngine engine;
    engine.contents["notes.txt"] = "kept";
    // The question is answered "no" while the extraction runs on.
    CPreviewProcessWnd window(Item("notes.txt"), &engine, "", nullptr, *table_);
    WhenShown("PreviewProcessWnd", [&](QWidget* w) {
        WhenShown("UIMessageBox", [&](QWidget* box) { Click(box, "cancelbtn"); });
        Click(w, "closebtn");
    });
    EXPECT_EQ(window.Run(), CPreviewProcessWnd::kDone);
    EXPECT_EQ(window.Content().text, "kept");
}

TEST_F(PreviewWindowTest, PreviousCopyIsDeletedButNothingOutsideTheScanLogFolder) {
    ASSERT_EQ(MakeFolders(ScanLogFolder()), kOk);
    const std::string previous = ScanLogFolder() + "/report.pdf";
    std::ofstream(previous) << "old";
    const std::string outside = dir_ / "keep.pdf";
    std::ofstream(outside) << "keep";
    PreviewEngine engine;
    engine.contents["a.txt"] = "x";
    CPreviewProcessWnd first(Item("a.txt"), &engine, previous, nullptr, *table_);
    first.Run();
    EXPECT_NE(::access(previous.c_str(), F_OK), 0);
    CPreviewProcessWnd second(Item("a.txt"), &engine, outside, nullptr, *table_);
    second.Run();
    EXPECT_EQ(::access(outside.c_str(), F_OK), 0);
    CPreviewProcessWnd third(Item("a.txt"), &engine, ScanLogFolder() + "/../../x", nullptr,
                             *table_);
    third.Run();
}

TEST_F(PreviewWindowTest, PaneShowsEachKindOnItsPage) {
    PreviewEngine engine;
    engine.contents["readme.txt"] = "plain text";
    engine.contents["broken.jpg"] = "not a picture";
    CPreviewPane pane(nullptr, *table_);
    pane.resize(400, 300);

    EXPECT_EQ(pane.PreviewItem(Item("Photos", true), &engine), 0);
    EXPECT_EQ(pane.CurrentPage(), PreviewPage::kText);
    EXPECT_EQ(pane.ShownText(), "Folder text");

    EXPECT_EQ(pane.PreviewItem(Item("readme.txt"), &engine), CPreviewProcessWnd::kDone);
    EXPECT_EQ(pane.ShownText(), "plain text");
    EXPECT_TRUE(pane.TempPath().empty());

    pane.PreviewItem(Item("broken.jpg"), &engine);
    EXPECT_EQ(pane.ShownText(), "No picture");
    // The copy went as soon as the pane held what it shows.
    EXPECT_TRUE(pane.TempPath().empty());
    EXPECT_NE(::access((ScanLogFolder() + "/tmp.jpg").c_str(), F_OK), 0);

    // No engine for the item's source: nothing extracted, an empty pane.
    EXPECT_EQ(pane.PreviewItem(Item("readme.txt"), nullptr), CPreviewProcessWnd::kDone);
    EXPECT_EQ(pane.CurrentPage(), PreviewPage::kEmpty);

    QImage picture(30, 20, QImage::Format_RGB32);
    picture.fill(Qt::green);
    pane.ShowPicture(picture);
    EXPECT_EQ(pane.CurrentPage(), PreviewPage::kPicture);
    EXPECT_EQ(pane.ShownPicture().size(), QSize(30, 20));
    pane.ShowPicture(QImage());
    EXPECT_EQ(pane.ShownText(), "No picture");

    ArchiveListing listing;
    listing.opened = true;
    listing.damaged = true;
    listing.entries = {{"docs", 0, true}, {"docs/a.txt", 2048, false}};
    pane.ShowArchive(listing);
    ASSERT_EQ(pane.CurrentPage(), PreviewPage::kArchive);
    QTreeWidget* list = pane.ArchiveList();
    ASSERT_EQ(list->topLevelItemCount(), 3);
    EXPECT_EQ(list->topLevelItem(0)->text(0), "docs/");
    EXPECT_EQ(list->topLevelItem(1)->text(1), "2.00 KB");
    EXPECT_EQ(list->topLevelItem(2)->text(0), "Damaged");
}

TEST_F(PreviewWindowTest, PaneDeletesEachCopyOnceItIsShown) {
    PreviewEngine engine;
    engine.contents["letter.doc"] = "legacy";
    CPreviewPane pane(nullptr, *table_);
    PreviewConvertOptions options;
    options.office.program = QString::fromStdString(dir_ / "no-office");
    pane.SetConvertOptions(options);
    pane.PreviewItem(Item("letter.doc"), &engine);
    EXPECT_EQ(pane.ShownText(), "legacy");  // no office program: the raw bytes
    EXPECT_TRUE(pane.TempPath().empty());
    ASSERT_TRUE(std::filesystem::exists(ScanLogFolder()));
    for (const auto& entry : std::filesystem::directory_iterator(ScanLogFolder()))
        ADD_FAILURE() << "left in the data folder: " << entry.path();
}

TEST_F(PreviewWindowTest, UnplayableMediaShowsTheMessageWithoutReachingThePlayer) {
    if (!testing::HaveTool("ffprobe")) GTEST_SKIP() << "ffprobe missing: media are not probed";
    PreviewEngine engine;
    engine.contents["clip.avi"] = std::string(4096, '\x11');
    engine.contents["song.mp3"] = "ID3 but nothing after it";
    CPreviewPane pane(nullptr, *table_);
    for (const char* name : {"clip.avi", "song.mp3"}) {
        SCOPED_TRACE(name);
        pane.PreviewItem(Item(name), &engine);
        EXPECT_EQ(pane.CurrentPage(), PreviewPage::kText);
        EXPECT_EQ(pane.ShownText(), "Cannot play");
        EXPECT_FALSE(pane.Playing());
    }
}

TEST_F(PreviewWindowTest, PlayableVideoPlaysAndOneThatNeverStartsGivesUp) {
    if (!testing::HaveTool("ffmpeg") || !testing::HaveTool("ffprobe"))
        GTEST_SKIP() << "ffmpeg missing";
    const std::string video = dir_ / "clip.avi";
    ASSERT_EQ(testing::RunShell("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=10 -t 2 "
                                "-c:v mpeg4 '" +
                                video + "'"),
              0);
    PreviewEngine engine;
    const std::vector<uint8_t> bytes = testing::ReadFileBytes(video);
    engine.contents["clip.avi"] = std::string(bytes.begin(), bytes.end());
    [[maybe_unused]] PlaybackLeaksIgnored leaksOfThePlayer;
    CPreviewPane pane(nullptr, *table_);
    pane.resize(320, 240);
    pane.show();
    QSignalSpy started(&pane, &CPreviewPane::playbackStarted);
    QSignalSpy failed(&pane, &CPreviewPane::playbackFailed);
    pane.PreviewItem(Item("clip.avi"), &engine);
    ASSERT_EQ(pane.CurrentPage(), PreviewPage::kMedia);
    if (!pane.Playing()) GTEST_SKIP() << "no media back end on this system";
    for (int i = 0; i < 150 && started.isEmpty() && failed.isEmpty(); ++i) QTest::qWait(100);
    if (!failed.isEmpty()) GTEST_SKIP() << "the media back end cannot play here";
    EXPECT_EQ(started.size(), 1);
    EXPECT_EQ(pane.CurrentPage(), PreviewPage::kMedia);
    // The player reads its copy while it plays; the copy goes once playback ends.
    const std::string copy = pane.TempPath();
    EXPECT_EQ(::access(copy.c_str(), F_OK), 0);

    // Playback that has not started when the time is up: the message instead.
    pane.SetPlaybackTimeout(1);
    pane.PreviewItem(Item("clip.avi"), &engine);
    ASSERT_TRUE(failed.wait(5000));
    EXPECT_EQ(pane.ShownText(), "Cannot play");
    EXPECT_FALSE(pane.Playing());
    EXPECT_TRUE(pane.TempPath().empty());
    EXPECT_NE(::access(copy.c_str(), F_OK), 0);
}

TEST(MediaClockTest, MinutesAndSecondsWithHoursOnlyWhenThereAreAny) {
    EXPECT_EQ(MediaClock(0, 0), "0:00 / 0:00");
    EXPECT_EQ(MediaClock(61'999, 185'000), "1:01 / 3:05");
    EXPECT_EQ(MediaClock(3'600'000, 7'384'000), "1:00:00 / 2:03:04");
    EXPECT_EQ(MediaClock(-5, 999), "0:00 / 0:00");  // before the first position report
}

// On a machine without a sound device a sound file cannot be played: the message, not a crash
// in the player's audio thread.
TEST_F(PreviewWindowTest, SoundWithoutASoundDeviceShowsTheMessage) {
    if (!testing::HaveTool("ffmpeg") || !testing::HaveTool("ffprobe"))
        GTEST_SKIP() << "ffmpeg missing";
    if (!QMediaDevices::audioOutputs().isEmpty()) GTEST_SKIP() << "this machine has sound";
    const std::string sound = dir_ / "tone.wav";
    ASSERT_EQ(testing::RunShell("ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=1 '" +
                                sound + "'"),
              0);
    PreviewEngine engine;
    const std::vector<uint8_t> bytes = testing::ReadFileBytes(sound);
    engine.contents["tone.wav"] = std::string(bytes.begin(), bytes.end());
    [[maybe_unused]] PlaybackLeaksIgnored leaksOfThePlayer;
    CPreviewPane pane(nullptr, *table_);
    QSignalSpy failed(&pane, &CPreviewPane::playbackFailed);
    pane.PreviewItem(Item("tone.wav"), &engine);
    ASSERT_TRUE(failed.wait(5000));
    EXPECT_EQ(pane.ShownText(), "Cannot play");
    EXPECT_FALSE(pane.Playing());
}

}  // namespace
}  // namespace norvale
