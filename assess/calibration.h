// The tube's coefficient from a reference sample of known specific activity.
//
// A reference of specific activity A (Bq/kg) and mass m, counted in the
// container and position of the samples, gives the net rate R = c A m; so
//
//   c = R / (A m),   u_rel^2(c) = u_rel^2(R) + u_rel^2(A) + u_rel^2(m),
//
// the counting, the reference's activity and its mass as independent
// relative uncertainties. A coefficient is only given where R is above the
// decision threshold: below it, R may be background alone. Its coverage
// interval is c -+ k(1 - gamma/2) u(c), which the selection above the
// threshold keeps well away from zero.
//
// The pure potassium chloride reference has its activity from the constants
// of K-40, each with its standard uncertainty, carried into A's:
//
//   A = ln 2 / T_1/2 * theta(K-40) * N_A / M(KCl),   M(KCl) = M(K) + M(Cl).
#pragma once

#include "assess/statistics.h"

#include <optional>

namespace assess {

struct Reference {
    double activity = 0;             // Bq/kg
    double relative_uncertainty = 0; // of the activity
};

// Pure potassium chloride, from the constants in calibration.cpp.
Reference potassium_chloride();

// What the reference and its mass were.
struct Calibrating {
    Reference reference;
    double mass = 0; // kg
    double mass_relative_uncertainty = 0;
};

struct Coefficient {
    double value = 0; // Imp/Bq.s
    double uncertainty = 0;
    double relative_uncertainty = 0; // what later assessments take as the calibration's
    double coverage_low = 0;
    double coverage_high = 0;
};

// The counting's relative uncertainty that the coefficient should reach.
inline constexpr double counting_goal = 0.1;

// The coefficient from a net rate recognised above its decision threshold;
// none below it.
std::optional<Coefficient> coefficient(const Limits &rate, const Calibrating &calibrating,
                                       double coverage);

// u(R)/R, infinite for a net rate at or below zero.
double counting_relative_uncertainty(const Limits &rate);

// How many more cycles like this one bring the counting's relative
// uncertainty below counting_goal: none where the net rate is not above zero
// or a million would not do.
std::optional<long> more_cycles(const Limits &rate);

} // namespace assess
