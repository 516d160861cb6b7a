#include "harness.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct pipeends {
    int read = -1;
    int write = -1;
};

pipeends makepipe() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    return {ends[0], ends[1]};
}

// Starts argv with the given descriptors as its stdin and stdout (-1: inherit).
pid_t spawn(const std::vector<std::string> &args, int in, int out) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0) {
        posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    }
    if (out >= 0) {
        posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    }
    std::vector<char *> argv;
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
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

int waitfor(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

simulator::simulator(const std::vector<std::string> &options) {
    std::vector<std::string> args{SIM_PATH};
    args.insert(args.end(), options.begin(), options.end());
    const pipeends out = makepipe();
    pid = spawn(args, -1, out.write);
    close(out.write);
    log = out.read;
    char c;
    while (read(log, &c, 1) == 1 && c != '\n') {
        pty += c;
    }
    if (pty.empty()) {
        throw std::runtime_error("the simulator gave no terminal");
    }
}

std::string simulator::finish() {
    if (pid < 0) {
        return {};
    }
    kill(pid, SIGTERM);
    std::string text = readall(log);
    waitfor(pid);
    close(log);
    pid = -1;
    return text;
}

simulator::~simulator() {
    finish();
}

outcome runlowrad(const std::vector<std::string> &maps, const std::string &answers) {
    std::vector<std::string> args{RUNNER_PATH};
    for (const std::string &map : maps) {
        args.insert(args.end(), {"--map", map});
    }
    args.insert(args.end(), {"--", LOWRAD_PATH});

    const pipeends in = makepipe();
    const pipeends out = makepipe();
    const pid_t pid = spawn(args, in.read, out.write);
    close(in.read);
    close(out.write);
    // lowrad may leave before it has read every answer; that is no error here.
    signal(SIGPIPE, SIG_IGN);
    if (write(in.write, answers.data(), answers.size()) < 0) {
        // lowrad is gone already; its output and status tell why.
    }
    close(in.write);
    outcome result{readall(out.read), 0};
    close(out.read);
    result.status = waitfor(pid);
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
