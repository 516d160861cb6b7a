// How lowrad-sim gives up: a failed system call ends it with status 1 and the
// reason on standard error, as "lowrad-sim: what: reason".
#pragma once

#include <string>

[[noreturn]] void fail(const std::string &what);

// Returns result, or fails when it is negative.
int check(int result, const std::string &what);
