// The counter itself: what it counts and the frames it sends.
//
// The counter reports once per counting period (10 s) with a 4-byte frame:
//     0xFF, count low byte, count high byte, (0xFF + low + high) mod 256
// where count is the number of impulses registered in that period.
//
// A run is one stretch of counting, started and ended by the line. Odd runs
// see the background only, even runs the background plus the sample. A count
// is drawn from a Poisson distribution, or taken from a list of exact counts;
// the fault options cut, damage, pad or silence the frames of a run.
#pragma once

#include "sim/options.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

using Clock = std::chrono::steady_clock;

class Counter {
  public:
    // The frames go out on the file descriptor line.
    Counter(const Options &options, int line);

    void start_run();
    void end_run();
    [[nodiscard]] bool running() const {
        return running_;
    }
    [[nodiscard]] unsigned run() const {
        return run_;
    }
    [[nodiscard]] bool with_sample() const {
        return run_ % 2 == 0;
    }
    [[nodiscard]] bool hung_up() const {
        return hung_up_;
    }
    [[nodiscard]] bool runs_done() const;

    // When the next frame is due, if one is.
    [[nodiscard]] std::optional<Clock::time_point> next_frame() const;
    void send_due_frames();
    // Logs "what N: F frames[ (D damaged)], I impulses" for the current run.
    void report(const char *what) const;

  private:
    using Bytes = std::vector<std::uint8_t>;

    [[nodiscard]] bool silent() const;
    unsigned draw_count();
    Bytes noise(unsigned length);
    void send_frame();
    bool transmit(const Bytes &bytes) const;

    const Options &options_;
    int line_;
    std::mt19937 random_;
    std::poisson_distribution<long long> background_;
    std::poisson_distribution<long long> sample_;
    unsigned run_ = 0;
    bool running_ = false;
    bool hung_up_ = false;
    Clock::time_point opened_;
    unsigned scheduled_ = 0; // the cut frame included
    unsigned frames_ = 0;
    unsigned damaged_ = 0;
    unsigned long impulses_ = 0;
};
