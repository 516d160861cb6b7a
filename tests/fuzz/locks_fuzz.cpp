// Any text taken for /proc/locks gives only locks that a well-formed line
// could give: a kind, a pid from 1 to below pid_max (0 for an open file
// description lock whose holder /proc does not name), and a file that, printed
// back as the kernel prints it, reads as the same lock.
#include "procfs/procfs.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <sys/sysmacros.h>

namespace {

std::string printed(const Lock &lock) {
    const std::string pid = lock.pid == 0 ? "-1" : std::to_string(lock.pid);
    char file[64];
    std::snprintf(file, sizeof file, "%02x:%02x:%lu", major(lock.filesystem),
                  minor(lock.filesystem), static_cast<unsigned long>(lock.inode));
    return "1: " + lock.kind + " ADVISORY  WRITE " + pid + " " + file + " 0 EOF\n";
}

void check(bool holds, const char *what) {
    if (!holds) {
        std::fprintf(stderr, "locks fuzz: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The first two bytes choose pid_max, as small as 2 or as large as the kernel allows.
    if (size < 2) {
        return 0;
    }
    const pid_t pid_end = 2 + ((data[0] << 8 | data[1]) << 6);
    const std::string_view text(reinterpret_cast<const char *>(data) + 2, size - 2);
    for (const Lock &lock : parse_locks(text, pid_end)) {
        check(!lock.kind.empty() && lock.kind != "->", "a lock without a kind");
        check(lock.pid < pid_end && (lock.pid > 0 || lock.kind == "OFDLCK"), "a pid out of range");
        const std::vector<Lock> again = parse_locks(printed(lock), pid_end);
        check(again.size() == 1 && again[0].kind == lock.kind && again[0].pid == lock.pid &&
                  again[0].filesystem == lock.filesystem && again[0].inode == lock.inode,
              "a lock that does not read back as itself");
    }
    return 0;
}
