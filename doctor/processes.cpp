// One pass over /proc: every process, its controlling terminal and the
// character devices its descriptors are open on; and the locks of /proc/locks.
// procfs/procfs.h walks /proc and says what its options hide; this adds the
// doctor's --root prefix and the controlling terminals.
// Processes whose descriptors the caller may not see are counted, so that
// the report can say what it could not see.
#include "doctor/doctor.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <sstream>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

std::string folder_of(pid_t pid) {
    return under("/proc/" + std::to_string(pid));
}

// The kernel packs the controlling terminal's number into tty_nr, field 7 of /proc/PID/stat.
dev_t unpack_tty(unsigned long packed) {
    return makedev((packed >> 8) & 0xfff, (packed & 0xff) | ((packed >> 12) & 0xfff00));
}

// Kernel threads open no files, and their descriptors are hidden from all but root.
constexpr unsigned long kernel_thread = 0x00200000;

// What /proc/PID/stat tells.
struct ProcessStat {
    bool read = false;    // false for a process gone meanwhile, or one refused
    bool refused = false; // another user's, under hidepid=1
    bool kernel_thread = false;
    dev_t terminal = 0; // the controlling terminal, 0 for none
};

ProcessStat read_stat(pid_t pid, Processes &seen) {
    errno = 0;
    const std::string stat = slurp(folder_of(pid) + "/stat");
    const bool refused = stat.empty() && refusal(errno);
    const size_t open = stat.find('(');
    const size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return {.refused = refused};
    }
    seen.all.push_back({pid, stat.substr(open + 1, close - open - 1)});
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    long ppid = 0;
    long group = 0;
    long session = 0;
    unsigned long packed = 0;
    long foreground = 0;
    unsigned long flags = 0;
    fields >> state >> ppid >> group >> session >> packed >> foreground >> flags;
    return {.read = true,
            .kernel_thread = (flags & kernel_thread) != 0,
            .terminal = unpack_tty(packed)};
}

// A pty slave's number repeats in every devpts instance; the process's own
// descriptor on it tells which one its controlling terminal is.
Node terminal_node(dev_t terminal, const std::vector<DeviceDescriptor> &descriptors) {
    const auto own = std::ranges::find_if(descriptors, [&](const DeviceDescriptor &descriptor) {
        return descriptor.node.device == terminal;
    });
    return {terminal, own == descriptors.end() ? 0 : own->node.filesystem};
}

void read_descriptors(pid_t pid, dev_t terminal, Processes &seen) {
    const std::string process = folder_of(pid);
    const Descriptors descriptors = device_descriptors(process);
    seen.unseen += descriptors.hidden ? 1 : 0;
    const Holder &holder = seen.all.back();
    if (terminal != 0) {
        seen.controlling.emplace_back(holder, terminal_node(terminal, descriptors.on_devices));
    }
    for (const DeviceDescriptor &descriptor : descriptors.on_devices) {
        seen.opened.push_back({holder, descriptor.node, descriptor.fd});
        if (const auto slave = far_end(process, descriptor)) {
            seen.ptymasters.emplace_back(holder, *slave);
        }
    }
}

// hidepid=2 (invisible), and 4 (ptraceable) for processes this one may not
// trace, leave other users' processes out of /proc's listing. hidepid=1
// (noaccess) lists them but refuses their folders, which the pass counts as
// it meets them; subset=pid hides no process.
bool processes_invisible() {
    constexpr std::array invisible{"hidepid=2", "hidepid=invisible", "hidepid=4",
                                   "hidepid=ptraceable"};
    std::istringstream mounts(slurp(under("/proc/self/mountinfo")));
    for (std::string line; std::getline(mounts, line);) {
        std::istringstream fields(line);
        std::string id;
        std::string parent;
        std::string numbers;
        std::string from;
        std::string point;
        fields >> id >> parent >> numbers >> from >> point;
        const bool hides = std::ranges::any_of(
            invisible, [&](const char *option) { return line.find(option) != std::string::npos; });
        if (point == "/proc" && hides) {
            return true;
        }
    }
    return false;
}

} // namespace

Processes scan_processes() {
    Processes seen;
    seen.hidepid = geteuid() != 0 && processes_invisible();
    for (const std::string &name : process_folders(under("/proc"))) {
        const auto pid = static_cast<pid_t>(number(name));
        const ProcessStat stat = read_stat(pid, seen);
        if (!stat.read) {
            seen.unseen += stat.refused ? 1 : 0;
        } else if (!stat.kernel_thread) {
            read_descriptors(pid, stat.terminal, seen);
        }
    }
    return seen;
}

std::vector<Lock> locks() {
    return read_locks(under("/proc"));
}

std::string holder_of(const Machine &machine, const Lock &lock) {
    return lock.pid == 0 ? "a process hidden from lowrad-doctor"
                         : std::to_string(lock.pid) + " " + machine.command_of(lock.pid);
}

bool opened_for_io(const Opened &descriptor) {
    return opened_for_io(folder_of(descriptor.holder.pid), descriptor.fd);
}

std::string command_of(pid_t pid) {
    return slurp(folder_of(pid) + "/comm");
}

bool running(pid_t pid) {
    return pid > 0 && exists(folder_of(pid));
}
