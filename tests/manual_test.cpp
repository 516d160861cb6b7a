// The manual pages and the installed programs.
//
// The pages quote what the programs write and list their options; these tests
// render the real pages with groff and hold them against the strings that the
// end-to-end tests check lowrad against, and against the programs' own
// --help. The install test installs the build into a scratch prefix and runs
// the installed runner, which must find the installed lowrad beside it.
#include "dialogue.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const fs::path pages = fs::path(SOURCE_DIR) / "man";

// Wrapped and indented however groff likes: every run of white space as one space.
std::string squeezed(const std::string &text) {
    return std::regex_replace(text, std::regex("\\s+"), " ");
}

std::string rendered(const std::string &page) {
    return squeezed(execute({"groff", "-man", "-Tascii", "-P-cbou", pages / page}).output);
}

std::string read(const fs::path &path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(Manual, PagesRenderWithoutWarnings) {
    for (const std::string page :
         {"lowrad.1", "lowrad-sim.1", "lowrad-run.1", "lowrad-doctor.1", "lowrad-assess.1"}) {
        const Outcome check = execute({"groff", "-man", "-ww", "-z", pages / page});
        EXPECT_EQ(check.output, "") << page;
        EXPECT_EQ(check.status, 0) << page;
    }
}

// Whatever lowrad writes that the manual quotes, it quotes exactly.
TEST(Manual, QuotesLowradWordForWord) {
    const std::string page = rendered("lowrad.1");
    const std::vector<std::string> quotes{
        banner,
        backgroundprompt,
        sampleprompt,
        "Opening /dev/ttyS0 ...\n\nPort opened successfully\n" + waiting,
        "Reception started !",
        timedout,
        failed,
        resultshead,
        shields,
        notsignificant,
        convertquestion,
        coefficientquestion + "0.05",
        massquestion + "0.5",
        restartquestion,
        "FF 07 00 06",
        "FF 2C 01 2C",
    };
    for (const std::string &quote : quotes) {
        EXPECT_NE(page.find(squeezed(quote)), std::string::npos) << "not in lowrad(1): " << quote;
    }
}

// The figures the manual shows for a run of 90 and one of 270 impulses, and
// for the conversion, are those lowrad prints for them.
TEST(Manual, ShowsLowradsOwnFigures) {
    Simulator sim({"--period", "0.02", "--background-counts", "5", "--sample-counts", "15"});
    const Outcome lowrad = runlowrad({"ttyS0=" + sim.path()}, "0\nG\nG\ny\n0.05\n0.5\nn\n");
    EXPECT_EQ(lowrad.status, 0);
    const std::string page = rendered("lowrad.1");
    for (const std::string figures : {
             "Counts over 180 seconds: 90.000000 counts",
             "- Background: 90.000000 counts over 3 minutes = 30.000000 cpm\n",
             "- Sample + Background: 270.000000 counts over 3 minutes = 90.000000 cpm\n",
             "- Net count rate: 60.000000 cpm = 1.000000 cps\n",
             "Sample activity level: 39.999999 Bq/Kg\n",
         }) {
        EXPECT_NE(lowrad.output.find(figures), std::string::npos)
            << "lowrad did not print " << figures;
        EXPECT_NE(page.find(squeezed(figures)), std::string::npos)
            << "not in lowrad(1): " << figures;
    }
}

// The worked examples of lowrad-assess(1) are what the program prints for them.
TEST(Manual, ShowsLowradAssessOwnReport) {
    const std::string page =
        squeezed(execute({"groff", "-man", "-Tutf8", "-P-cbou", pages / "lowrad-assess.1"}).output);
    for (const std::vector<std::string> &options :
         {std::vector<std::string>{"--coefficient", "0.0055", "--mass", "0.5", "--total", "144"},
          std::vector<std::string>{"--reference", "kcl", "--mass", "0.5", "--total", "400"}}) {
        std::vector<std::string> command{ASSESS_PATH, "--background", "90"};
        command.insert(command.end(), options.begin(), options.end());
        const Outcome report = execute(command);
        EXPECT_EQ(report.status, 0);
        EXPECT_NE(page.find(squeezed(report.output)), std::string::npos) << report.output;
    }
}

// Every option a program's --help names has its entry in the manual.
TEST(Manual, DocumentsEveryOption) {
    const std::vector<std::pair<std::string, std::string>> programs{
        {SIM_PATH, "lowrad-sim.1"},
        {RUNNER_PATH, "lowrad-run.1"},
        {DOCTOR_PATH, "lowrad-doctor.1"},
        {ASSESS_PATH, "lowrad-assess.1"},
    };
    for (const auto &[program, page] : programs) {
        const Outcome help = execute({program, "--help"});
        ASSERT_EQ(help.status, 0) << program;
        const std::string text = rendered(page);
        std::set<std::string> options;
        const std::regex option("--?[a-z][a-z-]*");
        for (auto it = std::sregex_iterator(help.output.begin(), help.output.end(), option);
             it != std::sregex_iterator(); ++it) {
            options.insert(it->str());
        }
        EXPECT_GE(options.size(), 3U) << program;
        for (const std::string &name : options) {
            EXPECT_NE(text.find(name), std::string::npos) << name << " not in " << page;
        }
    }
}

// Installed, the runner starts the lowrad beside it in a /dev of its own.
TEST(Install, InstalledRunnerStartsInstalledLowrad) {
    const fs::path prefix =
        fs::temp_directory_path() / ("lowrad-install-" + std::to_string(getpid()));
    const Outcome install = execute({CMAKE_COMMAND, "--install", BUILD_DIR, "--prefix", prefix});
    ASSERT_EQ(install.status, 0) << install.output;
    for (const std::string program :
         {"lowrad", "lowrad-sim", "lowrad-run", "lowrad-doctor", "lowrad-assess"}) {
        const fs::path path = prefix / "bin" / program;
        EXPECT_TRUE(fs::is_regular_file(path)) << path;
        const fs::path page = prefix / "share/man/man1" / (program + ".1.gz");
        EXPECT_EQ(execute({"gzip", "-dc", page}).output, read(pages / (program + ".1"))) << program;
    }
    const std::vector<std::pair<std::string, std::string>> sessions{
        {"Q\n", banner},
        {"0\nG\n", banner + backgroundprompt + notopened("/dev/ttyS0")},
    };
    for (const auto &[answers, expected] : sessions) {
        const Outcome session = execute({prefix / "bin/lowrad-run"}, answers);
        EXPECT_EQ(session.output, expected) << answers;
        EXPECT_EQ(session.status, 0);
    }
    fs::remove_all(prefix);
}

} // namespace
