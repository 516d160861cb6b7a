// The doctor's parsers of what the kernel, the lock files and /etc hold,
// given any bytes: the first byte picks the parser, the rest is the file.
// Each must end without fault, and give what the file can hold: a lock
// file's process id in 1..pid_max or none, and plain ASCII digits read as
// the number they write; console words that are whole words; an /etc/group
// line with its four fields.
#include "doctor/doctor.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <sys/sysmacros.h>

namespace {

constexpr long pid_max = 4194304;

void check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

void lock_file(const std::string &content) {
    const pid_t pid = lock_file_pid(content, pid_max);
    check(pid >= 0 && pid <= pid_max);
    const bool digits = !content.empty() && content.size() <= 7 &&
                        content.find_first_not_of("0123456789") == std::string::npos;
    if (digits) {
        const long written = std::stol(content);
        check(pid == (written <= pid_max ? written : 0));
    }
}

void command_line(const std::string &cmdline) {
    for (const std::string &word : console_words(cmdline)) {
        check(word.starts_with("console=") &&
              word.find_first_of(" \t\n\v\f\r") == std::string::npos);
    }
}

void group_file(const std::string &file) {
    const std::vector<std::string> line = entry_of(file, 20);
    check(line.empty() || (line.size() >= 4 && line[2] == "20"));
    if (listed_in(file, 20, "alice")) {
        check(!line.empty() && line.back().find("alice") != std::string::npos);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string content(reinterpret_cast<const char *>(data) + 1, size - 1);
    switch (data[0] % 5) {
    case 0:
        lock_file(content);
        break;
    case 1:
        console_list(content);
        break;
    case 2:
        command_line(content);
        break;
    case 3:
        group_file(content);
        break;
    default:
        tty_driver(content, makedev(4, 65));
        break;
    }
    return 0;
}
