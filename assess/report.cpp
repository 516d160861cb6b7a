#include "assess/report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <sstream>

namespace assess {

namespace {

using nlohmann::ordered_json;

const std::string per_second = "s\u207b\u00b9";
const std::string plus_minus = " \u00b1 ";

std::string printed(const char *format, double value) {
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), format, value);
    return text.data();
}

// Counts each UTF-8 sequence as one character.
size_t characters(const std::string &text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    }));
}

// Breaks text into lines of at most 78 characters, at spaces, each after indent.
std::string wrapped(const std::string &text, const std::string &indent = "") {
    std::istringstream words(text);
    std::string result;
    std::string line = indent;
    std::string word;
    while (words >> word) {
        if (line.size() > indent.size() && characters(line) + 1 + characters(word) > 78) {
            result += line + "\n";
            line = indent;
        }
        line += (line.size() > indent.size() ? " " : "") + word;
    }
    return result + line + "\n";
}

std::string three_decimals(double value) {
    return printed("%.3f", value);
}

std::string rate(double value) {
    return three_decimals(value) + " " + per_second;
}

// Three significant digits, without an exponent: activities span many decades.
std::string figure(double value) {
    const int magnitude =
        value == 0 ? 0 : static_cast<int>(std::floor(std::log10(std::fabs(value))));
    const int decimals = std::clamp(2 - magnitude, 0, 9);
    return printed(("%." + std::to_string(decimals) + "f").c_str(), value);
}

std::string activity(double value) {
    return figure(value) + " Bq/kg";
}

std::string percent(double share) {
    return printed("%g", 100 * share) + " %";
}

// The calibration factor of a cycle: from lowrad's own conversion, which
// divided its single-precision net rate, else from the options.
std::optional<double> calibration(const Cycle &cycle, const Settings &settings) {
    std::optional<double> w = settings.w;
    if (cycle.activity) {
        const float net = static_cast<float>(static_cast<double>(*cycle.total - *cycle.background) /
                                             seconds_per_run);
        w = *cycle.activity / static_cast<double>(net);
    }
    return w && std::isfinite(*w) && *w > 0 ? w : std::nullopt;
}

ordered_json optional_number(const std::optional<double> &value) {
    return value ? ordered_json(*value) : ordered_json(nullptr);
}

// A sound counter's run falls outside these in 2 % of cases.
constexpr double too_scattered = 0.01;
constexpr double too_steady = 0.99;

bool flagged(const Dispersion &dispersion) {
    return dispersion.p < too_scattered || dispersion.p > too_steady;
}

ordered_json dispersion_json(const std::optional<Dispersion> &dispersion) {
    if (!dispersion) {
        return nullptr;
    }
    return {{"chi2", dispersion->chi2}, {"p", dispersion->p}, {"flagged", flagged(*dispersion)}};
}

// The period counts as bars, the tallest for the largest count; a blank is
// a period without a single impulse.
std::string chart(const std::vector<long> &periods) {
    static const std::array<const char *, 8> bars{"\u2581", "\u2582", "\u2583", "\u2584",
                                                  "\u2585", "\u2586", "\u2587", "\u2588"};
    const long most = *std::max_element(periods.begin(), periods.end());
    std::string line;
    for (const long count : periods) {
        if (count == 0) {
            line += " ";
            continue;
        }
        const auto level = static_cast<size_t>(
            std::ceil(8.0 * static_cast<double>(count) / static_cast<double>(most)));
        line += bars.at(std::clamp<size_t>(level, 1, 8) - 1);
    }
    return line;
}

std::string dispersion_verdict(const std::optional<Dispersion> &dispersion) {
    if (!dispersion) {
        return "no impulse at all: is the counter dead?";
    }
    const std::string figures =
        "\u03c7\u00b2 = " + printed("%.1f", dispersion->chi2) + ", p = " + figure(dispersion->p);
    if (dispersion->p < too_scattered) {
        return figures + ": FLAGGED, more scatter than random decays give (noise on the line, a "
                         "failing tube?)";
    }
    if (dispersion->p > too_steady) {
        return figures + ": FLAGGED, steadier than random decays are (a stuck or simulated "
                         "source?)";
    }
    return figures + ": scatter like random decays";
}

std::string run_lines(const char *name, const std::vector<long> &periods,
                      const std::optional<Dispersion> &dispersion) {
    if (periods.empty()) {
        return "";
    }
    const auto [fewest, most] = std::minmax_element(periods.begin(), periods.end());
    return std::string("  ") + name + "  " + chart(periods) + "  " + std::to_string(*fewest) +
           " to " + std::to_string(*most) + " impulses per period\n" +
           wrapped(dispersion_verdict(dispersion), std::string(20, ' '));
}

std::string decision(const Limits &rate_limits) {
    const std::string figures = "the net rate " + three_decimals(rate_limits.value) + plus_minus +
                                rate(rate_limits.uncertainty);
    if (rate_limits.recognised) {
        return "A contribution of the sample is recognised: " + figures +
               " is above the decision threshold " + rate(rate_limits.decision_threshold) + ".";
    }
    return "No contribution of the sample is recognised: " + figures +
           " is not above the decision threshold " + rate(rate_limits.decision_threshold) + ".";
}

// How the figures of a quantity are written.
struct Shown {
    std::string (*number)(double);
    std::string (*with_unit)(double);
};

const Shown rates{three_decimals, rate};
const Shown activities{figure, activity};

// The cells of one quantity's column, top to bottom.
std::vector<std::string> column(const Limits &limits, const Shown &shown) {
    std::vector<std::string> cells{
        shown.number(limits.value) + plus_minus + shown.with_unit(limits.uncertainty),
        shown.with_unit(limits.decision_threshold),
        limits.detection_limit ? shown.with_unit(*limits.detection_limit) : "none",
        "none: far below zero",
        "none: far below zero",
    };
    if (limits.best_estimate) {
        cells[3] = shown.number(*limits.best_estimate) + plus_minus +
                   shown.with_unit(limits.best_estimate_uncertainty);
        cells[4] =
            shown.number(limits.coverage_low) + " to " + shown.with_unit(limits.coverage_high);
    }
    return cells;
}

std::string padded(const std::string &text, size_t width) {
    const size_t length = characters(text);
    return text + std::string(width > length ? width - length : 0, ' ');
}

std::string figures_table(const Assessment &assessment, const Settings &settings) {
    const std::vector<std::string> labels{"result", "decision threshold", "detection limit",
                                          "best estimate",
                                          percent(settings.chosen.coverage) + " coverage interval"};
    const std::vector<std::string> rate_cells = column(assessment.rate, rates);
    std::vector<std::string> activity_cells(labels.size());
    std::string text = "  " + padded("", 24) +
                       (assessment.activity ? padded("net rate", 26) + "activity" : "net rate") +
                       "\n";
    if (assessment.activity) {
        activity_cells = column(*assessment.activity, activities);
    }
    for (size_t row = 0; row < labels.size(); ++row) {
        const std::string line =
            "  " + padded(labels[row], 24) + padded(rate_cells[row], 26) + activity_cells[row];
        text += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
    }
    std::string note =
        "(± one standard uncertainty. Background alone exceeds the decision threshold in " +
        percent(settings.chosen.alpha) +
        " of cycles; a sample at the detection limit is "
        "recognised in " +
        percent(1 - settings.chosen.beta) + " of them.";
    if (assessment.activity) {
        note += " Calibration factor " + figure(*assessment.w) + " Bq/kg per " + per_second + ".";
    }
    return text + wrapped(note + ")", "  ");
}

std::string lowrad_lines(const Assessment &assessment, const Settings &settings) {
    const LowradVerdict verdict = assessment.cycle.lowrad_verdict;
    const Limits &limits = assessment.rate;
    if (verdict == LowradVerdict::none) {
        return "";
    }
    if (verdict == LowradVerdict::shields) {
        // Nothing counted in either run: a net rate of 0 without uncertainty.
        const double sigmas = limits.uncertainty > 0 ? -limits.value / limits.uncertainty : 0;
        if (sigmas > 3) {
            return "lowrad says the sample shields environmental radiation, and so it does: the "
                   "net rate lies " +
                   printed("%.1f", sigmas) +
                   " standard uncertainties below zero. The background run is then no fair "
                   "blank for it.";
        }
        return "lowrad says the sample shields environmental radiation and the setup is not "
               "adapted. A net rate within " +
               printed("%.1f", std::max(sigmas, 0.0)) +
               " standard uncertainties of zero is no sign of shielding: pure background gives "
               "a net rate below zero in half of all cycles.";
    }
    if ((verdict == LowradVerdict::significant) == limits.recognised) {
        return std::string("lowrad's own verdict, \"") + verdict_text(verdict) + "\", agrees.";
    }
    if (limits.recognised) {
        return "lowrad calls the result not significant, as the net impulses are under 1.98 % of "
               "the total; at these counts that fixed ratio misses what the decision threshold "
               "recognises.";
    }
    return "lowrad calls the result significant, but its fixed ratio does that for about half "
           "of all cycles without any sample (" +
           percent(settings.chosen.alpha) +
           " for the decision threshold): lowrad's verdict and its activity are no evidence "
           "that the sample is radioactive.";
}

std::string not_recognised_note(const Assessment &assessment, const Settings &settings) {
    if (assessment.rate.recognised) {
        return "";
    }
    std::string limit = rate(*assessment.rate.detection_limit);
    if (assessment.activity && assessment.activity->detection_limit) {
        limit += " (" + activity(*assessment.activity->detection_limit) + ")";
    }
    return "That does not show that the sample holds nothing: only from the detection limit " +
           limit + " up is a sample recognised in " + percent(1 - settings.chosen.beta) +
           " of cycles.";
}

} // namespace

Assessment assess_cycle(const Cycle &cycle, const Settings &settings) {
    const auto background = static_cast<double>(*cycle.background);
    const auto total = static_cast<double>(*cycle.total);
    const double t = seconds_per_run;
    Assessment assessment{cycle, {}, calibration(cycle, settings), {}, {}, {}};
    const double net = (total - background) / t;
    const double u = std::sqrt(total + background) / t;
    assessment.rate = characteristic_limits(net, u, rate_model(background, t), settings.chosen);
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
    return assessment;
}

std::string json_line(const Assessment &assessment) {
    const Cycle &cycle = assessment.cycle;
    const Limits &limits = assessment.rate;
    ordered_json line{
        {"cycle", cycle.number},
        {"background_counts", *cycle.background},
        {"total_counts", *cycle.total},
        {"run_seconds", seconds_per_run},
        {"net_rate", limits.value},
        {"net_rate_uncertainty", limits.uncertainty},
        {"decision_threshold", limits.decision_threshold},
        {"detection_limit", optional_number(limits.detection_limit)},
        {"recognised", limits.recognised},
        {"best_estimate", optional_number(limits.best_estimate)},
        {"best_estimate_uncertainty", limits.best_estimate_uncertainty},
        {"coverage_low", limits.coverage_low},
        {"coverage_high", limits.coverage_high},
        {"lowrad_verdict", cycle.lowrad_verdict == LowradVerdict::none
                               ? ordered_json(nullptr)
                               : ordered_json(verdict_text(cycle.lowrad_verdict))},
    };
    if (const auto &a = assessment.activity) {
        line["calibration_factor"] = *assessment.w;
        line["activity"] = a->value;
        line["activity_uncertainty"] = a->uncertainty;
        line["activity_decision_threshold"] = a->decision_threshold;
        line["activity_detection_limit"] = optional_number(a->detection_limit);
        line["activity_best_estimate"] = optional_number(a->best_estimate);
        line["activity_coverage_low"] = a->coverage_low;
        line["activity_coverage_high"] = a->coverage_high;
    }
    if (!cycle.background_periods.empty()) {
        line["background_dispersion"] = dispersion_json(assessment.background_dispersion);
    }
    if (!cycle.total_periods.empty()) {
        line["total_dispersion"] = dispersion_json(assessment.total_dispersion);
    }
    return line.dump() + "\n";
}

std::string text_report(const Assessment &assessment, const Settings &settings) {
    const Cycle &cycle = assessment.cycle;
    std::string text =
        wrapped("Cycle " + std::to_string(cycle.number) + ": " + decision(assessment.rate)) +
        wrapped("Counted: background " + std::to_string(*cycle.background) +
                " impulses, background + sample " + std::to_string(*cycle.total) +
                " impulses, 180 s each.") +
        "\n" + figures_table(assessment, settings) +
        run_lines("background run  ", cycle.background_periods, assessment.background_dispersion) +
        run_lines("with the sample ", cycle.total_periods, assessment.total_dispersion);
    for (const std::string &paragraph :
         {lowrad_lines(assessment, settings), not_recognised_note(assessment, settings)}) {
        if (!paragraph.empty()) {
            text += "\n" + wrapped(paragraph);
        }
    }
    return text;
}

} // namespace assess
