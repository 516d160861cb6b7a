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
#include <unistd.h>

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
when the transcript holds what lowrad cannot have written or the output
cannot be written, 2 for a wrong option.
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
    ++tally.assessed;
}

// Each cycle is written as soon as it is read.
int assess_log(const Options &options) {
    Tally tally;
    const std::string fault =
        read_cycles(options, [&](const assess::Cycle &cycle) { show(cycle, options, tally); });
    flush_output();
    if (!fault.empty()) {
        std::fprintf(stderr, "lowrad-assess: %s: %s\n", log_name(options).c_str(), fault.c_str());
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
