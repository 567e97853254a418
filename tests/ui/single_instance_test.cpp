// One running program per user: the lock, the request to show the running window, and the
// program itself started twice.

#include "ui/single_instance.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QTest>
#include <atomic>
#include <fstream>
#include <thread>

#include "engine/data_paths.h"
#include "support/test_support.h"
#include "ui/qt_test_app.h"

namespace norvale {
namespace {

using testing::IsolatedHome;
using testing::ScopedEnv;
using testing::TempDir;

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Asks from a second thread, as a second process would, while this thread serves requests.
SingleInstance::Answer AskFromAnotherThread(const QString& folder, int timeoutMs = 5000) {
    std::atomic<bool> done{false};
    SingleInstance::Answer answer = SingleInstance::Answer::kNotShown;
    std::thread asker([&] {
        SingleInstance later(folder);
        answer = later.AskPrimaryToShow(timeoutMs);
        done = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, timeoutMs + 2000));
    asker.join();
    return answer;
}

class SingleInstanceTest : public ::testing::Test {
  protected:
    void SetUp() override { testing::TestApplication(); }
    TempDir dir_;
    QString folder_ = QString::fromStdString(dir_.Path());
};

TEST_F(SingleInstanceTest, OnlyOneHoldsTheLockUntilItEnds) {
    auto first = std::make_unique<SingleInstance>(folder_);
    ASSERT_TRUE(first->BecomePrimary());
    SingleInstance second(folder_);
    EXPECT_FALSE(second.BecomePrimary());
    EXPECT_FALSE(second.IsPrimary());
    first.reset();
    EXPECT_TRUE(second.BecomePrimary());
}

TEST_F(SingleInstanceTest, ALaterStartBringsTheRunningWindowUp) {
    SingleInstance first(folder_);
    ASSERT_TRUE(first.BecomePrimary());
    int shown = 0;
    first.SetShowHandler([&] {
        ++shown;
        return true;
    });
    EXPECT_EQ(AskFromAnotherThread(folder_), SingleInstance::Answer::kShown);
    EXPECT_EQ(shown, 1);
}

TEST_F(SingleInstanceTest, WithoutAWindowToShowTheAnswerIsNotShown) {
    SingleInstance first(folder_);
    ASSERT_TRUE(first.BecomePrimary());
    EXPECT_EQ(AskFromAnotherThread(folder_), SingleInstance::Answer::kNotShown);  // no handler
    first.SetShowHandler([] { return false; });
    EXPECT_EQ(AskFromAnotherThread(folder_), SingleInstance::Answer::kNotShown);
}

TEST_F(SingleInstanceTest, NobodyListeningMeansNotShownAfterTheTimeout) {
    SingleInstance later(folder_);
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(later.AskPrimaryToShow(300), SingleInstance::Answer::kNotShown);
    EXPECT_LT(timer.elapsed(), 3000);
}

TEST_F(SingleInstanceTest, ASocketLeftByACrashedInstanceIsReplaced) {
    SingleInstance probe(folder_);
    std::ofstream(probe.SocketPath().toStdString()) << "stale";
    SingleInstance first(folder_);
    ASSERT_TRUE(first.BecomePrimary());
    first.SetShowHandler([] { return true; });
    EXPECT_EQ(AskFromAnotherThread(folder_), SingleInstance::Answer::kShown);
}

TEST_F(SingleInstanceTest, GarbageFromAnotherClientDoesNotStopTheService) {
    SingleInstance first(folder_);
    ASSERT_TRUE(first.BecomePrimary());
    int shown = 0;
    first.SetShowHandler([&] { return ++shown, true; });
    QLocalSocket rogue;
    rogue.connectToServer(first.SocketPath());
    ASSERT_TRUE(rogue.waitForConnected(2000));
    rogue.write(QByteArray(4096, 'x'));
    rogue.flush();
    EXPECT_TRUE(QTest::qWaitFor([&] { return rogue.state() == QLocalSocket::UnconnectedState; },
                                3000));  // cut off
    EXPECT_EQ(shown, 0);
    EXPECT_EQ(AskFromAnotherThread(folder_), SingleInstance::Answer::kShown);
}

TEST_F(SingleInstanceTest, NoRuntimeFolderMeansNoCheck) {
    SingleInstance first{QString()};
    EXPECT_TRUE(first.BecomePrimary());
    SingleInstance second{QString()};
    EXPECT_TRUE(second.BecomePrimary());
    EXPECT_EQ(second.AskPrimaryToShow(100), SingleInstance::Answer::kNotShown);
}

// The program: a second start ends at once with 0 and leaves the first running; the first
// ends cleanly on SIGTERM, deleting the preview files; a first start writes config.ini.
TEST_F(SingleInstanceTest, TheProgramStartedTwiceKeepsOneRunning) {
    const char* gui = std::getenv("NORVALE_GUI");
    if (!gui || !*gui) GTEST_SKIP() << "NORVALE_GUI (the norvale program) not given";
    IsolatedHome home;
    ScopedEnv runtime("XDG_RUNTIME_DIR", dir_.Path());
    ScopedEnv platform("QT_QPA_PLATFORM", "offscreen");
    ASSERT_EQ(MakeFolders(ScanLogFolder()), kOk);
    for (const char* name : {"tmp.avi", "tmp.jpg"})
        std::ofstream(ScanLogFolder() + "/" + name) << "preview";

    QProcess first;
    first.setProcessChannelMode(QProcess::ForwardedChannels);
    first.start(QString::fromLocal8Bit(gui), {});
    ASSERT_TRUE(first.waitForStarted(10000));
    SingleInstance probe(folder_);
    const std::string socket = probe.SocketPath().toStdString();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Exists(socket); }, 20000)) << "never listened";

    QProcess second;
    second.setProcessChannelMode(QProcess::ForwardedChannels);
    second.start(QString::fromLocal8Bit(gui), {});
    // A second start that showed the "is running" box would wait for an answer instead.
    ASSERT_TRUE(second.waitForFinished(20000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);

    first.terminate();
    ASSERT_TRUE(first.waitForFinished(20000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_FALSE(Exists(ScanLogFolder() + "/tmp.avi"));
    EXPECT_FALSE(Exists(ScanLogFolder() + "/tmp.jpg"));
    EXPECT_FALSE(Exists(socket));
    EXPECT_TRUE(Exists(ConfigHome() + "/config.ini"));
}

}  // namespace
}  // namespace norvale
