// The whole dialogue of lowrad, byte for byte, against the simulated counter.
#include "dialogue.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

class AnswersOtherThanAPort : public testing::TestWithParam<std::string> {};

TEST_P(AnswersOtherThanAPort, EndWithoutOpeningOne) {
    const std::string &answers = GetParam();
    Simulator sim(counter());
    const Outcome run = runlowrad({"ttyS0=" + sim.path()}, answers);
    EXPECT_EQ(run.output, banner) << "answers: " << answers;
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(loglines(sim.finish(), "open"), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Menu, AnswersOtherThanAPort,
                         testing::Values("Q\n", "q\n", "x\n", "4\n", "  Quit now\n", ""));

TEST(Cycle, FullCycleThenNo) {
    Simulator sim(counter());
    const Outcome run = runlowrad({"ttyS1=" + sim.path()}, "1\nG\ng\nn\nn\n");
    EXPECT_EQ(run.output, banner + fullcycle("/dev/ttyS1"));
    EXPECT_EQ(run.status, 0);
    const std::string log = sim.finish();
    EXPECT_EQ(loglines(log, "open"),
              (std::vector<std::string>{"open 1 background", "open 2 sample"}));
    EXPECT_EQ(loglines(log, "line"), (std::vector<std::string>{linesettings, linesettings}));
}

TEST(Cycle, SecondCycleStartsAfresh) {
    Simulator sim(counter());
    const Outcome run = runlowrad({"ttyS2=" + sim.path()}, "2\nG\nG\nn\nY\nG\nG\nn\nq\n");
    EXPECT_EQ(run.output, banner + fullcycle("/dev/ttyS2") + fullcycle("/dev/ttyS2"));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(loglines(sim.finish(), "open").size(), 4U);
}

// An answer is the whole word typed: its first character decides, and the
// rest of a long word never answers the next question. Separate words on one
// line still answer one question each. Each row shows what comes after the
// banner.
class Answers : public testing::TestWithParam<Answered> {};

TEST_P(Answers, AreWholeWords) {
    const auto &[answers, after] = GetParam();
    Simulator sim(counter());
    const Outcome run = runlowrad({"ttyS3=" + sim.path()}, answers);
    EXPECT_EQ(run.output, banner + after) << "answers: " << answers;
    EXPECT_EQ(run.status, 0);
}

const std::string background3 =
    backgroundprompt + opened("/dev/ttyS3") + waiting + progress(repeated({5}));
const std::string sample3 = sampleprompt + opened("/dev/ttyS3") + waiting +
                            progress(repeated({8})) + results + convertquestion + restartquestion +
                            "\n\n";

INSTANTIATE_TEST_SUITE_P(
    Cycle, Answers,
    testing::Values(
        Answered{"3abcdefghijkl\nG\nQ\n", background3 + sampleprompt}, // "3..." is ttyS3
        Answered{"3rd\nGo\nyes\n", background3 + sampleprompt},        // "yes" is no G
        Answered{"3\nGGG\nQ\n", background3 + sampleprompt}, // the rest of "GGG" starts no run
        Answered{"3\nG G\nn\nyes\nG\nQ\n", background3 + sample3 + background3 + sampleprompt}));

TEST(Cycle, SamplePromptAnswerOtherThanGEnds) {
    Simulator sim(counter());
    const Outcome run = runlowrad({"ttyS0=" + sim.path()}, "0\nG\nQ\n");
    EXPECT_EQ(run.output, banner + backgroundprompt + opened("/dev/ttyS0") + waiting +
                              progress(repeated({5})) + sampleprompt);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(loglines(sim.finish(), "open"), std::vector<std::string>{"open 1 background"});
}

TEST(Port, AbsentDeviceFailsToOpen) {
    const Outcome run = runlowrad({}, "2\nG\n");
    EXPECT_EQ(run.output, banner + backgroundprompt + notopened("/dev/ttyS2"));
    EXPECT_EQ(run.status, 0);
}

TEST(Port, DeviceThatIsNoTerminalFailsToOpen) {
    char name[] = "/tmp/lowrad-notatty-XXXXXX";
    const int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    const Outcome run = runlowrad({std::string("ttyS3=") + name}, "3\nG\n");
    unlink(name);
    EXPECT_EQ(run.output, banner + backgroundprompt + notopened("/dev/ttyS3"));
    EXPECT_EQ(run.status, 0);
}

TEST(Port, SilentCounterTimesOutInTheBackgroundRun) {
    Simulator sim(counter({"--silent-run", "1"}));
    const Outcome run = runlowrad({"ttyS0=" + sim.path()}, "0\nG\nG\n");
    EXPECT_EQ(run.output, banner + backgroundprompt + opened("/dev/ttyS0") + waiting + timedout);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(loglines(sim.finish(), "close").size(), 1U);
}

TEST(Port, SilentCounterTimesOutInTheSampleRun) {
    Simulator sim(counter({"--silent-run", "2"}));
    const Outcome run = runlowrad({"ttyS0=" + sim.path()}, "0\nG\nG\ny\n");
    EXPECT_EQ(run.output, banner + backgroundprompt + opened("/dev/ttyS0") + waiting +
                              progress(repeated({5})) + sampleprompt + opened("/dev/ttyS0") +
                              waiting + timedout);
    EXPECT_EQ(run.status, 0);
}

// However the line misbehaves, lowrad counts exactly the intact frames.
struct FaultyLine {
    std::vector<std::string> faults;
    std::vector<int> background; // accepted frames of the background run
};

void PrintTo(const FaultyLine &s, std::ostream *os) {
    for (const std::string &fault : s.faults) {
        *os << fault << ' ';
    }
}

class FaultyLines : public testing::TestWithParam<FaultyLine> {};

TEST_P(FaultyLines, CountOnlyIntactFrames) {
    const FaultyLine &s = GetParam();
    Simulator sim(counter(s.faults));
    const Outcome run = runlowrad({"ttyS0=" + sim.path()}, "0\nG\nQ\n");
    EXPECT_EQ(run.output, banner + backgroundprompt + opened("/dev/ttyS0") + waiting +
                              progress(s.background) + sampleprompt)
        << "faults: " << s.faults[0];
    EXPECT_EQ(run.status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FaultyLines,
    testing::Values(FaultyLine{{"--mid-frame", "--frames", "20"}, repeated({5})},
                    FaultyLine{{"--noise", "3"}, repeated({5})},
                    FaultyLine{{"--noise-first", "40"}, repeated({5})},
                    FaultyLine{
                        {"--background-counts", "1,2,300", "--damage", "3", "--frames", "28"},
                        repeated({1, 2})},
                    FaultyLine{{"--background-counts", "65535,0"}, repeated({65535, 0})}));

} // namespace
