// lowrad when things go wrong around it: a counter that hangs up or vanishes,
// a line full of noise, a signal, standard streams that end, close or break,
// a second instance on the same port, a second opener of the simulator's
// line, a terminal of the same number in another devpts instance. Each ends as the program's rules
// say, never with a crash, a hang or a busy loop. And the simulator's own ends on a serial device.
#include "dialogue.h"
#include "harness.h"
#include "sim/pty.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace {

const std::string background0 = backgroundprompt + opened("/dev/ttyS0") + waiting;
const std::string cycle0 = banner + bothruns("/dev/ttyS0") + results + convertquestion;

TEST(Faults, CounterHangingUpMidRunTimesOutWithoutSpinning) {
    Simulator sim(counter({"--hangup-after", "5"}));
    const Outcome run = runlowrad({"ttyS0=" + sim.path()}, "0\nG\nG\n");
    // The totals already shown stay on the screen above the time-out.
    EXPECT_EQ(run.output, banner + background0 + progress({5, 5, 5, 5, 5}) + timedout);
    EXPECT_EQ(run.status, 0);
    // Reads on a line whose master is gone fail at once; the 12000 polls
    // must still sleep between them.
    EXPECT_LT(run.cpu, 3.0);
    EXPECT_EQ(loglines(sim.finish(), "hangup"),
              std::vector<std::string>{"hangup 1: 5 frames, 25 impulses"});
}

TEST(Faults, CounterGoneBeforeTheSampleRunFailsToOpen) {
    Simulator sim(counter({"--runs", "1"}));
    Session lowrad({"ttyS0=" + sim.path()});
    lowrad.answer("0\nG\n");
    lowrad.await(sampleprompt);
    sim.awaitexit();
    lowrad.answer("G\ny\n");
    const Outcome run = lowrad.finish();
    EXPECT_EQ(run.output, banner + background0 + progress(repeated({5})) + sampleprompt +
                              notopened("/dev/ttyS0"));
    EXPECT_EQ(run.status, 0);
}

TEST(Faults, LongNoiseBeforeAndBetweenFramesIsSkipped) {
    Simulator sim(counter({"--noise-first", "1000", "--noise", "7"}));
    const Outcome run = runlowrad({"ttyS0=" + sim.path()}, "0\nG\nG\nn\nn\n");
    EXPECT_EQ(run.output, banner + fullcycle("/dev/ttyS0"));
    EXPECT_EQ(run.status, 0);
}

// An interrupt ends lowrad the conventional way, by the signal, and the port
// goes with the process: the next instance takes it.
TEST(Faults, InterruptDuringARunEndsByTheSignalAndFreesThePort) {
    Simulator sim(counter({"--silent-run", "1"}));
    {
        Session lowrad({"ttyS0=" + sim.path()});
        lowrad.answer("0\nG\n");
        lowrad.await(waiting);
        kill(lowrad.id(), SIGINT);
        const Outcome run = lowrad.finish();
        EXPECT_EQ(run.output, banner + background0);
        EXPECT_EQ(run.status, 128 + SIGINT);
    }
    sim.awaitline("close 1");
    const Outcome next = runlowrad({"ttyS0=" + sim.path()}, "0\nG\nQ\n");
    EXPECT_EQ(next.output, banner + background0 + progress(repeated({8})) + sampleprompt);
    EXPECT_EQ(next.status, 0);
}

// Ctrl-Z and fg, a debugger or a paused machine stop lowrad for longer than
// its silence limit while the counter goes on sending. The stall is no
// silence: lowrad reads the frames that waited and counts the run to its end.
TEST(Faults, StoppedLongerThanTheSilenceLimitReadsOn) {
    Simulator sim({"--period", "1", "--background-counts", "5", "--sample-counts", "8"});
    Session lowrad({"ttyS0=" + sim.path()});
    lowrad.answer("0\nG\nQ\n");
    lowrad.await(progress({5, 5}));
    kill(lowrad.id(), SIGSTOP);
    // The stall itself is what is tested: 13 s, longer than the 12 s limit.
    std::this_thread::sleep_for(std::chrono::seconds(13));
    kill(lowrad.id(), SIGCONT);
    const Outcome run = lowrad.finish();
    EXPECT_EQ(run.output, banner + background0 + progress(repeated({5})) + sampleprompt);
    EXPECT_EQ(run.status, 0);
}

// Every answer that input ends before, wherever it ends, ends the program
// quietly; so does standard input closed from the start.
class EndOfInput : public testing::TestWithParam<Answered> {};

TEST_P(EndOfInput, AtEveryPromptEnds) {
    const auto &[answers, shown] = GetParam();
    Simulator sim(counter());
    const Outcome run = runlowrad({"ttyS0=" + sim.path()}, answers);
    EXPECT_EQ(run.output, shown) << "answers: " << answers;
    EXPECT_EQ(run.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, EndOfInput,
    testing::Values(
        Answered{"", banner}, Answered{"0\n", banner + backgroundprompt},
        Answered{"0\nG\n", banner + background0 + progress(repeated({5})) + sampleprompt},
        Answered{"0\nG\nG\n", cycle0 + restartquestion + "\n\n"},
        Answered{"0\nG\nG\nn\n", cycle0 + restartquestion + "\n\n"},
        Answered{"0\nG\nG\nn\ny\n", cycle0 + restartquestion + "\n\n" + backgroundprompt}));

TEST(Faults, StandardInputClosedFromTheStartEnds) {
    Session closed({}, {.inputclosed = true});
    const Outcome run = closed.finish();
    EXPECT_EQ(run.output, banner);
    EXPECT_EQ(run.status, 0);
}

// Two openers of the counter's line at once. inotify merges an event with an
// identical one still unread, so the simulator, paused meanwhile, sees two
// opens or two closes as one. It must still end a run when the last opener
// has gone, and only then; the test is the other opener.
enum Step { pause, resume, hold, release, lowrad_opens, await_open, await_close };
struct OpenersScenario {
    const char *what;
    std::vector<Step> steps;
    int frames; // what lowrad's run counts: 5 for background, 8 with the sample
    std::vector<std::string> opens;
};

void PrintTo(const OpenersScenario &s, std::ostream *os) {
    *os << s.what;
}

class TwoOpenersOfTheLine : public testing::TestWithParam<OpenersScenario> {};

TEST_P(TwoOpenersOfTheLine, KeepTheRunsApart) {
    const OpenersScenario &s = GetParam();
    Simulator sim(counter());
    std::vector<int> held;
    std::optional<Session> lowrad;
    for (const Step next : s.steps) {
        switch (next) {
        case pause:
            sim.pause();
            break;
        case resume:
            sim.resume();
            break;
        case hold:
            held.push_back(open(sim.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
            break;
        case release:
            close(held.back());
            held.pop_back();
            break;
        case lowrad_opens:
            lowrad.emplace(std::vector<std::string>{"ttyS0=" + sim.path()});
            lowrad->answer("0\nG\n");
            lowrad->await("Port opened successfully\n");
            break;
        case await_open:
            sim.awaitline("open");
            break;
        case await_close:
            sim.awaitline("close");
            break;
        }
    }
    lowrad->answer("Q\n");
    const Outcome run = lowrad->finish();
    EXPECT_EQ(run.output, banner + background0 + progress(repeated({s.frames})) + sampleprompt)
        << s.what;
    EXPECT_EQ(loglines(sim.finish(), "open"), s.opens) << s.what;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, TwoOpenersOfTheLine,
    testing::Values(OpenersScenario{"two opens as one, then lowrad holds on alone",
                                    {pause, hold, lowrad_opens, release, resume},
                                    5,
                                    {"open 1 background"}},
                    OpenersScenario{"two opens, then two closes as one",
                                    {hold, await_open, pause, hold, release, release, resume,
                                     await_close, lowrad_opens},
                                    8,
                                    {"open 1 background", "open 2 sample"}}));

// Every devpts instance numbers its terminals from 0: a pts of the same
// number elsewhere on the machine is not the simulator's, and the end of
// lowrad's run is logged all the same.
TEST(Faults, SameTerminalNumberInAnotherDevptsInstanceHoldsNothing) {
    Simulator sim(counter());
    const auto number =
        static_cast<unsigned>(std::stoul(sim.path().substr(sim.path().rfind('/') + 1)));
    const HoldingChild other([number] { return hold_foreign_terminal(number); });
    if (other.error() != 0) {
        GTEST_SKIP() << "no devpts instance of its own: " << std::strerror(other.error());
    }
    const Outcome run = runlowrad({"ttyS0=" + sim.path()}, "0\nG\nQ\n");
    EXPECT_EQ(run.output, banner + background0 + progress(repeated({5})) + sampleprompt);
    sim.awaitline("close 1");
}

// A pseudo-terminal on which the test itself is the counter: it sees every
// byte lowrad writes on the line and what lowrad leaves unread.
class CounterLine {
  public:
    CounterLine() {
        const RawPty pty = open_raw_pty();
        if (pty.failed != nullptr) {
            throw std::runtime_error(std::string("no pseudo-terminal: ") + pty.failed);
        }
        master = pty.master;
        path = pty.slave;
        // Held open so that the line outlives lowrad's closes.
        slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    }
    CounterLine(const CounterLine &) = delete;
    CounterLine &operator=(const CounterLine &) = delete;
    ~CounterLine() {
        close(slave);
        close(master);
    }

    void send(unsigned frames) const {
        const std::array<unsigned char, 4> five{0xFF, 0x05, 0x00, 0x04};
        for (unsigned frame = 0; frame < frames; ++frame) {
            if (write(master, five.data(), five.size()) != 4) {
                throw std::runtime_error("the line is full");
            }
        }
    }
    // What lowrad wrote on the line.
    std::string written() const {
        return drain(master);
    }
    // What lowrad left unread.
    std::string unread() const {
        return drain(slave);
    }

    std::string path;

  private:
    static std::string drain(int fd) {
        std::string text;
        std::array<char, 256> buffer{};
        ssize_t got;
        while ((got = read(fd, buffer.data(), buffer.size())) > 0) {
            text.append(buffer.data(), static_cast<size_t>(got));
        }
        return text;
    }

    int master = -1;
    int slave = -1;
};

// With standard output closed, the port would be opened on descriptor 1 and
// the dialogue written to the counter; it must go nowhere. A reader that has
// gone away ends lowrad by SIGPIPE at its first word, as any Unix program,
// unless SIGPIPE was ignored: then it measures blind until the answers end.
struct OutputScenario {
    const char *what;
    Wiring streams;
    int status;
    size_t unread; // bytes of the 38 frames left on the line
};

void PrintTo(const OutputScenario &s, std::ostream *os) {
    *os << s.what;
}

class ClosedOrBrokenStandardOutput : public testing::TestWithParam<OutputScenario> {};

TEST_P(ClosedOrBrokenStandardOutput, NeverReachesTheLine) {
    const OutputScenario &s = GetParam();
    // lowrad inherits the ignored SIGPIPE through two execs, the runner's and
    // its own. qemu-user loses it at the second: its first exec catches the
    // signal for the program it emulates, and an exec resets what is caught.
    const std::string why =
        s.streams.sigpipeignored
            ? lacking("SIGPIPE to stay ignored through two execs",
                      {"sh", "-c", "trap '' PIPE; exec env sh -c 'kill -PIPE $$; echo kept'"},
                      "kept\n")
            : "";
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    const CounterLine counter_line;
    counter_line.send(38);
    Session lowrad({"ttyS0=" + counter_line.path}, s.streams);
    lowrad.answer("0\nG\nG\nn\nn\n");
    const Outcome run = lowrad.finish();
    EXPECT_EQ(run.status, s.status) << s.what;
    EXPECT_EQ(counter_line.written(), "") << s.what;
    EXPECT_EQ(counter_line.unread().size(), s.unread) << s.what;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ClosedOrBrokenStandardOutput,
    testing::Values(
        OutputScenario{"closed", {.out = Wiring::closed}, 0, 0},
        OutputScenario{"broken", {.out = Wiring::broken}, 128 + SIGPIPE, size_t{38} * 4},
        OutputScenario{
            "broken, SIGPIPE ignored", {.out = Wiring::broken, .sigpipeignored = true}, 0, 0}));

// On a serial device the simulator cannot see the port opened: frames flow all
// the time and each typed line places or removes the sample. A signal logs the
// run still open as closed; --runs stops at its limit, however many lines came
// at once. The test's own terminal stands for the device.
TEST(Faults, SimulatorOnADeviceEndsItsRunsAsLogged) {
    {
        const CounterLine device;
        Simulator sim({"--period", "0.02", "--background-counts", "5"}, device.path);
        sim.awaitline("frame 5");
        const std::string log = sim.finish();
        const size_t frames = loglines(log, "frame 5").size();
        EXPECT_EQ(loglines(log, "close"),
                  std::vector<std::string>{"close 1: " + std::to_string(frames) + " frames, " +
                                           std::to_string(frames * 5) + " impulses"});
    }
    const CounterLine device;
    Simulator sim({"--period", "3600", "--runs", "1"}, device.path);
    sim.type("\n\n\n");
    sim.awaitexit();
    EXPECT_EQ(sim.finish(), "sample placed\n");
}

// The simulator's command line is read as any GNU tool's; whatever it cannot
// take is one line and a hint, and status 2, before anything is set up.
TEST(Faults, SimulatorRefusesMisuseWithStatus2) {
    const std::string hint = "\nTry 'lowrad-sim --help'.\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> rows{
        {{"--bogus"}, "unknown or ambiguous option: --bogus"},
        {{"--sam=5"}, "unknown or ambiguous option: --sam"},
        {{"-x"}, "unknown option: -x"},
        {{"--period"}, "option needs a value: --period"},
        {{"--period=0"}, "--period: bad value '0'"},
        {{"--sample-c", "1,x"}, "--sample-counts: bad value 'x'"},
        {{"--runs", "1", "/dev/null", "--", "/dev/zero"}, "one DEVICE at most: /dev/zero"},
        {{""}, "DEVICE is empty"},
    };
    for (const auto &[args, refusal] : rows) {
        std::vector<std::string> command{SIM_PATH};
        command.insert(command.end(), args.begin(), args.end());
        const Outcome run = execute(command);
        EXPECT_EQ(run.output, "lowrad-sim: " + refusal + hint) << args.front();
        EXPECT_EQ(run.status, 2) << args.front();
    }
}

// A second lowrad on a port that one holds fails to open it and never reads
// from it; once the first has closed it, the port is free again. The first
// run is silent, so that it holds the port for the 12 s of its time-out.
TEST(Port, SecondInstanceOnAHeldPortFailsToOpen) {
    Simulator sim(counter({"--silent-run", "1"}));
    Session first({"ttyS0=" + sim.path()});
    first.answer("0\nG\nG\n");
    first.await(waiting);
    // The simulator has taken the first open in: the second instance's open
    // and close are events of their own, not merged with it.
    sim.awaitline("open 1 background");
    const Outcome second = runlowrad({"ttyS0=" + sim.path()}, "0\nG\n");
    EXPECT_EQ(second.output, banner + backgroundprompt + notopened("/dev/ttyS0"));
    EXPECT_EQ(second.status, 0);

    const Outcome run = first.finish();
    EXPECT_EQ(run.output, banner + background0 + timedout);
    EXPECT_EQ(run.status, 0);
    sim.awaitline("close 1");
    const Outcome third = runlowrad({"ttyS0=" + sim.path()}, "0\nG\nQ\n");
    EXPECT_EQ(third.output, banner + background0 + progress(repeated({8})) + sampleprompt);
    EXPECT_EQ(third.status, 0);
    EXPECT_EQ(loglines(sim.finish(), "open"),
              (std::vector<std::string>{"open 1 background", "open 2 sample"}));
}

} // namespace
