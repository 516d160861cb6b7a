// lowrad-assess: what a result of lowrad really says.
//
// Reads the options, then the cycles of a transcript (or the two totals given
// on the command line), and writes one assessment per complete cycle, as a
// report or as JSON lines; a cycle that was not complete is named with the
// reason it is left out.
#include "assess/report.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

namespace {

const char *const help = R"(Usage: lowrad-assess [OPTION]... [TRANSCRIPT]
Says whether lowrad's measurements show a contribution of the sample, with the
characteristic limits of ISO 11929-1:2019: decision threshold, detection limit,
best estimate and coverage interval, for the net rate and for the activity.

TRANSCRIPT is lowrad's output as saved while measuring (lowrad | tee run.log,
script, or through lowrad-run); without it, or with -, standard input is read.
Every complete cycle in it is assessed; an unfinished one is named, left out.

Options:
  --background COUNTS   assess these background impulses over 3 minutes...
  --total COUNTS        ...and these of background + sample, with no transcript
  --coefficient C       the tube's coefficient in impulses per Bq and second...
  --mass KG             ...and the sample's mass, for cycles lowrad did not
                        convert to an activity (lowrad's own conversion wins)
  --calibration-uncertainty R
                        relative standard uncertainty of 1/(C * KG) (0)
  --alpha A             probability of recognising a sample that holds nothing
                        (0.05)
  --beta B              probability of missing one at the detection limit
                        (0.05)
  --coverage P          coverage probability of the interval (0.95)
  --json                one JSON object per cycle and line, not the report
  -h, --help            show this text and exit

Exit status: 0 when at least one cycle was assessed, 1 when none could be,
2 for a wrong option.
)";

struct Options {
    assess::Settings settings;
    std::optional<long> background;
    std::optional<long> total;
    std::optional<double> coefficient;
    std::optional<double> mass;
    bool json = false;
    std::string transcript = "-";
};

[[noreturn]] void usage(const std::string &problem) {
    std::fprintf(stderr, "lowrad-assess: %s\nTry 'lowrad-assess --help'.\n", problem.c_str());
    std::exit(2);
}

template <typename Number> Number parsed(const std::string &option, const char *text) {
    Number value{};
    const char *end = text + std::strlen(text);
    const auto [stop, error] = std::from_chars(text, end, value);
    if (error != std::errc() || stop != end) {
        usage(option + " takes a number, not '" + text + "'");
    }
    return value;
}

double probability(const std::string &option, const char *text, const char *range, double high) {
    const double value = parsed<double>(option, text);
    if (!(value > 0 && value < high)) {
        usage(option + " must lie " + range);
    }
    return value;
}

double positive(const std::string &option, const char *text) {
    const double value = parsed<double>(option, text);
    if (!(value > 0 && std::isfinite(value))) {
        usage(option + " must be above 0");
    }
    return value;
}

double not_negative(const std::string &option, const char *text) {
    const double value = parsed<double>(option, text);
    if (!(value >= 0 && std::isfinite(value))) {
        usage(option + " must not be negative");
    }
    return value;
}

Options read_options(int argc, char **argv) {
    Options options;
    const std::map<std::string, void (*)(Options &, const char *)> valued{
        {"--background",
         [](Options &o, const char *v) { o.background = parsed<long>("--background", v); }},
        {"--total", [](Options &o, const char *v) { o.total = parsed<long>("--total", v); }},
        {"--coefficient",
         [](Options &o, const char *v) { o.coefficient = positive("--coefficient", v); }},
        {"--mass", [](Options &o, const char *v) { o.mass = positive("--mass", v); }},
        {"--calibration-uncertainty",
         [](Options &o, const char *v) {
             o.settings.w_relative_uncertainty = not_negative("--calibration-uncertainty", v);
         }},
        {"--alpha",
         [](Options &o, const char *v) {
             o.settings.chosen.alpha = probability("--alpha", v, "between 0 and 0.5", 0.5);
         }},
        {"--beta",
         [](Options &o, const char *v) {
             o.settings.chosen.beta = probability("--beta", v, "between 0 and 0.5", 0.5);
         }},
        {"--coverage",
         [](Options &o, const char *v) {
             o.settings.chosen.coverage = probability("--coverage", v, "between 0 and 1", 1);
         }},
    };
    bool named = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(help, stdout);
            std::exit(0);
        }
        if (arg == "--json") {
            options.json = true;
        } else if (const auto option = valued.find(arg); option != valued.end()) {
            if (i + 1 == argc) {
                usage(arg + " needs a value");
            }
            option->second(options, argv[++i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            usage("unknown option " + arg);
        } else if (named) {
            usage("only one TRANSCRIPT, please");
        } else {
            options.transcript = arg;
            named = true;
        }
    }
    if (options.background.has_value() != options.total.has_value()) {
        usage("--background and --total go together");
    }
    if (options.background && (*options.background < 0 || *options.total < 0)) {
        usage("counts are not negative");
    }
    if (options.background && named) {
        usage("either the totals or a TRANSCRIPT");
    }
    if (options.coefficient.has_value() != options.mass.has_value()) {
        usage("--coefficient and --mass go together");
    }
    if (options.coefficient) {
        options.settings.w = 1 / (*options.coefficient * *options.mass);
    }
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
        ++assessed;
    }
    if (assessed == 0) {
        std::fprintf(stderr, "lowrad-assess: no complete cycle in %s\n",
                     options.transcript == "-" ? "standard input" : options.transcript.c_str());
        return 1;
    }
    return 0;
}
