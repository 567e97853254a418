#pragma once
// The program's start and end.
//
// Start-up: `--version` and `--help` (or `-h`) are answered and the program ends, before the
// toolkit starts (no display needed). Otherwise the toolkit, the configuration file (written
// with its defaults when there is none; a language file that cannot be read is reported with
// one line on stderr, "norvale: language file not found: <path>"), the single-instance check
// (a later start brings the running window up, or says that the program is running, and
// ends), the engines, then the main window, 800 x 500 and centred on the screen, and the event
// loop. Shut-down, after the loop or on SIGTERM, SIGINT or SIGHUP: the preview players are
// stopped and the temporary preview files deleted.

#include <QString>

class QWidget;

namespace norvale {

inline constexpr const char* kAlreadyRunningText = "Norvale SD Card Data Recovery is running.";

// Centres `window` on the screen it is on (the primary screen before it is shown). A window
// larger than the screen is made smaller, down to what its controls need, and placed with its
// top-left corner on the screen.
void CentreOnScreen(QWidget* window);
// Shows `window` in its normal state (restoring it when minimised), raises it and gives it
// the focus.
void ShowNormalAndActivate(QWidget* window);

// Runs the program; returns 0 in every case.
int RunApplication(int& argc, char** argv);

}  // namespace norvale
