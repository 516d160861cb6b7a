#include "harness.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct PipeEnds {
    int read = -1;
    int write = -1;
};

PipeEnds makepipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    return {ends[0], ends[1]};
}

constexpr int inherit = -1;
constexpr int closed = -2;

void wire(posix_spawn_file_actions_t &actions, int fd, int target) {
    if (fd == closed) {
        posix_spawn_file_actions_addclose(&actions, target);
    } else if (fd != inherit) {
        posix_spawn_file_actions_adddup2(&actions, fd, target);
    }
}

// Starts argv (a path, or a name looked up on PATH) with the given descriptors
// (or inherit, or closed) as its stdin, stdout and stderr. The child gets
// SIGPIPE at its default, as from a shell, even though the tests ignore it,
// unless it is to inherit it ignored.
pid_t spawn(const std::vector<std::string> &args, int in, int out, int err = inherit,
            bool sigpipeignored = false) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    wire(actions, in, STDIN_FILENO);
    wire(actions, out, STDOUT_FILENO);
    wire(actions, err, STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    if (!sigpipeignored) {
        sigaddset(&defaults, SIGPIPE);
    }
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        throw std::runtime_error("cannot start " + args[0]);
    }
    return pid;
}

std::string readall(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

// A bound on waiting for an event, so that a missing event fails the test
// instead of stalling the suite; events normally come within a second.
constexpr int patience = 60'000;

// Reads what is there, at most a minute after the last byte.
ssize_t readsome(int fd, char *buffer, size_t size) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, patience) != 1) {
        throw std::runtime_error("nothing came for a minute");
    }
    return read(fd, buffer, size);
}

double seconds(const timeval &time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

int waitfor(pid_t pid, double *cpu = nullptr) {
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (cpu != nullptr) {
        *cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

void Simulator::start(std::vector<std::string> args, int in) {
    args.insert(args.begin(), SIM_PATH);
    const PipeEnds out = makepipe();
    pid = spawn(args, in, out.write);
    close(out.write);
    log = out.read;
}

Simulator::Simulator(const std::vector<std::string> &options, const std::string &device) {
    std::vector<std::string> args = options;
    args.push_back(device);
    const PipeEnds keys = makepipe();
    start(args, keys.read);
    close(keys.read);
    keyboard = keys.write;
}

void Simulator::type(const std::string &lines) const {
    if (write(keyboard, lines.data(), lines.size()) < 0) {
        throw std::runtime_error("the simulator takes no typing");
    }
}

Simulator::Simulator(const std::vector<std::string> &options) {
    start(options, inherit);
    char c;
    while (read(log, &c, 1) == 1 && c != '\n') {
        pty += c;
    }
    if (pty.empty()) {
        throw std::runtime_error("the simulator gave no terminal");
    }
}

std::string Simulator::awaitline(const std::string &prefix) {
    std::string line;
    char c;
    while (readsome(log, &c, 1) == 1) {
        seen += c;
        if (c != '\n') {
            line += c;
        } else if (line.starts_with(prefix)) {
            return line;
        } else {
            line.clear();
        }
    }
    throw std::runtime_error("the simulator ended before logging " + prefix);
}

void Simulator::awaitexit() {
    seen += readall(log);
    waitfor(pid);
    close(log);
    if (keyboard >= 0) {
        close(keyboard);
    }
    pid = -1;
}

void Simulator::pause() const {
    kill(pid, SIGSTOP);
    int status = 0;
    waitpid(pid, &status, WUNTRACED);
}

void Simulator::resume() const {
    kill(pid, SIGCONT);
}

std::string Simulator::finish() {
    if (pid >= 0) {
        kill(pid, SIGTERM);
        kill(pid, SIGCONT); // a paused simulator takes the signal only once it resumes
        awaitexit();
    }
    return seen;
}

Simulator::~Simulator() {
    finish();
}

Session::Session(const std::vector<std::string> &maps, Wiring streams) {
    // lowrad may leave before it has read every answer; that is no error here.
    signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args{RUNNER_PATH};
    for (const std::string &map : maps) {
        args.insert(args.end(), {"--map", map});
    }
    args.insert(args.end(), {"--", LOWRAD_PATH});

    const PipeEnds inpipe = makepipe();
    const PipeEnds outpipe = makepipe();
    // A broken pipe has lost its reader before lowrad writes a byte.
    if (streams.out == Wiring::broken) {
        close(outpipe.read);
    }
    pid = spawn(args, streams.inputclosed ? closed : inpipe.read,
                streams.out == Wiring::closed ? closed : outpipe.write, inherit,
                streams.sigpipeignored);
    close(inpipe.read);
    close(outpipe.write);
    in = inpipe.write;
    if (streams.out == Wiring::piped) {
        out = outpipe.read;
    } else if (streams.out == Wiring::closed) {
        close(outpipe.read);
    }
}

Session::~Session() {
    if (pid >= 0) {
        kill(pid, SIGKILL);
        finish();
    }
}

void Session::answer(const std::string &answers) const {
    if (write(in, answers.data(), answers.size()) < 0) {
        // lowrad is gone already; its output and status tell why.
    }
}

void Session::await(const std::string &text) {
    size_t found;
    while ((found = output.find(text, awaited)) == std::string::npos) {
        char buffer[4096];
        const ssize_t got = readsome(out, buffer, sizeof buffer);
        if (got <= 0) {
            throw std::runtime_error("lowrad ended before writing " + text);
        }
        output.append(buffer, static_cast<size_t>(got));
    }
    awaited = found + text.size();
}

Outcome Session::finish() {
    close(in);
    in = -1;
    if (out >= 0) {
        output += readall(out);
        close(out);
        out = -1;
    }
    Outcome result{output, 0};
    result.status = waitfor(pid, &result.cpu);
    pid = -1;
    return result;
}

Outcome runlowrad(const std::vector<std::string> &maps, const std::string &answers) {
    Session lowrad(maps);
    lowrad.answer(answers);
    return lowrad.finish();
}

Outcome execute(const std::vector<std::string> &args, const std::string &input) {
    const PipeEnds in = makepipe();
    const PipeEnds out = makepipe();
    const pid_t pid = spawn(args, in.read, out.write, out.write);
    close(in.read);
    close(out.write);
    // The inputs here are a few bytes, which a pipe takes without a reader.
    if (write(in.write, input.data(), input.size()) < 0) {
        // The command is gone already; its output and status tell why.
    }
    close(in.write);
    Outcome result{readall(out.read), 0};
    close(out.read);
    result.status = waitfor(pid, &result.cpu);
    return result;
}

std::vector<std::string> loglines(const std::string &log, const std::string &prefix) {
    std::vector<std::string> lines;
    std::istringstream stream(log);
    for (std::string line; std::getline(stream, line);) {
        if (line.starts_with(prefix)) {
            lines.push_back(line);
        }
    }
    return lines;
}
