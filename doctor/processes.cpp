// One pass over /proc: every process, its controlling terminal and the
// character devices its descriptors are open on; and the locks of /proc/locks.
//
// A descriptor's device comes from stat on /proc/PID/fd/N, which reaches the
// open file without opening anything. Processes whose descriptors the caller
// may not see (another user's, unless root) are counted, so that the report
// can say what it could not see.
#include "doctor/doctor.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

struct Closedir {
    void operator()(DIR *directory) const {
        closedir(directory);
    }
};
using Directory = std::unique_ptr<DIR, Closedir>;

// The pty masters' device, /dev/ptmx: which pair a master belongs to is in its fdinfo.
const dev_t ptmx = makedev(5, 2);

bool isnumber(const std::string &text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// The field of /proc/PID/fdinfo/FD that starts with label.
std::string fdinfo(const std::string &process, const std::string &fd, const std::string &label) {
    std::istringstream lines(slurp(under("/proc/" + process + "/fdinfo/" + fd)));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(label)) {
            return line.substr(label.size());
        }
    }
    return "";
}

// The kernel packs the controlling terminal's number into tty_nr, field 7 of /proc/PID/stat.
dev_t unpacktty(unsigned long packed) {
    return makedev((packed >> 8) & 0xfff, (packed & 0xff) | ((packed >> 12) & 0xfff00));
}

// Kernel threads open no files, and their descriptors are hidden from all but root.
constexpr unsigned long kernelthread = 0x00200000;

// False for a kernel thread, or a process gone meanwhile.
bool readstat(const std::string &process, Processes &seen) {
    const std::string stat = slurp(under("/proc/" + process + "/stat"));
    const size_t open = stat.find('(');
    const size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos) {
        return false;
    }
    const Holder holder{static_cast<pid_t>(number(process)),
                        stat.substr(open + 1, close - open - 1)};
    seen.all.push_back(holder);
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    long ppid = 0;
    long group = 0;
    long session = 0;
    unsigned long packed = 0;
    long foreground = 0;
    unsigned long flags = 0;
    fields >> state >> ppid >> group >> session >> packed >> foreground >> flags;
    if (packed != 0) {
        seen.controlling.emplace_back(holder, unpacktty(packed));
    }
    return (flags & kernelthread) == 0;
}

void readdescriptors(const std::string &process, Processes &seen) {
    const Directory fds(opendir(under("/proc/" + process + "/fd").c_str()));
    if (!fds) {
        seen.unseen += errno == EACCES ? 1 : 0;
        return;
    }
    const Holder &holder = seen.all.back();
    while (const dirent *entry = readdir(fds.get())) {
        struct stat file {};
        if (entry->d_name[0] == '.' || fstatat(dirfd(fds.get()), entry->d_name, &file, 0) != 0 ||
            !S_ISCHR(file.st_mode)) {
            continue;
        }
        seen.opened.push_back({holder, file.st_rdev, entry->d_name});
        if (file.st_rdev == ptmx) {
            const std::string index = fdinfo(process, entry->d_name, "tty-index:");
            if (!index.empty()) {
                seen.ptymasters.emplace_back(holder, static_cast<int>(number(index)));
            }
        }
    }
}

// hidepid=1 or 2 (invisible, noaccess) or subset=pid hide other users' processes entirely.
bool hiddenprocesses() {
    std::istringstream mounts(slurp(under("/proc/self/mountinfo")));
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string id;
        std::string parent;
        std::string numbers;
        std::string from;
        std::string point;
        fields >> id >> parent >> numbers >> from >> point;
        const bool hides = line.find("hidepid=") != std::string::npos &&
                           line.find("hidepid=0") == std::string::npos &&
                           line.find("hidepid=off") == std::string::npos;
        if (point == "/proc" && (hides || line.find("subset=pid") != std::string::npos)) {
            return true;
        }
    }
    return false;
}

} // namespace

Processes scan_processes() {
    Processes seen;
    seen.hidepid = geteuid() != 0 && hiddenprocesses();
    const Directory processes(opendir(under("/proc").c_str()));
    const std::string self = std::to_string(getpid());
    while (processes) {
        const dirent *entry = readdir(processes.get());
        if (entry == nullptr) {
            break;
        }
        const std::string process = entry->d_name;
        if (isnumber(process) && process != self && readstat(process, seen)) {
            readdescriptors(process, seen);
        }
    }
    return seen;
}

// Lines such as "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF"; those with
// "->" wait for a lock and hold none. The file system's numbers are hex.
std::vector<Lock> locks() {
    std::vector<Lock> found;
    std::istringstream lines(slurp(under("/proc/locks")));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string position;
        std::string kind;
        std::string mode;
        std::string access;
        std::string pid;
        std::string file;
        fields >> position >> kind;
        if (kind == "->") {
            continue;
        }
        fields >> mode >> access >> pid >> file;
        const size_t first = file.find(':');
        const size_t second = file.find(':', first + 1);
        if (!isnumber(pid) || second == std::string::npos) {
            continue;
        }
        const dev_t filesystem =
            makedev(number(file.substr(0, first), 16), number(file.substr(first + 1), 16));
        found.push_back({kind, static_cast<pid_t>(number(pid)), filesystem,
                         static_cast<ino_t>(number(file.substr(second + 1)))});
    }
    return found;
}

bool opened_for_io(const Opened &descriptor) {
    const std::string flags =
        fdinfo(std::to_string(descriptor.holder.pid), descriptor.fd, "flags:");
    return flags.empty() || (number(flags, 8) & O_PATH) == 0;
}

std::string command_of(pid_t pid) {
    return slurp(under("/proc/" + std::to_string(pid) + "/comm"));
}

bool running(pid_t pid) {
    return pid > 0 && exists(under("/proc/" + std::to_string(pid)));
}
