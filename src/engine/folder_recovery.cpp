#include "engine/folder_recovery.h"

#include <deque>
#include <set>
#include <vector>

#include "engine/data_paths.h"
#include "engine/output_naming.h"

namespace norvale {

bool LinkedChildLevel(const ResultStore& store, uint32_t folderKey, uint32_t& level) {
    // The map is ordered by level first, so the first match is the one.
    for (const auto& [key, records] : store.ChildMap()) {
        if (key.parentKey == folderKey && !records.empty()) {
            level = key.level;
            return true;
        }
    }
    return false;
}

Result RecoverFolderTree(ResultStore* store, const RecoveredItem& folder,
                         const std::string& destination, const FileCopyFn& copyFile,
                         const ItemReportFn& report, bool& stopped) {
    if (Result r = MakeFolders(destination); r != kOk) return r;
    if (!store || !store->IsOpen()) return kOk;
    if (Result r = store->Flush(); r != kOk) return r;

    struct Pending {
        RecoveredItem folder;
        std::string path;
    };
    std::deque<Pending> queue{{folder, destination}};
    std::set<int32_t> entered{folder.objectKey};
    Result first = kOk;
    auto note = [&](Result r) {
        if (first == kOk) first = r;
    };
    while (!queue.empty()) {
        const Pending current = std::move(queue.front());
        queue.pop_front();
        uint32_t level = 0;
        const auto key = static_cast<uint32_t>(current.folder.objectKey);
        if (!LinkedChildLevel(*store, key, level)) continue;
        std::vector<RecoveredItem> children;
        // A listing cut short by a damaged log still gives the children read before the damage.
        note(store->ListChildren(key, level, children));
        for (const RecoveredItem& child : children) {
            std::string path = MakeUniquePath(current.path + "/" + SafeFileName(child.Name()));
            if (child.isFolder) {
                if (!entered.insert(int32_t{child.objectKey}).second) continue;
                if (Result r = CreateNewFolder(path); r != kOk) {
                    note(r);
                    if (const int answer = report(100, r, path); answer != 0) {
                        stopped = true;
                        return answer;
                    }
                    continue;
                }
                queue.push_back({child, path});
                continue;
            }
            const Result r = copyFile(child, path, stopped);
            if (stopped) return r;
            note(r);
        }
    }
    return first;
}

}  // namespace norvale
