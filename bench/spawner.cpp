// Starts a command in a small fresh process and reports on it to standard
// error for scripts/bench: first its pid and the moment of the fork, then,
// once it has ended, its time on a CPU (read while it is not yet reaped), the
// moment it ended and its peak resident memory. A child of the Python
// interpreter would count the interpreter's memory in its peak.
//   bench-spawner PROGRAM [ARG]...
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench-spawner PROGRAM [ARG]...\n");
        return 2;
    }
    const double start = now();
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[1], argv + 1);
        _exit(127);
    }
    std::fprintf(stderr, "%d %.9f\n", pid, start);
    std::fflush(stderr);
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    const double end = now();
    unsigned long long oncpu = 0;
    std::ifstream("/proc/" + std::to_string(pid) + "/schedstat") >> oncpu;
    rusage usage{};
    int status = 0;
    wait4(pid, &status, 0, &usage);
    std::fprintf(stderr, "%.9f %.9f %ld\n", static_cast<double>(oncpu) / 1e9, end, usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}
