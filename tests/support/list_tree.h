#pragma once
// Every item an engine lists, walked from its root, by path ("Folder/Sub/name"). A folder met
// again under another path (a loop in a damaged tree) is not entered twice; the walk stops at
// `maxDepth` levels.

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/recovered_item.h"
#include "engine/recovery_parse.h"

namespace norvale::testing {

inline std::map<std::string, RecoveredItem> ListTree(IFileRecoveryParse& engine,
                                                     int maxDepth = 64) {
    std::map<std::string, RecoveredItem> all;
    std::set<int32_t> entered;
    std::function<void(const RecoveredItem*, int, const std::string&)> walk =
        [&](const RecoveredItem* folder, int level, const std::string& prefix) {
            std::vector<RecoveredItem> children;
            if (level > maxDepth || engine.ListChildren(folder, level, children) != kOk) return;
            for (const RecoveredItem& c : children) {
                const std::string path = prefix + std::string(c.Name());
                all[path] = c;
                if (c.isFolder && entered.insert(int32_t(c.objectKey)).second)
                    walk(&all[path], level + 1, path + "/");
            }
        };
    walk(nullptr, 0, "");
    return all;
}

}  // namespace norvale::testing
