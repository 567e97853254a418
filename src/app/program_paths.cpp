#include "app/program_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "engine/data_paths.h"

#ifndef NORVALE_DATA_DIR
#error "NORVALE_DATA_DIR comes from the build (src/CMakeLists.txt)"
#endif

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

std::string LanguagesDirectoryFor(const std::string& programDir, const std::string& dataDir) {
    std::string base = programDir;
    while (!base.empty() && base.back() == '/') base.pop_back();
    const std::string beside = base + "/Languages/";
    if (IsFolder(beside)) return beside;
    const std::string installed = base + "/../share/norvale/Languages/";
    if (IsFolder(installed)) return installed;
    if (!dataDir.empty()) {
        std::string data = dataDir;
        while (data.size() > 1 && data.back() == '/') data.pop_back();
        const std::string configured = data + "/Languages/";
        if (IsFolder(configured)) return configured;
    }
    return beside;
}

std::string LanguagesDirectory() {
    return LanguagesDirectoryFor(ProgramDirectory(), InstalledDataDirectory());
}

std::string InstalledDataDirectory() {
    return NORVALE_DATA_DIR;
}

std::string ConfigFilePath() {
    return ConfigHome() + "/config.ini";
}

}  // namespace norvale
