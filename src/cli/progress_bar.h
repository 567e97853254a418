#pragma once
// A one-line progress display on stderr. On a terminal it redraws in place (at most ten times
// a second); otherwise it prints a line at every tenth of the way, so logs stay readable.

#include <chrono>
#include <cstdint>
#include <string>

namespace norvale::cli {

class ProgressBar {
  public:
    explicit ProgressBar(std::string label);
    // percent 0..100; `detail` follows the bar ("2 Min 3 Sec left, 1200/4096 sectors, 7 files");
    // names from the medium in it are shown with their control characters escaped.
    void Update(int percent, const std::string& detail);
    // Ends the line so later output starts on a fresh one.
    void Finish();

  private:
    std::string label_;
    bool tty_;
    bool drawn_ = false;
    int lastDecile_ = -1;
    std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace norvale::cli
