// Any standard input, against counters whose runs come from the same input,
// must end the dialogue without a crash, without a hang and without reading
// or writing past st.reply (AddressSanitizer watches the record's bounds).
//
// The input starts with six bytes that make the counter: the impulses per
// frame of background runs (2 bytes, low first) and of sample runs (2 bytes),
// the number of the opening that fails (0: none) and of the run that falls
// silent one frame early (0: none). The rest is standard input. No device is
// ever opened: the port is a pipe holding the run's frames.
#include "console/cycle.h"
#include "console/dialog.h"
#include "console/state.h"
#include "link/port.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t counter_size = 6;
constexpr unsigned frames_per_run = 19;

struct Counter {
    unsigned background;
    unsigned sample;
    unsigned failing;
    unsigned short_;
    unsigned openings;
};
Counter line{};

struct Ended {}; // the program has left

void send(int fd, unsigned count) {
    const auto low = static_cast<unsigned char>(count & 0xFF);
    const auto high = static_cast<unsigned char>(count >> 8);
    const unsigned char frame[4] = {0xFF, low, high, static_cast<unsigned char>(0xFF + low + high)};
    if (write(fd, frame, sizeof frame) != sizeof frame) {
        std::abort();
    }
}

} // namespace

// The program's way out would end the fuzzer too.
void leave() {
    throw Ended{};
}

// The whole run waits in a pipe whose writer has gone, so that a short run
// reads end of file until it times out.
void opcom() {
    ++line.openings;
    if (line.openings == line.failing) {
        st.fd = -1;
        return;
    }
    int ends[2];
    if (pipe2(ends, O_NONBLOCK) != 0) {
        std::abort();
    }
    const unsigned count = line.openings % 2 == 1 ? line.background : line.sample;
    const unsigned frames = line.openings == line.short_ ? frames_per_run - 1 : frames_per_run;
    for (unsigned frame = 0; frame < frames; ++frame) {
        send(ends[1], count);
    }
    close(ends[1]);
    st.fd = ends[0];
}

// The pipe holds the run already; waiting for the next poll's tick would only
// slow the fuzzer down. The name is the one the linker's --wrap gives.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __wrap_clock_nanosleep(clockid_t /*clock*/, int /*flags*/,
                                      const timespec * /*deadline*/, timespec * /*left*/) {
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < counter_size) {
        return 0;
    }
    line = {data[0] + 256U * data[1], data[2] + 256U * data[3], data[4], data[5], 0};
    // A buffer of its own, as fmemopen takes no const one; never empty.
    std::vector<char> answers(data + counter_size, data + size);
    answers.push_back('\0');
    FILE *input = fmemopen(answers.data(), size - counter_size, "r");
    if (input == nullptr) {
        std::abort();
    }
    FILE *const terminal = stdin;
    stdin = input;
    clearstate();
    try {
        measure();
    } catch (const Ended &) {
    }
    stdin = terminal;
    std::fclose(input);
    if (std::memchr(st.reply, '\0', sizeof st.reply) == nullptr) {
        std::fprintf(stderr, "dialogue_fuzz: an answer without its end\n");
        std::abort();
    }
    return 0;
}
