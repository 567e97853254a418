#include "ui/application.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QScreen>
#include <QSocketNotifier>
#include <QWidget>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/engine_set.h"
#include "app/language_table.h"
#include "app/program_paths.h"
#include "app/shut_down.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/single_instance.h"

#ifndef NORVALE_VERSION
#error "NORVALE_VERSION comes from the build (src/ui/CMakeLists.txt)"
#endif

namespace norvale {

namespace {

int gQuitPipe[2] = {-1, -1};

void OnQuitSignal(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(gQuitPipe[1], &byte, 1);
    errno = saved;
}

// Ends the event loop on SIGTERM, SIGINT and SIGHUP, so that a logout or Ctrl-C still runs
// the shut-down. The handler only writes a byte; the loop does the rest.
void QuitLoopOnSignals(QApplication& app) {
    if (::pipe2(gQuitPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(gQuitPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char buf[16];
        while (::read(gQuitPipe[0], buf, sizeof buf) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &action, nullptr);
}

// The usage `norvale --help` prints.
void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: norvale [--help | --version]\n"
                 "\n"
                 "Norvale Card Data Recovery, the desktop program: finds deleted and lost files\n"
                 "on memory cards, USB sticks, disks and disk images, and writes them to a\n"
                 "folder on another drive. Cards and disks are only read. It takes no arguments\n"
                 "of its own besides these two (the options of Qt, such as -platform, apply);\n"
                 "for scripts there is norvale-cli.\n"
                 "\n"
                 "  -h, --help     print this text and exit\n"
                 "  --version      print the version and exit\n"
                 "\n"
                 "Folders it uses:\n"
                 "  $XDG_CONFIG_HOME/Kestrune (default ~/.config/Kestrune): config.ini, the\n"
                 "      settings\n"
                 "  $XDG_DATA_HOME/Kestrune (default ~/.local/share/Kestrune): ScanLog, the\n"
                 "      saved scans and the preview's temporary files\n"
                 "  %s: the language files\n",
                 LanguagesDirectory().c_str());
}

// Says on stderr when the active language's file cannot be read: the windows then show no
// texts, and a packager needs to know which path was tried.
void ReportMissingLanguageFile() {
    const LanguageTable& table = LanguageTable::Instance();
    const std::string path = table.LanguageFilePath();
    if (!IsSafeLanguageName(table.CurrentLanguage()) || !ReadSmallTextFile(path))
        std::fprintf(stderr, "norvale: language file not found: %s\n", path.c_str());
}

}  // namespace

void CentreOnScreen(QWidget* window) {
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect available = screen->availableGeometry();
    // On a small screen, or at a large scale (QT_SCALE_FACTOR=2 halves the room), the window
    // shrinks to the screen as far as its controls allow, and its top-left corner, with the
    // title bar, stays on the screen.
    const QSize frameExtra = window->frameGeometry().size() - window->size();
    const QSize room = (available.size() - frameExtra).expandedTo(window->minimumSizeHint());
    if (window->width() > room.width() || window->height() > room.height())
        window->resize(window->size().boundedTo(room));
    QRect frame = window->frameGeometry();
    frame.moveCenter(available.center());
    window->move(std::max(frame.left(), available.left()), std::max(frame.top(), available.top()));
}

void ShowNormalAndActivate(QWidget* window) {
    window->showNormal();
    window->raise();
    window->activateWindow();
}

int RunApplication(int& argc, char** argv) {
    // Answered before the toolkit starts, so they work without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("norvale %s\n", NORVALE_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            PrintUsage(stdout);
            return 0;
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("norvale"));
    // The menu entry's name without ".desktop": the desktop shows its icon for the window.
    QApplication::setDesktopFileName(QStringLiteral("org.norvale.CardRecovery"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/norvale.svg")));

    // The first text lookup reads config.ini; a first start gets one with the defaults. Where
    // it cannot be written the defaults are used all the same.
    (void)EnsureConfigFile(ConfigFilePath());
    ReportMissingLanguageFile();

    SingleInstance instance;
    if (!instance.BecomePrimary()) {
        if (instance.AskPrimaryToShow() != SingleInstance::Answer::kShown)
            CMessageBox::Show(CMessageBox::kInformationBox, nullptr,
                              QString::fromUtf8(kAlreadyRunningText));
        return 0;
    }

    InstallEngineMakers();
    QuitLoopOnSignals(app);

    std::unique_ptr<QWidget> window = CreateMainWindow();
    QWidget* shown = window.get();
    instance.SetShowHandler([shown] {
        ShowNormalAndActivate(shown);
        return true;
    });
    CentreOnScreen(shown);
    shown->show();
    shown->activateWindow();

    QApplication::exec();

    instance.SetShowHandler({});
    window.reset();
    ShutDownApplication();
    return 0;
}

}  // namespace norvale
