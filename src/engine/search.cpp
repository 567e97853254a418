#include "engine/search.h"

#include <algorithm>
#include <sstream>

#include "engine/result_store.h"
#include "engine/text_codec.h"

namespace norvale {

std::string BuildFilter(const std::vector<std::string>& keys) {
    if (keys.empty()) {
        return std::string(kPhotoExtensions) + "|" + kAudioExtensions + "|" + kVideoExtensions +
               "|" + kDocumentExtensions + "|" + kArchiveExtensions;
    }
    std::string pattern;
    for (const std::string& key : keys) {
        if (!pattern.empty()) pattern += "|";
        pattern += "*." + key;
    }
    return pattern;
}

std::string BuildCategoryFilter(unsigned categories) {
    const std::pair<unsigned, const char*> lists[] = {
        {kCategoryPhoto, kPhotoExtensions},     {kCategoryAudio, kAudioExtensions},
        {kCategoryVideo, kVideoExtensions},     {kCategoryDocument, kDocumentExtensions},
        {kCategoryArchive, kArchiveExtensions}, {kCategoryOthers, "*.other"}};
    std::string pattern;
    for (const auto& [bit, list] : lists) {
        if (!(categories & bit)) continue;
        if (!pattern.empty()) pattern += "|";
        pattern += list;
    }
    return pattern;
}

bool ParseCategoryList(const std::string& text, unsigned& categories, std::string& badWord) {
    categories = 0;
    std::stringstream in(text);
    std::string word;
    while (std::getline(in, word, ',')) {
        std::string w = ToLowerAscii(word);
        if (w.empty()) continue;
        if (w == "photo" || w == "photos")
            categories |= kCategoryPhoto;
        else if (w == "audio" || w == "music")
            categories |= kCategoryAudio;
        else if (w == "video" || w == "videos")
            categories |= kCategoryVideo;
        else if (w == "document" || w == "documents" || w == "office")
            categories |= kCategoryDocument;
        else if (w == "archive" || w == "archives")
            categories |= kCategoryArchive;
        else if (w == "others" || w == "other")
            categories |= kCategoryOthers;
        else {
            badWord = word;
            return false;
        }
    }
    return true;
}

bool IsDamagedCarve(const RecoveredItem& item) {
    return item.engineKind == kEngineFileType && item.contentValid == 0 && item.isFolder == 0;
}

void Search::RequestStop() {
    stopRequested_ = true;
}

int Search::ListThunk(void* userData, int percent, int) {
    auto* self = static_cast<Search*>(userData);
    std::lock_guard guard(self->lock_);
    if (self->stopRequested_) return kScanCancelled;
    self->observer_.OnProgress(percent);
    return 0;
}

void Search::Run(const std::vector<SourceInfo*>& sources, const std::string& pattern,
                 std::vector<RecoveredItem>& out) {
    for (SourceInfo* source : sources) {
        if (!source || !source->engine) continue;
        observer_.OnSourceListing(*source);
        // An engine without a store has nothing to report progress about.
        (void)source->engine->SetListCallback(&Search::ListThunk, this);
        const size_t begin = out.size();
        source->engine->ListByType(pattern, out);
        (void)source->engine->SetListCallback(nullptr, nullptr);
        if (!includeDamaged_) {
            out.erase(std::remove_if(out.begin() + static_cast<std::ptrdiff_t>(begin), out.end(),
                                     IsDamagedCarve),
                      out.end());
        }
    }
}

}  // namespace norvale
