// lowrad-assess against logs that lowrad cannot have written: each class of
// damage read in-process, at every size of read, and the program's ends
// (a cut log of the real lowrad, a directory, /dev/zero, a full disk).
#include "assess/report.h"
#include "assess/transcript.h"
#include "dialogue.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

namespace {

const std::string device = "/dev/ttyS0";
// Two cycles of 90 and 144 impulses as lowrad writes them, the first
// converted with a coefficient of 0.5 and 2 kg, the second not.
const std::string good = banner + bothruns(device) + results + convertquestion +
                         coefficientquestion + massquestion + activity + restartquestion + "\n\n" +
                         fullcycle(device);

// The log with the first from, or the last where last is set, made to.
std::string replaced(const std::string &from, const std::string &to, bool last = false) {
    std::string log = good;
    const size_t at = last ? log.rfind(from) : log.find(from);
    return log.replace(at, from.size(), to);
}

// The log up to the last text, and size more bytes of it.
std::string cut(const std::string &text, size_t size) {
    return good.substr(0, good.rfind(text) + size);
}

// The log with a line of text added before the second cycle's results.
std::string with_line(const std::string &text) {
    return replaced(resultshead, "\n" + text + resultshead, true);
}

std::vector<std::string> numbers_lowrad_cannot_print(const std::string &before) {
    std::vector<std::string> logs;
    for (const char *number : {"1e40", "inf", "nan", "-90.000000", "90.500000", "90", "",
                               "9300000000000000000.000000", "1179631.000000"}) {
        logs.push_back(replaced(before + "90.000000", before + number));
    }
    return logs;
}

// What the reader made of a log: a line for each cycle, and its fault.
std::string summary(const std::string &log, size_t piece) {
    std::string said;
    const std::string fault =
        assess::read_transcript(assess::text_source(log, piece), [&](const assess::Cycle &cycle) {
            said += "cycle " + std::to_string(cycle.number) +
                    (cycle.damaged            ? " damaged: " + cycle.left_out
                     : cycle.left_out.empty() ? ": assessed"
                                              : " left out: " + cycle.left_out) +
                    "\n";
        });
    return fault.empty() ? said : said + "fault: " + fault + "\n";
}

struct BadLog {
    const char *name;
    std::vector<std::string> logs;                // inputs of this class
    std::string said;                             // in the summary of each
    std::string assessed = "cycle 2: assessed\n"; // the lines of the cycles assessed
    bool damaged = true;                          // said to be so, in a cycle or as the fault
};

void PrintTo(const BadLog &row, std::ostream *out) {
    *out << row.name;
}

const std::vector<BadLog> bad_logs{
    {"a total lowrad cannot print", numbers_lowrad_cannot_print("- Background: "),
     "cycle 1 damaged: the total of its background run, '"},
    {"a running total lowrad cannot print",
     numbers_lowrad_cannot_print("Counts over 180 seconds: "),
     "cycle 1 damaged: a running total of its background run, '"},
    {"running totals that go down",
     {replaced("seconds: 15.000000", "seconds: 9.000000")},
     "cycle 1 damaged: the running totals of its background run go down, from 10 to 9\n"},
    {"running totals that end elsewhere than the total",
     {replaced("- Background: 90.000000", "- Background: 91.000000"),
      replaced("\x1b[1ACounts over 180 seconds: 90.000000 counts        \n", "")},
     "cycle 1 damaged: the running totals of its background run end at "},
    {"a period of more than a frame carries",
     {replaced("seconds: 15.000000", "seconds: 65546.000000")},
     "cycle 1 damaged: the running totals of its background run rise by 65536 in one period, "
     "more than a frame can carry (65535)\n"},
    {"more running totals than a run has",
     {replaced("Counts over 180 seconds: 90.000000 counts        \n",
               "Counts over 180 seconds: 90.000000 counts        \n"
               "\x1b[1ACounts over 190 seconds: 90.000000 counts        \n")},
     "cycle 1 damaged: its background run shows more than 18 running totals\n"},
    {"results without a total",
     {replaced("- Background: 90.000000 counts over 3 minutes = 30.000000 cpm\n", ""),
      replaced("- Sample + Background: 144.000000", "- Sample and Background: 144.000000")},
     "cycle 1 damaged: lowrad asked for a new measurement before its results gave both totals\n"},
    {"an activity lowrad cannot print",
     {replaced("level: 0.300000", "level: inf"), replaced("level: 0.300000", "level: 1e5"),
      replaced("level: 0.300000", "level: -nan"), replaced("level: 0.300000", "level: 0.3"),
      replaced("level: 0.300000", "level: 1" + std::string(94, '0') + ".000000")},
     "cycle 1 damaged: its activity, '"},
    {"a log that ends inside a line",
     {cut("- Sample + Background: 144", 25), cut(sampleprompt, sampleprompt.size() + 6),
      cut("Counts over 80 seconds", 15), cut(backgroundprompt, 11)},
     "the transcript ends in the middle of line ",
     "cycle 1: assessed\n"},
    {"a line longer than lowrad writes",
     {with_line(std::string(assess::longest_line + 1, '\0')), with_line(std::string(1000000, 'x'))},
     "fault: line 134 is longer than 65536 bytes, and lowrad writes none over 200\n",
     "cycle 1: assessed\n"},
    {"an echoed answer with control characters",
     {replaced("to quit... Opening", "to quit... \x1b]0;x\x07Q\x1b[31m\r\nOpening")},
     "cycle 1 left out: the answer at the prompt for its background run was "
     "'\\x1b]0;x\\x07Q', which ends lowrad\n",
     "cycle 2: assessed\n",
     false},
    // Not damage: lowrad waits at a prompt when the log is saved, or leaves
    // there at the end of its input; escape sequences that lowrad never
    // writes are dropped or kept, in time linear in their length.
    {"a log that ends at a prompt",
     {good.substr(0, good.size() - 2), good + backgroundprompt,
      with_line("\x1b[" + std::string(60000, '9')), with_line(std::string(60000, '\x1b'))},
     "cycle 2: assessed\n",
     "cycle 1: assessed\ncycle 2: assessed\n",
     false},
};

class BadLogs : public testing::TestWithParam<BadLog> {};

// Whatever the size of each read, the same summary.
TEST_P(BadLogs, LeaveOutTheirCycleWithTheReason) {
    const BadLog &row = GetParam();
    for (const std::string &log : row.logs) {
        const std::string said = summary(log, assess::longest_line);
        EXPECT_NE(said.find(row.said), std::string::npos) << said;
        std::string assessed;
        std::istringstream lines(said);
        for (std::string line; std::getline(lines, line);) {
            assessed += line.ends_with(": assessed") ? line + "\n" : "";
        }
        EXPECT_EQ(assessed, row.assessed) << said;
        EXPECT_EQ(said.find("damaged") != std::string::npos ||
                      said.find("fault") != std::string::npos,
                  row.damaged)
            << said;
        // Made-up answers from a cut prompt ("'G'", "'Openin'"), raw control characters.
        EXPECT_EQ(said.find(" was '") != std::string::npos,
                  row.said.find(" was '") != std::string::npos)
            << said;
        EXPECT_TRUE(std::all_of(said.begin(), said.end(), [](char c) {
            return c == '\n' || (c >= ' ' && c <= '~');
        })) << said;
        for (const size_t piece : {size_t{1}, size_t{4093}}) {
            EXPECT_EQ(summary(log, piece), said);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, BadLogs, testing::ValuesIn(bad_logs));

// A cycle is handed on once lowrad asked for a new measurement, before the
// log is read much further: memory holds a cycle, not the log.
TEST(ReadTranscript, HandsOnEachCycleOnceItIsOver) {
    const std::string log = good + fullcycle(device);
    constexpr size_t piece = 512;
    const assess::Source pieces = assess::text_source(log, piece);
    size_t given = 0;
    size_t over = 0; // where the last cycle that was handed on ends
    const std::string fault = assess::read_transcript(
        [&](char *buffer, size_t size) {
            const ssize_t got = pieces(buffer, size);
            given += static_cast<size_t>(got);
            return got;
        },
        [&](const assess::Cycle &) {
            over = log.find(restartquestion, over) + restartquestion.size();
            EXPECT_LE(given, over + piece);
        });
    EXPECT_EQ(fault, "");
    EXPECT_EQ(over, log.rfind(restartquestion) + restartquestion.size());
}

// A read that fails ends the reading with its reason; the cycles before
// it were handed on.
TEST(ReadTranscript, NamesAFailedRead) {
    const std::string before = good.substr(0, good.rfind("Counts over"));
    const assess::Source first = assess::text_source(before);
    int cycles = 0;
    const std::string fault = assess::read_transcript(
        [&](char *buffer, size_t size) {
            const ssize_t got = first(buffer, size);
            errno = EIO;
            return got > 0 ? got : -1;
        },
        [&](const assess::Cycle &) { ++cycles; });
    EXPECT_EQ(fault, "Input/output error");
    EXPECT_EQ(cycles, 1);
}

// A dead counter: lowrad says the sample shields, and the report gives a
// figure for it all the same.
TEST(AssessReport, NothingCountedThatLowradSaysShields) {
    assess::Cycle cycle;
    cycle.background = 0;
    cycle.total = 0;
    cycle.lowrad_verdict = assess::LowradVerdict::shields;
    const assess::Settings settings;
    const std::string report = assess::text_report(assess::assess_cycle(cycle, settings), settings);
    EXPECT_NE(report.find("within 0.0 standard uncertainties"), std::string::npos) << report;
}

// The program's ends ------------------------------------------------------

struct End {
    const char *name;
    std::string command; // run by sh, after the program's path
    std::string output;  // standard output and error together
};

void PrintTo(const End &row, std::ostream *out) {
    *out << row.name;
}

const std::vector<End> ends{
    {"report on a full disk", " --background 90 --total 144 >/dev/full",
     "lowrad-assess: cannot write the output: No space left on device\n"},
    {"JSON on a full disk", " --json --background 90 --total 144 >/dev/full",
     "lowrad-assess: cannot write the output: No space left on device\n"},
    {"help on a full disk", " --help >/dev/full",
     "lowrad-assess: cannot write the output: No space left on device\n"},
    {"help with standard output closed", " --help >&-",
     "lowrad-assess: cannot write the output: Bad file descriptor\n"},
    {"a directory as the log", " /", "lowrad-assess: /: Is a directory\n"},
    {"/dev/zero as the log", " /dev/zero",
     "lowrad-assess: /dev/zero: line 1 is longer than 65536 bytes, and lowrad writes none over "
     "200\n"},
};

class Ends : public testing::TestWithParam<End> {};

TEST_P(Ends, SayWhatFailedAndExitNonZero) {
    const End &row = GetParam();
    const Outcome run = execute({"sh", "-c", ASSESS_PATH + row.command});
    EXPECT_EQ(run.output, row.output);
    EXPECT_EQ(run.status, 1);
}

INSTANTIATE_TEST_SUITE_P(Rows, Ends, testing::ValuesIn(ends));

// The real lowrad's output, cut while it wrote the second total: the first
// cycle is assessed, the second named as cut, never taken for a total of 14.
TEST(AssessCutLog, LeavesOutTheCycleItEndsIn) {
    Simulator sim(counter());
    const std::string output =
        runlowrad({"ttyS0=" + sim.path()}, "0\nG\nG\nn\ny\nG\nG\nn\nn\n").output;
    const size_t total = output.rfind("- Sample + Background: 144");
    ASSERT_NE(total, std::string::npos) << output;
    const std::string log = output.substr(0, total + 25);
    const long line = std::count(log.begin(), log.end(), '\n') + 1;

    const Outcome run = execute({ASSESS_PATH, "--json"}, log);
    EXPECT_TRUE(
        run.output.starts_with("{\"cycle\":1,\"background_counts\":90,\"total_counts\":144,"))
        << run.output;
    EXPECT_TRUE(run.output.ends_with("}\nlowrad-assess: standard input: cycle 2 is left out: the "
                                     "transcript ends in the middle of line " +
                                     std::to_string(line) + ", in its results\n"))
        << run.output;
    EXPECT_EQ(run.status, 1);
}

} // namespace
