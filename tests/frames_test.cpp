// The frame recogniser and its accounting, fed byte by byte through a pipe.
#include "console/state.h"
#include "link/frames.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

struct Acceptance {
    size_t byte;  // 1-based position of the byte that completed the frame
    float counts; // the frame's impulses
};

class Receiver : public testing::Test {
  protected:
    void SetUp() override {
        clearstate();
        ASSERT_EQ(pipe2(ends, O_NONBLOCK), 0);
        st.fd = ends[0];
    }
    void TearDown() override {
        close(ends[0]);
        close(ends[1]);
    }

    // Feeds the stream one byte per poll; every frame is counted, as after
    // the start of a run.
    std::vector<Acceptance> feed(const std::vector<unsigned char> &stream) {
        st.nacq = 1;
        std::vector<Acceptance> accepted;
        testing::internal::CaptureStdout();
        for (size_t i = 0; i < stream.size(); ++i) {
            const float before = st.cps;
            const int frames = st.nacq;
            EXPECT_EQ(write(ends[1], &stream[i], 1), 1);
            receive();
            if (st.nacq != frames) {
                accepted.push_back({i + 1, st.cps - before});
            }
        }
        testing::internal::GetCapturedStdout();
        return accepted;
    }

    int ends[2] = {-1, -1};
};

bool operator==(const Acceptance &a, const Acceptance &b) {
    return a.byte == b.byte && a.counts == b.counts;
}

void PrintTo(const Acceptance &a, std::ostream *out) {
    *out << a.counts << " at byte " << a.byte;
}

TEST_F(Receiver, AcceptsExactlyTheIntactFrames) {
    struct Scenario {
        const char *what;
        std::vector<unsigned char> stream;
        std::vector<Acceptance> accepted;
    };
    const std::vector<Scenario> scenarios{
        {"one frame", {0xFF, 0x07, 0x00, 0x06}, {{4, 7}}},
        {"count above 255", {0xFF, 0x2C, 0x01, 0x2C}, {{4, 300}}},
        {"largest count", {0xFF, 0xFF, 0xFF, 0xFD}, {{4, 65535}}},
        {"starts inside a frame", {0x07, 0x00, 0x06, 0xFF, 0x07, 0x00, 0x06}, {{7, 7}}},
        {"bad checksum", {0xFF, 0x07, 0x00, 0x09, 0xFF, 0x07, 0x00, 0x06}, {{8, 7}}},
        {"bad header", {0xFE, 0x07, 0x00, 0x05, 0xFF, 0x07, 0x00, 0x06}, {{8, 7}}},
        {"frames in step",
         {0xFF, 5, 0, 4, 0xFF, 2, 0, 1, 0xFF, 7, 0, 6, 0xFF, 3, 1, 3, 0xFF, 3, 0, 2},
         {{4, 5}, {8, 2}, {12, 7}, {16, 259}, {20, 3}}},
        // In step, a frame's count bytes are never taken for a header, even
        // when they hold FF.
        {"FF inside a frame", {0xFF, 0xFF, 0x00, 0xFE, 0xFF, 0x01, 0x00, 0x00}, {{4, 255}, {8, 1}}},
        {"noise never forms a frame", {0x00, 0x13, 0xFF, 0x11, 0x0D, 0x0A, 0xFE, 0x7F}, {}},
        {"noise, then a frame", {0x42, 0xFF, 0x17, 0xFF, 0x07, 0x00, 0x06}, {{7, 7}}},
    };
    for (const Scenario &s : scenarios) {
        clearstate();
        st.fd = ends[0];
        EXPECT_EQ(feed(s.stream), s.accepted) << s.what;
    }
}

TEST_F(Receiver, EveryByteEndsTheSilenceAndNoByteKeepsIt) {
    st.timout = 500;
    receive();
    EXPECT_EQ(st.timout, 500U);
    feed({0x55});
    EXPECT_EQ(st.timout, 0U);
}

TEST_F(Receiver, RunOfFramesShowsItsProgress) {
    std::vector<unsigned char> stream;
    for (int frame = 0; frame < 19; ++frame) {
        stream.insert(stream.end(), {0xFF, 0x05, 0x00, 0x04});
    }
    testing::internal::CaptureStdout();
    for (unsigned char byte : stream) {
        ASSERT_EQ(write(ends[1], &byte, 1), 1);
        receive();
    }
    const std::string shown = testing::internal::GetCapturedStdout();

    std::string expected = "\033[1AReception started !                      \n";
    for (int seconds = 10; seconds <= 180; seconds += 10) {
        expected += "\033[1ACounts over " + std::to_string(seconds) +
                    " seconds: " + std::to_string(seconds / 2) + ".000000 counts        \n";
    }
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(st.nacq, 19);
    EXPECT_EQ(st.cps, 90.0F);
}

} // namespace
