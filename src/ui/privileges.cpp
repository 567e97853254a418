#include "ui/privileges.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <cerrno>
#include <vector>

#include "device/disk_enumerator.h"

namespace norvale {

bool CanOpenRawDisks() {
    if (::geteuid() == 0) return true;
    DiskEnumerator enumerator;
    enumerator.Enumerate();
    std::vector<PartitionRecord> records;
    enumerator.AllPartitions(records);
    std::string lastDisk;
    for (const PartitionRecord& rec : records) {
        if (!rec.removable || rec.diskPath.empty() || rec.diskPath == lastDisk) continue;
        lastDisk = rec.diskPath;
        const int fd = ::open(rec.diskPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            if (errno == EACCES || errno == EPERM) return false;
            continue;  // gone or without medium: not a question of rights
        }
        ::close(fd);
    }
    return true;
}

QStringList PkexecArguments(const QString& program, const QStringList& args,
                            const QProcessEnvironment& environment, const QString& envProgram) {
    // env would take a program path with "=" in it for one more variable.
    if (program.contains(QLatin1Char('='))) return {};
    QStringList out{envProgram};
    for (const char* name : {"DISPLAY", "XAUTHORITY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR"}) {
        const QString key = QString::fromLatin1(name);
        const QString value = environment.value(key);
        if (!value.isEmpty()) out << key + QLatin1Char('=') + value;
    }
    // Display managers that keep the X cookie in the home folder do not always announce it;
    // root has another home and would not find it.
    if (environment.value(QStringLiteral("XAUTHORITY")).isEmpty() &&
        !environment.value(QStringLiteral("DISPLAY")).isEmpty()) {
        const QString home = environment.value(QStringLiteral("HOME"));
        const QString cookie = home + QStringLiteral("/.Xauthority");
        if (!home.isEmpty() && QFileInfo(cookie).isFile())
            out << QStringLiteral("XAUTHORITY=") + cookie;
    }
    // After the program env hands everything on untouched, NAME=value look-alikes too.
    out << program << args;
    return out;
}

bool RestartWithAdministratorRights(const QStringList& args) {
    const QString pkexec = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
    if (pkexec.isEmpty()) return false;
    // pkexec runs nothing but absolute paths it can check against a policy.
    const QString env = QStandardPaths::findExecutable(QStringLiteral("env"));
    const QString program = QCoreApplication::applicationFilePath();
    if (env.isEmpty() || program.isEmpty()) return false;
    const QStringList arguments =
        PkexecArguments(program, args, QProcessEnvironment::systemEnvironment(), env);
    if (arguments.isEmpty()) return false;
    return QProcess::startDetached(pkexec, arguments, QDir::rootPath());
}

}  // namespace norvale
