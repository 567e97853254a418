#include "engine/data_paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace norvale {

namespace {

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    // Services started without HOME still have a password-database entry.
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
        found->pw_dir)
        return found->pw_dir;
    return "/tmp";
}

// An XDG variable counts only when it holds an absolute path; anything else falls back to the
// default under the home folder, as the XDG rules ask.
std::string XdgFolder(const char* variable, const char* homeRelative) {
    if (const char* v = std::getenv(variable); v && v[0] == '/') {
        std::string s = v;
        while (s.size() > 1 && s.back() == '/') s.pop_back();
        return s;
    }
    return HomeFolder() + "/" + homeRelative;
}

Result RemoveEntryAt(int parentFd, const char* name, int depth);

// Empties the folder open as `fd` (which this function closes).
Result EmptyFolder(int fd, int depth) {
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        const int err = errno;
        ::close(fd);
        return FromErrno(err);
    }
    Result first = kOk;
    // Names are gathered first: removing entries while readdir walks the same stream may skip
    // some on certain file systems.
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view n = e->d_name;
        if (n != "." && n != "..") names.emplace_back(n);
    }
    for (const std::string& n : names) {
        const Result r = RemoveEntryAt(::dirfd(dir), n.c_str(), depth + 1);
        if (first == kOk) first = r;
    }
    ::closedir(dir);
    return first;
}

Result RemoveEntryAt(int parentFd, const char* name, int depth) {
    // A folder nested this deep is not something this program made; stop rather than exhaust
    // descriptors.
    if (depth > 256) return kErrDirNotEmpty;
    struct stat st {};
    if (::fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return FromErrno(errno);
    if (!S_ISDIR(st.st_mode)) {
        // Files and symbolic links alike: a link is removed, never what it points to.
        return ::unlinkat(parentFd, name, 0) == 0 ? kOk : FromErrno(errno);
    }
    const int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return FromErrno(errno);
    const Result r = EmptyFolder(fd, depth);
    if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0) return r != kOk ? r : FromErrno(errno);
    return r;
}

}  // namespace

std::string DataHome() {
    return XdgFolder("XDG_DATA_HOME", ".local/share") + "/Kestrune";
}

std::string ConfigHome() {
    return XdgFolder("XDG_CONFIG_HOME", ".config") + "/Kestrune";
}

std::string ScanLogFolder() {
    return DataHome() + "/ScanLog";
}

Result MakeFolders(const std::string& path) {
    if (path.empty()) return kErrInvalidParameter;
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? kOk : kErrDirectoryName;
    for (size_t pos = 1; pos <= p.size(); ++pos) {
        if (pos != p.size() && p[pos] != '/') continue;
        const std::string part = p.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) == 0) continue;
        if (errno != EEXIST) return FromErrno(errno);
        if (::stat(part.c_str(), &st) != 0) return FromErrno(errno);
        if (!S_ISDIR(st.st_mode)) return kErrDirectoryName;
    }
    return kOk;
}

Result RemoveTree(const std::string& path) {
    if (path.empty()) return kErrInvalidParameter;
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p == "/") return kErrAccessDenied;
    const size_t slash = p.rfind('/');
    const std::string parent =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : p.substr(0, slash));
    const std::string leaf = slash == std::string::npos ? p : p.substr(slash + 1);
    if (leaf == "." || leaf == "..") return kErrInvalidParameter;
    const int parentFd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0) return FromErrno(errno);
    const Result r = RemoveEntryAt(parentFd, leaf.c_str(), 0);
    ::close(parentFd);
    return r;
}

}  // namespace norvale
