// Reads the cycles back out of what lowrad printed.
//
// A transcript is lowrad's output as a file holds it: saved with tee (plain
// lines), with script (every line ending in CR LF, the answers the terminal
// echoed after each prompt) or through lowrad-run. The progress lines start
// with a cursor-up escape so that on a terminal each overwrites the last;
// escapes and carriage returns are dropped, and every line is matched by the
// text that lowrad prints, wherever on the line it stands. Only a line that
// ends with its newline counts: the log may have been cut while lowrad was
// writing it. A log that ends inside a line is cut, unless the line is a
// prompt that lowrad was waiting at.
//
// A cycle starts at the prompt for its background run. It is complete once
// the final results give both totals; the verdict and the activity follow
// them. A cycle that never got there (a run timed out, the port failed, the
// user quit, the transcript ends) is kept with the reason it was left out.
// Each run's period counts come from its progress lines, each of which shows
// the running total: they are kept when all 18 are there.
//
// Every figure is held against what lowrad can print with %f: a total or a
// running total is a whole number of impulses, at most 65535 for each of the
// 18 frames of a run; running totals never go down and end at the run's
// total; an activity is a decimal no larger than most_activity. A cycle
// where the log breaks one of these rules, or ends in the middle of a line,
// is damaged: left out with the reason, while the others are still assessed.
//
// The log is read as a stream: each cycle is handed on once lowrad asked for
// a new measurement or the next cycle starts, so memory holds one cycle and
// one line, whatever the log's size.
#pragma once

#include "assess/lines.h"

#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace assess {

inline constexpr int periods_per_run = 18;
inline constexpr double seconds_per_run = 180;
// A frame carries a 16-bit count.
inline constexpr long most_per_period = 65535;
inline constexpr long most_per_run = periods_per_run * most_per_period;
// lowrad's activity is its net rate over the product of two nonzero floats,
// the tube's coefficient and the sample's mass, which may be as small as the
// smallest subnormal float each.
inline constexpr double most_activity =
    most_per_run / seconds_per_run /
    (static_cast<double>(std::numeric_limits<float>::denorm_min()) *
     static_cast<double>(std::numeric_limits<float>::denorm_min()));

// What lowrad said of a cycle's results.
enum class LowradVerdict { none, significant, not_significant, shields };

// The verdict's name in the report and in JSON: "significant", "not
// significant" or "shields"; "" for none.
const char *verdict_text(LowradVerdict verdict);

struct Cycle {
    int number = 0;
    std::optional<long> background; // impulses over 3 minutes
    std::optional<long> total;      // background + sample, over 3 minutes
    LowradVerdict lowrad_verdict = LowradVerdict::none;
    std::optional<double> activity; // "Sample activity level", Bq/kg
    std::vector<long> background_periods;
    std::vector<long> total_periods;
    std::string left_out; // why the cycle is not assessed; empty if it is
    bool damaged = false; // left out for what lowrad cannot have written
};

// Hands each cycle of the log to each, in order, as soon as the log has gone
// past it. Returns what kept the log from being read to its end, or what is
// damaged outside any cycle; empty when there is no such thing.
std::string read_transcript(const Source &log, const std::function<void(const Cycle &)> &each);

} // namespace assess
