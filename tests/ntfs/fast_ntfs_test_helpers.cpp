#include "ntfs/fast_ntfs_test_helpers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "device/bytes.h"
#include "engine/scan_log_history.h"
#include "ntfs/mft_record.h"
#include "ntfs/ntfs_test_media.h"
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

Result ScanInNewFolder(CFastNtfsRecovery& engine) {
    ScanLogHistory::Instance().NewScanFolder();
    return engine.Scan(nullptr);
}

std::unique_ptr<CFastNtfsRecovery> ScanNtfs(const std::string& image, Result* result) {
    auto engine = std::make_unique<CFastNtfsRecovery>();
    if (engine->OpenImage(image, 1) != kOk) return nullptr;
    const Result r = ScanInNewFolder(*engine);
    if (result) *result = r;
    return engine;
}

std::map<std::string, RecoveredItem> ListAll(CFastNtfsRecovery& engine) {
    std::map<std::string, RecoveredItem> all;
    std::set<int32_t> entered;
    std::function<void(const RecoveredItem*, int, const std::string&)> walk =
        [&](const RecoveredItem* folder, int level, const std::string& prefix) {
            std::vector<RecoveredItem> children;
            if (level > 64 || engine.ListChildren(folder, level, children) != kOk) return;
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

std::vector<uint8_t> RecoverBytes(CFastNtfsRecovery& engine, const RecoveredItem& item,
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

uint64_t RecordOffset(const std::string& image, uint64_t record) {
    auto v = OpenNtfsImage(image);
    if (!v || v->mftResult != kOk) return 0;
    const auto lba = v->volume->RecordToLba(record);
    return lba ? *lba * v->volume->Geometry().bytesPerSector : 0;
}

uint64_t ParentReferenceOffset(const std::string& image, uint64_t record) {
    auto v = OpenNtfsImage(image);
    if (!v || v->mftResult != kOk) return 0;
    std::vector<uint8_t> bytes(v->volume->RecordBytes());
    if (v->volume->ReadRecord(record, bytes) != kOk) return 0;
    AttributeRef attr;
    if (!FindAttribute(bytes, kAttrFileName, u"", attr) || attr.nonResident) return 0;
    return RecordOffset(image, record) + attr.offset + Le16(attr.bytes.data() + 0x14);
}

void PatchBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

void ClearInUse(const std::string& image, uint64_t record) {
    auto v = OpenNtfsImage(image);
    ASSERT_TRUE(v && v->mftResult == kOk);
    std::vector<uint8_t> bytes(v->volume->RecordBytes());
    for (uint64_t n = 0; n < v->volume->MftRecordCount(); ++n) {
        MftRecordHeader h;
        if (v->volume->ReadRecord(n, bytes) != kOk || !DecodeRecordHeader(bytes, h)) continue;
        if (n != record && h.baseRecord != record) continue;
        PatchBytes(image, RecordOffset(image, n) + 0x16,
                   {uint8_t(h.flags & ~kRecordInUse), uint8_t(h.flags >> 8)});
    }
}

void Reports::Attach(CFastNtfsRecovery& engine, int scale) {
    auto scan = [](void* self, int percent, int, int, uint64_t, uint64_t, uint64_t, int) -> int {
        auto* r = static_cast<Reports*>(self);
        r->scanPercents.push_back(percent);
        return int(r->scanPercents.size()) - 1 == r->stopAtScanReport ? int(kScanCancelled) : 0;
    };
    auto recover = [](void* self, int percent, int, int error, const char*) -> int {
        static_cast<Reports*>(self)->recovers.push_back({percent, error});
        return 0;
    };
    (void)engine.SetCallbacks(scan, recover, this, scale);
}

}  // namespace norvale::testing
