#pragma once
// One running program per user. The first instance holds an exclusive lock on a file in the
// user's runtime folder for its whole life (the kernel drops it when the process ends, however
// it ends) and listens on a local socket beside it. A later instance finds the lock taken,
// asks the first one over the socket to show its window, and ends.
//
// Protocol: the later instance sends "show\n"; the first answers "shown\n" when it had a
// window to bring up, else "none\n".

#include <QObject>
#include <QString>
#include <functional>

class QLocalServer;
class QLocalSocket;

namespace norvale {

// The base name of the lock file and of the socket.
inline constexpr const char* kInstanceName = "Norvale_Revo_Diva_Daredude_2016_Zer_Uvarede";

// $XDG_RUNTIME_DIR when it names a folder; else a private folder "norvale-runtime-<uid>" in
// /tmp, made with mode 0700 and used only when it belongs to this user and nobody else may
// enter it. Empty when there is no such folder (the program then runs without the check).
QString DefaultRuntimeFolder();

class SingleInstance : public QObject {
    Q_OBJECT
  public:
    enum class Answer {
        kShown,     // the running instance brought its window up
        kNotShown,  // it answered that it has no window, or did not answer in time
    };

    // Lock file and socket in `runtimeFolder` (DefaultRuntimeFolder() by default).
    explicit SingleInstance(const QString& runtimeFolder = DefaultRuntimeFolder(),
                            QObject* parent = nullptr);
    ~SingleInstance() override;
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // Takes the lock. True when this is the first instance (or no check is possible: no
    // runtime folder, a lock file that cannot be made); it then listens for later instances.
    // False when another instance holds the lock.
    bool BecomePrimary();
    bool IsPrimary() const { return primary_; }

    // In a later instance: asks the running one to show its window, trying to reach it for up
    // to `timeoutMs` (it may still be starting). Blocking; callable from any thread.
    Answer AskPrimaryToShow(int timeoutMs = 3000) const;

    // In the first instance: what a request does. The handler runs on this object's thread
    // and returns whether there was a window to show. Without a handler the answer is "none".
    void SetShowHandler(std::function<bool()> handler) { showHandler_ = std::move(handler); }

    QString LockPath() const;
    QString SocketPath() const;

  private:
    void OnNewConnection();
    void OnRequest(QLocalSocket* socket);

    QString folder_;
    int lockFd_ = -1;
    bool primary_ = false;
    QLocalServer* server_ = nullptr;
    std::function<bool()> showHandler_;
};

}  // namespace norvale
