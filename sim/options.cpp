#include "sim/options.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <getopt.h>
#include <map>
#include <string_view>

namespace {

const char *const help = R"(Usage: lowrad-sim [OPTIONS] [DEVICE]
Simulates the Geiger-Mueller counter that lowrad reads, for tests and demos.

Every counting period the counter sends a frame of 4 bytes: 0xFF, the low and
the high byte of the count of impulses in that period (0..65535), and
(0xFF + low + high) mod 256; e.g. 7 -> FF 07 00 06, 300 -> FF 2C 01 2C.
Line: 1200 baud, 8 data bits, no parity, 2 stop bits, raw, no flow control.

Without DEVICE, lowrad-sim creates a pseudo-terminal, prints its path (e.g.
/dev/pts/3) on the first line of standard output and watches it being opened
and closed: the time from an open until no process holds it any more is a
run. Odd runs (1, 3, ...) count the background, even runs the background with
the sample, which lowrad has the user place between the two. Frames are sent
only while the port is open, the first one a period after the open; what is
left unread at the close is discarded, as on a real port.
With DEVICE (e.g. /dev/ttyUSB0, wired to lowrad's port by a null-modem cable)
frames are sent all the time, and each line typed on standard input places or
removes the sample, which starts the next run.

Options (a value as in --period 0.5 or --period=0.5; an option may be
shortened to any beginning that no other option shares):
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
  --noise-first K       K random bytes, never 0xFF, at once when a run starts;
                        K is 0 to 65535 for both
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
is 0. Bad options (and an empty DEVICE) make the exit status 2.

Example, lowrad on the simulator's pty as its /dev/ttyS0, with the log in a
file so that it stays out of lowrad's dialogue:
  lowrad-sim --period 0.5 >sim.log &
  head -1 sim.log                    (prints e.g. /dev/pts/3)
  lowrad-run --map ttyS0=/dev/pts/3
)";

[[noreturn]] void misuse(const std::string &message) {
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
        misuse("--" + std::string(option) + ": bad value '" + std::string(text) + "'");
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

// What getopt_long returns for the options without a value; those with one
// return first_value and up, each its own, so that an abbreviation that fits
// two of them is refused as ambiguous.
enum Key { help_key = 'h', mid_frame_key = 1, first_value = 256 };

// The options that take a value, as getopt_long reads them, from the setters'
// names; then those without one.
std::vector<option> long_options(const std::map<std::string_view, std::function<void()>> &setters) {
    std::vector<option> options;
    for (const auto &[name, setter] : setters) {
        const auto key = first_value + static_cast<int>(options.size());
        options.push_back({name.data(), required_argument, nullptr, key});
    }
    options.push_back({"mid-frame", no_argument, nullptr, mid_frame_key});
    options.push_back({"help", no_argument, nullptr, help_key});
    options.push_back({nullptr, 0, nullptr, 0});
    return options;
}

// What getopt_long refused, named as the user typed it.
std::string refused(char **argv, int key) {
    const std::string typed = argv[optind - 1];
    if (key == ':') {
        return "option needs a value: " + typed;
    }
    return optopt != 0 ? "unknown option: -" + std::string(1, static_cast<char>(optopt))
                       : "unknown or ambiguous option: " + typed.substr(0, typed.find('='));
}

} // namespace

Options parse_options(int argc, char **argv) {
    Options o;
    std::string_view name;
    std::string_view value;
    const auto count = [&](unsigned low) { return parse_number(value, low, ~0U, name); };
    const auto rate = [&] { return parse_number(value, 0.001, 1e6, name); };
    // Noise is made before it is sent: its length bounds the memory it takes.
    const auto noise = [&] { return parse_number(value, 0U, max_noise, name); };
    // std::string_view keys that point at literals, so that getopt_long may keep them.
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
        {"noise", [&] { o.noise = noise(); }},
        {"noise-first", [&] { o.noise_first = noise(); }},
        {"silent-run", [&] { o.silent_run = count(1); }},
        {"hangup-after", [&] { o.hangup_after = count(1); }},
    };
    const std::vector<option> options = long_options(take_value);
    opterr = 0; // its complaints are ours, in our words
    for (int key = 0; (key = getopt_long(argc, argv, ":h", options.data(), nullptr)) != -1;) {
        if (key >= first_value) {
            name = options[static_cast<size_t>(key - first_value)].name;
            value = optarg;
            take_value.at(name)();
        } else if (key == mid_frame_key) {
            o.mid_frame = true;
        } else if (key == help_key) {
            std::fputs(help, stdout);
            std::exit(std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1);
        } else {
            misuse(refused(argv, key));
        }
    }
    if (argc - optind > 1) {
        misuse("one DEVICE at most: " + std::string(argv[optind + 1]));
    }
    if (optind < argc) {
        o.device = argv[optind];
        if (o.device.empty()) {
            misuse("DEVICE is empty");
        }
    }
    return o;
}
