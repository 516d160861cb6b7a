#include "sim/counter.h"

#include "sim/fail.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {

std::array<std::uint8_t, 4> frame(unsigned count, bool damaged) {
    const auto low = static_cast<std::uint8_t>(count & 0xFF);
    const auto high = static_cast<std::uint8_t>(count >> 8);
    const auto checksum = static_cast<std::uint8_t>(0xFF + low + high + (damaged ? 1 : 0));
    return {0xFF, low, high, checksum};
}

} // namespace

Counter::Counter(const Options &options, int line)
    : options_(options), line_(line),
      random_(options.seed ? *options.seed : std::random_device{}()),
      background_(options.background_cpm / 6), sample_(options.sample_cpm / 6) {}

void Counter::start_run() {
    ++run_;
    running_ = true;
    opened_ = Clock::now();
    scheduled_ = frames_ = damaged_ = 0;
    impulses_ = 0;
    if (!silent() && options_.noise_first != 0) {
        transmit(noise(options_.noise_first));
    }
}

void Counter::end_run() {
    running_ = false;
}

bool Counter::runs_done() const {
    return options_.runs != 0 && run_ - (running_ ? 1 : 0) >= options_.runs;
}

// Frames are due at whole periods from the open, so late wake-ups do not add up.
std::optional<Clock::time_point> Counter::next_frame() const {
    if (!running_ || silent() || hung_up_ ||
        (options_.frames != 0 && scheduled_ >= options_.frames)) {
        return std::nullopt;
    }
    const std::chrono::duration<double> offset(options_.period * (scheduled_ + 1));
    return opened_ + std::chrono::duration_cast<Clock::duration>(offset);
}

// The hang-up comes when the next frame would, so that the last one has time to be read.
void Counter::send_due_frames() {
    for (auto due = next_frame(); due && *due <= Clock::now(); due = next_frame()) {
        if (options_.hangup_after != 0 && frames_ >= options_.hangup_after) {
            hung_up_ = true;
        } else {
            send_frame();
        }
    }
}

void Counter::report(const char *what) const {
    std::printf("%s %u: %u frames", what, run_, frames_);
    if (damaged_ != 0) {
        std::printf(" (%u damaged)", damaged_);
    }
    std::printf(", %lu impulses\n", impulses_);
}

bool Counter::silent() const {
    return run_ == options_.silent_run;
}

unsigned Counter::draw_count() {
    const auto &list = with_sample() ? options_.sample_counts : options_.background_counts;
    if (!list.empty()) {
        return list[scheduled_ % list.size()];
    }
    auto &rate = with_sample() ? sample_ : background_;
    return static_cast<unsigned>(std::min<long long>(rate(random_), max_count));
}

// 0xFF is left out so that noise alone never looks like the start of a frame.
Counter::Bytes Counter::noise(unsigned length) {
    std::uniform_int_distribution<int> noise_byte(0, 0xFE);
    Bytes bytes(length);
    std::generate(bytes.begin(), bytes.end(),
                  [&] { return static_cast<std::uint8_t>(noise_byte(random_)); });
    return bytes;
}

void Counter::send_frame() {
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
bool Counter::transmit(const Bytes &bytes) const {
    const ssize_t written = write(line_, bytes.data(), bytes.size());
    if (written < 0 && errno != EAGAIN) {
        fail("write");
    }
    return written == static_cast<ssize_t>(bytes.size());
}
