#include "harness.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

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

// A bound on waiting for an event, so that a missing event fails the test
// instead of stalling the suite; events normally come within a second.
constexpr int patience = 60'000;
// A bound on a process's end once it has been told to end or its output has
// ended, and on a stop: exiting takes milliseconds, LeakSanitizer's check at
// the exit of a sanitized build a fraction of a second, even under load.
constexpr int grace = 10'000;

// Whether fd has something to read (or its end) within timeout milliseconds.
bool arrives(int fd, int timeout) {
    pollfd ready{fd, POLLIN, 0};
    return poll(&ready, 1, timeout) == 1;
}

// "lowrad-sim (pid 1234) in state D in tty_release, traced by 1240", from /proc.
std::string describe(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::string stat;
    std::getline(std::ifstream(proc + "/stat"), stat);
    const size_t open = stat.find('(');
    const size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size()) {
        return "process " + std::to_string(pid) + ", gone from /proc";
    }
    std::string text = stat.substr(open + 1, close - open - 1) + " (pid " + std::to_string(pid) +
                       ") in state " + stat[close + 2];
    // Where the kernel keeps a blocked process: the function it waits in.
    std::string channel;
    std::getline(std::ifstream(proc + "/wchan"), channel);
    if (!channel.empty() && channel != "0") {
        text += " in " + channel;
    }
    std::ifstream status(proc + "/status");
    for (std::string field; status >> field;) {
        pid_t tracer = 0;
        if (field == "TracerPid:" && status >> tracer && tracer != 0) {
            text += ", traced by " + std::to_string(tracer);
        }
    }
    return text;
}

// A child past its bound fails the test, named with its state, and is killed
// and reaped, so that it neither holds up the suite nor outlives the test.
[[noreturn]] void stuck(pid_t pid, const std::string &what) {
    const std::string who = describe(pid);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    throw std::runtime_error(who + ": " + what + "; killed it");
}

// Waits at most timeout milliseconds for waitid to report pid with flags
// (WEXITED, WSTOPPED), leaving the report to be collected. A stop comes with
// no descriptor to poll, so both are polled, every millisecond.
bool reported(pid_t pid, int flags, siginfo_t &info, int timeout) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    for (;;) {
        info = {};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, flags | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        poll(nullptr, 0, 1);
    }
}

double seconds(const timeval &time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

int waitfor(pid_t pid, int timeout, double *cpu) {
    siginfo_t info{};
    if (!reported(pid, WEXITED, info, timeout)) {
        stuck(pid, "did not end within " + std::to_string(timeout / 1000) + " s");
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (cpu != nullptr) {
        *cpu = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads fd until its writer has closed it, each read at most timeout after
// the last, closes it and reaps pid, the writer, within grace. With nothing
// to read (fd -1), the end itself is the event awaited.
Outcome collect(pid_t pid, int fd, int timeout) {
    Outcome result{"", 0};
    bool ended = fd < 0; // nothing to read
    char buffer[4096];
    while (!ended && arrives(fd, timeout)) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            result.output.append(buffer, static_cast<size_t>(got));
        }
        ended = got <= 0;
    }
    if (fd >= 0) {
        close(fd);
    }
    if (!ended) {
        stuck(pid, "its output did not end within " + std::to_string(timeout / 1000) + " s");
    }
    result.status = waitfor(pid, fd < 0 ? timeout : grace, &result.cpu);
    return result;
}

// Reads what is there, at most a minute after the last byte.
ssize_t readsome(int fd, char *buffer, size_t size, pid_t writer) {
    if (!arrives(fd, patience)) {
        throw std::runtime_error(describe(writer) + ": nothing came for a minute");
    }
    return read(fd, buffer, size);
}

void place(int fd, int target) {
    if (fd == closed) {
        close(target);
    } else if (fd == target) {
        fcntl(fd, F_SETFD, 0); // kept open across the exec
    } else if (fd != inherit) {
        dup2(fd, target);
    }
}

// In the child: dies with the test process, wires its streams and becomes
// argv; an exec that fails sends its errno down failure.
[[noreturn]] void becomechild(const std::vector<char *> &argv, const std::array<int, 3> &streams,
                              bool sigpipeignored, pid_t parent, int failure) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
        _exit(127);
    }
    for (int target = 0; target < 3; ++target) {
        place(streams[static_cast<size_t>(target)], target);
    }
    if (!sigpipeignored) {
        signal(SIGPIPE, SIG_DFL);
    }
    execvp(argv[0], argv.data());
    const int error = errno;
    if (write(failure, &error, sizeof error) < 0) {
        // The parent sees the failure as the pipe's end all the same.
    }
    _exit(127);
}

// Starts argv (a path, or a name looked up on PATH) with the given descriptors
// (or inherit, or closed) as its stdin, stdout and stderr. The child gets
// SIGPIPE at its default, as from a shell, even though the tests ignore it,
// unless it is to inherit it ignored. It is killed when the test process ends
// (PR_SET_PDEATHSIG), so that a test that ctest kills leaves no simulator
// spinning behind it; posix_spawn cannot ask for that, hence fork.
pid_t spawn(const std::vector<std::string> &args, int in, int out, int err = inherit,
            bool sigpipeignored = false) {
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const PipeEnds failure = makepipe(); // closed by a successful exec
    const pid_t pid = fork();
    if (pid == 0) {
        becomechild(argv, {in, out, err}, sigpipeignored, parent, failure.write);
    }
    close(failure.write);
    int error = 0;
    const bool started =
        pid > 0 && arrives(failure.read, grace) && read(failure.read, &error, sizeof error) == 0;
    close(failure.read);
    if (!started) {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        throw std::runtime_error("cannot start " + args[0]);
    }
    return pid;
}

bool write_file(const char *path, const std::string &text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    const bool written =
        fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
}

} // namespace

HoldingChild::HoldingChild(const std::function<int()> &hold) {
    const PipeEnds ready = makepipe();
    const PipeEnds done = makepipe();
    const pid_t parent = getpid();
    pid = fork();
    if (pid == 0) {
        close(ready.read);
        close(done.write);
        const int outcome =
            prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && getppid() == parent ? hold() : ECHILD;
        char end = 0;
        if (write(ready.write, &outcome, sizeof outcome) == sizeof outcome && outcome == 0) {
            while (read(done.read, &end, 1) > 0) {
            }
        }
        _exit(0);
    }
    close(ready.write);
    close(done.read);
    release = done.write;
    if (pid < 0 || read(ready.read, &failure, sizeof failure) != sizeof failure) {
        failure = pid < 0 ? errno : ECHILD;
    }
    close(ready.read);
}

HoldingChild::~HoldingChild() {
    close(release);
    if (pid > 0) {
        waitpid(pid, nullptr, 0);
    }
}

int hold_foreign_terminal(unsigned number) {
    if (geteuid() != 0) {
        const std::string uid = "0 " + std::to_string(geteuid()) + " 1";
        if (unshare(CLONE_NEWUSER) != 0 || !write_file("/proc/self/setgroups", "deny") ||
            !write_file("/proc/self/uid_map", uid)) {
            return errno;
        }
    }
    // Over /dev/pts, as a container has it: the machine's stays as it was.
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666") != 0) {
        return errno;
    }
    // Each master takes the lowest free number of the new instance.
    for (unsigned index = 0; index <= number; ++index) {
        const int master = open("/dev/pts/ptmx", O_RDWR | O_NOCTTY);
        int unlock = 0;
        if (master < 0 || ioctl(master, TIOCSPTLCK, &unlock) != 0) {
            return errno;
        }
        if (index == number && ioctl(master, TIOCGPTPEER, O_RDWR | O_NOCTTY) < 0) {
            return errno;
        }
    }
    return 0;
}

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
    char c = 0;
    while (arrives(log, patience) && read(log, &c, 1) == 1 && c != '\n') {
        pty += c;
    }
    if (c != '\n' || pty.empty()) {
        finish();
        throw std::runtime_error("the simulator gave no terminal");
    }
}

std::string Simulator::awaitline(const std::string &prefix) {
    std::string line;
    char c;
    while (readsome(log, &c, 1, pid) == 1) {
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
    end(patience);
}

void Simulator::end(int timeout) {
    if (keyboard >= 0) {
        close(keyboard);
        keyboard = -1;
    }
    seen += collect(std::exchange(pid, -1), std::exchange(log, -1), timeout).output;
}

void Simulator::pause() {
    kill(pid, SIGSTOP);
    siginfo_t info{};
    if (!reported(pid, WSTOPPED | WEXITED, info, grace) || info.si_code != CLD_STOPPED) {
        throw std::runtime_error(describe(pid) + ": did not stop");
    }
    paused = true;
}

void Simulator::resume() {
    kill(pid, SIGCONT);
    paused = false;
}

// A SIGCONT is no harmless extra for a simulator that runs: it discards every
// stop signal still pending. LeakSanitizer's check at the exit of a sanitized
// simulator stops it with one: a tracer child of its own attaches with
// PTRACE_ATTACH, which sends SIGSTOP, and waits for the stop while the
// simulator spins until the tracer is done. A SIGCONT sent after the SIGTERM
// could land in between, erase that SIGSTOP and leave the tracer waiting and
// the simulator spinning for good. So only a paused simulator is resumed, and
// before the SIGTERM, never after it. The SIGTERM itself cannot disturb the
// check: the simulator blocks it for its signalfd.
std::string Simulator::finish() {
    if (pid >= 0) {
        if (paused) {
            resume();
        }
        kill(pid, SIGTERM);
        end(grace);
    }
    return seen;
}

Simulator::~Simulator() {
    try {
        finish();
    } catch (const std::exception &error) {
        ADD_FAILURE() << error.what();
    }
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
        try {
            finish();
        } catch (const std::exception &error) {
            ADD_FAILURE() << error.what();
        }
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
        const ssize_t got = readsome(out, buffer, sizeof buffer, pid);
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
    Outcome result = collect(std::exchange(pid, -1), std::exchange(out, -1), patience);
    output += result.output;
    result.output = output;
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
    return collect(pid, out.read, patience);
}

std::string lacking(const std::string &need, const std::vector<std::string> &command,
                    const std::string &expected) {
    std::string tried;
    for (const std::string &arg : command) {
        tried += (tried.empty() ? "" : " ") + arg;
    }
    try {
        const Outcome run = execute(command, "");
        if (run.status == 0 && run.output == expected) {
            return {};
        }
        return "needs " + need + ", which this system does not give: `" + tried +
               "` ends with status " + std::to_string(run.status) + " and writes " +
               testing::PrintToString(run.output);
    } catch (const std::runtime_error &) {
        return "needs " + need + ": `" + tried + "` cannot start";
    }
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
