#include "engine/source_info.h"

#include <atomic>

#include "engine/recovered_item.h"

namespace norvale {

uint16_t NextImageTag() {
    static std::atomic<uint16_t> added{0};
    uint16_t n = ++added;
    if (n >= kImageTagBase) {  // wrapped after 32767 images in one run: start over
        added = 1;
        n = 1;
    }
    return uint16_t(kImageTagBase + n);
}

IFileRecoveryParse* FindEngineForItem(const std::vector<SourceInfo>& sources,
                                      const RecoveredItem& item) {
    for (const SourceInfo& s : sources) {
        if (s.Tag() == item.sourceTag) return s.engine.get();
    }
    return nullptr;
}

}  // namespace norvale
