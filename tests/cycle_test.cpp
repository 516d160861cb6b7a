// The whole dialogue of lowrad, byte for byte, against the simulated counter.
#include "dialogue.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

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
    const outcome run = runlowrad({"ttyS1=" + sim.path()}, "1\nG\ng\nn\nn\n");
    EXPECT_EQ(run.output, banner + fullcycle("/dev/ttyS1"));
    EXPECT_EQ(run.status, 0);
    const std::string log = sim.finish();
    EXPECT_EQ(loglines(log, "open"),
              (std::vector<std::string>{"open 1 background", "open 2 sample"}));
    EXPECT_EQ(loglines(log, "line"), (std::vector<std::string>{linesettings, linesettings}));
}

TEST(Cycle, SecondCycleStartsAfresh) {
    simulator sim(counter());
    const outcome run = runlowrad({"ttyS2=" + sim.path()}, "2\nG\nG\nn\nY\nG\nG\nn\nq\n");
    EXPECT_EQ(run.output, banner + fullcycle("/dev/ttyS2") + fullcycle("/dev/ttyS2"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(loglines(sim.finish(), "open").size(), 4U);
}

// An answer is the whole word typed: its first character decides, and the
// rest of a long word never answers the next question. Separate words on one
// line still answer one question each.
TEST(Cycle, AnswersAreWholeWords) {
    const std::string background =
        backgroundprompt + opened("/dev/ttyS3") + waiting + progress(repeated({5}));
    const std::string sample = sampleprompt + opened("/dev/ttyS3") + waiting +
                               progress(repeated({8})) + results + convertquestion +
                               restartquestion + "\n\n";
    const std::vector<std::pair<std::string, std::string>> scenarios{
        {"3abcdefghijkl\nG\nQ\n", background + sampleprompt}, // "3..." is ttyS3
        {"3rd\nGo\nyes\n", background + sampleprompt},        // "yes" is no G
        {"3\nGGG\nQ\n", background + sampleprompt},           // the rest of "GGG" starts no run
        {"3\nG G\nn\nyes\nG\nQ\n", background + sample + background + sampleprompt},
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
    EXPECT_EQ(run.output, banner + backgroundprompt + notopened("/dev/ttyS2"));
    EXPECT_EQ(run.status, 0);
}

TEST(Port, DeviceThatIsNoTerminalFailsToOpen) {
    char name[] = "/tmp/lowrad-notatty-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    const outcome run = runlowrad({std::string("ttyS3=") + name}, "3\nG\n");
    unlink(name);
    EXPECT_EQ(run.output, banner + backgroundprompt + notopened("/dev/ttyS3"));
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
        {{"--mid-frame", "--frames", "20"}, repeated({5})},
        {{"--noise", "3"}, repeated({5})},
        {{"--noise-first", "40"}, repeated({5})},
        {{"--background-counts", "1,2,300", "--damage", "3", "--frames", "28"}, repeated({1, 2})},
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
