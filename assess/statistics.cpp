#include "assess/statistics.h"

#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/normal.hpp>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>

namespace assess {

namespace {

const boost::math::normal standard_normal;

// The larger root of a x^2 - b x + c = 0 for a > 0, where it has one.
std::optional<double> larger_root(double a, double b, double c) {
    const double discriminant = b * b - 4 * a * c;
    if (a <= 0 || discriminant < 0) {
        return std::nullopt;
    }
    return (b + std::sqrt(discriminant)) / (2 * a);
}

// y# - y* = k u~(y#), squared: (1 - k^2 q2) y#^2 - (2 y* + k^2 q1) y# + y*^2 - k^2 q0 = 0.
std::optional<double> detection_limit(double threshold, double k, const UncertaintyModel &m) {
    return larger_root(1 - k * k * m.q2, 2 * threshold + k * k * m.q1,
                       threshold * threshold - k * k * m.q0);
}

// ISO 11929-1:2019, the best estimate and the probabilistically symmetric
// coverage interval for a non-negative measurand, with omega = Phi(y/u).
void add_best_estimate(Limits &limits, double coverage) {
    const double y = limits.value;
    const double u = limits.uncertainty;
    if (u == 0) {
        limits.best_estimate = std::max(y, 0.0);
        limits.coverage_low = limits.coverage_high = *limits.best_estimate;
        return;
    }
    const double omega = boost::math::cdf(standard_normal, y / u);
    const double gamma = 1 - coverage;
    if (omega * gamma / 2 <= 0) {
        return;
    }
    const double best =
        y + u * std::exp(-y * y / (2 * u * u)) / (omega * std::sqrt(2 * std::numbers::pi));
    limits.best_estimate = best;
    limits.best_estimate_uncertainty = std::sqrt(std::max(u * u - (best - y) * best, 0.0));
    limits.coverage_low = y - u * quantile(omega * (1 - gamma / 2));
    limits.coverage_high =
        y + u * boost::math::quantile(boost::math::complement(standard_normal, omega * gamma / 2));
}

} // namespace

double quantile(double p) {
    return boost::math::quantile(standard_normal, p);
}

UncertaintyModel rate_model(double background_counts, double seconds) {
    return {2 * background_counts / (seconds * seconds), 1 / seconds, 0};
}

UncertaintyModel activity_model(double background_counts, double seconds, double w,
                                double w_relative_uncertainty) {
    const UncertaintyModel rate = rate_model(background_counts, seconds);
    return {w * w * rate.q0, w * rate.q1, w_relative_uncertainty * w_relative_uncertainty};
}

Limits characteristic_limits(double y, double u, const UncertaintyModel &model,
                             const Probabilities &chosen) {
    Limits limits;
    limits.value = y;
    limits.uncertainty = u;
    limits.decision_threshold = quantile(1 - chosen.alpha) * std::sqrt(model.q0);
    limits.detection_limit =
        detection_limit(limits.decision_threshold, quantile(1 - chosen.beta), model);
    limits.recognised = y > limits.decision_threshold;
    add_best_estimate(limits, chosen.coverage);
    return limits;
}

std::optional<Dispersion> dispersion(const std::vector<long> &periods) {
    const double sum = std::accumulate(periods.begin(), periods.end(), 0.0);
    if (periods.size() < 2 || sum <= 0) {
        return std::nullopt;
    }
    const double mean = sum / static_cast<double>(periods.size());
    double chi2 = 0;
    for (const long count : periods) {
        chi2 += (static_cast<double>(count) - mean) * (static_cast<double>(count) - mean) / mean;
    }
    const boost::math::chi_squared distribution(static_cast<double>(periods.size() - 1));
    return Dispersion{chi2, boost::math::cdf(boost::math::complement(distribution, chi2))};
}

bool flagged(const Dispersion &dispersion) {
    return dispersion.p < too_scattered || dispersion.p > too_steady;
}

} // namespace assess
