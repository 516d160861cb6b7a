// Every cycle that the log reader can hand on must give a report and a JSON
// line without an exception or undefined behaviour: the JSON parses and gives
// back the counts, and neither holds "nan", "inf" or a control character
// (the report's newlines aside).
//
// The input makes the cycle as the reader would: each run's 18 period counts,
// whose sum is its total, or only a total; lowrad's verdict; an activity or
// none. The settings are the defaults.
#include "assess/report.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <string>

namespace {

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

// A run's period counts, and its total.
long run(FuzzedDataProvider &input, std::vector<long> &periods) {
    if (input.ConsumeBool()) {
        return input.ConsumeIntegralInRange<long>(0, assess::most_per_run);
    }
    for (int period = 0; period < assess::periods_per_run; ++period) {
        periods.push_back(input.ConsumeIntegralInRange<long>(0, assess::most_per_period));
    }
    return std::accumulate(periods.begin(), periods.end(), 0L);
}

void require_plain(const std::string &text) {
    require(text.find("nan") == std::string::npos && text.find("inf") == std::string::npos);
    require(std::all_of(text.begin(), text.end(),
                        [](char c) { return c == '\n' || static_cast<unsigned char>(c) >= ' '; }));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider input(data, size);
    assess::Cycle cycle;
    cycle.number = 1;
    cycle.background = run(input, cycle.background_periods);
    cycle.total = run(input, cycle.total_periods);
    cycle.lowrad_verdict = static_cast<assess::LowradVerdict>(input.ConsumeIntegralInRange(0, 3));
    if (input.ConsumeBool()) {
        cycle.activity =
            input.ConsumeFloatingPointInRange(-assess::most_activity, assess::most_activity);
    }
    const assess::Settings settings;
    const assess::Assessment assessment = assess::assess_cycle(cycle, settings);
    const std::string line = assess::json_line(assessment);
    require_plain(line);
    const nlohmann::json parsed = nlohmann::json::parse(line);
    require(parsed["background_counts"] == *cycle.background);
    require(parsed["total_counts"] == *cycle.total);
    require_plain(assess::text_report(assessment, settings));
    return 0;
}
