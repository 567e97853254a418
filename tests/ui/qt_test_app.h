#pragma once
// The one QApplication of the test program, made on first use. Without a display the tests
// run on the offscreen platform (CTest sets it; a hand-run gets it here).

#include <QApplication>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace norvale::testing {

inline QApplication& TestApplication() {
    static int argc = 1;
    static char name[] = "test_ui";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
#ifdef NORVALE_TEST_SOUND_SERVER
    // The private sound server CTest starts for these tests (scripts/test-sound.sh), unless
    // the caller names another one.
    if (qEnvironmentVariableIsEmpty("PULSE_SERVER"))
        qputenv("PULSE_SERVER", NORVALE_TEST_SOUND_SERVER);
#endif
    // Never destroyed: tearing Qt down during static destruction is not safe.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

// Qt Multimedia of this version keeps a few blocks per playback (the codec's option list, the
// video window's backing store) that it never frees; the leak check of sanitizer builds leaves
// what is allocated on this thread during playback alone.
struct PlaybackLeaksIgnored {
#if defined(__SANITIZE_ADDRESS__)
    PlaybackLeaksIgnored() {
        __lsan_disable();
    }
    ~PlaybackLeaksIgnored() {
        __lsan_enable();
    }
#endif
};

}  // namespace norvale::testing
