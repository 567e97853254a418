#pragma once
// What the C++ benchmarks share: a stopwatch, the peak resident memory and the mix of file
// extensions of a large camera card.

#include <sys/resource.h>

#include <chrono>

namespace norvale::bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

inline long PeakRssKiB() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// Weighted like a camera card with some documents and leftovers.
struct ExtWeight {
    const char* ext;
    int weight;
};
inline constexpr ExtWeight kCardMix[] = {
    {".jpg", 300}, {".JPG", 80}, {".png", 40}, {".cr2", 30},  {".nef", 20}, {".mp4", 60},
    {".mov", 30},  {".mts", 10}, {".mp3", 60}, {".wav", 10},  {".m4a", 10}, {".doc", 20},
    {".docx", 30}, {".pdf", 40}, {".txt", 30}, {".xlsx", 15}, {".zip", 25}, {".rar", 10},
    {".7z", 5},    {"", 40},     {".dat", 50}, {".bin", 30},  {".tmp", 20}, {".xyz", 15},
};

// An extension of the mix, drawn by its weight.
template <typename Rng>
const char* PickExtension(Rng& rng) {
    int total = 0;
    for (const ExtWeight& w : kCardMix) total += w.weight;
    int pick = int(uint64_t(rng()) % uint64_t(total));
    for (const ExtWeight& w : kCardMix) {
        if ((pick -= w.weight) < 0) return w.ext;
    }
    return "";
}

}  // namespace norvale::bench
