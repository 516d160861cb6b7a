// Reads the cycles back out of what lowrad printed.
//
// A transcript is lowrad's output as a file holds it: saved with tee (plain
// lines), with script (every line ending in CR LF, the answers the terminal
// echoed after each prompt) or through lowrad-run. The progress lines start
// with a cursor-up escape so that on a terminal each overwrites the last;
// escapes and carriage returns are dropped, and every line is matched by the
// text that lowrad prints, wherever on the line it stands.
//
// A cycle starts at the prompt for its background run. It is complete once
// the final results give both totals; the verdict and the activity follow
// them. A cycle that never got there (a run timed out, the port failed, the
// user quit, the transcript ends) is kept with the reason it was left out.
// Each run's period counts come from its progress lines, each of which shows
// the running total: they are kept only when all 18 are there and add up to
// the run's total.
#pragma once

#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace assess {

inline constexpr int periods_per_run = 18;
inline constexpr double seconds_per_run = 180;

struct Cycle {
    int number = 0;
    std::optional<long> background; // impulses over 3 minutes
    std::optional<long> total;      // background + sample, over 3 minutes
    std::string lowrad_verdict;     // "significant", "not significant", "shields" or ""
    std::optional<double> activity; // "Sample activity level", Bq/kg
    std::vector<long> background_periods;
    std::vector<long> total_periods;
    std::string left_out; // why the cycle is not assessed; empty if it is
};

std::vector<Cycle> read_transcript(std::istream &in);

} // namespace assess
