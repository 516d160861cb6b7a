// lowrad-assess: its limits against the sources' figures, and its reading of
// transcripts that the real lowrad wrote through the harness.
#include "assess/assessment.h"
#include "assess/report.h"
#include "dialogue.h"
#include "harness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <regex>
#include <sstream>

namespace {

using nlohmann::json;

constexpr double t = 180;
const double none = std::nan("");

struct LimitRow {
    const char *name;
    long background;
    long total;
    assess::Probabilities chosen;
    double w; // 0: the net rate, else the activity with this calibration factor
    double w_relative_uncertainty;
    double threshold;
    double detection_limit; // NaN where none exists
    double tolerance;
};

// Currie's paired-blank limits in counts, at alpha = beta = 0.05, to their
// printed digits: L_C = 2.33 sqrt(B), L_D = 2.71 + 4.65 sqrt(B).
LimitRow currie(long background) {
    const double root = std::sqrt(static_cast<double>(background));
    return {"Currie",
            background,
            background,
            {},
            0,
            0,
            2.33 * root / t,
            (2.71 + 4.65 * root) / t,
            (0.005 + 0.005 * root) / t};
}

const double w = 1 / (0.0055 * 0.5);

const std::vector<LimitRow> limit_rows{
    {"worked check", 90, 144, {}, 0, 0, 0.1226, 0.2602, 0.00005},
    {"near zero", 90, 80, {}, 0, 0, 0.1226, 0.2602, 0.00005},
    {"nothing counted", 0, 0, {}, 0, 0, 0, 1.6449 * 1.6449 / t, 0.00005},
    {"far above zero",
     100,
     3000,
     {},
     0,
     0,
     1.6449 * std::sqrt(200) / t,
     (2 * 1.6449 * std::sqrt(200) + 1.6449 * 1.6449) / t,
     0.0001},
    // R# = R* + k(0.9) u~(R#) by fixed-point iteration, independently.
    {"alpha 0.01, beta 0.1", 90, 144, {0.01, 0.1, 0.9}, 0, 0, 0.17340, 0.28153, 0.00001},
    // A* = w R*; for alpha = beta, A# = (2A* + k^2 w/t)/(1 - k^2 u_rel^2).
    {"activity", 90, 144, {}, w, 0, 0.1226 * w, 0.2602 * w, 0.00005 * w},
    {"activity, u_rel 0.2", 90, 144, {}, w, 0.2, 44.582, 106.113, 0.001},
    {"activity below zero", 90, 70, {}, w, 0.2, 44.582, 106.113, 0.001},
    {"activity, k u_rel >= 1", 90, 144, {}, w, 1 / 1.6448, 44.582, none, 0.001},
    currie(10),
    currie(100),
    currie(1000),
    currie(100000),
};

void PrintTo(const LimitRow &row, std::ostream *out) {
    *out << row.name << " B=" << row.background << " G=" << row.total;
}

class Limits : public testing::TestWithParam<LimitRow> {};

TEST_P(Limits, MeetTheirDefinitions) {
    const LimitRow &row = GetParam();
    const auto b = static_cast<double>(row.background);
    const auto g = static_cast<double>(row.total);
    const double scale = row.w == 0 ? 1 : row.w;
    const double y = scale * (g - b) / t;
    const double u = std::sqrt(scale * scale * (g + b) / (t * t) +
                               y * y * row.w_relative_uncertainty * row.w_relative_uncertainty);
    const assess::UncertaintyModel model =
        row.w == 0 ? assess::rate_model(b, t)
                   : assess::activity_model(b, t, row.w, row.w_relative_uncertainty);
    const assess::Limits limits = assess::characteristic_limits(y, u, model, row.chosen);

    EXPECT_NEAR(limits.decision_threshold, row.threshold, row.tolerance);
    EXPECT_EQ(limits.recognised, y > limits.decision_threshold);
    ASSERT_EQ(limits.detection_limit.has_value(), !std::isnan(row.detection_limit));
    if (limits.detection_limit) {
        const double limit = *limits.detection_limit;
        EXPECT_NEAR(limit, row.detection_limit, row.tolerance);
        const double u_tilde = std::sqrt(model.q0 + model.q1 * limit + model.q2 * limit * limit);
        EXPECT_NEAR(limit,
                    limits.decision_threshold + assess::quantile(1 - row.chosen.beta) * u_tilde,
                    1e-12 * scale);
    }
    // In the physical region, whatever the result.
    ASSERT_TRUE(limits.best_estimate.has_value());
    EXPECT_GE(*limits.best_estimate, std::max(y, 0.0));
    EXPECT_GE(limits.coverage_low, 0);
    EXPECT_LE(limits.coverage_low, *limits.best_estimate);
    EXPECT_LE(*limits.best_estimate, limits.coverage_high);
    EXPECT_LE(limits.best_estimate_uncertainty, u);
    if (y > 10 * u) { // far from zero, the plain y +- k(1 - gamma/2) u
        const double k = assess::quantile(1 - (1 - row.chosen.coverage) / 2);
        EXPECT_NEAR(limits.coverage_low, y - k * u, 1e-9 * u);
        EXPECT_NEAR(limits.coverage_high, y + k * u, 1e-9 * u);
        EXPECT_NEAR(*limits.best_estimate, y, 1e-9 * u);
    }
}

// Test names of letters, digits and underscores.
std::string test_name(size_t index, std::string name) {
    std::replace_if(
        name.begin(), name.end(), [](char c) { return std::isalnum(c) == 0; }, '_');
    return name + "_" + std::to_string(index);
}

INSTANTIATE_TEST_SUITE_P(Rows, Limits, testing::ValuesIn(limit_rows),
                         [](const auto &info) { return test_name(info.index, info.param.name); });

// The tube's coefficient from a reference ---------------------------------

// Worked with Python's math module, not with this code:
// A(KCl) = ln 2 / (1.248e9 * 365.25 * 86400 s) * 1.17e-4 * 6.02214076e23/mol
//          * 1000 g/kg / (39.0983 + 35.4515) g/mol = 16634.02 Bq/kg,
// u_rel(A) = hypot(0.003/1.248, 1/117, hypot(0.0001, 0.0055/sqrt 3)/74.5498)
//          = 0.008879.
constexpr double kcl_activity = 16634.02;
constexpr double kcl_uncertainty = 0.008879;

struct CalibrationRow {
    const char *name;
    long background;
    long total;
    assess::Calibrating calibrating;
    double coefficient; // NaN where refused
    double relative_uncertainty;
    long more_cycles; // -1 for none
};

// R = (G - B)/180 s, u(R) = sqrt(G + B)/180 s, c = R/(A m),
// u_rel(c) = hypot(u(R)/R, u_rel(A), u_rel(m)); more cycles: the whole part
// of (u(R)/R / 0.1)^2. The decision threshold at B = 90 is
// 1.6449 sqrt(180)/180 s = 0.1226 s^-1, between 22 and 23 net impulses.
const std::vector<CalibrationRow> calibration_rows{
    // 310/180 = 1.72222 s^-1; u(R)/R = sqrt(490)/310 = 0.071406.
    {"KCl, 0.5 kg", 90, 400, {{kcl_activity, kcl_uncertainty}, 0.5, 0}, 2.070723e-4, 0.071956, 0},
    // 23 net impulses; u(R)/R = sqrt(203)/23 = 0.61947, 38.37 -> 38.
    {"just above the threshold",
     90,
     113,
     {{kcl_activity, kcl_uncertainty}, 0.5, 0},
     1.536343e-5,
     0.619533,
     38},
    // R = R* = 0: not above it, and no number of cycles helps.
    {"at the threshold", 0, 0, {{kcl_activity, kcl_uncertainty}, 0.5, 0}, none, 0, -1},
    // 15 net impulses; u(R)/R = sqrt(195)/15 = 0.93095, 86.67 -> 86.
    {"below the threshold", 90, 105, {{kcl_activity, kcl_uncertainty}, 0.5, 0}, none, 0, 86},
    // c = 1.72222/(1000 * 0.2); hypot(0.071406, 0.05, 0.02) = 0.089436.
    {"mass and reference uncertainties",
     90,
     400,
     {{1000, 0.05}, 0.2, 0.02},
     0.00861111,
     0.0894363,
     0},
};

void PrintTo(const CalibrationRow &row, std::ostream *out) {
    *out << row.name;
}

class Calibration : public testing::TestWithParam<CalibrationRow> {};

TEST_P(Calibration, GivesTheCoefficientOrRefuses) {
    const CalibrationRow &row = GetParam();
    assess::Cycle cycle;
    cycle.background = row.background;
    cycle.total = row.total;
    assess::Settings settings;
    settings.calibrating = row.calibrating;
    const assess::Assessment assessment = assess::assess_cycle(cycle, settings);

    EXPECT_EQ(assess::refused(assessment, settings), std::isnan(row.coefficient));
    ASSERT_EQ(assessment.coefficient.has_value(), !std::isnan(row.coefficient));
    if (assessment.coefficient) {
        EXPECT_NEAR(assessment.coefficient->value, row.coefficient, 1e-6 * row.coefficient);
        EXPECT_NEAR(assessment.coefficient->relative_uncertainty, row.relative_uncertainty, 1e-6);
    }
    EXPECT_EQ(assessment.more_cycles.value_or(-1), row.more_cycles);
}

INSTANTIATE_TEST_SUITE_P(Rows, Calibration, testing::ValuesIn(calibration_rows),
                         [](const auto &info) { return test_name(info.index, info.param.name); });

TEST(Calibration, PotassiumChlorideFromItsConstants) {
    const assess::Reference kcl = assess::potassium_chloride();
    EXPECT_NEAR(kcl.activity, kcl_activity, 0.01);
    EXPECT_NEAR(kcl.relative_uncertainty, kcl_uncertainty, 1e-6);
}

// The options, through the real program ------------------------------------

struct OptionRow {
    const char *name;
    std::vector<std::string> options;
    int status;
    std::string says; // a part of what the program writes
};

const std::vector<OptionRow> option_rows{
    {"KCl, 0.5 kg",
     {"--reference", "kcl", "--mass", "0.5", "--background", "90", "--total", "400"},
     0,
     "The tube's coefficient: 0.000207 ± 0.0000149 Imp/Bq.s"},
    {"KCl, 0.5 kg, what to do",
     {"--reference=kcl", "--mass=0.5", "--background=90", "--total=400"},
     0,
     "Type 0.000207 when lowrad asks for the coefficient of the used GM tube, and\nassess the "
     "samples with --calibration-uncertainty 0.0720."},
    {"KCl as JSON",
     {"--json", "--reference", "kcl", "--mass", "0.5", "--background", "90", "--total", "400"},
     0,
     R"("reference_activity":16634.0188)"},
    {"refused",
     {"--reference", "kcl", "--mass", "0.5", "--background", "90", "--total", "105"},
     1,
     "No coefficient from this cycle: the reference's net rate is not above the\ndecision "
     "threshold"},
    // k(0.99) sqrt(180)/180 = 0.1734.
    {"counts as lowrad prints them, --name=value and --",
     {"--alpha=0.01", "--background=90.000000", "--total", "144", "--"},
     0,
     "above the decision threshold 0.173 s⁻¹"},
    {"--, then the transcript", {"--json", "--", "-"}, 1, "no complete cycle in standard input"},
    {"the smallest probabilities, the largest counts",
     {"--alpha", "1e-9", "--beta", "1e-9", "--coverage", "0.999999999", "--background", "0",
      "--total", "1179630", "--coefficient", "1e-9", "--mass", "1e-6", "--calibration-uncertainty",
      "0.999999"},
     0,
     "Cycle 1: A contribution"},
    {"the largest probabilities and calibration",
     {"--json", "--alpha", "0.4999", "--beta", "0.4999", "--coverage", "1e-9", "--background",
      "1179630", "--total", "0", "--coefficient", "1", "--mass", "1e6"},
     0,
     R"("recognised":false)"},
    {"alpha too small", {"--alpha", "1e-17"}, 2, "--alpha takes a number from 1e-9 to below 0.5"},
    {"beta too small", {"--beta=1e-300"}, 2, "--beta takes a number from 1e-9 to below 0.5"},
    {"coverage 1 in doubles",
     {"--coverage", "0.9999999999999999"},
     2,
     "--coverage takes a number from 1e-9 to 0.999999999, not '0.9999999999999999'"},
    {"coefficient and mass without a finite factor",
     {"--coefficient", "1e-150", "--mass", "1e-150"},
     2,
     "--coefficient takes a number from 1e-9 to 1"},
    {"calibration uncertainty of 1 or more",
     {"--calibration-uncertainty", "1e300"},
     2,
     "--calibration-uncertainty takes a number from 0 to below 1"},
    {"counts not whole",
     {"--background", "90.5", "--total", "144"},
     2,
     "--background takes a whole number from 0 to 1179630, not '90.5'"},
    {"counts beyond lowrad's",
     {"--background", "90", "--total", "1179631"},
     2,
     "--total takes a whole number from 0 to 1179630"},
    {"reference activity", {"--reference", "-5"}, 2, "--reference takes a number from 1e-3 to 1e9"},
    {"reference without mass",
     {"--reference", "kcl"},
     2,
     "--reference needs the reference's --mass"},
    {"reference with a coefficient",
     {"--reference", "kcl", "--mass", "1", "--coefficient", "0.01"},
     2,
     "--reference finds the coefficient"},
    {"uncertainties without reference",
     {"--mass-uncertainty", "0.1"},
     2,
     "--reference-uncertainty and --mass-uncertainty go with --reference"},
    {"unknown option", {"--alpha=0.1", "--frobnicate"}, 2, "unknown option --frobnicate\nTry"},
    {"no value", {"--alpha"}, 2, "a value must follow --alpha\n"},
};

void PrintTo(const OptionRow &row, std::ostream *out) {
    *out << row.name;
}

// -0, -0.0, -0.000 as a whole figure, not the start of -0.05 or of an exponent.
const std::regex negative_zero("(^|[^e])-0(\\.0*)?(?![.0-9])");

class Options : public testing::TestWithParam<OptionRow> {};

TEST_P(Options, TakenOrRefusedWithTheirRange) {
    const OptionRow &row = GetParam();
    std::vector<std::string> command{ASSESS_PATH};
    command.insert(command.end(), row.options.begin(), row.options.end());
    const Outcome run = execute(command);
    EXPECT_EQ(run.status, row.status) << run.output;
    EXPECT_NE(run.output.find(row.says), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("nan"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("inf"), std::string::npos) << run.output;
    EXPECT_FALSE(std::regex_search(run.output, negative_zero)) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Rows, Options, testing::ValuesIn(option_rows),
                         [](const auto &info) { return test_name(info.index, info.param.name); });

// Transcripts of the real lowrad ------------------------------------------

struct Recording {
    std::string output;  // lowrad's
    std::string answers; // what the user typed
};

Recording record(const std::vector<std::string> &counts, const std::string &answers) {
    Simulator sim(counter(counts));
    return {runlowrad({"ttyS0=" + sim.path()}, answers).output, answers};
}

// What script(1) saves of the same dialogue: each answer echoed after the
// prompt that took it, every line ending in CR LF.
std::string on_a_terminal(const Recording &recording) {
    std::istringstream answers(recording.answers);
    std::string text = recording.output;
    size_t at = 0;
    for (std::string answer; answers >> answer;) {
        size_t next = std::string::npos;
        size_t length = 0;
        for (const std::string &prompt :
             {std::string("Enter selection: "), backgroundprompt, sampleprompt, convertquestion,
              coefficientquestion, massquestion, restartquestion}) {
            const size_t found = text.find(prompt, at);
            if (found < next) {
                next = found;
                length = prompt.size();
            }
        }
        at = next + length;
        text.insert(at, answer + "\n");
        at += answer.size() + 1;
    }
    std::string crlf;
    for (const char c : text) {
        crlf += c == '\n' ? "\r\n" : std::string(1, c);
    }
    return crlf;
}

// The JSON lines of lowrad-assess, and everything else it wrote.
std::pair<std::vector<json>, std::string> assessed(const std::string &transcript) {
    const Outcome run = execute({ASSESS_PATH, "--json"}, transcript);
    std::vector<json> cycles;
    std::string rest;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("{")) {
            cycles.push_back(json::parse(line));
        } else {
            rest += line + "\n";
        }
    }
    return {cycles, rest};
}

// Two cycles of 90 and 144 impulses, the first converted with a coefficient
// of 0.5 and 2 kg.
const std::string two_cycles = "0\nG\nG\ny\n0.5\n2\ny\nG\nG\nn\nn\n";

void expect_two_cycles(const std::vector<json> &cycles) {
    ASSERT_EQ(cycles.size(), 2U);
    for (const json &cycle : cycles) {
        EXPECT_EQ(cycle["background_counts"], 90);
        EXPECT_EQ(cycle["total_counts"], 144);
        EXPECT_NEAR(cycle["decision_threshold"].get<double>(), 0.1226, 0.00005);
        EXPECT_NEAR(cycle["detection_limit"].get<double>(), 0.2602, 0.00005);
        EXPECT_EQ(cycle["recognised"], true);
        EXPECT_EQ(cycle["lowrad_verdict"], "significant");
        // Exact counts of 5 and 8 in every period: far steadier than decays.
        EXPECT_EQ(cycle["background_dispersion"],
                  json({{"chi2", 0.0}, {"p", 1.0}, {"flagged", true}}));
        EXPECT_EQ(cycle["total_dispersion"]["chi2"], 0.0);
    }
    EXPECT_EQ(cycles[0]["cycle"], 1);
    EXPECT_NEAR(cycles[0]["calibration_factor"].get<double>(), 1, 1e-6);
    EXPECT_NEAR(cycles[0]["activity"].get<double>(), 0.3, 1e-6);
    EXPECT_NEAR(cycles[0]["activity_decision_threshold"].get<double>(), 0.1226, 0.00005);
    EXPECT_EQ(cycles[1]["cycle"], 2);
    EXPECT_FALSE(cycles[1].contains("activity"));
}

TEST(AssessTranscript, TwoCyclesOneConverted) {
    const Recording recording = record({}, two_cycles);
    const auto [cycles, rest] = assessed(recording.output);
    expect_two_cycles(cycles);
    EXPECT_EQ(rest, "");

    const std::string report = execute({ASSESS_PATH}, recording.output).output;
    EXPECT_NE(report.find("Cycle 1: A contribution of the sample is recognised: the net rate "
                          "0.300 ±\n0.085 s⁻¹ is above the decision threshold 0.123 s⁻¹.\n"),
              std::string::npos)
        << report;
    EXPECT_NE(report.find("  background run    ██████████████████  5 to 5 impulses per period\n"
                          "                    χ² = 0.0, p = 1.00: FLAGGED, steadier"),
              std::string::npos)
        << report;
}

// The same dialogue as script saves it; and the transcript cut short.
TEST(AssessTranscript, TerminalEchoAndCarriageReturns) {
    const Recording recording = record({}, two_cycles);
    const std::string saved = on_a_terminal(recording);
    ASSERT_NE(saved.find("to quit... G\r\nOpening"), std::string::npos) << saved;
    expect_two_cycles(assessed(saved).first);

    const std::string cut = saved.substr(0, saved.rfind("Counts over 80 seconds"));
    const auto [cycles, rest] = assessed(cut);
    EXPECT_EQ(cycles.size(), 1U);
    EXPECT_EQ(rest, "Cycle 2 is left out: the transcript ends during its background + sample "
                    "run, after 7 of 18 counting periods.\n\n");

    const std::string quit = on_a_terminal(record({}, "0\nG\nG\nn\ny\nG\nQ\n"));
    EXPECT_EQ(assessed(quit).second, "Cycle 2 is left out: the answer at the prompt for its "
                                     "background + sample run was 'Q', which ends lowrad.\n\n");
}

// Both runs alike: lowrad says the sample shields, and the report that a net
// rate of zero lies 0.0, not -0.0, standard uncertainties from zero.
TEST(AssessTranscript, NoNegativeZero) {
    const std::string report =
        execute({ASSESS_PATH},
                record({"--background-counts", "5", "--sample-counts", "5"}, "0\nG\nG\nn\n").output)
            .output;
    EXPECT_NE(report.find("A net rate within 0.0 standard uncertainties"), std::string::npos)
        << report;
    EXPECT_FALSE(std::regex_search(report, negative_zero)) << report;
}

struct VerdictRow {
    const char *name;
    std::vector<std::string> counts; // the simulator's options
    std::string answers;
    std::string lowrad_verdict;
    bool recognised;
    std::string left_out; // what lowrad-assess says of the last cycle
};

const std::vector<VerdictRow> verdict_rows{
    {"shields",
     {"--background-counts", "8", "--sample-counts", "5"},
     "0\nG\nG\nn\n",
     "shields",
     false,
     ""},
    // 36000 against 36540 impulses: under lowrad's 1.98 %, yet recognised.
    {"not significant",
     {"--background-counts", "2000", "--sample-counts", "2030"},
     "0\nG\nG\nn\n",
     "not significant",
     true,
     ""},
    {"timed out",
     {"--silent-run", "4"},
     "0\nG\nG\nn\ny\nG\nG\n",
     "significant",
     true,
     "Cycle 2 is left out: its background + sample run timed out (no data for 12 s) after 0 of "
     "18 counting periods.\n\n"},
    {"quit",
     {},
     "0\nG\nG\nn\ny\nG\nQ\n",
     "significant",
     true,
     "Cycle 2 is left out: the transcript ends at the prompt for its background + sample run.\n\n"},
};

void PrintTo(const VerdictRow &row, std::ostream *out) {
    *out << row.name;
}

class Verdicts : public testing::TestWithParam<VerdictRow> {};

TEST_P(Verdicts, ReadFromLowrad) {
    const VerdictRow &row = GetParam();
    const auto [cycles, rest] = assessed(record(row.counts, row.answers).output);
    ASSERT_EQ(cycles.size(), 1U) << rest;
    EXPECT_EQ(cycles[0]["lowrad_verdict"], row.lowrad_verdict);
    EXPECT_EQ(cycles[0]["recognised"], row.recognised);
    EXPECT_GE(cycles[0]["coverage_low"].get<double>(), 0);
    EXPECT_EQ(rest, row.left_out);
}

INSTANTIATE_TEST_SUITE_P(Rows, Verdicts, testing::ValuesIn(verdict_rows),
                         [](const auto &info) { return test_name(info.index, info.param.name); });

} // namespace
