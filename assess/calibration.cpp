#include "assess/calibration.h"

#include <cmath>
#include <numbers>

namespace assess {

namespace {

// A value with its standard uncertainty.
struct Measured {
    double value;
    double uncertainty;
};

// K-40's half-life in years: NUBASE2020, F. G. Kondev et al., Chinese
// Physics C 45 (2021) 030001.
constexpr Measured half_life_years{1.248e9, 0.003e9};
// K-40's amount fraction in natural potassium: IUPAC, Isotopic compositions
// of the elements 2013, Pure Appl. Chem. 88 (2016) 293.
constexpr Measured abundance{117e-6, 1e-6};
// Molar masses in g/mol: IUPAC, Atomic weights of the elements 2013, Pure
// Appl. Chem. 88 (2016) 265; chlorine's interval [35.446, 35.457] as its
// middle with the standard uncertainty of a rectangular distribution.
constexpr Measured potassium_molar_mass{39.0983, 0.0001};
constexpr Measured chlorine_molar_mass{35.4515, 0.0055 / 1.7320508075688772};
// Exact by definition: the SI since 2019, and the IAU's Julian year.
constexpr double avogadro = 6.02214076e23;
constexpr double seconds_per_julian_year = 365.25 * 86400;
constexpr double grams_per_kilogram = 1000;

double relative(const Measured &measured) {
    return measured.uncertainty / measured.value;
}

} // namespace

Reference potassium_chloride() {
    const Measured molar_mass{
        potassium_molar_mass.value + chlorine_molar_mass.value,
        std::hypot(potassium_molar_mass.uncertainty, chlorine_molar_mass.uncertainty)};
    const double decay_constant =
        std::numbers::ln2 / (half_life_years.value * seconds_per_julian_year);
    const double atoms_per_kilogram =
        abundance.value * avogadro * grams_per_kilogram / molar_mass.value;
    return {decay_constant * atoms_per_kilogram,
            std::hypot(relative(half_life_years), relative(abundance), relative(molar_mass))};
}

double counting_relative_uncertainty(const Limits &rate) {
    return rate.value > 0 ? rate.uncertainty / rate.value : INFINITY;
}

std::optional<Coefficient> coefficient(const Limits &rate, const Calibrating &calibrating,
                                       double coverage) {
    if (!rate.recognised) {
        return std::nullopt;
    }
    Coefficient c;
    c.value = rate.value / (calibrating.reference.activity * calibrating.mass);
    c.relative_uncertainty =
        std::hypot(counting_relative_uncertainty(rate), calibrating.reference.relative_uncertainty,
                   calibrating.mass_relative_uncertainty);
    c.uncertainty = c.value * c.relative_uncertainty;
    const double k = quantile(1 - (1 - coverage) / 2);
    c.coverage_low = c.value - k * c.uncertainty;
    c.coverage_high = c.value + k * c.uncertainty;
    return c;
}

std::optional<long> more_cycles(const Limits &rate) {
    constexpr double too_many = 1e6;
    // Over n cycles u(R)/R falls as 1/sqrt(n): below the goal for
    // n > (u(R)/(R goal))^2, this cycle being one of them.
    const double ratio = counting_relative_uncertainty(rate) / counting_goal;
    const double more = std::floor(ratio * ratio);
    if (!(more <= too_many)) {
        return std::nullopt;
    }
    return static_cast<long>(more);
}

} // namespace assess
