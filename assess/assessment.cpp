#include "assess/assessment.h"

#include <cmath>

namespace assess {

namespace {

// The calibration factor of a cycle: from lowrad's own conversion, which
// divided its single-precision net rate, else from the options; none in a
// calibration, which is to find it.
std::optional<double> calibration(const Cycle &cycle, const Settings &settings) {
    if (settings.calibrating) {
        return std::nullopt;
    }
    std::optional<double> w = settings.w;
    if (cycle.activity) {
        const float net = static_cast<float>(static_cast<double>(*cycle.total - *cycle.background) /
                                             seconds_per_run);
        w = *cycle.activity / static_cast<double>(net);
    }
    return w && std::isfinite(*w) && *w > 0 ? w : std::nullopt;
}

void add_calibration(Assessment &assessment, const Settings &settings) {
    assessment.reference = settings.calibrating;
    assessment.coefficient =
        coefficient(assessment.rate, *settings.calibrating, settings.chosen.coverage);
    assessment.counting_relative_uncertainty = counting_relative_uncertainty(assessment.rate);
    assessment.more_cycles = more_cycles(assessment.rate);
}

} // namespace

Assessment assess_cycle(const Cycle &cycle, const Settings &settings) {
    const auto background = static_cast<double>(*cycle.background);
    const auto total = static_cast<double>(*cycle.total);
    const double t = seconds_per_run;
    Assessment assessment{cycle, {}, 0, calibration(cycle, settings), {}, {}, {}, {}, {}, 0, {}};
    const double net = (total - background) / t;
    const double u = std::sqrt(total + background) / t;
    assessment.rate = characteristic_limits(net, u, rate_model(background, t), settings.chosen);
    if (net < 0) {
        assessment.uncertainties_below_zero = -net / u;
    }
    if (const auto w = assessment.w) {
        const double a = *w * net;
        const double ur = settings.w_relative_uncertainty;
        assessment.activity =
            characteristic_limits(a, std::sqrt(*w * *w * u * u + a * a * ur * ur),
                                  activity_model(background, t, *w, ur), settings.chosen);
    }
    if (!cycle.background_periods.empty()) {
        assessment.background_dispersion = dispersion(cycle.background_periods);
    }
    if (!cycle.total_periods.empty()) {
        assessment.total_dispersion = dispersion(cycle.total_periods);
    }
    if (settings.calibrating) {
        add_calibration(assessment, settings);
    }
    return assessment;
}

bool refused(const Assessment &assessment, const Settings &settings) {
    return settings.calibrating && !assessment.coefficient;
}

} // namespace assess
