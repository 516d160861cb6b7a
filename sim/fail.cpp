#include "sim/fail.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "lowrad-sim: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

int check(int result, const std::string &what) {
    if (result < 0) {
        fail(what);
    }
    return result;
}
