// The whole dialogue of lowrad, byte for byte, against the simulated counter.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <numeric>

namespace {

const std::string banner =
    "\nLow level radioactivity net count rate processing - see 'man lowrad'\n"
    "To be used with serial data connection GM counter described on the web site\n\n"
    "0 - Select ttyS0\n1 - Select ttyS1\n2 - Select ttyS2\n3 - Select ttyS3\nQ - Abort\n\n"
    "Enter selection: ";
const std::string backgroundprompt =
    "\nPress 'G' + enter when ready to measure background, or 'Q' + enter to quit... ";
const std::string sampleprompt = "\nPress 'G' + enter when ready to measure background + "
                                 "sample, or 'Q' + enter to quit...  ";
const std::string waiting = "\n\nWaiting for data (12s time-out)...\n";
const std::string timedout = "\nReception timed-out !\n\n";
const std::string restartquestion = "Start a new measurement (y/n) ? ";
const std::string failed = "Com Port Opening Failed !\n";

// The settings lowrad leaves on the line, as the simulator reads them back:
// 1200 baud, 8 data bits, 2 stop bits, receiver on, modem lines ignored, and
// every other flag and control character zero.
const std::string linesettings = "line cflag=0x8f9 iflag=0x0 oflag=0x0 lflag=0x0 cc=00 00 00 00 00 "
                                 "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                                 "00 00 00 00 00 00";

std::string opened(const std::string &device) {
    return "Opening " + device + " ...\n\nPort opened successfully\n";
}

// The progress lines of a run whose accepted frames carried these counts; the
// first frame only starts reception.
std::string progress(const std::vector<int> &accepted) {
    std::string text = "\033[1AReception started !                      \n";
    int total = 0;
    for (size_t frame = 1; frame < accepted.size(); ++frame) {
        total += accepted[frame];
        char line[96];
        std::snprintf(line, sizeof line,
                      "\033[1ACounts over %zu seconds: %d.000000 counts        \n", frame * 10,
                      total);
        text += line;
    }
    return text;
}

std::vector<int> repeated(std::vector<int> pattern) {
    std::vector<int> frames;
    while (frames.size() < 19) {
        frames.push_back(pattern[frames.size() % pattern.size()]);
    }
    return frames;
}

// Background frames of 5 and sample frames of 8 impulses, on a fast period.
std::vector<std::string> counter(std::vector<std::string> faults = {}) {
    std::vector<std::string> options{"--period",        "0.02", "--background-counts", "5",
                                     "--sample-counts", "8"};
    options.insert(options.end(), faults.begin(), faults.end());
    return options;
}

std::string fullcycle(const std::string &device) {
    return backgroundprompt + opened(device) + waiting + progress(repeated({5})) + sampleprompt +
           opened(device) + waiting + progress(repeated({8})) + restartquestion + "\n\n";
}

TEST(Menu, AnswersOtherThanAPortEndWithoutOpeningOne) {
    for (const std::string answers : {"Q\n", "q\n", "x\n", "4\n", "  Quit now\n", ""}) {
        simulator sim(counter());
        const outcome run = runlowrad({"ttyS0=" + sim.path()}, answers);
        EXPECT_EQ(run.output, banner) << "answers: " << answers;
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(loglines(sim.finish(), "open"), std::vector<std::string>{});
    }
}

TEST(Cycle, FullCycleThenNo) {
    simulator sim(counter());
    const outcome run = runlowrad({"ttyS1=" + sim.path()}, "1\nG\ng\nn\n");
    EXPECT_EQ(run.output, banner + fullcycle("/dev/ttyS1"));
    EXPECT_EQ(run.status, 0);
    const std::string log = sim.finish();
    EXPECT_EQ(loglines(log, "open"),
              (std::vector<std::string>{"open 1 background", "open 2 sample"}));
    EXPECT_EQ(loglines(log, "line"), (std::vector<std::string>{linesettings, linesettings}));
}

TEST(Cycle, SecondCycleStartsAfresh) {
    simulator sim(counter());
    const outcome run = runlowrad({"ttyS2=" + sim.path()}, "2\nG\nG\nY\nG\nG\nq\n");
    EXPECT_EQ(run.output, banner + fullcycle("/dev/ttyS2") + fullcycle("/dev/ttyS2"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(loglines(sim.finish(), "open").size(), 4U);
}

// Only the first character of an answer counts, and what lies beyond the
// answer's width is the next answer.
TEST(Cycle, AnswersAreCutAtTheirWidth) {
    const std::string background =
        backgroundprompt + opened("/dev/ttyS3") + waiting + progress(repeated({5}));
    const std::string sample = sampleprompt + opened("/dev/ttyS3") + waiting +
                               progress(repeated({8})) + restartquestion + "\n\n";
    const std::vector<std::pair<std::string, std::string>> scenarios{
        {"3abcdefghijkl\n", backgroundprompt},         // "jk" answers the background prompt
        {"3rd\nGo\nyes\n", background + sampleprompt}, // "ye" is no G
        {"3\nGy\n", background + sampleprompt},        // nor is the "y" left over
        {"3\nGGG\nnever\n", background + sample},      // the left-over "G" is one
    };
    for (const auto &[answers, after] : scenarios) {
        simulator sim(counter());
        const outcome run = runlowrad({"ttyS3=" + sim.path()}, answers);
        EXPECT_EQ(run.output, banner + after) << "answers: " << answers;
        EXPECT_EQ(run.status, 0);
    }
}

TEST(Cycle, SamplePromptAnswerOtherThanGEnds) {
    simulator sim(counter());
    const outcome run = runlowrad({"ttyS0=" + sim.path()}, "0\nG\nQ\n");
    EXPECT_EQ(run.output, banner + backgroundprompt + opened("/dev/ttyS0") + waiting +
                              progress(repeated({5})) + sampleprompt);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(loglines(sim.finish(), "open"), std::vector<std::string>{"open 1 background"});
}

TEST(Port, AbsentDeviceFailsToOpen) {
    const outcome run = runlowrad({}, "2\nG\n");
    EXPECT_EQ(run.output, banner + backgroundprompt + "Opening /dev/ttyS2 ...\n\n" + failed);
    EXPECT_EQ(run.status, 0);
}

TEST(Port, DeviceThatIsNoTerminalFailsToOpen) {
    char name[] = "/tmp/lowrad-notatty-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    const outcome run = runlowrad({std::string("ttyS3=") + name}, "3\nG\n");
    unlink(name);
    EXPECT_EQ(run.output, banner + backgroundprompt + "Opening /dev/ttyS3 ...\n\n" + failed);
    EXPECT_EQ(run.status, 0);
}

TEST(Port, SilentCounterTimesOutInTheBackgroundRun) {
    simulator sim(counter({"--silent-run", "1"}));
    const outcome run = runlowrad({"ttyS0=" + sim.path()}, "0\nG\nG\n");
    EXPECT_EQ(run.output, banner + backgroundprompt + opened("/dev/ttyS0") + waiting + timedout);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(loglines(sim.finish(), "close").size(), 1U);
}

TEST(Port, SilentCounterTimesOutInTheSampleRun) {
    simulator sim(counter({"--silent-run", "2"}));
    const outcome run = runlowrad({"ttyS0=" + sim.path()}, "0\nG\nG\ny\n");
    EXPECT_EQ(run.output, banner + backgroundprompt + opened("/dev/ttyS0") + waiting +
                              progress(repeated({5})) + sampleprompt + opened("/dev/ttyS0") +
                              waiting + timedout);
    EXPECT_EQ(run.status, 0);
}

// However the line misbehaves, lowrad counts exactly the intact frames.
TEST(Frames, FaultyLinesCountOnlyIntactFrames) {
    struct scenario {
        std::vector<std::string> faults;
        std::vector<int> background; // accepted frames of the background run
    };
    const std::vector<scenario> scenarios{
        {{"--mid-frame"}, repeated({5})},
        {{"--noise", "3"}, repeated({5})},
        {{"--noise-first", "40"}, repeated({5})},
        {{"--background-counts", "1,2,300", "--damage", "3"}, repeated({1, 2})},
        {{"--background-counts", "65535,0"}, repeated({65535, 0})},
    };
    for (const scenario &s : scenarios) {
        simulator sim(counter(s.faults));
        const outcome run = runlowrad({"ttyS0=" + sim.path()}, "0\nG\nQ\n");
        EXPECT_EQ(run.output, banner + backgroundprompt + opened("/dev/ttyS0") + waiting +
                                  progress(s.background) + sampleprompt)
            << "faults: " << s.faults[0];
        EXPECT_EQ(run.status, 0);
    }
}

} // namespace
