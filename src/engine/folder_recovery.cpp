#include "engine/folder_recovery.h"

#include <sys/stat.h>

#include <deque>
#include <set>
#include <vector>

#include "engine/data_paths.h"
#include "engine/output_naming.h"
#include "engine/recovered_file_writer.h"

namespace norvale {
namespace {

// The longest name a destination folder holds (NAME_MAX bytes).
constexpr size_t kNameMax = 255;

}  // namespace

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
    // Every folder written gets its times once its content is in (adding an entry changes a
    // folder's times), also when the walk ends early.
    std::vector<std::pair<std::string, RecoveredItem>> made{{destination, folder}};
    struct TimesAtEnd {
        std::vector<std::pair<std::string, RecoveredItem>>& folders;
        ~TimesAtEnd() {
            for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
                SetFolderTimes(it->first, it->second);
            }
        }
    } const timesAtEnd{made};
    if (!store || !store->IsOpen()) return kOk;
    Result first = kOk;
    auto note = [&](Result r) {
        if (first == kOk) first = r;
    };
    // Children written by the scan but not yet on disk would be missing from the listing.
    note(store->Flush());

    struct Pending {
        RecoveredItem folder;
        std::string path;
    };
    std::deque<Pending> queue{{folder, destination}};
    std::set<int32_t> entered{folder.objectKey};
    const bool reuseFolders = CurrentFileWriteOptions().skipExisting;
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
            if (child.isFolder) {
                if (!entered.insert(int32_t{child.objectKey}).second) continue;
                std::string path =
                    current.path + "/" + FitFileName(SafeFileName(child.Name()), "", kNameMax);
                // A folder written by an earlier run is filled again, so its files already
                // there are recognised; a file or link of that name makes a fresh folder.
                struct stat st {};
                const bool reuse =
                    reuseFolders && ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
                if (!reuse) {
                    path = MakeUniquePath(path);
                    if (Result r = CreateNewFolder(path); r != kOk) {
                        note(r);
                        if (const int answer = report(100, r, path); answer != 0) {
                            stopped = true;
                            return answer;
                        }
                        continue;
                    }
                }
                made.emplace_back(path, child);
                queue.push_back({child, path});
                continue;
            }
            // The writer finds the file's free name (or its identical copy) itself.
            const Result r =
                copyFile(child, current.path + "/" + SafeFileName(child.Name()), stopped);
            if (stopped) return r;
            note(r);
        }
    }
    return first;
}

}  // namespace norvale
