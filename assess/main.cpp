// lowrad-assess: what a result of lowrad really says.
//
// Reads the options, then the cycles of a transcript (or the two totals given
// on the command line), and writes one assessment per complete cycle as soon
// as it is read, as a report or as JSON lines; a cycle that was not complete
// is named with the reason it is left out, on standard error when the
// transcript holds what lowrad cannot have written. Every fault ends in one
// line on standard error and a non-zero status: an exception (Boost's, a lack
// of memory) is caught here, and standard output is checked as the program
// ends.
#include "assess/report.h"

#include <getopt.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <new>
#include <string_view>
#include <unistd.h>

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
coefficient), 1 when none could be, when the transcript holds what lowrad
cannot have written or the output cannot be written, 2 for a wrong option.
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

constexpr Range counts{0, static_cast<double>(assess::most_per_run), true,
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

// Standard output is flushed before each line on standard error, so that
// the two keep their order where they go to one file. The first failure's
// reason is kept: a later flush finds nothing left to write.
int output_error = 0;

void flush_output() {
    if (std::fflush(stdout) != 0 && output_error == 0) {
        output_error = errno;
    }
}

// The name of the log in messages.
std::string log_name(const Options &options) {
    return options.transcript == "-" ? "standard input" : options.transcript;
}

// Reads the cycles of the log, or the one cycle of the totals given, into
// each; returns why the log could not be read to its end, if it could not.
std::string read_cycles(const Options &options,
                        const std::function<void(const assess::Cycle &)> &each) {
    if (options.background) {
        assess::Cycle cycle;
        cycle.number = 1;
        cycle.background = options.background;
        cycle.total = options.total;
        each(cycle);
        return "";
    }
    const int log = options.transcript == "-"
                        ? STDIN_FILENO
                        : open(options.transcript.c_str(), O_RDONLY | O_CLOEXEC);
    if (log < 0) {
        return std::strerror(errno);
    }
    std::string fault = assess::read_transcript(
        [log](char *buffer, size_t size) { return read(log, buffer, size); }, each);
    close(log);
    return fault;
}

// What became of the cycles, for the exit status.
struct Tally {
    int assessed = 0;
    int refused = 0;      // calibrating: cycles that gave no coefficient
    bool damaged = false; // a cycle held what lowrad cannot have written
};

// A cycle left out for what lowrad cannot have written goes to standard
// error like every fault of the input; the others are part of the report.
void show(const assess::Cycle &cycle, const Options &options, Tally &tally) {
    if (!cycle.left_out.empty()) {
        const std::string number = std::to_string(cycle.number);
        const std::string text =
            cycle.damaged ? "lowrad-assess: " + log_name(options) + ": cycle " + number +
                                " is left out: " + cycle.left_out + "\n"
                          : "Cycle " + number + " is left out: " + cycle.left_out + ".\n\n";
        flush_output();
        std::fputs(text.c_str(), cycle.damaged || options.json ? stderr : stdout);
        tally.damaged = tally.damaged || cycle.damaged;
        return;
    }
    const assess::Assessment assessment = assess::assess_cycle(cycle, options.settings);
    const std::string text = options.json
                                 ? assess::json_line(assessment)
                                 : assess::text_report(assessment, options.settings) + "\n";
    std::fputs(text.c_str(), stdout);
    (assess::refused(assessment, options.settings) ? tally.refused : tally.assessed) += 1;
}

// Each cycle is written as soon as it is read.
int assess_log(const Options &options) {
    Tally tally;
    const std::string fault =
        read_cycles(options, [&](const assess::Cycle &cycle) { show(cycle, options, tally); });
    flush_output();
    if (!fault.empty()) {
        std::fprintf(stderr, "lowrad-assess: %s: %s\n", log_name(options).c_str(), fault.c_str());
    } else if (tally.refused > 0 && tally.assessed == 0) {
        std::fputs("lowrad-assess: no cycle gave a coefficient\n", stderr);
    } else if (tally.assessed == 0 && !tally.damaged) {
        std::fprintf(stderr, "lowrad-assess: no complete cycle in %s\n", log_name(options).c_str());
    }
    return tally.assessed > 0 && !tally.damaged && fault.empty() ? 0 : 1;
}

// As the program ends, however it ends: a report that did not reach its
// reader (a full disk, a closed descriptor) must not pass for success.
void check_output() {
    flush_output();
    if (std::ferror(stdout) != 0 || std::fclose(stdout) != 0) {
        std::fprintf(stderr, "lowrad-assess: cannot write the output: %s\n",
                     std::strerror(output_error != 0 ? output_error : errno));
        std::_Exit(1);
    }
}

} // namespace

int main(int argc, char **argv) {
    std::atexit(check_output);
    // Boost's errors and a lack of memory end the program, in one line.
    try {
        return assess_log(read_options(argc, argv));
    } catch (const std::bad_alloc &) {
        std::fputs("lowrad-assess: out of memory\n", stderr);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "lowrad-assess: %s\n", error.what());
    }
    return 1;
}
