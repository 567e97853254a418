#include "app/language_table.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "app/program_paths.h"
#include "engine/data_paths.h"

namespace norvale {

namespace {

std::mutex gInstanceMutex;
std::unique_ptr<LanguageTable> gInstance;

std::string WithTrailingSlash(std::string dir) {
    if (dir.empty() || dir.back() != '/') dir.push_back('/');
    return dir;
}

// The first `maxChars` characters of UTF-8 text, never cutting a character in two.
std::string FirstChars(const std::string& s, size_t maxChars) {
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((uint8_t(s[i]) & 0xC0) == 0x80) continue;  // continuation byte
        if (chars == maxChars) return s.substr(0, i);
        ++chars;
    }
    return s;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

IniDocument ReadConfig(const std::string& path) {
    const std::optional<std::string> text = ReadSmallTextFile(path);
    return text ? ParseIni(IniTextToUtf8(*text)) : IniDocument{};
}

}  // namespace

// --- TextSection ---

std::string TextSection::Text(const std::string& key) {
    std::lock_guard guard(*lock_);
    return texts_.try_emplace(key).first->second;
}

std::map<std::string, std::string> TextSection::Entries() const {
    std::lock_guard guard(*lock_);
    return texts_;
}

bool TextSection::Contains(const std::string& key) const {
    std::lock_guard guard(*lock_);
    return texts_.count(key) != 0;
}

// --- helpers ---

void MergeLanguageTexts(const IniDocument& doc,
                        std::map<std::string, std::map<std::string, std::string>>& sections) {
    for (const IniSection& s : doc.sections) {
        if (s.entries.empty()) continue;
        auto& texts = sections[s.name];
        for (const IniEntry& e : s.entries) texts.try_emplace(e.key, e.Text());
    }
}

bool IsSafeLanguageName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

const char* DefaultConfigText() {
    return "[Default]\n"
           "DefaultLanguage=English\n"
           "\n"
           "[Languages]\n"
           "English=English\n"
           "Deutsch=Deutsch\n";
}

Result EnsureConfigFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return kOk;
    if (errno != ENOENT) return FromErrno(errno);
    return WriteTextFileReplacing(path, DefaultConfigText());
}

std::optional<std::string> ReadSmallTextFile(const std::string& path, size_t limit) {
    // O_NONBLOCK keeps a FIFO from holding the open; only regular files are read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::string text;
    char buf[16384];
    bool failed = false;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed = true;
        if (n <= 0) break;
        // Past the limit this is no configuration file of ours; it is not read at all.
        if (text.size() + size_t(n) > limit) {
            failed = true;
            break;
        }
        text.append(buf, size_t(n));
    }
    ::close(fd);
    if (failed) return std::nullopt;
    return text;
}

Result WriteTextFileReplacing(const std::string& path, const std::string& text) {
    if (const Result r = MakeFolders(FolderOf(path)); r != kOk) return r;
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return FromErrno(errno);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            ::close(fd);
            ::unlink(tmp.c_str());
            return FromErrno(err);
        }
        done += size_t(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        return FromErrno(err);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        return FromErrno(err);
    }
    return kOk;
}

// --- LanguageTable ---

LanguageTable::LanguageTable(std::string configPath, std::string languagesDir)
    : configPath_(std::move(configPath)),
      languagesDir_(WithTrailingSlash(std::move(languagesDir))) {}

LanguageTable::~LanguageTable() = default;

LanguageTable& LanguageTable::Instance() {
    std::lock_guard guard(gInstanceMutex);
    if (!gInstance) {
        gInstance = std::make_unique<LanguageTable>(ConfigFilePath(), LanguagesDirectory());
        gInstance->Load();
    }
    return *gInstance;
}

void LanguageTable::ResetInstance() {
    std::lock_guard guard(gInstanceMutex);
    gInstance.reset();
}

void LanguageTable::Load() {
    const IniDocument config = ReadConfig(configPath_);
    std::lock_guard guard(lock_);
    ReadCurrentLanguageLocked(config);
    languages_.clear();
    for (const IniSection& s : config.sections) {
        if (!IniNamesEqual(s.name, "Languages")) continue;
        for (const IniEntry& e : s.entries) languages_.push_back({e.key, e.Text()});
    }
    LoadTextsLocked();
}

void LanguageTable::ReadCurrentLanguageLocked(const IniDocument& config) {
    current_ = FirstChars(IniValue(config, "Default", "DefaultLanguage").value_or(kDefaultLanguage),
                          kMaxLanguageNameChars);
}

void LanguageTable::LoadTextsLocked() {
    std::map<std::string, std::map<std::string, std::string>> loaded;
    // A name that could leave the languages folder reads nothing, like a missing file.
    if (IsSafeLanguageName(current_)) {
        if (const auto text = ReadSmallTextFile(languagesDir_ + current_ + ".ini"))
            MergeLanguageTexts(ParseIni(IniTextToUtf8(*text)), loaded);
    }
    // Sections already handed out stay the same objects; they are emptied and refilled.
    for (auto& [name, section] : sections_) section->texts_.clear();
    for (auto& [name, texts] : loaded) {
        auto& slot = sections_[name];
        if (!slot) slot.reset(new TextSection(name, &lock_));
        slot->texts_ = std::move(texts);
    }
}

TextSection& LanguageTable::Section(const std::string& name) {
    std::lock_guard guard(lock_);
    auto& slot = sections_[name];
    if (!slot) slot.reset(new TextSection(name, &lock_));
    return *slot;
}

std::string LanguageTable::Text(const std::string& section, const std::string& key) {
    return Section(section).Text(key);
}

Result LanguageTable::SetLanguage(const std::string& name) {
    if (!IsSafeLanguageName(name) || name.find_first_of("\r\n") != std::string::npos)
        return kErrInvalidParameter;
    const std::optional<std::string> before = ReadSmallTextFile(configPath_);
    if (!before) {
        // A config.ini that exists but cannot be read (no rights, too large, not a file) is
        // left alone rather than replaced by one that holds only this entry.
        struct stat st {};
        if (::lstat(configPath_.c_str(), &st) == 0) return kErrAccessDenied;
        if (errno != ENOENT) return FromErrno(errno);
    }
    const Result written = WriteTextFileReplacing(
        configPath_,
        SetIniValue(IniTextToUtf8(before.value_or("")), "Default", "DefaultLanguage", name));
    const IniDocument config = ReadConfig(configPath_);
    std::lock_guard guard(lock_);
    ReadCurrentLanguageLocked(config);
    LoadTextsLocked();
    return written;
}

std::string LanguageTable::CurrentLanguage() const {
    std::lock_guard guard(lock_);
    return current_;
}

std::vector<OfferedLanguage> LanguageTable::Languages() const {
    std::lock_guard guard(lock_);
    return languages_;
}

std::string LanguageTable::LanguageFilePath() const {
    std::lock_guard guard(lock_);
    return languagesDir_ + current_ + ".ini";
}

}  // namespace norvale
