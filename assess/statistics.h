// How a cycle's counts are judged: the characteristic limits of ISO 11929-1:2019 for a gross and a
// background count over equal, known counting times.
//
// Every quantity here, a net rate or an activity, is a measurand y whose
// standard uncertainty, as a function of its true value x, is a quadratic
// under the root: u~^2(x) = q0 + q1 x + q2 x^2. For the net rate
// (G - B)/t, q0 = 2B/t^2 (the background counted twice, once in each run),
// q1 = 1/t (the sample's own counts) and q2 = 0; the activity w (G - B)/t
// scales the first two by w and adds q2 = u_rel^2(w). With that:
//
//   decision threshold  y* = k(1-alpha) u~(0)
//   detection limit     y# = y* + k(1-beta) u~(y#), the larger root of a
//                       quadratic; none when k(1-beta)^2 q2 >= 1
//   recognised          y > y*
//
// The best estimate and the probabilistically symmetric coverage interval
// take the prior knowledge that the true value is not negative into account,
// so both lie in the physical region, also for a result below zero.
//
// The counter itself is checked with the index of dispersion of a run's
// period counts: for Poisson counts it follows the chi-squared distribution
// with one degree of freedom less than there are periods.
#pragma once

#include <optional>
#include <vector>

namespace assess {

// What the user chose: the probabilities of the errors of the first and
// second kind, and the coverage probability of the interval.
struct Probabilities {
    double alpha = 0.05;
    double beta = 0.05;
    double coverage = 0.95;
};

// u~^2(x) = q0 + q1 x + q2 x^2.
struct UncertaintyModel {
    double q0 = 0;
    double q1 = 0;
    double q2 = 0;
};

struct Limits {
    double value = 0;       // the primary result y
    double uncertainty = 0; // its standard uncertainty u(y)
    double decision_threshold = 0;
    std::optional<double> detection_limit; // none where k(1-beta) u_rel(w) >= 1
    bool recognised = false;
    // Best estimate and coverage interval: none where y lies so far below zero
    // that the normal distribution's tail underflows.
    std::optional<double> best_estimate;
    double best_estimate_uncertainty = 0;
    double coverage_low = 0;
    double coverage_high = 0;
};

// The standard normal quantile of p.
double quantile(double p);

// The net rate's model, and the activity's with calibration factor w and its
// relative standard uncertainty.
UncertaintyModel rate_model(double background_counts, double seconds);
UncertaintyModel activity_model(double background_counts, double seconds, double w,
                                double w_relative_uncertainty);

// The characteristic limits of a result y with standard uncertainty u.
Limits characteristic_limits(double y, double u, const UncertaintyModel &model,
                             const Probabilities &chosen);

// The index of dispersion of counts in equal periods, sum (N - mean)^2 / mean,
// and the probability that Poisson counts give one at least as large.
struct Dispersion {
    double chi2 = 0;
    double p = 0;
};
std::optional<Dispersion> dispersion(const std::vector<long> &periods);

// A sound counter's run falls outside these in 2 % of cases: flagged.
inline constexpr double too_scattered = 0.01;
inline constexpr double too_steady = 0.99;
bool flagged(const Dispersion &dispersion);

} // namespace assess
