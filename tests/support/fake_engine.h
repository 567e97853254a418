#pragma once
// A stand-in engine for driver tests: it "finds" the items it is given, reports scan progress
// through the callback, and recovers an item by writing its name as the file's content (or
// failing with the item's planned error); it never writes over an existing file.

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "device/chunked_io.h"
#include "engine/output_naming.h"
#include "engine/recovered_item.h"
#include "engine/recovery_parse.h"

namespace norvale::testing {

class FakeEngine : public IFileRecoveryParse {
  public:
    static inline std::atomic<int> alive{0};
    FakeEngine() { ++alive; }
    ~FakeEngine() override { --alive; }

    std::vector<RecoveredItem> items;
    std::map<std::string, Result> failures;  // name -> error to report when recovering it
    int progressReports = 5;
    uint16_t tag = 0;
    std::string openedPath;
    ScanProgressFn scanFn = nullptr;
    RecoverProgressFn recoverFn = nullptr;
    ListProgressFn listFn = nullptr;
    void* userData = nullptr;
    void* listUserData = nullptr;
    int scale = 0;

    Result OpenImage(const std::string& path, uint16_t t) override {
        openedPath = path;
        tag = t;
        return kOk;
    }
    Result OpenDisk(int, uint64_t, uint64_t, uint16_t t) override {
        tag = t;
        return kOk;
    }
    Result SetCallbacks(ScanProgressFn s, RecoverProgressFn r, void* u, int sc) override {
        scanFn = s;
        recoverFn = r;
        userData = u;
        scale = sc;
        return kOk;
    }
    Result Scan(const char*) override {
        for (int i = 1; i <= progressReports; ++i) {
            if (scanFn) {
                int r = scanFn(userData, i * 100 / progressReports, scale, 10, i, 100, i, 0);
                if (r != 0) return r;
            }
        }
        return kOk;
    }
    Result ListChildren(const RecoveredItem*, int, std::vector<RecoveredItem>& out) override {
        out.insert(out.end(), items.begin(), items.end());
        return kOk;
    }
    Result CountFiles(const RecoveredItem*, int, int& count) override {
        count = int(items.size());
        return kOk;
    }
    uint64_t GetItemCount() override { return items.size(); }
    Result GetItemPath(const RecoveredItem&, std::string& out) override {
        out.clear();
        return kOk;
    }
    Result RecoverItem(const RecoveredItem& item, const std::string& path, int) override {
        std::string name(item.Name());
        auto f = failures.find(name);
        Result r = f == failures.end() ? kOk : f->second;
        if (r == kOk) {
            // Like every engine, never over an existing file: the next free numbered name.
            std::string free = path;
            int fd = -1;
            if (CreateNewFile(free, fd) == kOk) {
                (void)WriteAllBytes(fd, name.data(), name.size());
                ::close(fd);
            }
        }
        if (recoverFn) {
            int answer = recoverFn(userData, 100, 100, r, name.c_str());
            if (answer != 0) return answer;
        }
        return r;
    }
    Result SkipUsedClusters(uint64_t&, uint64_t& len) override {
        len = 0;
        return kOk;
    }
    Result SetListCallback(ListProgressFn fn, void* u) override {
        listFn = fn;
        listUserData = u;
        return kOk;
    }
    int ListByType(const std::string& pattern, std::vector<RecoveredItem>& out) override {
        for (const RecoveredItem& it : items) {
            std::string name(it.Name());
            size_t dot = name.rfind('.');
            std::string key = dot == std::string::npos ? "" : name.substr(dot);
            if (!key.empty() && pattern.find(key) != std::string::npos) out.push_back(it);
            if (listFn && listFn(listUserData, 50, 0) != 0) break;
        }
        return 1;
    }
    Result BuildClusterMap() override { return kOk; }
    Result ExtractForPreview(const RecoveredItem&, std::string&, uint8_t*, uint64_t&,
                             PreviewProgressFn, void*) override {
        return kOk;
    }

    static RecoveredItem Item(const std::string& name, uint16_t sourceTag) {
        RecoveredItem it{};
        it.sourceTag = sourceTag;
        it.contentValid = 1;
        it.SetName(name);
        return it;
    }
};

}  // namespace norvale::testing
