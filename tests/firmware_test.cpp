// The counter's firmware, its real ELF on a simulated ATmega328P at 16 MHz
// (simavr): impulses on D2 at chosen cycles, every byte of the USART with its
// cycle, and the start of every run of the INT0 and Timer1 handlers. The
// handlers never nest, so the impulses a frame must report are exactly those
// whose handler started between the two timer handlers that ended the periods;
// and each impulse injected must have started a handler of its own.
//
// simavr's own sleep handler sleeps in real time; ours returns at once, so a
// sleeping firmware's seconds pass in microseconds.
#include "dialogue.h"
#include "harness.h"
#include "sim/holders.h"
#include "sim/pty.h"

#include <avr_ioport.h>
#include <avr_uart.h>
#include <sim_avr.h>
#include <sim_elf.h>
#include <sim_interrupts.h>
#include <sim_irq.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using Cycle = std::uint64_t;
constexpr Cycle cpu_hz = 16'000'000;
constexpr Cycle period = 10 * cpu_hz;
constexpr Cycle microsecond = cpu_hz / 1'000'000;
// A tube board's pulse: 10 us low.
constexpr Cycle pulse = 10 * microsecond;

// The USART's registers in the ATmega328P's data space.
constexpr unsigned ucsr0c = 0xC2;
constexpr unsigned ubrr0l = 0xC4;
constexpr unsigned ubrr0h = 0xC5;
// The vectors of INT0 and Timer1's compare match A.
constexpr std::uint8_t int0_vector = 1;
constexpr std::uint8_t timer1_vector = 11;

struct Sent {
    Cycle cycle;
    std::uint8_t byte;
};

void quiet(avr_t *, int, const char *, va_list) {}

void no_sleep(avr_t *, avr_cycle_count_t) {}

// The firmware running on a fresh chip from reset.
class Chip {
  public:
    explicit Chip(const std::string &elf_path) {
        avr_global_logger_set(quiet);
        if (elf_read_firmware(elf_path.c_str(), &elf_) != 0) {
            throw std::runtime_error("cannot read " + elf_path);
        }
        avr_ = avr_make_mcu_by_name("atmega328p");
        avr_init(avr_);
        elf_.frequency = cpu_hz;
        avr_load_firmware(avr_, &elf_);
        avr_->sleep = no_sleep;
        std::uint32_t flags = 0;
        avr_ioctl(avr_, AVR_IOCTL_UART_GET_FLAGS('0'), &flags);
        flags &= ~AVR_UART_FLAG_STDIO;
        avr_ioctl(avr_, AVR_IOCTL_UART_SET_FLAGS('0'), &flags);
        avr_irq_register_notify(avr_io_getirq(avr_, AVR_IOCTL_UART_GETIRQ('0'), UART_IRQ_OUTPUT),
                                on_byte, this);
        avr_irq_register_notify(avr_get_interrupt_irq(avr_, int0_vector) + AVR_INT_IRQ_RUNNING,
                                on_int0, this);
        avr_irq_register_notify(avr_get_interrupt_irq(avr_, timer1_vector) + AVR_INT_IRQ_RUNNING,
                                on_timer, this);
        pin_ = avr_io_getirq(avr_, AVR_IOCTL_IOPORT_GETIRQ('D'), IOPORT_IRQ_PIN2);
        avr_raise_irq(pin_, 1);
    }
    Chip(const Chip &) = delete;
    Chip &operator=(const Chip &) = delete;
    // simavr may point into the ELF's symbols until the chip is gone.
    ~Chip() {
        avr_terminate(avr_);
        std::free(avr_); // NOLINT(cppcoreguidelines-no-malloc): simavr's malloc
        for (std::uint32_t i = 0; i < elf_.symbolcount; ++i) {
            std::free(elf_.symbol[i]); // NOLINT(cppcoreguidelines-no-malloc)
        }
        for (void *block : {static_cast<void *>(elf_.symbol), static_cast<void *>(elf_.flash),
                            static_cast<void *>(elf_.eeprom), static_cast<void *>(elf_.fuse),
                            static_cast<void *>(elf_.lockbits)}) {
            std::free(block); // NOLINT(cppcoreguidelines-no-malloc)
        }
    }

    // Pulls D2 low for a pulse at each of these cycles, in order, far enough
    // apart; once for a chip.
    void inject(const std::vector<Cycle> &impulses) {
        for (const Cycle at : impulses) {
            changes_.push_back({at, 0});
            changes_.push_back({at + pulse, 1});
        }
        if (changes_.empty()) {
            return;
        }
        avr_cycle_timer_register(avr_, changes_.front().first - avr_->cycle, change_pin, this);
    }

    void run_until(Cycle cycle) {
        while (avr_->cycle < cycle) {
            const int state = avr_run(avr_);
            if (state == cpu_Done || state == cpu_Crashed) {
                throw std::runtime_error("the firmware stopped");
            }
        }
    }

    [[nodiscard]] Cycle now() const {
        return avr_->cycle;
    }
    [[nodiscard]] std::uint8_t io(unsigned address) const {
        return avr_->data[address];
    }

    std::vector<Sent> sent;        // every byte the USART sent
    std::vector<Cycle> int0_runs;  // when INT0's handler started
    std::vector<Cycle> timer_runs; // when Timer1's handler started

  private:
    static void on_byte(avr_irq_t *, std::uint32_t value, void *param) {
        auto *chip = static_cast<Chip *>(param);
        chip->sent.push_back({chip->now(), static_cast<std::uint8_t>(value)});
    }

    static void on_int0(avr_irq_t *, std::uint32_t value, void *param) {
        auto *chip = static_cast<Chip *>(param);
        if (value != 0) {
            chip->int0_runs.push_back(chip->now());
        }
    }

    static void on_timer(avr_irq_t *, std::uint32_t value, void *param) {
        auto *chip = static_cast<Chip *>(param);
        if (value != 0) {
            chip->timer_runs.push_back(chip->now());
        }
    }

    static avr_cycle_count_t change_pin(avr_t *, avr_cycle_count_t, void *param) {
        auto *chip = static_cast<Chip *>(param);
        avr_raise_irq(chip->pin_, chip->changes_.front().second);
        chip->changes_.pop_front();
        return chip->changes_.empty() ? 0 : chip->changes_.front().first;
    }

    elf_firmware_t elf_{};
    avr_t *avr_ = nullptr;
    avr_irq_t *pin_ = nullptr;
    std::deque<std::pair<Cycle, std::uint32_t>> changes_; // D2's levels to come
};

// 1200 baud from UBRR0 = 832 (0.04 % fast), 8 data bits, 2 stop bits, no
// parity. simavr paces the bytes by the settings it sees when UBRR0's low
// byte is written, always with a parity bit: 12 bits if the frame's format
// was set before the rate.
TEST(Firmware, LineSettings) {
    Chip chip(FIRMWARE_DIR "/lowrad-counter.elf");
    chip.run_until(cpu_hz / 20);
    EXPECT_EQ(chip.io(ubrr0h) * 256 + chip.io(ubrr0l), 832);
    EXPECT_EQ(chip.io(ucsr0c), 0b0000'1110); // USBS0, UCSZ01 and UCSZ00
    ASSERT_EQ(chip.sent.size(), 4U);
    const Cycle bits = 12;
    const Cycle character = bits * 16 * (832 + 1);
    for (std::size_t at = 1; at < chip.sent.size(); ++at) {
        const Cycle gap = chip.sent[at].cycle - chip.sent[at - 1].cycle;
        EXPECT_NEAR(static_cast<double>(gap), static_cast<double>(character), character / 200.0)
            << "byte " << at;
    }
}

// Impulses spread evenly over each of periods periods of length cycles from
// start: per_period of them in each, none near a period's ends.
std::vector<Cycle> evenly(Cycle start, int periods, Cycle length, Cycle per_period) {
    std::vector<Cycle> impulses;
    for (int p = 0; p < periods; ++p) {
        for (Cycle i = 1; i <= per_period; ++i) {
            impulses.push_back(start + p * length + i * length / (per_period + 1));
        }
    }
    return impulses;
}

// Decays at rate per second over periods 10 s periods, at least two pulses apart.
std::vector<Cycle> poisson(double rate, int periods, unsigned seed) {
    std::mt19937_64 generator(seed);
    std::exponential_distribution<double> gap(rate / cpu_hz);
    std::vector<Cycle> impulses;
    Cycle at = 0;
    while ((at += std::max<Cycle>(2 * pulse, static_cast<Cycle>(gap(generator)))) <
           periods * period - cpu_hz / 100) {
        impulses.push_back(at);
    }
    return impulses;
}

std::vector<Cycle> joined(std::vector<Cycle> a, const std::vector<Cycle> &b) {
    a.insert(a.end(), b.begin(), b.end());
    std::sort(a.begin(), a.end());
    return a;
}

struct Frame {
    Cycle start;
    unsigned count;
};

// The frames in the USART's bytes, each checked for its header and checksum.
std::vector<Frame> frames_of(const std::vector<Sent> &sent) {
    EXPECT_EQ(sent.size() % 4, 0U);
    std::vector<Frame> frames;
    for (std::size_t at = 0; at + 4 <= sent.size(); at += 4) {
        EXPECT_EQ(sent[at].byte, 0xFF) << "frame " << frames.size();
        EXPECT_EQ(sent[at + 3].byte, (0xFF + sent[at + 1].byte + sent[at + 2].byte) % 256)
            << "frame " << frames.size();
        frames.push_back({sent[at].cycle, sent[at + 1].byte + 256U * sent[at + 2].byte});
    }
    return frames;
}

// What each frame must report: the INT0 handlers started since the Timer1
// handler that sent the frame before, up to the one that sent it, and no
// more than 65535.
std::vector<unsigned> expected_counts(const Chip &chip, const std::vector<Frame> &frames) {
    std::vector<unsigned> counts;
    auto counted = chip.int0_runs.begin();
    for (const Frame &frame : frames) {
        const auto handler =
            std::upper_bound(chip.timer_runs.begin(), chip.timer_runs.end(), frame.start) - 1;
        const auto next = std::lower_bound(counted, chip.int0_runs.end(), *handler);
        counts.push_back(static_cast<unsigned>(std::min<long>(next - counted, 65535)));
        counted = next;
    }
    return counts;
}

struct Figures {
    Cycle period_error = 0;
    Cycle latency = 0;
    std::size_t lost = 0;
};

struct Load {
    const char *name;
    std::vector<Cycle> impulses; // falling edges, cycles from reset
    int periods;
    const char *firmware = "lowrad-counter.elf";
    Cycle edge_delay = 0; // from an impulse's start to the edge counted
};

// When the first Timer1 handler starts: periods end this long after a multiple of 10 s.
Cycle first_tick() {
    Chip chip(FIRMWARE_DIR "/lowrad-counter.elf");
    chip.run_until(cpu_hz / 1000);
    return chip.timer_runs.at(0);
}

// A single impulse a few cycles before or after each period's end, among others.
std::vector<Cycle> straddling(int periods) {
    const Cycle boundary = first_tick();
    std::vector<Cycle> impulses = evenly(boundary, periods, period, 3);
    const std::vector<long> offsets{-60, -9, -2, 0, 1, 4, 12, 80};
    for (std::size_t k = 0; k < offsets.size(); ++k) {
        impulses.push_back(boundary + (k + 1) * period + offsets[k]);
    }
    std::sort(impulses.begin(), impulses.end());
    return impulses;
}

TEST(Firmware, EachFrameCountsItsPeriod) {
    const Cycle after_frame = period + 1000 * microsecond;
    const std::vector<Load> loads{
        {"no impulses", {}, 3},
        {"Poisson at 0.3/s", poisson(0.3, 6, 1), 6},
        {"Poisson at 1/s", poisson(1, 6, 2), 6},
        {"Poisson at 5/s", poisson(5, 6, 3), 6},
        {"Poisson at 5/s, rising edges", poisson(5, 3, 4), 3, "lowrad-counter-rising.elf", pulse},
        {"a burst while a frame is sent",
         joined(evenly(after_frame, 1, 40'000 * microsecond, 1000), poisson(2, 3, 5)), 3},
        {"impulses at the periods' ends", straddling(9), 9},
        {"70,000 impulses in a period",
         joined(evenly(period, 1, period, 70'000), evenly(2 * period, 1, period, 3)), 3},
    };
    Figures seen;
    for (const Load &load : loads) {
        SCOPED_TRACE(load.name);
        Chip chip(std::string(FIRMWARE_DIR "/") + load.firmware);
        chip.inject(load.impulses);
        chip.run_until(load.periods * period + cpu_hz / 20);

        const std::vector<Frame> frames = frames_of(chip.sent);
        ASSERT_EQ(frames.size(), load.periods + 1U);
        EXPECT_LT(frames[0].start, cpu_hz / 1000);
        EXPECT_EQ(frames[0].count, 0U);
        std::vector<unsigned> counts(frames.size());
        std::transform(frames.begin(), frames.end(), counts.begin(),
                       [](const Frame &frame) { return frame.count; });
        EXPECT_EQ(counts, expected_counts(chip, frames));
        // Each frame a whole number of periods after the start frame: no drift.
        for (std::size_t k = 1; k < frames.size(); ++k) {
            const Cycle due = frames[0].start + k * period;
            seen.period_error =
                std::max(seen.period_error,
                         frames[k].start > due ? frames[k].start - due : due - frames[k].start);
        }
        // Each impulse started a handler of its own, and promptly.
        ASSERT_EQ(chip.int0_runs.size(), load.impulses.size());
        seen.lost += load.impulses.size() - chip.int0_runs.size();
        for (std::size_t i = 0; i < load.impulses.size(); ++i) {
            const Cycle edge = load.impulses[i] + load.edge_delay;
            ASSERT_GE(chip.int0_runs[i], edge);
            seen.latency = std::max(seen.latency, chip.int0_runs[i] - edge);
        }
    }
    // A frame is late by at most an INT0 handler that runs as its period ends.
    EXPECT_LE(seen.period_error, 5 * microsecond);
    EXPECT_LE(seen.latency, 20 * microsecond);
    std::printf("firmware: period error %llu cycles at most, INT0 latency %llu cycles at most, "
                "%zu impulses lost\n",
                static_cast<unsigned long long>(seen.period_error),
                static_cast<unsigned long long>(seen.latency), seen.lost);
}

// The chip's USART as a serial port on a pseudo-terminal. Opening the port
// resets the board (DTR through the auto-reset capacitor), so each time
// someone other than this process holds the port a fresh chip starts; its
// bytes are written only while the port is held, and what its last holder
// left unread is dropped at the close: a real port loses what arrives while it
// is closed, a pty would keep it for the next opener. The chip runs 20 times
// faster than real time, impulses_per_period of them evenly in each period.
class Bridge {
  public:
    Bridge(std::string elf, Cycle period_cycles)
        : elf_(std::move(elf)), period_(period_cycles), line_(open_raw_pty()) {
        if (line_.failed != nullptr) {
            throw std::runtime_error(line_.failed);
        }
        hold_ = open(line_.slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (hold_ < 0 || fstat(hold_, &terminal_) != 0) {
            throw std::runtime_error("cannot hold " + line_.slave);
        }
        thread_ = std::jthread([this](const std::stop_token &stop) { serve(stop); });
    }
    Bridge(const Bridge &) = delete;
    Bridge &operator=(const Bridge &) = delete;
    ~Bridge() {
        thread_.request_stop();
        thread_.join();
        close(hold_);
        close(line_.master);
    }

    [[nodiscard]] const std::string &path() const {
        return line_.slave;
    }
    // For the chips of the openings to come.
    void set_impulses_per_period(Cycle impulses) {
        impulses_per_period_ = impulses;
    }
    // Waits, a minute at most, until the port has been closed closes times.
    void await_closes(int closes) {
        std::unique_lock lock(mutex_);
        ASSERT_TRUE(changed_.wait_for(lock, std::chrono::minutes(1), [&] {
            return closes_ >= closes || !failure_.empty();
        })) << "the port is still open";
        ASSERT_EQ(failure_, "");
    }

  private:
    void serve(const std::stop_token &stop) {
        try {
            std::unique_ptr<Chip> chip;
            std::size_t written = 0;
            auto reset_at = std::chrono::steady_clock::now();
            while (!stop.stop_requested()) {
                const bool held = held_elsewhere(node_of(terminal_));
                if (held && !chip) {
                    chip = std::make_unique<Chip>(elf_);
                    chip->inject(evenly(0, 40, period_, impulses_per_period_));
                    reset_at = std::chrono::steady_clock::now();
                    written = 0;
                } else if (!held && chip) {
                    chip.reset();
                    tcflush(hold_, TCIFLUSH);
                    const std::lock_guard lock(mutex_);
                    ++closes_;
                    changed_.notify_all();
                }
                if (chip) {
                    const auto real = std::chrono::steady_clock::now() - reset_at;
                    chip->run_until(
                        speedup * microsecond *
                        static_cast<Cycle>(
                            std::chrono::duration_cast<std::chrono::microseconds>(real).count()));
                    for (; written < chip->sent.size(); ++written) {
                        const std::uint8_t byte = chip->sent[written].byte;
                        if (write(line_.master, &byte, 1) != 1) {
                            throw std::runtime_error("the port takes no more bytes");
                        }
                    }
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        } catch (const std::exception &error) {
            const std::lock_guard lock(mutex_);
            failure_ = error.what();
            changed_.notify_all();
        }
    }

    static constexpr Cycle speedup = 20;
    std::string elf_;
    Cycle period_;
    RawPty line_;
    int hold_ = -1;           // our own hold on the slave, to drop what is left unread
    struct stat terminal_ {}; // the slave's node
    std::atomic<Cycle> impulses_per_period_ = 0;
    std::mutex mutex_;
    std::condition_variable changed_;
    int closes_ = 0;
    std::string failure_;
    std::jthread thread_;
};

// A whole cycle with the conversion, lowrad against the firmware with a 1 s
// period: 5 impulses in each period of the background, 8 with the sample;
// then lowrad-assess on what lowrad wrote.
TEST(Firmware, WholeCycleThroughLowrad) {
    Bridge board(FIRMWARE_DIR "/lowrad-counter-1s.elf", cpu_hz);
    board.set_impulses_per_period(5);
    Session lowrad({"ttyS0=" + board.path()});
    lowrad.answer("0\nG\n");
    lowrad.await(sampleprompt);
    board.await_closes(1);
    board.set_impulses_per_period(8);
    lowrad.answer("G\ny\n0.5\n2\nn\n");
    const Outcome run = lowrad.finish();
    EXPECT_EQ(run.output, banner + bothruns("/dev/ttyS0") + results + convertquestion +
                              coefficientquestion + massquestion + activity + restartquestion +
                              "\n\n");
    EXPECT_EQ(run.status, 0);

    const std::string report = execute({ASSESS_PATH}, run.output).output;
    EXPECT_NE(report.find("Cycle 1: A contribution of the sample is recognised: the net rate "
                          "0.300 ±\n0.085 s⁻¹ is above the decision threshold 0.123 s⁻¹.\n"),
              std::string::npos)
        << report;
}

} // namespace

// simavr keeps the names of a chip's signals after the chip is gone; the
// sanitized build's leak check is no judge of simavr.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp,readability-identifier-naming)
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libsimavr.so\n";
}
