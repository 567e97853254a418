#include "ui/application.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QScreen>
#include <QSocketNotifier>
#include <QWidget>
#include <algorithm>
#include <cerrno>

#include "app/engine_set.h"
#include "app/language_table.h"
#include "app/program_paths.h"
#include "app/shut_down.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/single_instance.h"

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
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("norvale"));
    QApplication::setDesktopFileName(QStringLiteral("norvale"));

    // The first text lookup reads config.ini; a first start gets one with the defaults. Where
    // it cannot be written the defaults are used all the same.
    (void)EnsureConfigFile(ConfigFilePath());

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
