// lowrad-sim: a Geiger-Müller counter on a serial line, to run lowrad without one.
//
// The counter reports once per counting period (10 s) with a 4-byte frame:
//     0xFF, count low byte, count high byte, (0xFF + low + high) mod 256
// where count is the number of impulses registered in that period.
//
// In pty mode the simulator owns a pseudo-terminal and watches the slave's node with
// inotify; opens minus closes tell whether lowrad holds the port. A run lasts from the
// moment that count leaves 0 until it returns there. Odd runs see the background only,
// even runs the background plus the sample that lowrad has placed between the two.
// A pty, unlike a real port, keeps whatever its last user left unread and hands it to
// the next one, so frames go out only while the port is open and unread input is
// dropped at each close.
//
// With a real DEVICE (null-modem cable) opens cannot be seen: frames flow all the time
// and each line typed on stdin places or removes the sample, which starts a new run.
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <optional>
#include <poll.h>
#include <random>
#include <string>
#include <string_view>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
constexpr unsigned max_count = 65535;

const char *const help = R"(Usage: lowrad-sim [OPTIONS] [DEVICE]
Simulates the Geiger-Mueller counter that lowrad reads, for tests and demos.

Every counting period the counter sends a frame of 4 bytes: 0xFF, the low and
the high byte of the count of impulses in that period (0..65535), and
(0xFF + low + high) mod 256; e.g. 7 -> FF 07 00 06, 300 -> FF 2C 01 2C.
Line: 1200 baud, 8 data bits, no parity, 2 stop bits, raw, no flow control.

Without DEVICE, lowrad-sim creates a pseudo-terminal, prints its path (e.g.
/dev/pts/3) on the first line of standard output and watches it being opened
and closed: the time from an open to a close is a run. Odd runs (1, 3, ...)
count the background, even runs the background with the sample, which lowrad
has the user place between the two. Frames are sent only while the port is
open, the first one a period after the open; what is left unread at the close
is discarded, as on a real port.
With DEVICE (e.g. /dev/ttyUSB0, wired to lowrad's port by a null-modem cable)
frames are sent all the time, and each line typed on standard input places or
removes the sample, which starts the next run.

Options:
  --background CPM      mean rate without the sample, impulses/minute (30)
  --sample CPM          mean rate with the sample, background included (90);
                        a frame's count is drawn from a Poisson distribution
                        with mean CPM/6, as a frame stands for 10 s of counting
                        whatever --period is; CPM is 0.001 to 1000000 and
                        counts are capped at 65535
  --background-counts N[,N...], --sample-counts N[,N...]
                        exact counts of the successive frames of a run instead;
                        the list starts over at each run, repeats when used up
  --period SECONDS      time between frames, 0.001 to 3600 (default 10)
  --frames N            send at most N frames in each run (default: no limit)
  --seed N              seed of the random numbers (default: a random one)
  --runs N              exit once run N has ended
  -h, --help            show this text and exit
Faults, for tests:
  --mid-frame           send only the last 3 bytes of each run's first frame
                        (its count is lost, and it is not counted as a frame)
  --damage K            send every K-th frame of a run with checksum + 1
  --noise K             K random bytes, never 0xFF, before every frame
  --noise-first K       K random bytes, never 0xFF, at once when a run starts
  --silent-run N        send nothing in run N (1 = first background, 2 = first
                        sample, ...)
  --hangup-after K      close the line and exit when frame K+1 of a run is due

Log on standard output, one line per event:
  open N background|sample      run N has started
  line cflag=0x.. iflag=0x.. oflag=0x.. lflag=0x.. cc=xx xx ...
                                settings of the port when lowrad closed it
  close N: F frames[ (D damaged)], I impulses
                                run N has ended; F whole frames were sent, D of
                                them damaged, with I impulses in all
  hangup N: F frames[ (D damaged)], I impulses
                                --hangup-after has struck in run N
  sample placed|removed         DEVICE mode: a line was typed
  frame C                       DEVICE mode: a frame with count C was sent
On SIGTERM or SIGINT a run still open is logged as closed and the exit status
is 0. Bad options make the exit status 2.

Example, lowrad on the simulator's pty as its /dev/ttyS0:
  lowrad-sim --period 0.5 &          (prints e.g. /dev/pts/3)
  lowrad-run --map ttyS0=/dev/pts/3
)";

struct Options {
    double background_cpm = 30;
    double sample_cpm = 90;
    std::vector<unsigned> background_counts;
    std::vector<unsigned> sample_counts;
    double period = 10;
    unsigned frames = 0;
    std::optional<unsigned> seed;
    unsigned runs = 0;
    bool mid_frame = false;
    unsigned damage = 0;
    unsigned noise = 0;
    unsigned noise_first = 0;
    unsigned silent_run = 0;
    unsigned hangup_after = 0;
    std::string device;
};

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "lowrad-sim: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

int check(int result, const std::string &what) {
    if (result < 0) {
        fail(what);
    }
    return result;
}

[[noreturn]] void usage_error(const std::string &message) {
    std::fprintf(stderr, "lowrad-sim: %s\nTry 'lowrad-sim --help'.\n", message.c_str());
    std::exit(2);
}

template <typename T>
T parse_number(std::string_view text, T low, T high, std::string_view option) {
    T value{};
    const char *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    // Written as a negation so that NaN is refused too.
    if (error != std::errc{} || stop != end || !(value >= low && value <= high)) {
        usage_error("--" + std::string(option) + ": bad value '" + std::string(text) + "'");
    }
    return value;
}

std::vector<unsigned> parse_counts(std::string_view text, std::string_view option) {
    std::vector<unsigned> counts;
    for (;;) {
        const auto comma = text.find(',');
        counts.push_back(parse_number(text.substr(0, comma), 0U, max_count, option));
        if (comma == std::string_view::npos) {
            return counts;
        }
        text.remove_prefix(comma + 1);
    }
}

Options parse_options(int argc, char **argv) {
    Options o;
    std::string_view name;
    std::string_view value;
    const auto count = [&](unsigned low) { return parse_number(value, low, ~0U, name); };
    const auto rate = [&] { return parse_number(value, 0.001, 1e6, name); };
    const std::map<std::string_view, std::function<void()>> take_value{
        {"background", [&] { o.background_cpm = rate(); }},
        {"sample", [&] { o.sample_cpm = rate(); }},
        {"background-counts", [&] { o.background_counts = parse_counts(value, name); }},
        {"sample-counts", [&] { o.sample_counts = parse_counts(value, name); }},
        {"period", [&] { o.period = parse_number(value, 0.001, 3600.0, name); }},
        {"seed", [&] { o.seed = count(0); }},
        {"runs", [&] { o.runs = count(1); }},
        {"frames", [&] { o.frames = count(1); }},
        {"damage", [&] { o.damage = count(1); }},
        {"noise", [&] { o.noise = count(0); }},
        {"noise-first", [&] { o.noise_first = count(0); }},
        {"silent-run", [&] { o.silent_run = count(1); }},
        {"hangup-after", [&] { o.hangup_after = count(1); }},
    };
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        name = arg.starts_with("--") ? arg.substr(2) : "";
        const auto setter = take_value.find(name);
        if (arg == "-h" || arg == "--help") {
            std::fputs(help, stdout);
            std::exit(0);
        } else if (arg == "--mid-frame") {
            o.mid_frame = true;
        } else if (setter != take_value.end() && i + 1 < argc) {
            value = argv[++i];
            setter->second();
        } else if (arg.starts_with("-") || !o.device.empty()) {
            usage_error("unknown option, missing value or extra argument: " + std::string(arg));
        } else {
            o.device = arg;
        }
    }
    return o;
}

std::array<std::uint8_t, 4> frame(unsigned count, bool damaged) {
    const auto low = static_cast<std::uint8_t>(count & 0xFF);
    const auto high = static_cast<std::uint8_t>(count >> 8);
    const auto checksum = static_cast<std::uint8_t>(0xFF + low + high + (damaged ? 1 : 0));
    return {0xFF, low, high, checksum};
}

// The counter itself: draws the counts and writes the frames of a run when they are due.
class Counter {
  public:
    Counter(const Options &options, int line)
        : options_(options), line_(line),
          random_(options.seed ? *options.seed : std::random_device{}()),
          background_(options.background_cpm / 6), sample_(options.sample_cpm / 6) {}

    void start_run() {
        ++run_;
        running_ = true;
        opened_ = Clock::now();
        scheduled_ = frames_ = damaged_ = 0;
        impulses_ = 0;
        if (!silent() && options_.noise_first != 0) {
            transmit(noise(options_.noise_first));
        }
    }

    void end_run() {
        running_ = false;
    }

    [[nodiscard]] bool running() const {
        return running_;
    }

    [[nodiscard]] unsigned run() const {
        return run_;
    }

    [[nodiscard]] bool with_sample() const {
        return run_ % 2 == 0;
    }

    [[nodiscard]] bool hung_up() const {
        return hung_up_;
    }

    [[nodiscard]] bool runs_done() const {
        return options_.runs != 0 && run_ - (running_ ? 1 : 0) >= options_.runs;
    }

    // Frames are due at whole periods from the open, so late wake-ups do not add up.
    [[nodiscard]] std::optional<Clock::time_point> next_frame() const {
        if (!running_ || silent() || hung_up_ ||
            (options_.frames != 0 && scheduled_ >= options_.frames)) {
            return std::nullopt;
        }
        const std::chrono::duration<double> offset(options_.period * (scheduled_ + 1));
        return opened_ + std::chrono::duration_cast<Clock::duration>(offset);
    }

    // The hang-up comes when the next frame would, so that the last one has time to be read.
    void send_due_frames() {
        for (auto due = next_frame(); due && *due <= Clock::now(); due = next_frame()) {
            if (options_.hangup_after != 0 && frames_ >= options_.hangup_after) {
                hung_up_ = true;
            } else {
                send_frame();
            }
        }
    }

    void report(const char *what) const {
        std::printf("%s %u: %u frames", what, run_, frames_);
        if (damaged_ != 0) {
            std::printf(" (%u damaged)", damaged_);
        }
        std::printf(", %lu impulses\n", impulses_);
    }

  private:
    [[nodiscard]] bool silent() const {
        return run_ == options_.silent_run;
    }

    unsigned draw_count() {
        const auto &list = with_sample() ? options_.sample_counts : options_.background_counts;
        if (!list.empty()) {
            return list[scheduled_ % list.size()];
        }
        auto &rate = with_sample() ? sample_ : background_;
        return static_cast<unsigned>(std::min<long long>(rate(random_), max_count));
    }

    // 0xFF is left out so that noise alone never looks like the start of a frame.
    Bytes noise(unsigned length) {
        std::uniform_int_distribution<int> noise_byte(0, 0xFE);
        Bytes bytes(length);
        std::generate(bytes.begin(), bytes.end(),
                      [&] { return static_cast<std::uint8_t>(noise_byte(random_)); });
        return bytes;
    }

    void send_frame() {
        const bool cut = options_.mid_frame && scheduled_ == 0;
        const bool damaged = !cut && options_.damage != 0 && (frames_ + 1) % options_.damage == 0;
        const unsigned count = draw_count();
        ++scheduled_;
        Bytes bytes = noise(options_.noise);
        const auto whole = frame(count, damaged);
        bytes.insert(bytes.end(), whole.begin() + (cut ? 1 : 0), whole.end());
        if (!transmit(bytes) || cut) {
            return;
        }
        ++frames_;
        damaged_ += damaged ? 1 : 0;
        impulses_ += count;
        if (!options_.device.empty()) {
            std::printf("frame %u\n", count);
        }
    }

    // Bytes that do not fit on the line are lost, as with a real counter: only whole frames
    // count as sent.
    bool transmit(const Bytes &bytes) const {
        const ssize_t written = write(line_, bytes.data(), bytes.size());
        if (written < 0 && errno != EAGAIN) {
            fail("write");
        }
        return written == static_cast<ssize_t>(bytes.size());
    }

    const Options &options_;
    int line_;
    std::mt19937 random_;
    std::poisson_distribution<long long> background_;
    std::poisson_distribution<long long> sample_;
    unsigned run_ = 0;
    bool running_ = false;
    bool hung_up_ = false;
    Clock::time_point opened_;
    unsigned scheduled_ = 0; // the cut frame included
    unsigned frames_ = 0;
    unsigned damaged_ = 0;
    unsigned long impulses_ = 0;
};

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
                break;
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
        if (pty() && counter_.running()) {
            report_close();
        }
        return 0;
    }

  private:
    [[nodiscard]] bool pty() const {
        return options_.device.empty();
    }

    int open_pty() {
        const int master = check(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC), "pty");
        check(grantpt(master), "grantpt");
        check(unlockpt(master), "unlockpt");
        std::array<char, 64> path{};
        if (const int error = ptsname_r(master, path.data(), path.size()); error != 0) {
            errno = error;
            fail("ptsname");
        }
        // Raw from the start, so that nothing sent before lowrad sets the line is mangled.
        termios raw{};
        check(tcgetattr(master, &raw), "tcgetattr");
        cfmakeraw(&raw);
        check(tcsetattr(master, TCSANOW, &raw), "tcsetattr");
        // Our own hold on the slave lets us flush its input at each close. Opened before the
        // watch starts, it does not count as lowrad's.
        slave_ = check(open(path.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC), path.data());
        events_ = check(inotify_init1(IN_NONBLOCK | IN_CLOEXEC), "inotify");
        check(inotify_add_watch(events_, path.data(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE),
              path.data());
        std::printf("%s\n", path.data());
        return master;
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
        alignas(inotify_event) std::array<char, 4096> buffer{};
        ssize_t length = 0;
        while ((length = read(events_, buffer.data(), buffer.size())) > 0) {
            for (ssize_t at = 0; at < length && !counter_.runs_done();) {
                inotify_event event{};
                std::memcpy(&event, buffer.data() + at, sizeof event);
                at += static_cast<ssize_t>(sizeof event + event.len);
                if ((event.mask & IN_OPEN) != 0) {
                    port_opened();
                } else if ((event.mask & IN_CLOSE) != 0) {
                    port_closed();
                }
            }
        }
    }

    void port_opened() {
        if (openers_++ == 0) {
            counter_.start_run();
            std::printf("open %u %s\n", counter_.run(),
                        counter_.with_sample() ? "sample" : "background");
        }
    }

    // inotify merges identical events that follow each other, so two opens may come as one:
    // the count must not go below zero.
    void port_closed() {
        if (openers_ > 0 && --openers_ == 0) {
            tcflush(slave_, TCIFLUSH);
            report_close();
            counter_.end_run();
        }
    }

    void on_typed_lines() {
        std::array<char, 256> typed{};
        const ssize_t length = read(STDIN_FILENO, typed.data(), typed.size());
        if (length <= 0) {
            events_ = -1; // no more typing: the sample stays where it is
            return;
        }
        for (auto lines = std::count(typed.begin(), typed.begin() + length, '\n'); lines > 0;
             --lines) {
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
    int line_;
    unsigned openers_ = 0;
    Counter counter_;
};

} // namespace

int main(int argc, char **argv) {
    const Options options = parse_options(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return Session(options).serve();
}
