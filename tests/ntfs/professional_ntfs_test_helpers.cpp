#include "ntfs/professional_ntfs_test_helpers.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>

#include "device/bytes.h"
#include "engine/scan_log_history.h"
#include "ntfs/fast_ntfs_test_helpers.h"
#include "ntfs/found_record.h"
#include "ntfs/ntfs_test_media.h"
#include "support/test_support.h"

namespace norvale::testing {
namespace {

constexpr size_t kChunkBytes = 0x10000;
constexpr size_t kRereadBytes = 8192;

}  // namespace

Result RunSectorPass(CProfessionalNtfsRecovery& engine, const std::string& image,
                     PassCounts* counts, const PassOptions& options) {
    PassCounts local;
    PassCounts& c = counts ? *counts : local;
    c = PassCounts{};
    if (Result r = engine.BeginScan(options.logName); r != kOk) return r;
    const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return kErrFileNotFound;
    const uint32_t bps = engine.BytesPerSector();
    std::vector<uint8_t> chunk(kChunkBytes);
    std::vector<uint8_t> reread(kRereadBytes);
    const uint64_t end =
        options.endSector > UINT64_MAX / bps ? UINT64_MAX : options.endSector * bps;
    for (uint64_t offset = options.firstSector * bps; offset < end; offset += kChunkBytes) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunkBytes, end - offset));
        const ssize_t got = ::pread(fd, chunk.data(), want, static_cast<off_t>(offset));
        if (got <= 0) break;
        const size_t bytes = static_cast<size_t>(got) / bps * bps;
        for (size_t at = 0; at + bps <= bytes; at += bps) {
            const std::span<const uint8_t> rest(chunk.data() + at, bytes - at);
            const size_t recordBytes = CandidateRecordBytes(rest, bps);
            if (recordBytes == 0) continue;
            ++c.candidates;
            const uint64_t lba = (offset + at) / bps;
            std::span<const uint8_t> record = rest;
            if (rest.size() < recordBytes) {
                std::fill(reread.begin(), reread.end(), 0);
                if (::pread(fd, reread.data(), reread.size(), static_cast<off_t>(lba * bps)) <= 0) {
                    continue;
                }
                record = reread;
            }
            if (IsDirectoryRecord(record)) continue;
            ++c.handedOver;
            if (engine.ParseCandidate(record, lba) != kOk) ++c.refused;
        }
    }
    ::close(fd);
    if (options.beforeFinish) options.beforeFinish();
    c.finish = engine.FinishScan();
    return kOk;
}

std::unique_ptr<CProfessionalNtfsRecovery> ScanProfessional(const std::string& image,
                                                            PassCounts* counts) {
    auto engine = std::make_unique<CProfessionalNtfsRecovery>();
    if (engine->OpenImage(image, 1) != kOk) return nullptr;
    ScanLogHistory::Instance().NewScanFolder();
    if (RunSectorPass(*engine, image, counts) != kOk) return nullptr;
    return engine;
}

std::map<std::string, RecoveredItem> ListTree(IFileRecoveryParse& engine) {
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

std::map<std::string, RecoveredItem> FilesOf(const std::map<std::string, RecoveredItem>& tree) {
    std::map<std::string, RecoveredItem> files;
    for (const auto& [path, item] : tree) {
        if (!item.isFolder) files.emplace(path, item);
    }
    return files;
}

std::vector<uint8_t> RecoverTo(IFileRecoveryParse& engine, const RecoveredItem& item,
                               const std::string& path, Result* result) {
    const Result r = engine.RecoverItem(item, path, 0);
    if (result) *result = r;
    if (r != kOk) return {};
    return ReadFileBytes(path);
}

bool MakeFilledVolume(const std::string& path, uint64_t sizeMiB, const std::string& mkntfsArgs,
                      const VolumeContent& content, const std::string& mountDir,
                      std::string& error) {
    if (!MakeNtfsImage(path, sizeMiB, mkntfsArgs)) {
        error = "mkntfs failed";
        return false;
    }
    NtfsMount mount(path, mountDir);
    if (!mount.Ok()) {
        error = mount.Error();
        return false;
    }
    std::error_code ec;
    for (const std::string& folder : content.folders) {
        std::filesystem::create_directories(mount / folder, ec);
        if (ec) {
            error = "mkdir " + folder + ": " + ec.message();
            return false;
        }
    }
    for (const auto& [name, bytes] : content.files) WriteFileBytes(mount / name, bytes);
    for (const std::string& name : content.deleted) std::filesystem::remove(mount / name, ec);
    if (!mount.Unmount()) {
        error = "unmount failed";
        return false;
    }
    return true;
}

VolumeContent SampleContent(const std::string& seed) {
    VolumeContent c;
    c.folders = {"Photos/Trip 2023/", "Docs/Deep/Deeper/", "Empty/"};
    c.files["readme.txt"] = Pattern(seed + " readme", 2000);
    c.files["Photos/Trip 2023/beach.jpg"] = MakeContent(seed + "beach", 300000, true);
    c.files["Photos/Trip 2023/dunes.jpg"] = MakeContent(seed + "dunes", 45000, true);
    c.files["Photos/cat.bin"] = MakeContent(seed + "cat", 5000);
    c.files["Docs/notes.txt"] = Pattern(seed + " notes", 300);
    c.files["Docs/report.dat"] = MakeContent(seed + "report", 70000);
    c.files["Docs/Deep/Deeper/archive.bin"] = MakeContent(seed + "archive", 1 << 20);
    c.files["Docs/Deep/gone.txt"] = Pattern(seed + " gone", 9000);
    c.deleted = {"Docs/Deep/gone.txt"};
    return c;
}

void CopyInto(const std::string& from, const std::string& to, uint64_t offset) {
    const std::vector<uint8_t> bytes = ReadFileBytes(from);
    const int fd = ::open(to.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                   static_cast<off_t>(offset + done));
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
}

uint64_t FindRecord(const std::string& image, uint32_t number, uint64_t searchFrom) {
    const int fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    std::vector<uint8_t> chunk(kChunkBytes);
    uint64_t found = 0;
    for (uint64_t offset = searchFrom / 512 * 512; found == 0; offset += kChunkBytes) {
        const ssize_t got = ::pread(fd, chunk.data(), chunk.size(), static_cast<off_t>(offset));
        if (got <= 0) break;
        for (size_t at = 0; at + 0x30 <= size_t(got); at += 512) {
            const uint8_t* p = chunk.data() + at;
            if (Le32(p) == kFileRecordSignature && Le32(p + 0x2C) == number) {
                found = offset + at;
                break;
            }
        }
    }
    ::close(fd);
    return found;
}

}  // namespace norvale::testing
