#pragma once
// The search: collects, through each scanned engine's ListByType, the found files whose
// extensions match the chosen kinds into one vector. Runs on the caller's thread; a stop
// request ends every remaining listing at its first progress report.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "engine/recovered_item.h"
#include "engine/source_info.h"

namespace norvale {

enum FileCategoryBit : unsigned {
    kCategoryPhoto = 1,
    kCategoryAudio = 2,
    kCategoryVideo = 4,
    kCategoryDocument = 8,
    kCategoryArchive = 16,
    kCategoryOthers = 32,
    kAllCategories = 63,
};

// "*.<first>|*.<second>|..." for chosen extension keys; the five named lists joined when no
// key is chosen.
std::string BuildFilter(const std::vector<std::string>& extensionKeys);
// The lists of the chosen categories joined with "|"; "others" adds "*.other", which selects
// every file whose extension is in none of the named lists.
std::string BuildCategoryFilter(unsigned categories);
// Parses "photo,audio,video,document,archive,others" (case-insensitive; "other" and "office"
// accepted); returns false on an unknown word.
bool ParseCategoryList(const std::string& text, unsigned& categories, std::string& badWord);

// A carved find whose structure did not check out (a file cut short, or bytes that only start
// like a file): most are not files at all, so a search leaves them out unless damaged files are
// asked for too. Files the file systems describe are never left out by this rule.
bool IsDamagedCarve(const RecoveredItem& item);

class ISearchObserver {
  public:
    virtual ~ISearchObserver() = default;
    virtual void OnSourceListing(const SourceInfo& source) = 0;
    virtual void OnProgress(int percent) = 0;
};

class Search {
  public:
    explicit Search(ISearchObserver& observer) : observer_(observer) {}
    // Appends the matching items of every source that has an engine to `out`.
    void Run(const std::vector<SourceInfo*>& sources, const std::string& pattern,
             std::vector<RecoveredItem>& out);
    // Whether Run also collects damaged carves (see IsDamagedCarve); they are collected unless
    // a view says otherwise.
    void SetIncludeDamaged(bool include) { includeDamaged_ = include; }
    void RequestStop();
    // Whether a stop was asked for: the items collected may then be only some of them.
    bool StopRequested() const { return stopRequested_; }
    // Held by a view while it asks whether to stop: the listing waits at its next progress
    // report, so the display does not move while the question is open.
    std::unique_lock<std::mutex> HoldProgress() { return std::unique_lock(lock_); }

  private:
    static int ListThunk(void* userData, int percent, int reserved);
    ISearchObserver& observer_;
    std::mutex lock_;
    std::atomic<bool> stopRequested_{false};
    bool includeDamaged_ = true;
};

}  // namespace norvale
