#include "fat/fast_fat_test_helpers.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "engine/scan_log_history.h"
#include "support/test_support.h"

namespace norvale::testing {

std::vector<uint8_t> MakeContent(const std::string& seed, size_t size, bool jpeg) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = 2166136261u;
    for (char c : seed) x = (x ^ uint8_t(c)) * 16777619u;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
    static const uint8_t kJfif[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0};
    if (jpeg && size >= sizeof kJfif) std::memcpy(bytes.data(), kJfif, sizeof kJfif);
    return bytes;
}

std::unique_ptr<CFastFatRecovery> ScanImage(const std::string& image, Result* result) {
    auto engine = std::make_unique<CFastFatRecovery>();
    if (engine->OpenImage(image, 1) != kOk) return nullptr;
    ScanLogHistory::Instance().NewScanFolder();
    const Result r = engine->Scan(nullptr);
    if (result) *result = r;
    return engine;
}

std::map<std::string, RecoveredItem> ListAll(CFastFatRecovery& engine) {
    std::map<std::string, RecoveredItem> all;
    std::set<int32_t> entered;
    std::function<void(const RecoveredItem*, int, const std::string&)> walk =
        [&](const RecoveredItem* folder, int level, const std::string& prefix) {
            std::vector<RecoveredItem> children;
            if (level > 32 || engine.ListChildren(folder, level, children) != kOk) return;
            for (const RecoveredItem& c : children) {
                const std::string path = prefix + std::string(c.Name());
                all[path] = c;
                if (c.isFolder && entered.insert(int32_t(c.objectKey)).second) {
                    walk(&all[path], level + 1, path + "/");
                }
            }
        };
    walk(nullptr, 0, "");
    return all;
}

std::vector<uint8_t> RecoverBytes(CFastFatRecovery& engine, const RecoveredItem& item,
                                  const std::string& path) {
    if (engine.RecoverItem(item, path, 0) != kOk) return {};
    return ReadFileBytes(path);
}

bool RunInChild(unsigned seconds, const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(seconds);
        ::_exit(body());
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Reports::Attach(CFastFatRecovery& engine, int scale) {
    auto scan = [](void* self, int percent, int sc, int left, uint64_t, uint64_t, uint64_t,
                   int) -> int {
        auto* r = static_cast<Reports*>(self);
        r->scans.push_back({percent, sc, left});
        return int(r->scans.size()) - 1 == r->stopAtScanReport ? int(kScanCancelled) : 0;
    };
    auto recover = [](void* self, int percent, int, int error, const char* name) -> int {
        static_cast<Reports*>(self)->recovers.push_back({percent, error, name ? name : ""});
        return 0;
    };
    (void)engine.SetCallbacks(scan, recover, this, scale);
}

std::vector<Reports::Recover> Reports::Finished() const {
    std::vector<Recover> out;
    for (const Recover& r : recovers) {
        if (r.percent == 100) out.push_back(r);
    }
    return out;
}

}  // namespace norvale::testing
