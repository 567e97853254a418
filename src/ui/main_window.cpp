#include "ui/main_window.h"

#include "ui/main_wnd.h"

namespace norvale {

std::unique_ptr<QWidget> CreateMainWindow() {
    auto window = std::make_unique<CMainWnd>();
    window->setWindowTitle(QString::fromUtf8(kMainWindowTitle));
    window->resize(kMainWindowWidth, kMainWindowHeight);
    return window;
}

}  // namespace norvale
