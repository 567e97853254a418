#pragma once
// An empty machine for tests of the main window: under a test folder, a fake sysfs, /dev and
// mount table with no disks, and a config.ini of the test's own; the program's language files.
// MainWndFixture opens the main window on it with every hook answered by the test.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAbstractButton>
#include <QAction>
#include <QDialog>
#include <QEventLoop>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <QUrl>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/engine_set.h"
#include "app/language_table.h"
#include "support/test_support.h"
#include "ui/assist_menu.h"
#include "ui/main_wnd.h"
#include "ui/message_box.h"
#include "ui/qt_test_app.h"
#include "ui/results_page.h"
#include "ui/scan_process_wnd.h"
#include "ui/window_texts.h"

namespace norvale::testing {

// Makes the empty machine under `dir` with `config` as config.ini, points `options` at it (no
// device watching) and returns the loaded language table, which must outlive the window.
inline std::unique_ptr<LanguageTable> PrepareMainWnd(const std::string& dir,
                                                     const std::string& config,
                                                     MainWndOptions& options) {
    EXPECT_EQ(::mkdir((dir + "/sys").c_str(), 0755), 0);
    EXPECT_EQ(::mkdir((dir + "/dev").c_str(), 0755), 0);
    std::ofstream(dir + "/mountinfo").flush();
    std::ofstream(dir + "/config.ini") << config;
    auto table =
        std::make_unique<LanguageTable>(dir + "/config.ini", SourceDir() + "/src/ui/Languages");
    table->Load();
    options.table = table.get();
    options.watchDevices = false;
    options.systemPaths = SystemPaths{dir + "/sys", dir + "/dev", dir + "/mountinfo"};
    return table;
}

// Skips a picture-taking test unless NORVALE_SCREENSHOTS names the folder for the pictures.
#define NORVALE_REQUIRE_SCREENSHOTS()                                         \
    do {                                                                      \
        if (::norvale::testing::MainWndFixture::ScreenshotFolder().isEmpty()) \
            GTEST_SKIP() << "NORVALE_SCREENSHOTS not set";                    \
    } while (0)

// Lets shown windows lay out and paint (and queued work run) for `ms` milliseconds.
inline void Settle(int ms = 100) {
    QEventLoop wait;
    QTimer::singleShot(ms, &wait, &QEventLoop::quit);
    wait.exec();
}

// The first file below `root` named `name` (any case); "" when there is none.
inline std::string FindFile(const std::string& root, const std::string& name) {
    namespace fs = std::filesystem;
    if (!fs::exists(root)) return {};
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file() &&
            QString::fromStdString(entry.path().filename().string())
                    .compare(QString::fromStdString(name), Qt::CaseInsensitive) == 0)
            return entry.path().string();
    }
    return {};
}

// A main window on the empty machine, in an isolated home. Every hook is the test's: message
// boxes are recorded and answered with `answer_` (or `answerWith_`), the pickers return
// `load_` and `dest_`, and progress windows run with the recovery window's "FinishBtn"
// pressed once its summary shows.
class MainWndFixture : public ::testing::Test {
  protected:
    static constexpr const char* kEnglish = "[Default]\nDefaultLanguage=English\n";

    struct Shown {
        int type;
        QString text;
    };

    // Opens the window with `config` as config.ini; `adjust` may change the hooks first.
    void OpenWindow(const std::string& config = kEnglish,
                    const std::function<void(MainWndHooks&)>& adjust = {}) {
        TestApplication();
        MainWndOptions options;
        table_ = PrepareMainWnd(dir_.Path(), config, options);
        MainWndHooks& hooks = options.hooks;
        hooks.pickImageToLoad = [this](QWidget*) { return QString::fromStdString(load_); };
        hooks.pickFolder = [this](QWidget*, const QString& title) {
            folderTitles_ << title;
            return QString::fromStdString(dest_);
        };
        hooks.messageBox = [this](int type, QWidget*, const QString& text) {
            shown_.push_back({type, text});
            return answerWith_ ? answerWith_(type, text) : answer_;
        };
        hooks.openUrl = [this](const QUrl& url) {
            opened_.push_back(url);
            return true;
        };
        hooks.quit = [this] { ++quits_; };
        hooks.runProgress = [this](QDialog* window, const std::function<int()>& run) {
            ++runs_;
            if (qobject_cast<CScanProcessWnd*>(window)) ++scans_;
            if (onWindow_) onWindow_(window);
            if (pressFinish_) PressFinishWhenShown(window);
            const int result = run();
            if (afterRun_) afterRun_(window);
            return result;
        };
        if (adjust) adjust(hooks);
        window_ = std::make_unique<CMainWnd>(std::move(options));
    }

    // Makes the demo card (scripts/make-demo-card.sh) at card_, its files as they were put on
    // it in originals_; skips the test where the tools are missing.
    void MakeDemoCard() {
        NORVALE_REQUIRE_TOOLS("mkfs.fat", "mcopy", "mmd", "mdel");
        std::string out;
        ASSERT_EQ(::norvale::testing::Run(SourceDir() + "/scripts/make-demo-card.sh '" + card_ +
                                              "' '" + originals_ + "' 2>&1",
                                          &out),
                  0)
            << out;
    }

    // The usual start of a test of scans: the demo card made, the engines in place and the
    // window opened; false when the test is skipped or failed on the way.
    bool OpenWindowOnDemoCard(const std::function<void(MainWndHooks&)>& adjust = {}) {
        MakeDemoCard();
        if (IsSkipped() || HasFatalFailure()) return false;
        InstallEngineMakers();
        OpenWindow(kEnglish, adjust);
        return true;
    }

    // The recovery window stays open for its summary: presses its "FinishBtn" once it shows,
    // after `beforeFinish_` (when set) has seen the window.
    void PressFinishWhenShown(QDialog* window) {
        auto* finish = window->findChild<QPushButton*>(QStringLiteral("FinishBtn"));
        if (!finish) return;
        auto* poll = new QTimer(window);
        QObject::connect(poll, &QTimer::timeout, window, [this, window, finish, poll] {
            if (!finish->isVisible()) return;
            poll->stop();
            if (beforeFinish_) beforeFinish_(window);
            finish->click();
        });
        poll->start(20);
    }

    template <typename T = QAbstractButton>
    T* Find(const char* name) const {
        T* control = window_->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(control, nullptr) << name;
        return control;
    }
    void Click(const char* name) {
        auto* button = Find(name);
        ASSERT_NE(button, nullptr) << name;
        button->click();
    }
    // Shows the window and waits until it is the active one (as for a person at the keyboard).
    void ShowActive() {
        window_->show();
        window_->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window_.get()));
    }
    // An item of the assistance menu ("item_help", "item_about", ...).
    QAction* MenuItem(const char* name) const {
        return window_->AssistMenu()->findChild<QAction*>(QString::fromLatin1(name));
    }
    // The assistance menu's items that open pages, or About's box.
    struct LinkItems {
        QAction *help, *faq, *about, *support;
        bool All() const { return help && faq && about && support; }
    };
    LinkItems Links() const {
        return {MenuItem("item_help"), MenuItem("item_faq"), MenuItem("item_about"),
                MenuItem("item_support")};
    }
    // A text of the language files' [Messages].
    QString Text(const char* key) const { return FromUtf8(table_->Text("Messages", key)); }
    // How many times the message `key` was shown.
    int Count(const char* key) const {
        int n = 0;
        for (const Shown& s : shown_) n += s.text == Text(key) ? 1 : 0;
        return n;
    }
    // The messages shown, for failure output.
    std::string ShownTexts() const {
        QStringList texts;
        for (const Shown& s : shown_) texts << s.text;
        return texts.join(QLatin1Char('|')).toStdString();
    }

    // From the kinds page: photos ticked, Deleted File Recovery of the loaded image.
    void ScanPhotos() {
        Click("ChkPhoto");
        Click("BtnDeletedRecovery");
        Click("BtnLoadImage");
        Click("BtnScan");
        ASSERT_EQ(window_->CurrentPage(), CMainWnd::kResultsPage) << ShownTexts();
    }
    // Checks the rows of the photo node named as in `names` (any case); returns how many.
    int CheckPhotos(const std::vector<std::string>& names) {
        CResultsPage* results = window_->Results();
        results->Tree()->setCurrentItem(results->CategoryNode(QStringLiteral("NodePhoto")));
        QTreeWidget* list = results->List();
        int checked = 0;
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = list->topLevelItem(i);
            for (const std::string& name : names) {
                if (row->text(CResultsPage::kNameColumn)
                        .compare(QString::fromStdString(name), Qt::CaseInsensitive) == 0) {
                    row->setCheckState(CResultsPage::kCheckColumn, Qt::Checked);
                    ++checked;
                }
            }
        }
        return checked;
    }

    static QString ScreenshotFolder() { return qEnvironmentVariable("NORVALE_SCREENSHOTS"); }
    // Saves `widget` as `file` in the screenshot folder once it has settled.
    static void SavePicture(QWidget* widget, const char* file, int settleMs = 150) {
        Settle(settleMs);
        EXPECT_TRUE(
            widget->grab().save(ScreenshotFolder() + QLatin1Char('/') + QLatin1String(file)))
            << file;
    }

    IsolatedHome home_;
    TempDir dir_;
    std::string card_ = dir_ / "card.img";
    std::string originals_ = dir_ / "originals";
    std::string load_ = card_;
    std::string dest_ = dir_ / "recovered";
    std::unique_ptr<LanguageTable> table_;
    std::vector<Shown> shown_;
    int answer_ = CMessageBox::kAnswerCancel;
    std::function<int(int type, const QString& text)> answerWith_;
    std::vector<QUrl> opened_;
    QStringList folderTitles_;
    int runs_ = 0;   // progress windows run
    int scans_ = 0;  // of them scan windows
    int quits_ = 0;
    bool pressFinish_ = true;
    std::function<void(QDialog*)> onWindow_;      // each progress window before it runs
    std::function<void(QDialog*)> beforeFinish_;  // the recovery window's summary
    std::function<void(QDialog*)> afterRun_;      // each progress window once it has run
    std::unique_ptr<CMainWnd> window_;
};

}  // namespace norvale::testing
