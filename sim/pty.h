// A pseudo-terminal that stands for a serial line, for the simulator, the
// tests' own counter and bench/'s silent line.
//
// The master is raw from the start: on Linux both ends share one set of
// settings, so nothing written before the slave's user sets the line is
// mangled. The master is non-blocking and closed on exec.
#pragma once

#include <string>

struct RawPty {
    int master = -1;              // -1 when a step failed, with errno set
    std::string slave;            // the path of the slave's node
    const char *failed = nullptr; // the call that failed
};

RawPty open_raw_pty();
