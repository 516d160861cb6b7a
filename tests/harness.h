// Drives the real programs for end-to-end tests.
//
// A test starts the simulated counter, which creates a pseudo-terminal and
// logs what it sees, then runs lowrad through the runner with that terminal
// mapped onto a /dev/ttySn and a script of answers on standard input. Nothing
// waits on a clock: the answers are all written at once, lowrad reads them as
// it goes, and the test collects every byte lowrad writes until it exits.
// Tests that must act between two steps (the counter gone, a second instance,
// a signal) drive a Session instead, waiting for lowrad's output or for the
// simulator's log lines.
//
// Every wait has a bound: a minute for each event, seconds for a process to
// end once told to or once its output has ended. A child past its bound fails
// the test, named with its state, and is killed; and every child dies with
// the test process, so that none outlives a test that ctest kills.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

class Simulator {
  public:
    explicit Simulator(const std::vector<std::string> &options);
    // The simulator on a serial device instead: it prints no path, and takes
    // what is typed on its standard input.
    Simulator(const std::vector<std::string> &options, const std::string &device);
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;
    ~Simulator();

    const std::string &path() const {
        return pty;
    }
    pid_t id() const {
        return pid;
    }
    // Reads the log up to and including the first new line that starts with prefix.
    std::string awaitline(const std::string &prefix);
    // Waits until the simulator ends by itself (--runs, --hangup-after).
    void awaitexit();
    // Stops the simulator, so that what happens on its terminal meanwhile
    // reaches it at once when it resumes: inotify then merges identical events.
    void pause();
    void resume();
    // Stops the simulator and returns its log (everything after the path).
    std::string finish();
    // Types lines on a device simulator's standard input.
    void type(const std::string &lines) const;

  private:
    void start(std::vector<std::string> args, int in);
    // Collects the rest of the log, each read at most timeout after the last,
    // and reaps the simulator.
    void end(int timeout);

    pid_t pid = -1;
    int log = -1;
    int keyboard = -1; // a device simulator's standard input
    std::string pty;
    std::string seen;    // the log read so far
    bool paused = false; // stopped by pause()
};

struct Outcome {
    std::string output; // everything the program wrote on standard output
    int status;         // exit status, or 128 + signal
    double cpu = 0;     // seconds of processor time the program used
};

// How a Session wires lowrad's standard streams.
struct Wiring {
    enum Output { piped, closed, broken }; // broken: a pipe nobody reads
    bool inputclosed = false;              // standard input closed from the start
    Output out = piped;
    bool sigpipeignored = false; // inherited as ignored, as from some parents
};

// lowrad running through the runner, answered step by step.
class Session {
  public:
    explicit Session(const std::vector<std::string> &maps, Wiring streams = {});
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session();

    pid_t id() const {
        return pid;
    }
    void answer(const std::string &answers) const;
    // Reads lowrad's output until text has appeared since the last wait.
    void await(const std::string &text);
    // Closes standard input, reads the rest of the output and waits for the end.
    Outcome finish();

  private:
    pid_t pid = -1;
    int in = -1;
    int out = -1;
    std::string output;
    size_t awaited = 0; // where the next wait starts looking
};

// Runs lowrad with each "ttySn=DEVICE" of maps in place and answers on stdin.
Outcome runlowrad(const std::vector<std::string> &maps, const std::string &answers);

// A row of a table of runs: the answers, and what lowrad shows. GoogleTest
// and CTest name the row by its answers.
struct Answered {
    std::string answers;
    std::string shown;
};
inline void PrintTo(const Answered &row, std::ostream *os) {
    *os << testing::PrintToString(row.answers);
}

// A child of the test that takes a hold of something (hold returns 0 once it
// holds, or an errno), keeps it until this object ends, and dies with the test.
class HoldingChild {
  public:
    explicit HoldingChild(const std::function<int()> &hold);
    HoldingChild(const HoldingChild &) = delete;
    HoldingChild &operator=(const HoldingChild &) = delete;
    ~HoldingChild();

    pid_t id() const {
        return pid;
    }
    // 0 once the child holds, else why it could not.
    int error() const {
        return failure;
    }

  private:
    pid_t pid = -1;
    int release = -1;
    int failure = 0;
};

// For a HoldingChild: holds pts/number of a devpts instance of its own, with
// the masters of pts/0 to pts/number, in a private mount namespace (inside a
// user namespace where the test is not root), as a container's terminal of
// the same number would; 0, or an errno.
int hold_foreign_terminal(unsigned number);

// Runs a command (a path, or a name found on PATH) with input on its standard
// input; the output is its standard output and standard error together.
Outcome execute(const std::vector<std::string> &args, const std::string &input = "");

// Empty where command writes expected and succeeds; otherwise the reason to
// skip a test that needs what the command tries, which some systems cannot
// give (qemu-user has no ptrace, so no strace, and runs setuid programs with
// the caller's rights).
std::string lacking(const std::string &need, const std::vector<std::string> &command,
                    const std::string &expected = "");

// The simulator's log lines that start with prefix.
std::vector<std::string> loglines(const std::string &log, const std::string &prefix);
