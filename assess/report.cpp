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

// A value rounded to zero loses its sign: "-0.000" says nothing "0.000" does not.
std::string printed(const char *format, double value) {
    const int length = std::snprintf(nullptr, 0, format, value);
    std::string text(static_cast<size_t>(std::max(length, 0)) + 1, '\0');
    std::snprintf(text.data(), text.size(), format, value);
    text.pop_back();
    if (text.starts_with('-') && text.find_first_of("123456789") == std::string::npos) {
        text.erase(0, 1);
    }
    return text;
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

// Three significant digits, without an exponent where that stays short:
// activities span many decades.
std::string figure(double value) {
    constexpr double smallest_plain = 1e-6;
    constexpr double largest_plain = 1e15;
    const double size = std::fabs(value);
    if (size != 0 && (size < smallest_plain || size >= largest_plain || !std::isfinite(size))) {
        return printed("%.3g", value);
    }
    const int magnitude = size == 0 ? 0 : static_cast<int>(std::floor(std::log10(size)));
    return printed(("%." + std::to_string(std::max(2 - magnitude, 0)) + "f").c_str(), value);
}

std::string activity(double value) {
    return figure(value) + " Bq/kg";
}

std::string percent(double share) {
    return printed("%g", 100 * share) + " %";
}

// Without a negative zero; nlohmann writes what is not finite as null.
ordered_json number(double value) {
    return value == 0 ? 0.0 : value;
}

ordered_json optional_number(const std::optional<double> &value) {
    return value ? number(*value) : ordered_json(nullptr);
}

ordered_json dispersion_json(const std::optional<Dispersion> &dispersion) {
    if (!dispersion) {
        return nullptr;
    }
    return {{"chi2", number(dispersion->chi2)},
            {"p", number(dispersion->p)},
            {"flagged", flagged(*dispersion)}};
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

// What the second run counted beside the background: a sample or a reference.
std::string counted(const Assessment &assessment) {
    return assessment.reference ? "reference" : "sample";
}

std::string decision(const Limits &rate_limits, const std::string &counted) {
    const std::string figures = "the net rate " + three_decimals(rate_limits.value) + plus_minus +
                                rate(rate_limits.uncertainty);
    if (rate_limits.recognised) {
        return "A contribution of the " + counted + " is recognised: " + figures +
               " is above the decision threshold " + rate(rate_limits.decision_threshold) + ".";
    }
    return "No contribution of the " + counted + " is recognised: " + figures +
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

// Two spaces at least keep a long cell apart from the next.
std::string padded(const std::string &text, size_t width) {
    const size_t length = characters(text);
    return text + std::string(length == 0 ? width : std::max(width, length + 2) - length, ' ');
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
        const double sigmas = assessment.uncertainties_below_zero;
        if (sigmas > 3) {
            return "lowrad says the sample shields environmental radiation, and so it does: the "
                   "net rate lies " +
                   printed("%.1f", sigmas) +
                   " standard uncertainties below zero. The background run is then no fair "
                   "blank for it.";
        }
        return "lowrad says the sample shields environmental radiation and the setup is not "
               "adapted. A net rate within " +
               printed("%.1f", sigmas) +
               " standard uncertainties of zero is no sign of shielding: pure background gives "
               "a net rate below zero in half of all cycles.";
    }
    if ((verdict == LowradVerdict::significant) == limits.recognised) {
        return std::string("lowrad's own verdict, \"") + verdict_text(verdict) + "\", agrees.";
    }
    if (limits.recognised) {
        return "lowrad calls the result not significant, as the net impulses are under " +
               percent(lowrad_significance_ratio) +
               " of the total; at these counts that fixed ratio misses what the decision "
               "threshold recognises.";
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

// The reference, the coefficient and what is missing for a good one, as JSON.
void add_calibration_json(ordered_json &line, const Assessment &assessment) {
    const Calibrating &reference = *assessment.reference;
    const std::optional<Coefficient> &c = assessment.coefficient;
    line["reference_activity"] = number(reference.reference.activity);
    line["reference_relative_uncertainty"] = number(reference.reference.relative_uncertainty);
    line["reference_mass"] = number(reference.mass);
    line["mass_relative_uncertainty"] = number(reference.mass_relative_uncertainty);
    line["counting_relative_uncertainty"] = number(assessment.counting_relative_uncertainty);
    line["coefficient"] = c ? number(c->value) : nullptr;
    line["coefficient_uncertainty"] = c ? number(c->uncertainty) : nullptr;
    line["calibration_uncertainty"] = c ? number(c->relative_uncertainty) : nullptr;
    line["coefficient_coverage_low"] = c ? number(c->coverage_low) : nullptr;
    line["coefficient_coverage_high"] = c ? number(c->coverage_high) : nullptr;
    line["more_cycles"] =
        assessment.more_cycles ? ordered_json(*assessment.more_cycles) : ordered_json(nullptr);
}

std::string percent_uncertainty(double share) {
    return figure(100 * share) + " %";
}

std::string more_cycles_sentence(const Assessment &assessment) {
    if (!assessment.more_cycles) {
        return "At a net rate this near zero, or below it, no sensible number of cycles gives a "
               "coefficient: is the reference in place?";
    }
    const long more = *assessment.more_cycles;
    return "The counting uncertainty is " +
           percent_uncertainty(assessment.counting_relative_uncertainty) + "; " +
           std::to_string(more) + " more cycle" + (more == 1 ? "" : "s") +
           " like this one would bring it below " + percent(counting_goal) +
           " (count the reference longer, or closer to the tube).";
}

std::vector<std::string> calibration_paragraphs(const Assessment &assessment,
                                                const Settings &settings) {
    const Calibrating &reference = *assessment.reference;
    const std::optional<Coefficient> &c = assessment.coefficient;
    if (!c) {
        return {"No coefficient from this cycle: the reference's net rate is not above the "
                "decision threshold, and a coefficient from noise is worse than none.",
                more_cycles_sentence(assessment)};
    }
    std::vector<std::string> paragraphs{
        "The tube's coefficient: " + figure(c->value) + plus_minus + figure(c->uncertainty) +
            " Imp/Bq.s (" + percent(settings.chosen.coverage) + " coverage interval " +
            figure(c->coverage_low) + " to " + figure(c->coverage_high) +
            "), from a reference of " + figure(reference.reference.activity) + " Bq/kg" +
            plus_minus + percent_uncertainty(reference.reference.relative_uncertainty) + " and " +
            printed("%g", reference.mass) + " kg" +
            (reference.mass_relative_uncertainty > 0
                 ? plus_minus + percent_uncertainty(reference.mass_relative_uncertainty)
                 : "") +
            ". Its relative standard uncertainty is " +
            percent_uncertainty(c->relative_uncertainty) + " (counting " +
            percent_uncertainty(assessment.counting_relative_uncertainty) + ").",
        "Type " + figure(c->value) +
            " when lowrad asks for the coefficient of the used GM tube, and assess the samples "
            "with --calibration-uncertainty " +
            figure(c->relative_uncertainty) +
            ". Measure them in the same container, position and fill height as the reference: "
            "the coefficient holds for that geometry only."};
    if (*assessment.more_cycles > 0) {
        paragraphs.push_back(more_cycles_sentence(assessment));
    }
    return paragraphs;
}

} // namespace

std::string json_line(const Assessment &assessment) {
    const Cycle &cycle = assessment.cycle;
    const Limits &limits = assessment.rate;
    ordered_json line{
        {"cycle", cycle.number},
        {"background_counts", *cycle.background},
        {"total_counts", *cycle.total},
        {"run_seconds", number(seconds_per_run)},
        {"net_rate", number(limits.value)},
        {"net_rate_uncertainty", number(limits.uncertainty)},
        {"decision_threshold", number(limits.decision_threshold)},
        {"detection_limit", optional_number(limits.detection_limit)},
        {"recognised", limits.recognised},
        {"best_estimate", optional_number(limits.best_estimate)},
        {"best_estimate_uncertainty", number(limits.best_estimate_uncertainty)},
        {"coverage_low", number(limits.coverage_low)},
        {"coverage_high", number(limits.coverage_high)},
        {"lowrad_verdict", cycle.lowrad_verdict == LowradVerdict::none
                               ? ordered_json(nullptr)
                               : ordered_json(verdict_text(cycle.lowrad_verdict))},
    };
    if (const auto &a = assessment.activity) {
        line["calibration_factor"] = number(*assessment.w);
        line["activity"] = number(a->value);
        line["activity_uncertainty"] = number(a->uncertainty);
        line["activity_decision_threshold"] = number(a->decision_threshold);
        line["activity_detection_limit"] = optional_number(a->detection_limit);
        line["activity_best_estimate"] = optional_number(a->best_estimate);
        line["activity_coverage_low"] = number(a->coverage_low);
        line["activity_coverage_high"] = number(a->coverage_high);
    }
    if (assessment.reference) {
        add_calibration_json(line, assessment);
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
        wrapped("Cycle " + std::to_string(cycle.number) + ": " +
                decision(assessment.rate, counted(assessment))) +
        wrapped("Counted: background " + std::to_string(*cycle.background) +
                " impulses, background + " + counted(assessment) + " " +
                std::to_string(*cycle.total) + " impulses, " + printed("%g", seconds_per_run) +
                " s each.") +
        "\n" + figures_table(assessment, settings) +
        run_lines("background run  ", cycle.background_periods, assessment.background_dispersion) +
        run_lines("with the sample ", cycle.total_periods, assessment.total_dispersion);
    const std::vector<std::string> paragraphs =
        assessment.reference ? calibration_paragraphs(assessment, settings)
                             : std::vector<std::string>{lowrad_lines(assessment, settings),
                                                        not_recognised_note(assessment, settings)};
    for (const std::string &paragraph : paragraphs) {
        if (!paragraph.empty()) {
            text += "\n" + wrapped(paragraph);
        }
    }
    return text;
}

} // namespace assess
