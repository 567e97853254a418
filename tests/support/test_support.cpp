#include "support/test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "engine/scan_log_history.h"

namespace fs = std::filesystem;

namespace norvale::testing {

TempDir::TempDir(const std::string& folder) {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = (!folder.empty() ? folder : std::string(base && *base ? base : "/tmp")) +
                       "/norvale-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!::mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

std::string TempDirFor(uint64_t bytes) {
    struct statvfs st {};
    if (::statvfs("/dev/shm", &st) == 0 && uint64_t{st.f_bavail} * st.f_frsize >= bytes) {
        return "/dev/shm";
    }
    return "";
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* v = std::getenv(name)) old_ = v;
    ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (old_)
        ::setenv(name_.c_str(), old_->c_str(), 1);
    else
        ::unsetenv(name_.c_str());
}

IsolatedHome::IsolatedHome()
    : data_("XDG_DATA_HOME", dir_.Path() + "/data"),
      config_("XDG_CONFIG_HOME", dir_.Path() + "/config") {
    ScanLogHistory::ResetInstance();
}

IsolatedHome::~IsolatedHome() {
    ScanLogHistory::ResetInstance();
}

std::string ShellQuote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int Run(const std::string& command, std::string* output) {
    // The system folders go on the PATH of the whole command (a pipeline too), so a tool that
    // HaveTool finds there is found by the command as well, for root and others alike.
    std::string cmd = "PATH=\"$PATH:/usr/sbin:/sbin\"; export PATH; " + command + " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return -1;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        if (output) output->append(buf, n);
    }
    int status = ::pclose(p);
    if (status == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveTool(const std::string& name) {
    return Run("command -v " + name + " >/dev/null") == 0;
}

std::string MissingTool(std::initializer_list<const char*> names) {
    for (const char* name : names) {
        if (!HaveTool(name)) return name;
    }
    return "";
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::string SourceDir() {
    return NORVALE_SOURCE_DIR;
}

std::string CliPath() {
    if (const char* p = std::getenv("NORVALE_CLI")) return p;
    return std::string(NORVALE_BINARY_DIR) + "/src/cli/norvale-cli";
}

std::string CorpusDir() {
    if (const char* p = std::getenv("NORVALE_CORPUS")) {
        return fs::is_directory(p) ? std::string(p) : std::string();
    }
    fs::path dir = fs::path(SourceDir()) / ".." / "shared" / "corpus";
    std::error_code ec;
    if (fs::is_directory(dir, ec)) return fs::canonical(dir, ec).string();
    return {};
}

std::string CorpusImage(const std::string& name, const std::string& dir) {
    std::string corpus = CorpusDir();
    if (corpus.empty() || !fs::exists(corpus + "/" + name)) return {};
    std::string out = dir + "/" + name;
    if (out.size() > 3 && out.ends_with(".gz")) out.resize(out.size() - 3);
    if (name.ends_with(".gz")) {
        if (Run("gzip -dc '" + corpus + "/" + name + "' > '" + out + "'") != 0) return {};
    } else {
        fs::copy_file(corpus + "/" + name, out, fs::copy_options::overwrite_existing);
    }
    return out;
}

void TruncateAt(const std::string& path, uint64_t size) {
    if (::truncate(path.c_str(), off_t(size)) != 0) throw std::runtime_error("truncate " + path);
}

void FlipByte(const std::string& path, uint64_t offset) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekg(std::streamoff(offset));
    char c = 0;
    f.read(&c, 1);
    c = char(~c);
    f.seekp(std::streamoff(offset));
    f.write(&c, 1);
}

void SetLe32(const std::string& path, uint64_t offset, uint32_t value) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(std::streamoff(offset));
    char b[4] = {char(value), char(value >> 8), char(value >> 16), char(value >> 24)};
    f.write(b, 4);
}

void SetByte(const std::string& path, uint64_t offset, uint8_t value) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(std::streamoff(offset));
    const char b = char(value);
    f.write(&b, 1);
}

void SetLe16(const std::string& path, uint64_t offset, uint16_t value) {
    SetByte(path, offset, uint8_t(value));
    SetByte(path, offset + 1, uint8_t(value >> 8));
}

void SetLe64(const std::string& path, uint64_t offset, uint64_t value) {
    SetLe32(path, offset, uint32_t(value));
    SetLe32(path, offset + 4, uint32_t(value >> 32));
}

}  // namespace norvale::testing
