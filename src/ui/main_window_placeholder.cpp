#include "ui/main_window_placeholder.h"

namespace norvale {

std::unique_ptr<QWidget> CreateMainWindow() {
    auto window = std::make_unique<QWidget>();
    window->setObjectName(QStringLiteral("FileRecoveryWnd"));
    window->setWindowTitle(QString::fromUtf8(kMainWindowTitle));
    window->resize(kMainWindowWidth, kMainWindowHeight);
    return window;
}

}  // namespace norvale
