// Results, verdicts and the conversion into Bq/kg, through the real lowrad.
#include "dialogue.h"
#include "harness.h"

#include <gtest/gtest.h>

namespace {

Outcome cycle(const std::vector<std::string> &counts, const std::string &answers) {
    Simulator sim(counter(counts));
    return runlowrad({"ttyS0=" + sim.path()}, "0\nG\nG\n" + answers);
}

TEST(Conversion, ActivityFromCoefficientAndMass) {
    const Outcome run = cycle({}, "y\n0.5\n2\nn\n");
    EXPECT_EQ(run.output, banner + bothruns("/dev/ttyS0") + results + convertquestion +
                              coefficientquestion + massquestion + activity + restartquestion +
                              "\n\n");
    EXPECT_EQ(run.status, 0);
}

TEST(Conversion, CoefficientIsKeptForTheNextCycle) {
    Simulator sim(counter());
    const Outcome run =
        runlowrad({"ttyS0=" + sim.path()}, "0\nG\nG\ny\n0.5\n2\ny\nG\nG\nY\n1\nn\n");
    const std::string first = bothruns("/dev/ttyS0") + results + convertquestion +
                              coefficientquestion + massquestion + activity + restartquestion +
                              "\n\n";
    const std::string second = bothruns("/dev/ttyS0") + results + convertquestion +
                               coefficientknown("0.500000") + massquestion +
                               activitylevel("0.600000") + restartquestion + "\n\n";
    EXPECT_EQ(run.output, banner + first + second);
    EXPECT_EQ(run.status, 0);
}

// Answers that are no usable number are asked again, and so is a word that
// is a number only in part: cut at ten characters, with a decimal comma, a
// unit or a NUL. A negative coefficient is a coefficient all the same.
TEST(Conversion, UnusableNumbersAreAskedAgain) {
    const std::string nul(1, '\0');
    const Outcome run = cycle({}, "y\nabc 0 nan -inf 1e99 0,05 0.000123456 2kg -2\n0 -1 x NAN 1,5 "
                                  "0.5.1 " +
                                      nul + " 20e-1\nn\n");
    std::string expected = banner + bothruns("/dev/ttyS0") + results + convertquestion;
    for (int asked = 0; asked < 9; ++asked) {
        expected += coefficientquestion;
    }
    for (int asked = 0; asked < 8; ++asked) {
        expected += massquestion;
    }
    expected += activitylevel("-0.075000") + restartquestion + "\n\n";
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(run.status, 0);
}

TEST(Conversion, EndOfInputAtANumberEndsTheProgram) {
    const std::string asked = banner + bothruns("/dev/ttyS0") + results + convertquestion;
    const std::vector<std::pair<std::string, std::string>> scenarios{
        {"y\n", asked + coefficientquestion},
        {"y\nx\n", asked + coefficientquestion + coefficientquestion},
        {"y\n1\n", asked + coefficientquestion + massquestion},
        {"y\n1\n0\n", asked + coefficientquestion + massquestion + massquestion},
    };
    for (const auto &[answers, shown] : scenarios) {
        const Outcome run = cycle({}, answers);
        EXPECT_EQ(run.output, shown) << "answers: " << answers;
        EXPECT_EQ(run.status, 0);
    }
}

TEST(Conversion, OnlySignificantResultsAreConverted) {
    struct Scenario {
        std::vector<std::string> counts;
        std::string results;
        std::string verdict;
    };
    const std::vector<Scenario> scenarios{
        {{"--sample-counts", "5"},
         finalresults("90.000000 counts over 3 minutes = 30.000000 cpm",
                      "90.000000 counts over 3 minutes = 30.000000 cpm",
                      "0.000000 cpm = 0.000000 cps"),
         shields},
        {{"--sample-counts", "4"},
         finalresults("90.000000 counts over 3 minutes = 30.000000 cpm",
                      "72.000000 counts over 3 minutes = 24.000000 cpm",
                      "-6.000000 cpm = -0.100000 cps"),
         shields},
        {{"--background-counts", "100", "--sample-counts", "101"},
         finalresults("1800.000000 counts over 3 minutes = 600.000000 cpm",
                      "1818.000000 counts over 3 minutes = 606.000000 cpm",
                      "6.000000 cpm = 0.100000 cps"),
         notsignificant},
    };
    for (const Scenario &s : scenarios) {
        // The "y" that would accept a conversion answers the restart question.
        const Outcome run = cycle(s.counts, "y\nQ\n");
        const std::string expected =
            s.results + s.verdict + restartquestion + "\n\n" + backgroundprompt;
        ASSERT_TRUE(run.output.ends_with(expected)) << run.output;
        EXPECT_EQ(run.status, 0);
    }
}

} // namespace
