// lowrad-sim: a Geiger-Müller counter on a serial line, to run lowrad without one.
//
// options.h reads the command line, counter.h is the counter and its frames,
// line.h the pseudo-terminal or device they go out on.
#include "sim/line.h"
#include "sim/options.h"

#include <cstdio>

int main(int argc, char **argv) {
    const Options options = parse_options(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    return serve(options);
}
