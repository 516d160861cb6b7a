// Assesses the cycles that a transcript or the command line gives, and writes
// the result as a report for people or as one JSON object per line.
//
// The report opens with the decision in one sentence, then the figures of the
// net rate and, where the calibration is known, of the activity; then each
// run's period counts as a bar chart with the counter's dispersion check; and
// last what lowrad's own verdict means beside the decision.
//
// The calibration factor w = 1/(coefficient * mass) turns a net rate into an
// activity. A cycle that lowrad converted carries it in its own figures: the
// activity over lowrad's net rate. Otherwise it comes from --coefficient and
// --mass, if given.
#pragma once

#include "assess/statistics.h"
#include "assess/transcript.h"

#include <optional>
#include <string>

namespace assess {

struct Settings {
    Probabilities chosen;
    std::optional<double> w; // from --coefficient and --mass
    double w_relative_uncertainty = 0;
};

struct Assessment {
    Cycle cycle;
    Limits rate;
    std::optional<double> w;
    std::optional<Limits> activity;
    std::optional<Dispersion> background_dispersion;
    std::optional<Dispersion> total_dispersion;
};

// For a complete cycle: both totals are there.
Assessment assess_cycle(const Cycle &cycle, const Settings &settings);

std::string json_line(const Assessment &assessment);
std::string text_report(const Assessment &assessment, const Settings &settings);

} // namespace assess
