#include "app/shut_down.h"

#include <signal.h>
#include <unistd.h>

#include <mutex>
#include <set>

#include "engine/data_paths.h"

namespace norvale {

namespace {

std::mutex gPlayersMutex;
std::set<pid_t> gPlayers;

}  // namespace

std::string PreviewTempPath(const char* name) {
    return ScanLogFolder() + "/" + name;
}

void RegisterPreviewPlayer(pid_t pid) {
    if (pid <= 0) return;  // never a process group or "every process"
    std::lock_guard guard(gPlayersMutex);
    gPlayers.insert(pid);
}

void ForgetPreviewPlayer(pid_t pid) {
    std::lock_guard guard(gPlayersMutex);
    gPlayers.erase(pid);
}

size_t StopPreviewPlayers() {
    std::set<pid_t> players;
    {
        std::lock_guard guard(gPlayersMutex);
        players.swap(gPlayers);
    }
    size_t signalled = 0;
    for (pid_t pid : players) {
        if (::kill(pid, SIGKILL) == 0) ++signalled;
    }
    return signalled;
}

void DeletePreviewTempFiles() {
    for (const char* name : {kPreviewVideoFile, kPreviewPictureFile})
        ::unlink(PreviewTempPath(name).c_str());
}

void ShutDownApplication() {
    StopPreviewPlayers();
    DeletePreviewTempFiles();
}

}  // namespace norvale
