#include "assess/transcript.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace assess {

namespace {

enum class Stage { background_prompt, background_run, total_prompt, total_run, results };

struct Reader {
    explicit Reader(const std::function<void(const Cycle &)> &each) : each(each) {}

    const std::function<void(const Cycle &)> &each;
    int started = 0; // cycles so far
    long line = 0;   // the number of the line under way
    std::optional<Cycle> current;
    Stage stage = Stage::background_prompt;
    std::array<std::vector<long>, 2> running; // the running totals of each run
};

// The lines that give lowrad's verdict.
struct VerdictLine {
    std::string_view text;
    LowradVerdict verdict;
};
constexpr std::array<VerdictLine, 3> verdict_lines{{
    {"shields environmental radiation", LowradVerdict::shields},
    {"Measurements are not significant", LowradVerdict::not_significant},
    {"Convert this result to a sample activity level", LowradVerdict::significant},
}};

// How the prompts end at which lowrad waits for an answer: a transcript that
// ends in one was saved while lowrad waited there, or lowrad left there at the
// end of its input.
constexpr std::array<std::string_view, 6> waiting_prompts{
    "to quit... ", "to quit...  ", "(y/n) ? ", "in Imp/Bq.s : ", "in Kg : ", "Enter selection: "};

// The words by which a prompt for a run is known.
constexpr std::string_view background_prompt = "when ready to measure background, or";
constexpr std::string_view total_prompt = "when ready to measure background + sample";

const std::string count_rule =
    " (lowrad prints a whole number of impulses from 0 to " + std::to_string(most_per_run) + ")";

// The length of the escape sequence ESC [ parameters letter (a cursor
// movement, or whatever a shell under script adds) that text starts with; 0
// if it starts none.
size_t sequence_length(std::string_view text) {
    if (!text.starts_with("\x1b[")) {
        return 0;
    }
    const size_t last = text.find_first_not_of("0123456789;?", 2);
    if (last == std::string_view::npos) {
        return 0;
    }
    const char c = text[last];
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ? last + 1 : 0;
}

// The line as it was meant to be read, into clean: without carriage returns
// and escape sequences. Each byte is looked at a bounded number of times.
void cleaned(std::string_view line, std::string &clean) {
    clean.clear();
    while (!line.empty()) {
        const size_t special = std::min(line.find_first_of("\r\x1b"), line.size());
        clean.append(line.substr(0, special));
        line.remove_prefix(special);
        if (line.empty()) {
            break;
        }
        const size_t sequence = sequence_length(line);
        if (sequence == 0 && line[0] == '\x1b') {
            clean += line[0];
        }
        line.remove_prefix(std::max<size_t>(sequence, 1));
    }
}

bool has(std::string_view line, std::string_view text) {
    return line.find(text) != std::string_view::npos;
}

// The word that follows label on the line, if label is there.
std::optional<std::string_view> word_after(std::string_view line, std::string_view label) {
    const size_t at = line.find(label);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view rest = line.substr(at + label.size());
    return rest.substr(0, rest.find(' '));
}

// The text with every byte that is not printable ASCII written as \xHH, so
// that nothing from a log reaches a terminal as a control sequence.
std::string printable(std::string_view text) {
    std::string shown;
    for (const char c : text) {
        if (c >= ' ' && c <= '~') {
            shown += c;
        } else {
            std::array<char, 5> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "\\x%02x", static_cast<unsigned char>(c));
            shown += escaped.data();
        }
    }
    return shown;
}

// A word from the log as a reason shows it: quoted, escaped, cut short.
std::string quoted(std::string_view word) {
    constexpr size_t shown = 24;
    return "'" + printable(word.substr(0, shown)) + (word.size() > shown ? "...'" : "'");
}

bool digits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A count as lowrad prints one with %f: a whole number of impulses that a
// run can hold, a point and six zeros.
std::optional<long> count(std::string_view word) {
    const size_t point = std::min(word.find('.'), word.size());
    const std::string_view whole = word.substr(0, point);
    long value = 0;
    if (word.substr(point) != ".000000" || !digits(whole) || whole.size() > 7) {
        return std::nullopt;
    }
    std::from_chars(whole.data(), whole.data() + whole.size(), value);
    return value <= most_per_run ? std::optional<long>(value) : std::nullopt;
}

// An activity as lowrad prints one with %f: perhaps a minus, digits, a
// point and six digits.
std::optional<double> activity_figure(std::string_view word) {
    const std::string_view magnitude = word.substr(word.starts_with('-') ? 1 : 0);
    const size_t point = std::min(magnitude.find('.'), magnitude.size());
    if (!digits(magnitude.substr(0, point)) || magnitude.size() - point != 7 ||
        !digits(magnitude.substr(point + 1))) {
        return std::nullopt;
    }
    double value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    return error == std::errc() && std::fabs(value) <= most_activity ? std::optional<double>(value)
                                                                     : std::nullopt;
}

bool in_background(Stage stage) {
    return stage == Stage::background_prompt || stage == Stage::background_run;
}

std::string run_name(Stage stage) {
    return in_background(stage) ? "background run" : "background + sample run";
}

// The run's place in Reader::running.
size_t run_of(Stage stage) {
    return in_background(stage) ? 0 : 1;
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
               std::to_string(reader.running[run_of(reader.stage)].size()) + " of " +
               std::to_string(periods_per_run) + " counting periods";
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

// What lowrad cannot have written outweighs what it did.
void damage(Cycle &cycle, const std::string &why) {
    if (!cycle.damaged) {
        cycle.left_out = why;
        cycle.damaged = true;
    }
}

void close_cycle(Reader &reader, const std::string &ending) {
    if (!reader.current) {
        return;
    }
    if (!reader.current->background || !reader.current->total) {
        leave_out(*reader.current, ending + " " + where(reader));
    }
    reader.each(*reader.current);
    reader.current.reset();
}

void start_cycle(Reader &reader) {
    close_cycle(reader, "a new cycle starts");
    reader.current = Cycle{};
    reader.current->number = ++reader.started;
    reader.stage = Stage::background_prompt;
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

// A prompt for a run. On a terminal the echoed answer follows it; without
// one, lowrad's next words do. Any answer but G makes lowrad leave.
void prompt(Reader &reader, std::string_view line, Stage stage) {
    reader.stage = stage;
    const size_t quit = line.rfind("quit...");
    if (quit == std::string_view::npos) {
        return;
    }
    std::string_view rest = line.substr(quit + 7);
    rest.remove_prefix(std::min(rest.find_first_not_of(" \t"), rest.size()));
    const std::string_view answer = rest.substr(0, rest.find_first_of(" \t"));
    if (!answer.empty() && !rest.starts_with("Opening ") && answer[0] != 'G' && answer[0] != 'g') {
        leave_out(*reader.current, "the answer at the prompt for its " + run_name(stage) + " was " +
                                       quoted(answer) + ", which ends lowrad");
    }
}

void running_total(Reader &reader, std::string_view word) {
    std::vector<long> &totals = reader.running[run_of(reader.stage)];
    const std::string run = run_name(reader.stage);
    const std::optional<long> total = count(word);
    const long before = totals.empty() ? 0 : totals.back();
    if (!total) {
        damage(*reader.current, "a running total of its " + run + ", " + quoted(word) +
                                    ", is not a count that lowrad prints" + count_rule);
    } else if (totals.size() == periods_per_run) {
        damage(*reader.current, "its " + run + " shows more than " +
                                    std::to_string(periods_per_run) + " running totals");
    } else if (*total < before) {
        damage(*reader.current, "the running totals of its " + run + " go down, from " +
                                    std::to_string(before) + " to " + std::to_string(*total));
    } else if (*total - before > most_per_period) {
        damage(*reader.current, "the running totals of its " + run + " rise by " +
                                    std::to_string(*total - before) +
                                    " in one period, more than a frame can carry (" +
                                    std::to_string(most_per_period) + ")");
    } else {
        totals.push_back(*total);
    }
}

// A run's total in the results, held against its running totals.
void run_total(Reader &reader, std::string_view word, Stage run) {
    const std::vector<long> &totals = reader.running[run_of(run)];
    const std::optional<long> total = count(word);
    reader.stage = Stage::results;
    if (!total) {
        damage(*reader.current, "the total of its " + run_name(run) + ", " + quoted(word) +
                                    ", is not a count that lowrad prints" + count_rule);
    } else if (!totals.empty() && totals.back() != *total) {
        damage(*reader.current, "the running totals of its " + run_name(run) + " end at " +
                                    std::to_string(totals.back()) + ", not at its total " +
                                    std::to_string(*total));
    } else if (in_background(run)) {
        reader.current->background = total;
        reader.current->background_periods = periods(totals);
    } else {
        reader.current->total = total;
        reader.current->total_periods = periods(totals);
    }
}

void read_results(Reader &reader, std::string_view line) {
    if (const auto background = word_after(line, "- Background: ")) {
        run_total(reader, *background, Stage::background_run);
    } else if (const auto total = word_after(line, "- Sample + Background: ")) {
        run_total(reader, *total, Stage::total_run);
    } else if (const auto activity = word_after(line, "Sample activity level: ")) {
        reader.current->activity = activity_figure(*activity);
        if (!reader.current->activity) {
            damage(*reader.current,
                   "its activity, " + quoted(*activity) + ", is not a figure that lowrad prints");
        }
    }
    for (const VerdictLine &verdict : verdict_lines) {
        if (has(line, verdict.text)) {
            reader.current->lowrad_verdict = verdict.verdict;
        }
    }
}

void read_run(Reader &reader, std::string_view line) {
    if (has(line, "Waiting for data")) {
        reader.stage =
            reader.stage == Stage::background_prompt ? Stage::background_run : Stage::total_run;
        reader.running[run_of(reader.stage)].clear();
    } else if (const auto total = word_after(line, " seconds: ");
               total && has(line, "Counts over ")) {
        running_total(reader, *total);
    } else if (has(line, "Reception timed-out !")) {
        leave_out(*reader.current,
                  "its " + run_name(reader.stage) + " timed out (no data for 12 s) after " +
                      std::to_string(reader.running[run_of(reader.stage)].size()) + " of " +
                      std::to_string(periods_per_run) + " counting periods");
    } else if (has(line, "Com Port Opening Failed !")) {
        leave_out(*reader.current,
                  "the port could not be opened for its " + run_name(reader.stage));
    } else {
        read_results(reader, line);
    }
}

void read_line(Reader &reader, std::string_view line) {
    if (has(line, "Low level radioactivity net count rate processing")) {
        close_cycle(reader, "lowrad was started anew");
    } else if (has(line, background_prompt)) {
        start_cycle(reader);
        prompt(reader, line, Stage::background_prompt);
    } else if (!reader.current) {
        return;
    } else if (has(line, total_prompt)) {
        prompt(reader, line, Stage::total_prompt);
    } else {
        read_run(reader, line);
    }
    // lowrad's last words of a cycle, on the line of its verdict when it
    // offered no conversion: what follows belongs to the next cycle.
    if (reader.current && has(line, "Start a new measurement")) {
        if (!reader.current->background || !reader.current->total) {
            damage(*reader.current, "lowrad asked for a new measurement before its results "
                                    "gave both totals");
        }
        close_cycle(reader, "");
    }
}

// The transcript ends inside a line: as it should where lowrad waits for an
// answer, else it was cut. A line with no text yet (an escape, a carriage
// return) tells no more than its end would.
std::string read_last(Reader &reader, std::string_view line) {
    if (line.empty() ||
        std::any_of(waiting_prompts.begin(), waiting_prompts.end(),
                    [line](std::string_view prompt) { return line.ends_with(prompt); })) {
        read_line(reader, line);
        close_cycle(reader, "the transcript ends");
        return "";
    }
    // A cut prompt still tells the cycle and the run, never the answer.
    if (has(line, background_prompt)) {
        start_cycle(reader);
    } else if (reader.current && has(line, total_prompt)) {
        reader.stage = Stage::total_prompt;
    }
    std::string cut = "the transcript ends in the middle of line " + std::to_string(reader.line);
    if (!reader.current) {
        return cut;
    }
    damage(*reader.current, cut + ", " + where(reader));
    close_cycle(reader, "");
    return "";
}

} // namespace

const char *verdict_text(LowradVerdict verdict) {
    switch (verdict) {
    case LowradVerdict::significant:
        return "significant";
    case LowradVerdict::not_significant:
        return "not significant";
    case LowradVerdict::shields:
        return "shields";
    case LowradVerdict::none:
        break;
    }
    return "";
}

std::string read_transcript(const Source &log, const std::function<void(const Cycle &)> &each) {
    Reader reader(each);
    Lines lines(log);
    std::string line;
    for (;;) {
        std::string_view got;
        const Lines::Got what = lines.next(got);
        ++reader.line;
        switch (what) {
        case Lines::Got::line:
            cleaned(got, line);
            read_line(reader, line);
            break;
        case Lines::Got::fragment:
            cleaned(got, line);
            return read_last(reader, line);
        case Lines::Got::end:
            close_cycle(reader, "the transcript ends");
            return "";
        case Lines::Got::too_long:
            return "line " + std::to_string(reader.line) + " is longer than " +
                   std::to_string(longest_line) + " bytes, and lowrad writes none over 200";
        case Lines::Got::failed:
            return std::strerror(errno);
        }
    }
}

} // namespace assess
