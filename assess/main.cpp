// lowrad-assess: what a result of lowrad really says.
//
// Reads the options, then the cycles of a transcript (or the two totals given
// on the command line), and writes one assessment per complete cycle, as a
// report or as JSON lines; a cycle that was not complete is named with the
// reason it is left out.
#include "assess/report.h"

#include <getopt.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string_view>

namespace {

const char *const help = R"(Usage: lowrad-assess [OPTION]... [TRANSCRIPT]
Says whether lowrad's measurements show a contribution of the sample, with the
characteristic limits of ISO 11929-1:2019: decision threshold, detection limit,
best estimate and coverage interval, for the net rate and for the activity.
With --reference, finds the tube's coefficient from a reference sample instead.

TRANSCRIPT is lowrad's output as saved while measuring (lowrad | tee run.log,
script, or through lowrad-run); without it, or with -, standard input is read.
Every complete cycle in it is assessed; an unfinished one is named, left out.

Options (a value may also follow its option after =, as in --alpha=0.01):
  --background COUNTS   assess these background impulses over 3 minutes...
  --total COUNTS        ...and these of background + sample, with no transcript
                        (whole numbers from 0 to 1179630, 90 or 90.000000)
  --coefficient C       the tube's coefficient in impulses per Bq and second
                        (from 1e-9 to 1)...
  --mass KG             ...and the sample's mass (from 1e-6 to 1e6), for cycles
                        lowrad did not convert (lowrad's own conversion wins)
  --calibration-uncertainty R
                        relative standard uncertainty of 1/(C * KG) (from 0 to
                        below 1; default 0)
  --reference ACTIVITY  calibrate: the cycles counted a reference sample of
                        ACTIVITY Bq/kg (from 1e-3 to 1e9) or, with kcl, of pure
                        potassium chloride (16.6 kBq/kg) of --mass KG; prints
                        the coefficient C to type into lowrad
  --reference-uncertainty R
                        relative standard uncertainty of ACTIVITY (from 0 to
                        below 1; default 0, for kcl that of its constants)
  --mass-uncertainty R  relative standard uncertainty of the reference's mass
                        (from 0 to below 1; default 0)
  --alpha A             probability of recognising a sample that holds nothing
                        (from 1e-9 to below 0.5; default 0.05)
  --beta B              probability of missing one at the detection limit
                        (from 1e-9 to below 0.5; default 0.05)
  --coverage P          coverage probability of the intervals (from 1e-9 to
                        0.999999999; default 0.95)
  --json                one JSON object per cycle and line, not the report
  -h, --help            show this text and exit

Exit status: 0 when at least one cycle was assessed (with --reference: gave a
coefficient), 1 when none could be, 2 for a wrong option.
)";

struct Options {
    assess::Settings settings;
    std::optional<long> background;
    std::optional<long> total;
    std::optional<double> coefficient;
    std::optional<double> mass;
    std::optional<assess::Reference> reference;
    std::optional<double> reference_uncertainty;
    std::optional<double> mass_uncertainty;
    bool calibration_uncertainty = false;
    bool json = false;
    std::string transcript = "-";
};

[[noreturn]] void misuse(const std::string &problem) {
    std::fprintf(stderr, "lowrad-assess: %s\nTry 'lowrad-assess --help'.\n", problem.c_str());
    std::exit(2);
}

// The values an option takes, as --help names them. Within them no figure
// overflows and every probability is one the normal quantile can take.
struct Range {
    double low;
    double high;
    bool high_included;
    const char *named; // as the refusal names it
};

constexpr double largest_frame_count = 65535;
constexpr Range counts{0, assess::periods_per_run *largest_frame_count, true,
                       "a whole number from 0 to 1179630"};
static_assert(counts.high == 1179630);
constexpr Range error_probabilities{1e-9, 0.5, false, "a number from 1e-9 to below 0.5"};
constexpr Range coverages{1e-9, 0.999999999, true, "a number from 1e-9 to 0.999999999"};
constexpr Range coefficients{1e-9, 1, true, "a number from 1e-9 to 1"};
constexpr Range masses{1e-6, 1e6, true, "a number from 1e-6 to 1e6"};
constexpr Range activities{1e-3, 1e9, true, "a number from 1e-3 to 1e9, or kcl"};
constexpr Range relative_uncertainties{0, 1, false, "a number from 0 to below 1"};

double in_range(const char *option, const char *text, const Range &range) {
    double value = 0;
    const char *end = text + std::strlen(text);
    const auto [stop, error] = std::from_chars(text, end, value);
    const bool inside =
        value >= range.low && (range.high_included ? value <= range.high : value < range.high);
    if (error != std::errc() || stop != end || *text == '\0' || !inside) {
        misuse(std::string("--") + option + " takes " + range.named + ", not '" + text + "'");
    }
    return value;
}

// As lowrad prints them, "90.000000", or as a whole number.
long impulses(const char *option, const char *text) {
    const double value = in_range(option, text, counts);
    if (value != std::floor(value)) {
        misuse(std::string("--") + option + " takes " + counts.named + ", not '" + text + "'");
    }
    return static_cast<long>(value);
}

assess::Reference reference_named(const char *text) {
    if (std::string_view(text) == "kcl" || std::string_view(text) == "KCl") {
        return assess::potassium_chloride();
    }
    return {in_range("reference", text, activities), 0};
}

enum Key : int {
    background = 256,
    total,
    coefficient,
    mass,
    calibration_uncertainty,
    reference_activity,
    reference_uncertainty,
    mass_uncertainty,
    alpha,
    beta,
    coverage,
    json,
};

const std::array<option, 14> long_options{{
    {"background", required_argument, nullptr, background},
    {"total", required_argument, nullptr, total},
    {"coefficient", required_argument, nullptr, coefficient},
    {"mass", required_argument, nullptr, mass},
    {"calibration-uncertainty", required_argument, nullptr, calibration_uncertainty},
    {"reference", required_argument, nullptr, reference_activity},
    {"reference-uncertainty", required_argument, nullptr, reference_uncertainty},
    {"mass-uncertainty", required_argument, nullptr, mass_uncertainty},
    {"alpha", required_argument, nullptr, alpha},
    {"beta", required_argument, nullptr, beta},
    {"coverage", required_argument, nullptr, coverage},
    {"json", no_argument, nullptr, json},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
}};

void take(Options &options, int key, const char *name, const char *value) {
    assess::Probabilities &chosen = options.settings.chosen;
    switch (key) {
    case background:
        options.background = impulses(name, value);
        break;
    case total:
        options.total = impulses(name, value);
        break;
    case coefficient:
        options.coefficient = in_range(name, value, coefficients);
        break;
    case mass:
        options.mass = in_range(name, value, masses);
        break;
    case calibration_uncertainty:
        options.settings.w_relative_uncertainty = in_range(name, value, relative_uncertainties);
        options.calibration_uncertainty = true;
        break;
    case reference_activity:
        options.reference = reference_named(value);
        break;
    case reference_uncertainty:
        options.reference_uncertainty = in_range(name, value, relative_uncertainties);
        break;
    case mass_uncertainty:
        options.mass_uncertainty = in_range(name, value, relative_uncertainties);
        break;
    case alpha:
        chosen.alpha = in_range(name, value, error_probabilities);
        break;
    case beta:
        chosen.beta = in_range(name, value, error_probabilities);
        break;
    case coverage:
        chosen.coverage = in_range(name, value, coverages);
        break;
    case json:
        options.json = true;
        break;
    default:
        break;
    }
}

// With a reference the cycles find the coefficient: nothing may set it.
void check_calibrating(Options &options) {
    if (!options.reference) {
        if (options.reference_uncertainty || options.mass_uncertainty) {
            misuse("--reference-uncertainty and --mass-uncertainty go with --reference");
        }
        return;
    }
    if (!options.mass) {
        misuse("--reference needs the reference's --mass");
    }
    if (options.coefficient || options.calibration_uncertainty) {
        misuse("--reference finds the coefficient: no --coefficient or "
               "--calibration-uncertainty with it");
    }
    assess::Reference reference = *options.reference;
    reference.relative_uncertainty =
        options.reference_uncertainty.value_or(reference.relative_uncertainty);
    options.settings.calibrating =
        assess::Calibrating{reference, *options.mass, options.mass_uncertainty.value_or(0)};
}

void check_together(Options &options, bool named) {
    if (options.background.has_value() != options.total.has_value()) {
        misuse("--background and --total go together");
    }
    if (options.background && named) {
        misuse("either the totals or a TRANSCRIPT");
    }
    check_calibrating(options);
    if (!options.reference && options.coefficient.has_value() != options.mass.has_value()) {
        misuse("--coefficient and --mass go together");
    }
    if (options.coefficient) {
        options.settings.w = 1 / (*options.coefficient * *options.mass);
    }
}

Options read_options(int argc, char **argv) {
    Options options;
    opterr = 0;
    int index = -1;
    for (int key = 0; (key = getopt_long(argc, argv, ":h", long_options.data(), &index)) != -1;
         index = -1) {
        if (key == 'h') {
            std::fputs(help, stdout);
            std::exit(0);
        }
        if (key == '?' || key == ':') {
            misuse(std::string(key == ':' ? "a value must follow " : "unknown option ") +
                   argv[optind - 1]);
        }
        take(options, key, long_options.at(static_cast<size_t>(index)).name, optarg);
    }
    if (argc - optind > 1) {
        misuse("only one TRANSCRIPT, please");
    }
    if (optind < argc) {
        options.transcript = argv[optind];
    }
    check_together(options, optind < argc);
    return options;
}

std::vector<assess::Cycle> read_cycles(const Options &options) {
    if (options.background) {
        assess::Cycle cycle;
        cycle.number = 1;
        cycle.background = options.background;
        cycle.total = options.total;
        return {cycle};
    }
    if (options.transcript == "-") {
        return assess::read_transcript(std::cin);
    }
    std::ifstream file(options.transcript, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "lowrad-assess: cannot read %s: %s\n", options.transcript.c_str(),
                     std::strerror(errno));
        std::exit(1);
    }
    return assess::read_transcript(file);
}

} // namespace

int main(int argc, char **argv) {
    const Options options = read_options(argc, argv);
    int assessed = 0;
    int refused = 0;
    for (const assess::Cycle &cycle : read_cycles(options)) {
        if (!cycle.left_out.empty()) {
            std::fprintf(options.json ? stderr : stdout, "Cycle %d is left out: %s.\n\n",
                         cycle.number, cycle.left_out.c_str());
            continue;
        }
        const assess::Assessment assessment = assess::assess_cycle(cycle, options.settings);
        const std::string text = options.json
                                     ? assess::json_line(assessment)
                                     : assess::text_report(assessment, options.settings) + "\n";
        std::fputs(text.c_str(), stdout);
        (assess::refused(assessment, options.settings) ? refused : assessed) += 1;
    }
    if (refused > 0 && assessed == 0) {
        std::fputs("lowrad-assess: no cycle gave a coefficient\n", stderr);
        return 1;
    }
    if (assessed == 0) {
        std::fprintf(stderr, "lowrad-assess: no complete cycle in %s\n",
                     options.transcript == "-" ? "standard input" : options.transcript.c_str());
        return 1;
    }
    return 0;
}
