#include "ui/single_instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

namespace norvale {

namespace {

constexpr qint64 kMaxRequestBytes = 64;  // "show\n" and nothing much more

bool IsPrivateFolder(const QByteArray& path) {
    struct stat st {};
    return ::lstat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & 077) == 0;
}

}  // namespace

QString DefaultRuntimeFolder() {
    const QByteArray xdg = qgetenv("XDG_RUNTIME_DIR");
    if (xdg.startsWith('/') && QFileInfo(QString::fromLocal8Bit(xdg)).isDir())
        return QString::fromLocal8Bit(xdg);
    const QByteArray own = "/tmp/norvale-runtime-" + QByteArray::number(uint(::getuid()));
    ::mkdir(own.constData(), 0700);
    return IsPrivateFolder(own) ? QString::fromLocal8Bit(own) : QString();
}

SingleInstance::SingleInstance(const QString& runtimeFolder, QObject* parent)
    : QObject(parent), folder_(runtimeFolder) {}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();  // removes the socket file
    if (lockFd_ >= 0) ::close(lockFd_);
}

QString SingleInstance::LockPath() const {
    return folder_ + QLatin1Char('/') + QLatin1String(kInstanceName) + QLatin1String(".lock");
}

QString SingleInstance::SocketPath() const {
    return folder_ + QLatin1Char('/') + QLatin1String(kInstanceName) + QLatin1String(".socket");
}

bool SingleInstance::BecomePrimary() {
    if (primary_) return true;
    if (folder_.isEmpty()) return primary_ = true;
    const QByteArray lockPath = LockPath().toLocal8Bit();
    lockFd_ = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) return primary_ = true;
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(lockFd_);
        lockFd_ = -1;
        if (held) return false;
        return primary_ = true;
    }
    primary_ = true;

    // Holding the lock, any socket file left there belongs to an instance that is gone.
    QLocalServer::removeServer(SocketPath());
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::OnNewConnection);
    if (!server_->listen(SocketPath())) {
        delete server_;
        server_ = nullptr;
    }
    return true;
}

void SingleInstance::OnNewConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { OnRequest(socket); });
        if (socket->canReadLine()) OnRequest(socket);
    }
}

void SingleInstance::OnRequest(QLocalSocket* socket) {
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxRequestBytes) socket->abort();
        return;
    }
    const QByteArray request = socket->readLine(kMaxRequestBytes).trimmed();
    bool shown = false;
    if (request == "show" && showHandler_) shown = showHandler_();
    socket->write(shown ? "shown\n" : "none\n");
    socket->flush();
    socket->disconnectFromServer();
}

SingleInstance::Answer SingleInstance::AskPrimaryToShow(int timeoutMs) const {
    if (folder_.isEmpty()) return Answer::kNotShown;
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    // The first instance takes its lock before it listens; keep trying while it starts.
    for (;;) {
        socket.connectToServer(SocketPath());
        if (socket.waitForConnected(int(qMax<qint64>(1, deadline.remainingTime())))) break;
        if (deadline.hasExpired()) return Answer::kNotShown;
        QThread::msleep(50);
    }
    socket.write("show\n");
    if (!socket.waitForBytesWritten(int(qMax<qint64>(1, deadline.remainingTime()))))
        return Answer::kNotShown;
    while (!socket.canReadLine()) {
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime())))
            return Answer::kNotShown;
    }
    return socket.readLine(kMaxRequestBytes).trimmed() == "shown" ? Answer::kShown
                                                                  : Answer::kNotShown;
}

}  // namespace norvale
