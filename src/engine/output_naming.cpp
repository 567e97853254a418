#include "engine/output_naming.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "engine/result_store.h"
#include "engine/text_codec.h"

namespace norvale {
namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string CategoryOf(std::string_view name) {
    std::string_view ext = ExtensionOf(name);
    if (ext.empty()) return "others";
    std::string lower = ToLowerAscii(ext);
    struct Category {
        const char* folder;
        const char* list;
    } const categories[] = {{"photo", kPhotoExtensions},
                            {"audio", kAudioExtensions},
                            {"video", kVideoExtensions},
                            {"document", kDocumentExtensions},
                            {"archive", kArchiveExtensions}};
    for (const Category& c : categories) {
        if (ExtensionListSelects(c.list, lower)) return c.folder;
    }
    return "others";
}

std::string SafeFileName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (c == '/' || u < 0x20 || u == 0x7F) ? '_' : c;
    }
    if (out.empty() || out == "." || out == "..") return "_";
    return out;
}

std::string MakeUniquePath(const std::string& path) {
    if (!Exists(path)) return path;
    size_t slash = path.rfind('/');
    size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= nameStart) dot = path.size();
    std::string stem = path.substr(0, dot);
    std::string ext = path.substr(dot);
    for (unsigned n = 1;; ++n) {
        std::string candidate = stem + "(" + std::to_string(n) + ")" + ext;
        if (!Exists(candidate)) return candidate;
    }
}

// Attempts at a fresh name when another writer takes the free one first.
constexpr int kCreateAttempts = 100;

Result CreateNewFile(std::string& path, int& fd) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) return kOk;
        if (errno != EEXIST) return FromErrno(errno);
        path = MakeUniquePath(path);
    }
    return kErrFileExists;
}

Result CreateNewFolder(std::string& path) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        if (::mkdir(path.c_str(), 0755) == 0) return kOk;
        if (errno != EEXIST) return FromErrno(errno);
        path = MakeUniquePath(path);
    }
    return kErrFileExists;
}

int DestinationDepth(std::string_view root) {
    if (root.empty()) return 0;
    int depth = 0;
    for (size_t i = 0; i + 1 < root.size(); ++i) {
        if (root[i] == '/' || root[i] == '\\') ++depth;
    }
    return depth;
}

}  // namespace norvale
