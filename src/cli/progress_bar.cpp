#include "cli/progress_bar.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "cli/terminal_text.h"

namespace norvale::cli {

ProgressBar::ProgressBar(std::string label) : label_(std::move(label)), tty_(::isatty(2) != 0) {}

void ProgressBar::Update(int percent, const std::string& detail) {
    percent = std::clamp(percent, 0, 100);
    if (tty_) {
        auto now = std::chrono::steady_clock::now();
        if (drawn_ && percent < 100 && now - lastDraw_ < std::chrono::milliseconds(100)) return;
        lastDraw_ = now;
        constexpr int kWidth = 30;
        int filled = percent * kWidth / 100;
        std::string bar(size_t(filled), '#');
        bar.append(size_t(kWidth - filled), '.');
        std::fprintf(stderr, "\r\033[K%s [%s] %3d%%  %s", label_.c_str(), bar.c_str(), percent,
                     TerminalText(detail).c_str());
        std::fflush(stderr);
        drawn_ = true;
        return;
    }
    int decile = percent / 10;
    if (decile == lastDecile_) return;
    lastDecile_ = decile;
    std::fprintf(stderr, "%s %3d%%  %s\n", label_.c_str(), percent,
                 TerminalText(detail).c_str());
}

void ProgressBar::Finish() {
    if (tty_ && drawn_) std::fputc('\n', stderr);
    drawn_ = false;
}

}  // namespace norvale::cli
