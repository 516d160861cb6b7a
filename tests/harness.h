// Drives the real programs for end-to-end tests.
//
// A test starts the simulated counter, which creates a pseudo-terminal and
// logs what it sees, then runs lowrad through the runner with that terminal
// mapped onto a /dev/ttySn and a script of answers on standard input. Nothing
// waits on a clock: the answers are all written at once, lowrad reads them as
// it goes, and the test collects every byte lowrad writes until it exits.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

class simulator {
  public:
    explicit simulator(const std::vector<std::string> &options);
    simulator(const simulator &) = delete;
    simulator &operator=(const simulator &) = delete;
    ~simulator();

    const std::string &path() const {
        return pty;
    }
    // Stops the simulator and returns its log (everything after the path).
    std::string finish();

  private:
    pid_t pid = -1;
    int log = -1;
    std::string pty;
};

struct outcome {
    std::string output; // everything lowrad wrote on standard output
    int status;         // exit status, or 128 + signal
};

// Runs lowrad with each "ttySn=DEVICE" of maps in place and answers on stdin.
outcome runlowrad(const std::vector<std::string> &maps, const std::string &answers);

// The simulator's log lines that start with prefix.
std::vector<std::string> loglines(const std::string &log, const std::string &prefix);
