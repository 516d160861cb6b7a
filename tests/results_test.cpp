// The evaluation of a cycle's totals, where the arithmetic is delicate.
#include "console/results.h"
#include "console/state.h"
#include "dialogue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

// Evaluates the totals with answers waiting on standard input, and returns
// what was shown.
std::string evaluated(float background, float total, const std::string &answers) {
    // CTest runs each test in a process of its own, several at once.
    const std::string path = testing::TempDir() + "lowrad-answers-" + std::to_string(getpid());
    std::ofstream(path) << answers;
    EXPECT_NE(std::freopen(path.c_str(), "r", stdin), nullptr);
    clearstate();
    st.backcps = background;
    st.totcps = total;
    testing::internal::CaptureStdout();
    evaluate();
    return testing::internal::GetCapturedStdout();
}

TEST(Evaluation, VerdictsAndFigures) {
    struct Scenario {
        float background, total;
        std::string shown;
    };
    const std::vector<Scenario> scenarios{
        {540, 900,
         finalresults("540.000000 counts over 3 minutes = 180.000000 cpm",
                      "900.000000 counts over 3 minutes = 300.000000 cpm",
                      "120.000000 cpm = 2.000000 cps") +
             convertquestion},
        // 0.3 held in single precision, times 60 in double precision.
        {90, 144,
         finalresults("90.000000 counts over 3 minutes = 30.000000 cpm",
                      "144.000000 counts over 3 minutes = 48.000000 cpm",
                      "18.000001 cpm = 0.300000 cps") +
             convertquestion},
        {600, 600,
         finalresults("600.000000 counts over 3 minutes = 200.000000 cpm",
                      "600.000000 counts over 3 minutes = 200.000000 cpm",
                      "0.000000 cpm = 0.000000 cps") +
             shields},
        {610, 600,
         finalresults("610.000000 counts over 3 minutes = 203.333333 cpm",
                      "600.000000 counts over 3 minutes = 200.000000 cpm",
                      "-3.333333 cpm = -0.055556 cps") +
             shields},
        {0, 1,
         finalresults("0.000000 counts over 3 minutes = 0.000000 cpm",
                      "1.000000 counts over 3 minutes = 0.333333 cpm",
                      "0.333333 cpm = 0.005556 cps") +
             convertquestion},
        {600, 610,
         finalresults("600.000000 counts over 3 minutes = 200.000000 cpm",
                      "610.000000 counts over 3 minutes = 203.333333 cpm",
                      "3.333333 cpm = 0.055556 cps") +
             notsignificant},
        // Net 198 of 10000 is the threshold itself: significant; 197 is below.
        {9802, 10000,
         finalresults("9802.000000 counts over 3 minutes = 3267.333333 cpm",
                      "10000.000000 counts over 3 minutes = 3333.333333 cpm",
                      "66.000001 cpm = 1.100000 cps") +
             convertquestion},
        {9803, 10000,
         finalresults("9803.000000 counts over 3 minutes = 3267.666667 cpm",
                      "10000.000000 counts over 3 minutes = 3333.333333 cpm",
                      "65.666664 cpm = 1.094444 cps") +
             notsignificant},
        // The ratio is taken in double precision: 1.65 held in single
        // precision is a hair below it, so 297 of 15000 falls short, where a
        // single-precision ratio would round up onto the threshold.
        {14703, 15000,
         finalresults("14703.000000 counts over 3 minutes = 4901.000000 cpm",
                      "15000.000000 counts over 3 minutes = 5000.000000 cpm",
                      "98.999999 cpm = 1.650000 cps") +
             notsignificant},
    };
    for (const Scenario &s : scenarios) {
        EXPECT_EQ(evaluated(s.background, s.total, "n\n"), s.shown)
            << s.background << " and " << s.total;
    }
}

TEST(Evaluation, ActivityFromCoefficientAndMass) {
    const std::string shown = evaluated(540, 900, "y\n0.5\n2\n");
    EXPECT_TRUE(shown.ends_with(convertquestion + coefficientquestion + massquestion +
                                activitylevel("2.000000")))
        << shown;
    EXPECT_EQ(st.coeff, 0.5F);
    EXPECT_EQ(st.mass, 2.0F);
}

} // namespace
