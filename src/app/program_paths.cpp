#include "app/program_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "engine/data_paths.h"

namespace norvale {

namespace {

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string ProgramDirectory() {
    std::vector<char> buf(4096);
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    if (n <= 0 || size_t(n) >= buf.size() - 1) return "";
    const std::string exe(buf.data(), size_t(n));
    const size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : exe.substr(0, slash);
}

std::string LanguagesDirectoryFor(const std::string& programDir) {
    std::string base = programDir;
    while (!base.empty() && base.back() == '/') base.pop_back();
    const std::string beside = base + "/Languages/";
    if (IsFolder(beside)) return beside;
    const std::string installed = base + "/../share/norvale/Languages/";
    if (IsFolder(installed)) return installed;
    return beside;
}

std::string LanguagesDirectory() {
    return LanguagesDirectoryFor(ProgramDirectory());
}

std::string ConfigFilePath() {
    return ConfigHome() + "/config.ini";
}

}  // namespace norvale
