// The results page with a very large scan: a million collected files (a camera card's mix of
// extensions, a tenth without a valid content check) grouped by extension, the category tree
// built, the largest node shown (its first page of rows) and that node sorted by every column.
// Prints the seconds of each step and the peak resident memory per collected file.
//
//   bench_results_view [items]

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../bench_util.h"
#include "app/result_collection.h"

namespace {

using namespace norvale;
using namespace norvale::bench;

const std::vector<FileTypeOption> kOptions = {
    {"OptJpgFile", "FileTypePhoto", "JPG (*.jpg;*.jpeg)", "jpg|jpeg"},
    {"OptPngFile", "FileTypePhoto", "PNG (*.png)", "png"},
    {"OptRawFile", "FileTypePhoto", "Camera RAW (*.cr2;*.nef)", "cr2|nef"},
    {"OptMp4File", "FileTypeVideo", "MP4 (*.mp4)", "mp4"},
    {"OptMovFile", "FileTypeVideo", "MOV (*.mov)", "mov"},
    {"OptMtsFile", "FileTypeVideo", "MTS (*.mts)", "mts"},
    {"OptMp3File", "FileTypeAudio", "MP3 (*.mp3)", "mp3"},
    {"OptWavFile", "FileTypeAudio", "WAV (*.wav)", "wav"},
    {"OptM4aFile", "FileTypeAudio", "M4A (*.m4a)", "m4a"},
    {"OptDocFile", "FileTypeOffice", "Word (*.doc;*.docx)", "doc|docx"},
    {"OptXlsFile", "FileTypeOffice", "Excel (*.xls;*.xlsx)", "xls|xlsx"},
    {"OptPdfFile", "FileTypeOffice", "PDF (*.pdf)", "pdf"},
    {"OptTxtFile", "FileTypeOffice", "Text (*.txt)", "txt"},
    {"OptZipFile", "FileTypeZip", "ZIP (*.zip)", "zip"},
    {"OptRarFile", "FileTypeZip", "RAR (*.rar)", "rar"},
    {"Opt7zFile", "FileTypeZip", "7-Zip (*.7z)", "7z"},
    {"OptOtherFileItem", "FileTypeOther", "Other files", ""},
};

}  // namespace

int main(int argc, char** argv) {
    const size_t count = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    std::mt19937_64 rng(7);
    const long rssBefore = PeakRssKiB();

    std::vector<RecoveredItem> items(count);
    for (size_t i = 0; i < count; ++i) {
        RecoveredItem& it = items[i];
        std::memset(&it, 0, sizeof it);
        const char* ext = PickExtension(rng);
        std::snprintf(it.name, sizeof it.name, "IMG_%07zu%s", i, ext);
        it.fileSize = rng() % (64ull << 20);
        it.modifiedTime = 130000000000000000ull + rng() % 4000000000000000ull;
        it.createdTime = (rng() % 10) ? it.modifiedTime - rng() % 100000000000ull : 0;
        it.contentValid = (rng() % 10) ? 1 : 0;
    }
    const long rssItems = PeakRssKiB();

    const std::string base[6] = {"Photo", "Audio", "Video", "Document", "Archive", "Other"};
    auto t = Clock::now();
    const ExtensionGroups groups = GroupByExtension(items);
    const CategoryTree tree = BuildCategoryTree(groups, kOptions, true, base);
    const double treeSeconds = Seconds(t);

    // The largest node: every file of the photo category, as a click on "NodePhoto" lists it.
    t = Clock::now();
    std::vector<ItemIndex> rows;
    for (const TreeChild& child : tree.nodes[0].children) {
        const auto& members = groups.at(child.key);
        rows.insert(rows.end(), members.begin(), members.end());
    }
    const PageRange page = PageOf(rows.size(), 0);
    size_t shownBytes = 0;
    for (size_t i = page.first; i < page.first + page.count; ++i) {
        shownBytes += MakeFileRow(items[rows[i]]).name.size();
    }
    const double showSeconds = Seconds(t);

    // Sorting every collected file by each column (a node of `count` rows).
    std::vector<ItemIndex> all(count);
    for (size_t i = 0; i < count; ++i) all[i] = ItemIndex(i);
    const struct {
        const char* name;
        SortColumn column;
    } kColumns[] = {{"name", SortColumn::kName},         {"path", SortColumn::kPath},
                    {"size", SortColumn::kSize},         {"type", SortColumn::kType},
                    {"modified", SortColumn::kModified}, {"created", SortColumn::kCreated}};
    double worstSort = 0;
    std::printf("items: %zu, groups: %zu, photo node: %zu rows\n", count, groups.size(),
                rows.size());
    std::printf("group + build tree: %.3f s (limit 2 s)\n", treeSeconds);
    std::printf("show the photo node (first page of %zu rows): %.3f s (limit 2 s)\n", page.count,
                showSeconds);
    for (const auto& c : kColumns) {
        t = Clock::now();
        SortRows(all, items, c.column, true,
                 [](const RecoveredItem& it) { return std::string("DCIM/") + it.name; });
        const double s = Seconds(t);
        worstSort = std::max(worstSort, s);
        std::printf("sort %zu rows by %-8s %.3f s (limit 3 s)\n", count, c.name, s);
    }
    const long rssEnd = PeakRssKiB();
    std::printf(
        "peak memory: %.1f MiB in all; items %.1f MiB (%zu bytes each); views %.1f MiB "
        "(%.1f bytes per item)\n",
        rssEnd / 1024.0, (rssItems - rssBefore) / 1024.0, sizeof(RecoveredItem),
        (rssEnd - rssItems) / 1024.0, (rssEnd - rssItems) * 1024.0 / double(count));
    return treeSeconds < 2 && showSeconds < 2 && worstSort < 3 && shownBytes > 0 ? 0 : 1;
}
