// A crowded machine for lowrad-doctor, whose pass over /proc visits every
// process and descriptor: holds DESCRIPTORS descriptors (on /dev/null, and
// nothing else), starts PROCESSES children that inherit them and wait, prints
// how many it started, and ends them all once its standard input closes.
//   bench-crowd PROCESSES DESCRIPTORS
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

void hold_descriptors(int count) {
    for (int i = 0; i < count; ++i) {
        if (open("/dev/null", O_RDONLY | O_CLOEXEC) < 0) {
            return;
        }
    }
}

std::vector<pid_t> start_waiters(int count) {
    std::vector<pid_t> children;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = fork();
        if (pid == 0) {
            close(STDIN_FILENO);
            close(STDOUT_FILENO);
            close(STDERR_FILENO);
            pause();
            _exit(0);
        }
        if (pid < 0) {
            break;
        }
        children.push_back(pid);
    }
    return children;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench-crowd PROCESSES DESCRIPTORS\n");
        return 2;
    }
    hold_descriptors(static_cast<int>(std::strtol(argv[2], nullptr, 10)));
    const std::vector<pid_t> children =
        start_waiters(static_cast<int>(std::strtol(argv[1], nullptr, 10)));
    std::printf("%zu\n", children.size());
    std::fflush(stdout);
    char c = 0;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    for (const pid_t pid : children) {
        kill(pid, SIGTERM);
    }
    for (const pid_t pid : children) {
        waitpid(pid, nullptr, 0);
    }
}
