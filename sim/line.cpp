#include "sim/line.h"

#include "sim/counter.h"
#include "sim/fail.h"
#include "sim/holders.h"
#include "sim/pty.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

int block_stop_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    check(sigprocmask(SIG_BLOCK, &signals, nullptr), "sigprocmask");
    return check(signalfd(-1, &signals, SFD_CLOEXEC), "signalfd");
}

void wait_for(std::array<pollfd, 3> &fds, std::optional<Clock::time_point> deadline) {
    timespec timeout{};
    if (deadline) {
        const auto left = std::max(*deadline - Clock::now(), Clock::duration::zero());
        const auto nanoseconds = std::chrono::nanoseconds(left).count();
        timeout.tv_sec = static_cast<time_t>(nanoseconds / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
    }
    if (ppoll(fds.data(), fds.size(), deadline ? &timeout : nullptr, nullptr) < 0) {
        fail("poll");
    }
}

// Tells the counter when runs start and end, and logs them.
class Session {
  public:
    explicit Session(const Options &options)
        : options_(options), stop_(block_stop_signals()), line_(pty() ? open_pty() : open_device()),
          counter_(options, line_) {}

    int serve() {
        if (!pty()) {
            counter_.start_run();
        }
        while (!counter_.runs_done()) {
            std::array<pollfd, 3> fds{
                {{stop_, POLLIN, 0}, {events_, POLLIN, 0}, {line_, POLLIN, 0}}};
            wait_for(fds, counter_.next_frame());
            if (fds[0].revents != 0) {
                stopped();
                return 0;
            }
            if (fds[1].revents != 0) {
                pty() ? on_port_events() : on_typed_lines();
            }
            if (fds[2].revents != 0) {
                drain_line(fds[2].revents);
            }
            counter_.send_due_frames();
            if (counter_.hung_up()) {
                counter_.report("hangup");
                return 0;
            }
        }
        return 0;
    }

  private:
    [[nodiscard]] bool pty() const {
        return options_.device.empty();
    }

    int open_pty() {
        const RawPty line = open_raw_pty();
        if (line.failed != nullptr) {
            fail(line.failed);
        }
        const char *path = line.slave.c_str();
        // Our own hold on the slave lets us flush its input at each close. Opened before the
        // watch starts, it does not count as lowrad's.
        slave_ = check(open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC), path);
        struct stat slave {};
        check(fstat(slave_, &slave), path);
        terminal_ = node_of(slave);
        events_ = check(inotify_init1(IN_NONBLOCK | IN_CLOEXEC), "inotify");
        check(inotify_add_watch(events_, path, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE), path);
        std::printf("%s\n", path);
        return line.master;
    }

    int open_device() {
        const int device =
            check(open(options_.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC),
                  options_.device);
        termios line{};
        line.c_cflag = CS8 | CSTOPB | CLOCAL | CREAD;
        cfsetispeed(&line, B1200);
        cfsetospeed(&line, B1200);
        check(tcsetattr(device, TCSANOW, &line), options_.device);
        events_ = STDIN_FILENO;
        return device;
    }

    // Events are taken one by one: a close and a reopen in the same batch end a run and start
    // the next one, which the mere state of the port would hide.
    void on_port_events() {
        const std::vector<std::uint32_t> events = read_events();
        for (std::size_t i = 0; i < events.size() && !counter_.runs_done(); ++i) {
            if ((events[i] & IN_OPEN) != 0) {
                port_opened();
            } else if ((events[i] & IN_CLOSE) != 0) {
                port_closed(i + 1 == events.size());
            }
        }
    }

    // The masks of all the events waiting.
    std::vector<std::uint32_t> read_events() const {
        std::vector<std::uint32_t> masks;
        alignas(inotify_event) std::array<char, 4096> buffer{};
        ssize_t length = 0;
        while ((length = read(events_, buffer.data(), buffer.size())) > 0) {
            for (ssize_t at = 0; at < length;) {
                inotify_event event{};
                std::memcpy(&event, buffer.data() + at, sizeof event);
                at += static_cast<ssize_t>(sizeof event + event.len);
                masks.push_back(event.mask);
            }
        }
        return masks;
    }

    void port_opened() {
        if (openers_++ == 0) {
            counter_.start_run();
            std::printf("open %u %s\n", counter_.run(),
                        counter_.with_sample() ? "sample" : "background");
        }
    }

    // inotify merges an event with an identical one still unread, so two opens may come as
    // one, or two closes, and the count of openers be off either way. The last close of a
    // batch therefore asks the kernel whether anyone still holds the port, unless events
    // have come in meanwhile: a holder it shows may then be a new opener whose open is among
    // them (an open is reported before its descriptor appears), and the count must do.
    void port_closed(bool last_of_batch) {
        openers_ -= openers_ > 0 ? 1 : 0;
        if (last_of_batch && counter_.running()) {
            const bool held = held_elsewhere(terminal_);
            if (!events_waiting()) {
                openers_ = held ? std::max(openers_, 1U) : 0;
            }
        }
        if (openers_ == 0 && counter_.running()) {
            tcflush(slave_, TCIFLUSH);
            report_close();
            counter_.end_run();
        }
    }

    [[nodiscard]] bool events_waiting() const {
        int bytes = 0;
        check(ioctl(events_, FIONREAD, &bytes), "inotify");
        return bytes > 0;
    }

    // A signal ends the run still open as a close would. On a device the port's settings
    // are ours, not lowrad's: only the run is reported.
    void stopped() const {
        if (counter_.running()) {
            pty() ? report_close() : counter_.report("close");
        }
    }

    void on_typed_lines() {
        std::array<char, 256> typed{};
        const ssize_t length = read(STDIN_FILENO, typed.data(), typed.size());
        if (length <= 0) {
            events_ = -1; // no more typing: the sample stays where it is
            return;
        }
        for (auto lines = std::count(typed.begin(), typed.begin() + length, '\n');
             lines > 0 && !counter_.runs_done(); --lines) {
            counter_.end_run();
            counter_.start_run();
            std::printf("sample %s\n", counter_.with_sample() ? "placed" : "removed");
        }
    }

    void drain_line(short revents) const {
        if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            errno = EIO;
            fail(options_.device);
        }
        std::array<char, 256> discard{};
        while (read(line_, discard.data(), discard.size()) > 0) {
        }
    }

    // On Linux a pty master reports the slave's settings.
    void report_close() const {
        termios line{};
        check(tcgetattr(line_, &line), "tcgetattr");
        std::printf("line cflag=0x%x iflag=0x%x oflag=0x%x lflag=0x%x cc=", line.c_cflag,
                    line.c_iflag, line.c_oflag, line.c_lflag);
        for (std::size_t i = 0; i < NCCS; ++i) {
            std::printf(i == 0 ? "%02x" : " %02x", static_cast<unsigned>(line.c_cc[i]));
        }
        std::printf("\n");
        counter_.report("close");
    }

    const Options &options_;
    int stop_;
    int events_ = -1;
    int slave_ = -1;
    Node terminal_{}; // the slave, and the devpts instance it belongs to
    int line_;
    unsigned openers_ = 0;
    Counter counter_;
};

} // namespace

int serve(const Options &options) {
    return Session(options).serve();
}
