#include "sim/pty.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

RawPty failure(int master, const char *call) {
    const int error = errno;
    if (master >= 0) {
        close(master);
    }
    errno = error;
    return {.master = -1, .slave = {}, .failed = call};
}

} // namespace

RawPty open_raw_pty() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) {
        return failure(master, "pty");
    }
    if (grantpt(master) != 0) {
        return failure(master, "grantpt");
    }
    if (unlockpt(master) != 0) {
        return failure(master, "unlockpt");
    }
    std::array<char, 64> path{};
    if (const int error = ptsname_r(master, path.data(), path.size()); error != 0) {
        errno = error;
        return failure(master, "ptsname");
    }
    termios raw{};
    if (tcgetattr(master, &raw) != 0) {
        return failure(master, "tcgetattr");
    }
    cfmakeraw(&raw);
    if (tcsetattr(master, TCSANOW, &raw) != 0) {
        return failure(master, "tcsetattr");
    }
    return {.master = master, .slave = path.data()};
}
