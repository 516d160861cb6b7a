#include "assess/transcript.h"

#include <cmath>
#include <cstdlib>
#include <numeric>
#include <regex>
#include <sstream>

namespace assess {

namespace {

enum class Stage { background_prompt, background_run, total_prompt, total_run, results };

struct Reader {
    std::vector<Cycle> cycles;
    std::optional<Cycle> current;
    Stage stage = Stage::background_prompt;
    std::vector<long> running; // the running totals of the run under way
};

// The line as it was meant to be read: no carriage returns, no escape
// sequences (cursor movements, and whatever a shell under script adds).
std::string cleaned(const std::string &line) {
    static const std::regex escape("\x1b\\[[0-9;?]*[A-Za-z]|\r");
    return std::regex_replace(line, escape, "");
}

bool has(const std::string &line, const char *text) {
    return line.find(text) != std::string::npos;
}

// The number that follows label on the line, if label is there.
std::optional<double> number_after(const std::string &line, const std::string &label) {
    const size_t at = line.find(label);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const char *start = line.c_str() + at + label.size();
    char *end = nullptr;
    const double value = std::strtod(start, &end);
    return end == start ? std::nullopt : std::optional<double>(value);
}

long impulses(double printed) {
    return std::lround(printed);
}

std::string run_name(Stage stage) {
    return stage == Stage::background_run || stage == Stage::background_prompt
               ? "background run"
               : "background + sample run";
}

// Where the cycle under way stands, for the reason it is left out.
std::string where(const Reader &reader) {
    switch (reader.stage) {
    case Stage::background_prompt:
    case Stage::total_prompt:
        return "at the prompt for its " + run_name(reader.stage);
    case Stage::background_run:
    case Stage::total_run:
        return "during its " + run_name(reader.stage) + ", after " +
               std::to_string(reader.running.size()) + " of " + std::to_string(periods_per_run) +
               " counting periods";
    case Stage::results:
        break;
    }
    return "in its results";
}

// The first reason counts: what follows a time-out or a quit is no news.
void leave_out(Cycle &cycle, const std::string &why) {
    if (cycle.left_out.empty()) {
        cycle.left_out = why;
    }
}

void close_cycle(Reader &reader, const std::string &ending) {
    if (!reader.current) {
        return;
    }
    if (!reader.current->total) {
        leave_out(*reader.current, ending + " " + where(reader));
    }
    reader.cycles.push_back(*reader.current);
    reader.current.reset();
}

// The counts of each period from the running totals, when all are there.
std::vector<long> periods(const std::vector<long> &running) {
    if (running.size() != periods_per_run) {
        return {};
    }
    std::vector<long> counts;
    long before = 0;
    for (const long total : running) {
        counts.push_back(total - before);
        before = total;
    }
    return counts;
}

void keep_if_adding_up(std::vector<long> &periods, long total) {
    if (std::accumulate(periods.begin(), periods.end(), 0L) != total) {
        periods.clear();
    }
}

// A prompt for a run. On a terminal the echoed answer follows it; without
// one, lowrad's next words do. Any answer but G makes lowrad leave.
void prompt(Reader &reader, const std::string &line, Stage stage) {
    reader.stage = stage;
    std::istringstream rest(line.substr(line.rfind("quit...") + 7));
    std::string answer;
    if (rest >> answer && answer != "Opening" && answer[0] != 'G' && answer[0] != 'g') {
        leave_out(*reader.current, "the answer at the prompt for its " + run_name(stage) +
                                       " was '" + answer + "', which ends lowrad");
    }
}

void read_results(Reader &reader, const std::string &line) {
    if (const auto background = number_after(line, "- Background: ")) {
        if (reader.stage == Stage::total_run) {
            reader.current->total_periods = periods(reader.running);
        }
        reader.stage = Stage::results;
        reader.current->background = impulses(*background);
        keep_if_adding_up(reader.current->background_periods, *reader.current->background);
    } else if (const auto total = number_after(line, "- Sample + Background: ")) {
        reader.current->total = impulses(*total);
        keep_if_adding_up(reader.current->total_periods, *reader.current->total);
    } else if (has(line, "shields environmental radiation")) {
        reader.current->lowrad_verdict = "shields";
    } else if (has(line, "Measurements are not significant")) {
        reader.current->lowrad_verdict = "not significant";
    } else if (has(line, "Convert this result to a sample activity level")) {
        reader.current->lowrad_verdict = "significant";
    } else if (const auto activity = number_after(line, "Sample activity level: ")) {
        reader.current->activity = activity;
    }
}

void read_run(Reader &reader, const std::string &line) {
    if (has(line, "Waiting for data")) {
        reader.stage =
            reader.stage == Stage::background_prompt ? Stage::background_run : Stage::total_run;
        reader.running.clear();
    } else if (const auto total = number_after(line, " seconds: ");
               total && has(line, "Counts over ")) {
        reader.running.push_back(impulses(*total));
    } else if (has(line, "Reception timed-out !")) {
        leave_out(*reader.current, "its " + run_name(reader.stage) +
                                       " timed out (no data for 12 s) after " +
                                       std::to_string(reader.running.size()) + " of " +
                                       std::to_string(periods_per_run) + " counting periods");
    } else if (has(line, "Com Port Opening Failed !")) {
        leave_out(*reader.current,
                  "the port could not be opened for its " + run_name(reader.stage));
    } else {
        read_results(reader, line);
    }
}

void read_line(Reader &reader, const std::string &line) {
    if (has(line, "Low level radioactivity net count rate processing")) {
        close_cycle(reader, "lowrad was started anew");
    } else if (has(line, "when ready to measure background, or")) {
        close_cycle(reader, "a new cycle starts");
        reader.current = Cycle{};
        reader.current->number = static_cast<int>(reader.cycles.size()) + 1;
        prompt(reader, line, Stage::background_prompt);
    } else if (!reader.current) {
        return;
    } else if (has(line, "when ready to measure background + sample")) {
        reader.current->background_periods = periods(reader.running);
        prompt(reader, line, Stage::total_prompt);
    } else {
        read_run(reader, line);
    }
}

} // namespace

std::vector<Cycle> read_transcript(std::istream &in) {
    Reader reader;
    std::string line;
    while (std::getline(in, line)) {
        read_line(reader, cleaned(line));
    }
    close_cycle(reader, "the transcript ends");
    return reader.cycles;
}

} // namespace assess
