// The least any 1 ms poller can cost here, for scripts/bench: a loop that
// does nothing but sleep to deadlines 1 ms apart, as lowrad's polls do, for
// the given number of ticks. For scale, two more loops with a silent
// pseudo-terminal: "read" reads it after each sleep, as lowrad polls its
// line; "ppoll" instead waits for it with ppoll until each deadline, one
// system call per silent tick. Each prints its loop's CPU share of the loop's
// wall time.
//   bench-ticker TICKS sleep|read|ppoll
#include "sim/pty.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace {

constexpr long nanoseconds_per_second = 1'000'000'000;
constexpr long tick = 1'000'000; // nanoseconds

double seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The slave of a pseudo-terminal whose master stays open and silent.
int silent_line() {
    const RawPty line = open_raw_pty();
    if (line.failed != nullptr) {
        std::perror(line.failed);
        std::exit(1);
    }
    return open(line.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
}

void advance(timespec &deadline) {
    deadline.tv_nsec += tick;
    if (deadline.tv_nsec >= nanoseconds_per_second) {
        deadline.tv_nsec -= nanoseconds_per_second;
        ++deadline.tv_sec;
    }
}

// Waits for the line until the deadline, with one system call.
void ppoll_until(int line, const timespec &deadline) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long left =
        (deadline.tv_sec - now.tv_sec) * nanoseconds_per_second + deadline.tv_nsec - now.tv_nsec;
    left = left < 0 ? 0 : left;
    const timespec wait{left / nanoseconds_per_second, left % nanoseconds_per_second};
    pollfd watched{line, POLLIN, 0};
    ppoll(&watched, 1, &wait, nullptr);
}

} // namespace

int main(int argc, char **argv) {
    const std::string mode = argc == 3 ? argv[2] : "";
    if (mode != "sleep" && mode != "read" && mode != "ppoll") {
        std::fprintf(stderr, "usage: bench-ticker TICKS sleep|read|ppoll\n");
        return 2;
    }
    const long ticks = std::strtol(argv[1], nullptr, 10);
    const bool ppolling = mode == "ppoll";
    const int line = mode == "sleep" ? -1 : silent_line();
    const double wall = seconds(CLOCK_MONOTONIC);
    const double cpu = seconds(CLOCK_PROCESS_CPUTIME_ID);
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    char c = 0;
    for (long i = 0; i < ticks; ++i) {
        advance(deadline);
        if (ppolling) {
            ppoll_until(line, deadline);
            continue;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
        if (line >= 0 && read(line, &c, 1) == 1) {
            return 1;
        }
    }
    const double share =
        (seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu) / (seconds(CLOCK_MONOTONIC) - wall);
    std::printf("%f\n", share);
    return 0;
}
