// The simulator's command line.
//
// parse_options reads it with getopt_long into an Options record, as any GNU
// tool reads its own (--name=value, abbreviations, --); --help prints the
// summary and exits 0, a bad option or value exits 2 with a hint.
#pragma once

#include <optional>
#include <string>
#include <vector>

// The largest count a frame can carry: it goes out in two bytes.
constexpr unsigned max_count = 65535;
// The most noise bytes in one go: more than a line takes at once.
constexpr unsigned max_noise = 65535;

struct Options {
    double background_cpm = 30;
    double sample_cpm = 90;
    std::vector<unsigned> background_counts;
    std::vector<unsigned> sample_counts;
    double period = 10;
    unsigned frames = 0; // frames per run at most, 0 for no limit
    std::optional<unsigned> seed;
    unsigned runs = 0;
    bool mid_frame = false;
    unsigned damage = 0;
    unsigned noise = 0;
    unsigned noise_first = 0;
    unsigned silent_run = 0;
    unsigned hangup_after = 0;
    std::string device; // empty: a pseudo-terminal of our own
};

Options parse_options(int argc, char **argv);
