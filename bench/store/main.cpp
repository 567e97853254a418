// Result-store throughput: appends a million records shaped like a large card scan (folders,
// a realistic mix of extensions, every record linked to its folder), flushes, then selects the
// photo list and the "others" list. Prints records per second and the peak resident memory.
// Works in a temporary folder that it deletes afterwards.
//
//   bench_store [records]

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../bench_util.h"
#include "engine/data_paths.h"
#include "engine/result_store.h"

using namespace norvale::bench;

int main(int argc, char** argv) {
    using namespace norvale;
    const long records = argc > 1 ? std::atol(argv[1]) : 1000000;
    if (records <= 0 || records > 2000000000L) {
        std::fprintf(stderr, "usage: bench_store [records]\n");
        return 2;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench-store-XXXXXX";
    if (!::mkdtemp(tmpl.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string folder = tmpl + "/";

    std::mt19937 rng(1);

    ResultStore store;
    if (Result r = store.Open(folder, "Pro_Fat_2048_2024611 9"); r != kOk) {
        std::fprintf(stderr, "open failed: %s\n", ResultText(r).c_str());
        (void)RemoveTree(tmpl);
        return 1;
    }

    struct Folder {
        uint32_t key, level;
    };
    std::vector<Folder> folders{{2, 0}};
    uint32_t nextKey = 100;
    std::string name;
    auto start = Clock::now();
    for (long i = 0; i < records; ++i) {
        const Folder parent = folders[rng() % folders.size()];
        RecoveredItem* slot = store.AppendRecord();
        std::memset(slot, 0, sizeof *slot);
        slot->recordIndex = store.RecordCount();
        slot->sourceTag = 1;
        slot->engineKind = kEngineProfessionalFat;
        slot->clusterBytes = 32768;
        slot->location = uint64_t(i) * 8;
        slot->fileSize = 1000 + rng() % 8000000;
        if (i % 40 == 0) {  // about one folder per forty entries
            name = "DIR" + std::to_string(i);
            slot->isFolder = 1;
            slot->objectKey = int32_t(nextKey);
            slot->SetName(name);
            store.LinkChild(parent.key, parent.level, slot->recordIndex, slot->objectKey,
                            name.c_str());
            folders.push_back({nextKey++, parent.level + 1});
            continue;
        }
        name = "IMG_" + std::to_string(i) + PickExtension(rng);
        slot->contentValid = rng() % 50 == 0 ? 0 : 1;
        slot->objectKey = int32_t(i);
        slot->SetName(name);
        store.LinkChild(parent.key, parent.level, slot->recordIndex, 0, nullptr);
    }
    const double appendSeconds = Seconds(start);

    start = Clock::now();
    const Result flushed = store.Flush();
    const double flushSeconds = Seconds(start);

    std::vector<RecoveredItem> photos, others;
    start = Clock::now();
    store.ListByType(kPhotoExtensions, photos);
    const double photoSeconds = Seconds(start);
    start = Clock::now();
    store.ListByType("*.other", others);
    const double otherSeconds = Seconds(start);

    std::printf("records                 %ld (%zu folders)\n", records, folders.size() - 1);
    std::printf("append + link           %.3f s  %.0f records/s\n", appendSeconds,
                double(records) / appendSeconds);
    std::printf("flush (data, relation, dirinfo)  %.3f s  result %d\n", flushSeconds, int(flushed));
    std::printf("ListByType photo        %.3f s  %.0f records/s  %zu selected\n", photoSeconds,
                double(records) / photoSeconds, photos.size());
    std::printf("ListByType .other       %.3f s  %.0f records/s  %zu selected%s\n", otherSeconds,
                double(records) / otherSeconds, others.size(),
                double(records) * 346 >= 0x8000000 ? " (data file >= 128 MiB: others off)" : "");
    std::printf("peak RSS                %ld KiB\n", PeakRssKiB());

    const Result closed = store.Close();
    (void)RemoveTree(tmpl);
    return flushed == kOk && closed == kOk ? 0 : 1;
}
