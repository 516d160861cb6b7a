// Any byte stream, fed one byte per poll through a pipe, must give frames
// exactly where a plain model of the rule puts them, counted as the model
// counts them, and every byte must end the silence.
#include "console/state.h"
#include "link/frames.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t longest = 4096; // fits in a pipe at once

struct Frame {
    size_t last; // index of the frame's checksum byte
    unsigned count;
};

// The rule, written plainly: a frame is the first window FF a b c with
// c = (FF + a + b) mod 256; after a frame the search goes on right behind it.
std::vector<Frame> model(const uint8_t *bytes, size_t size) {
    std::vector<Frame> frames;
    size_t at = 0;
    while (at + 4 <= size) {
        const unsigned header = bytes[at];
        const unsigned low = bytes[at + 1];
        const unsigned high = bytes[at + 2];
        const unsigned checksum = bytes[at + 3];
        if (header == 0xFF && checksum == (header + low + high) % 256) {
            frames.push_back({at + 3, high * 256 + low});
            at += 4;
        } else {
            ++at;
        }
    }
    return frames;
}

[[noreturn]] void finding(const char *what, size_t at) {
    std::fprintf(stderr, "frames_fuzz: %s at byte %zu\n", what, at);
    std::abort();
}

// One poll of the receiver, on byte index at; returns whether it accepted a frame.
bool take_byte(size_t at) {
    const int32_t before = st.nacq;
    st.timout = 1;
    receive();
    if (st.timout != 0) {
        finding("a byte that did not end the silence", at);
    }
    if (st.noct < 0 || st.noct > 3) {
        finding("a position outside the frame", at);
    }
    if (st.nacq != before && st.nacq != before + 1) {
        finding("more than one frame in one poll", at);
    }
    return st.nacq != before;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    // The progress lines are of no interest here.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > longest) {
        return 0;
    }
    int ends[2];
    if (pipe2(ends, O_NONBLOCK) != 0 ||
        (size > 0 && write(ends[1], data, size) != static_cast<ssize_t>(size))) {
        std::abort();
    }
    clearstate();
    st.fd = ends[0];
    const std::vector<Frame> expected = model(data, size);
    size_t next = 0;
    float impulses = 0;
    for (size_t at = 0; at < size; ++at) {
        const bool due = next < expected.size() && expected[next].last == at;
        if (take_byte(at) != due) {
            finding(due ? "a frame missed" : "a frame the rule does not make", at);
        }
        if (!due) {
            continue;
        }
        // The run's first frame only starts reception.
        if (next > 0) {
            impulses += static_cast<float>(expected[next].count);
        }
        if (st.cps != impulses) {
            finding("a wrong total", at);
        }
        ++next;
    }
    // With nothing left on the line a poll changes nothing.
    st.timout = 1;
    receive();
    if (st.timout != 1 || st.nacq != static_cast<int32_t>(next) || st.cps != impulses) {
        finding("a poll without a byte that changed the run", size);
    }
    close(ends[0]);
    close(ends[1]);
    return 0;
}
