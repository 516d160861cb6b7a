// A cycle's figures, all computed here so that the report only writes them.
//
// The net rate R = (G - B)/t with u(R) = sqrt(G + B)/t goes through the
// characteristic limits. The calibration factor w = 1/(coefficient * mass)
// turns it into an activity A = wR with u^2(A) = w^2 u^2(R) + A^2 u_rel^2(w).
// A cycle that lowrad converted carries w in its own figures: its activity
// over lowrad's single-precision net rate. Otherwise w comes from the
// options, if given. With a reference sample in place of a sample, the cycle
// gives the tube's coefficient instead (calibration.h).
#pragma once

#include "assess/calibration.h"
#include "assess/statistics.h"
#include "assess/transcript.h"

#include <optional>

namespace assess {

// lowrad calls a result significant when the net impulses reach this share
// of the background + sample run's total.
inline constexpr double lowrad_significance_ratio = 0.0198;

struct Settings {
    Probabilities chosen;
    std::optional<double> w; // from --coefficient and --mass
    double w_relative_uncertainty = 0;
    std::optional<Calibrating> calibrating; // from --reference
};

struct Assessment {
    Cycle cycle;
    Limits rate;
    // -R/u(R): how far the net rate lies below zero, in standard
    // uncertainties; 0 for one at or above it.
    double uncertainties_below_zero = 0;
    std::optional<double> w;
    std::optional<Limits> activity;
    std::optional<Dispersion> background_dispersion;
    std::optional<Dispersion> total_dispersion;
    // With a reference: its coefficient, none where refused, and the cycles
    // more that would bring the counting below counting_goal.
    std::optional<Calibrating> reference;
    std::optional<Coefficient> coefficient;
    double counting_relative_uncertainty = 0;
    std::optional<long> more_cycles;
};

// For a complete cycle: both totals are there.
Assessment assess_cycle(const Cycle &cycle, const Settings &settings);

// With a reference, whether the cycle gave no coefficient.
bool refused(const Assessment &assessment, const Settings &settings);

} // namespace assess
