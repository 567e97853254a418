#pragma once
// The one QApplication of the test program, made on first use. Without a display the tests
// run on the offscreen platform (CTest sets it; a hand-run gets it here).

#include <QApplication>

namespace norvale::testing {

inline QApplication& TestApplication() {
    static int argc = 1;
    static char name[] = "test_ui";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: tearing Qt down during static destruction is not safe.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

}  // namespace norvale::testing
