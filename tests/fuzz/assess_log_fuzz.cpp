// Any bytes as lowrad-assess's log must give cycles that hold only what
// lowrad can print (counts in range, 18 periods that add up to their run's
// total, a bounded activity), numbered in order, with reasons and faults in
// printable text; and the same cycles whatever the size of each read.
//
// The first byte of the input sets the size of each read, 1 to 256 bytes;
// the rest is the log.
#include "assess/transcript.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <string>
#include <string_view>

namespace {

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

bool printable_text(const std::string &text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= ' ' && c <= '~'; });
}

void check_run(long total, const std::vector<long> &periods) {
    require(total >= 0 && total <= assess::most_per_run);
    if (periods.empty()) {
        return;
    }
    require(periods.size() == assess::periods_per_run);
    require(std::all_of(periods.begin(), periods.end(),
                        [](long count) { return count >= 0 && count <= assess::most_per_period; }));
    require(std::accumulate(periods.begin(), periods.end(), 0L) == total);
}

void check(const assess::Cycle &cycle) {
    require(printable_text(cycle.left_out));
    require(!cycle.damaged || !cycle.left_out.empty());
    if (!cycle.left_out.empty()) {
        return;
    }
    require(cycle.background && cycle.total);
    check_run(*cycle.background, cycle.background_periods);
    check_run(*cycle.total, cycle.total_periods);
    require(!cycle.activity || std::fabs(*cycle.activity) <= assess::most_activity);
}

std::string counts(const std::vector<long> &periods) {
    std::string text;
    for (const long count : periods) {
        text += " " + std::to_string(count);
    }
    return text;
}

// Everything the reader made of the log.
std::string read(std::string_view log, size_t piece) {
    std::string said;
    int number = 0;
    const std::string fault =
        assess::read_transcript(assess::text_source(log, piece), [&](const assess::Cycle &cycle) {
            require(cycle.number == ++number);
            check(cycle);
            said += std::to_string(cycle.number) + " " + cycle.left_out + " " +
                    std::to_string(cycle.background.value_or(-1)) + " " +
                    std::to_string(cycle.total.value_or(-1)) + " " +
                    assess::verdict_text(cycle.lowrad_verdict) + " " +
                    std::to_string(cycle.activity.value_or(0)) + counts(cycle.background_periods) +
                    counts(cycle.total_periods) + "\n";
        });
    require(printable_text(fault));
    return said + fault;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t piece = size_t{data[0]} + 1;
    const std::string_view log(reinterpret_cast<const char *>(data + 1), size - 1);
    require(read(log, piece) == read(log, assess::longest_line));
    return 0;
}
