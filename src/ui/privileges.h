#pragma once
// Reading raw disks needs rights an ordinary desktop user usually lacks (disk devices belong
// to root and the "disk" group). The program runs unprivileged and, when a disk of the list
// cannot be opened, offers to start itself again through pkexec, which asks for the
// administrator's password in a graphical prompt.

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace norvale {

// True when running as root, or when every removable disk of the list can be opened
// read-only (also when there is none).
bool CanOpenRawDisks();

// The arguments for pkexec that start `program` with `args` as root inside the user's
// graphical session: `envProgram`, the display variables of `environment` that are set (DISPLAY,
// XAUTHORITY, WAYLAND_DISPLAY, XDG_RUNTIME_DIR) as NAME=value, the program and its arguments.
// pkexec clears the environment, and without these the new instance could not open a window.
// Empty when `program` cannot be passed through env (a path containing "=").
QStringList PkexecArguments(const QString& program, const QStringList& args,
                            const QProcessEnvironment& environment,
                            const QString& envProgram = QStringLiteral("/usr/bin/env"));

// Starts this program again through pkexec with `args` and the display environment. True when
// pkexec was started (the caller then quits, so the new instance is the only one); false when
// pkexec is missing or could not be started.
bool RestartWithAdministratorRights(const QStringList& args);

}  // namespace norvale
