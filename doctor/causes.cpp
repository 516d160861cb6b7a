// Everything that stands between lowrad and one port, and the verdict.
//
// lowrad opens the port (O_RDWR | O_NOCTTY | O_NONBLOCK), takes an exclusive
// flock without waiting, and sets the line with tcsetattr; any step that fails
// makes it print "Com Port Opening Failed !". The causes that make a step fail
// block the port. A console, a getty, or another process that has the line
// open without an flock do not stop lowrad, but read or write the counter's
// bytes: they share it. Each device is found by its device number, and in
// /proc/locks by the file system and inode of the very node lowrad would open.
#include "doctor/doctor.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

// How the node came to be this report's port, and what it is.
struct Port {
    const Machine &machine;
    std::string path;
    struct stat node;
    std::string tty;           // the kernel's name, where a tty driver serves it
    std::vector<pid_t> farend; // processes holding the other end of a pseudo-terminal
};

std::string holder_text(const Holder &holder) {
    return std::to_string(holder.pid) + " " + holder.command;
}

std::string kind_of(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISREG(mode)) {
        return "a regular file";
    }
    return S_ISBLK(mode) ? "a block device" : "no device";
}

std::string missing_text(const Machine &machine, const std::string &path, int error) {
    if (error == ELOOP) {
        return path + " is a loop of symbolic links";
    }
    const std::string target = machine.link_target(path);
    return path +
           (target.empty() ? " does not exist" : " leads to " + target + ", which does not exist");
}

// Missing, or no character device: lowrad's open fails, or its tcsetattr does.
std::optional<Cause> node_cause(const Port &port, int error) {
    const std::string &path = port.path;
    if (error != 0) {
        const std::string todo =
            path.starts_with("/dev/ttyS")
                ? "the machine has no such port: choose one this report shows as usable, or "
                  "show lowrad another device with lowrad-run --map " +
                      path.substr(path.rfind('/') + 1) + "=DEVICE"
                : "check the name: ls -l /dev/serial/by-id/ lists the USB adapters plugged in";
        return Cause{Weight::blocks, missing_text(port.machine, path, error), todo};
    }
    if (!S_ISCHR(port.node.st_mode)) {
        return Cause{Weight::blocks,
                     path + " is " + kind_of(port.node.st_mode) + ", not a serial device",
                     "name the counter's serial device, such as /dev/ttyUSB0"};
    }
    return std::nullopt;
}

const char *const uarts[] = {"unknown", "8250",  "16450",   "16550", "16550A",
                             "Cirrus",  "16650", "16650V2", "16750", "Startech",
                             "16C950",  "16654", "16850",   "RSA",   "NS16550A"};

std::string uart_name(const std::string &type) {
    const unsigned long long code = number(type);
    if (code < std::size(uarts)) {
        return uarts[code];
    }
    return code == 32 ? "PL011" : "type " + type;
}

// An 8250 or other serial core port: its UART, where it sits, its interrupt.
std::string uart_text(const Machine &machine, const std::string &sysdir) {
    std::string found = ", UART " + uart_name(read_text(machine, sysdir + "/type"));
    const std::string port = read_text(machine, sysdir + "/port");
    const std::string address = read_text(machine, sysdir + "/iomem_base");
    if (read_text(machine, sysdir + "/io_type") == "0" && port != "0x0") {
        found += ", I/O port " + port;
    } else if (!address.empty() && address != "0x0") {
        found += ", address " + address;
    }
    const std::string irq = read_text(machine, sysdir + "/irq");
    return found + (irq.empty() || irq == "0" ? "" : ", IRQ " + irq);
}

void pty_end(Port &port, const Processes &seen, std::string &behind) {
    behind = "a pseudo-terminal, " + port.tty;
    for (const auto &[holder, slave] : seen.ptymasters) {
        if (same_device(slave, node_of(port.node))) {
            port.farend.push_back(holder.pid);
            behind += ", whose other end " + holder_text(holder) + " holds";
        }
    }
}

Hardware hardware_of(const std::string &tty, bool uart) {
    if (tty.starts_with("ttyUSB") || tty.starts_with("ttyACM")) {
        return Hardware::usb;
    }
    return uart ? Hardware::uart : Hardware::other;
}

// The port's serial core entry in sysfs: which tty it is, what drives it, its UART.
// False where no UART answers, which is then all there is to say.
bool serial_core(Port &port, const TtyDriver &driver, const std::string &sysdir, Report &report) {
    const Machine &machine = port.machine;
    const std::string kernel_name = machine.link_target(sysdir);
    port.tty = kernel_name.substr(kernel_name.rfind('/') + 1);
    const std::string hardware = hardware_driver(machine, sysdir);
    report.behind = port.tty + ", driver " + (hardware.empty() ? driver.name : hardware);
    const bool has_type = exists(machine, sysdir + "/type");
    report.hardware = hardware_of(port.tty, has_type);
    if (!has_type) {
        return true;
    }
    report.behind += uart_text(machine, sysdir);
    if (read_text(machine, sysdir + "/type") != "0") {
        return true;
    }
    report.hardware = Hardware::none;
    report.causes.push_back(
        {Weight::blocks,
         "no UART answers at " + port.tty +
             ": the driver made the port, but found no chip behind it (sysfs type 0)",
         "choose the port the counter is wired to: this report shows those with a UART as "
         "usable"});
    return false;
}

// What is behind the device number: a tty at all, a UART, sysfs's word on it.
// False for a device with nothing behind it, which nothing else is worth saying about.
bool hardware_behind(Port &port, const Processes &seen, Report &report) {
    const Machine &machine = port.machine;
    const std::string drivers = read_text(machine, "/proc/tty/drivers");
    if (drivers.empty()) {
        report.causes.push_back({Weight::note,
                                 "/proc/tty/drivers cannot be read, so whether " + port.path +
                                     " is a terminal cannot be known",
                                 "mount /proc, or run lowrad-doctor where it is mounted"});
        return true;
    }
    const auto driver = tty_driver(drivers, port.node.st_rdev);
    if (!driver) {
        report.hardware = Hardware::none;
        report.causes.push_back({Weight::blocks,
                                 port.path + " (device " + device_number(port.node.st_rdev) +
                                     ") is no terminal and refuses lowrad's line settings",
                                 "name the counter's serial device instead, such as /dev/ttyUSB0"});
        return false;
    }
    port.tty = driver->tty;
    if (driver->kind == "pty:slave") {
        pty_end(port, seen, report.behind);
        return true;
    }
    if (!exists(machine, "/sys/class/tty")) {
        report.causes.push_back(
            {Weight::note,
             "without /sys, whether a UART is behind " + port.path + " cannot be known",
             "mount sysfs (mount -t sysfs sysfs /sys) and run it again"});
        return true;
    }
    const std::string sysdir = sysfs_dir(machine, port.node.st_rdev);
    if (sysdir.empty()) {
        report.hardware = Hardware::none;
        report.causes.push_back(
            {Weight::blocks,
             "the kernel has no " + driver->tty + " (device " + device_number(port.node.st_rdev) +
                 ") in /sys/class/tty",
             "the node is left from another kernel or made by hand: use a port this report "
             "shows as usable"});
        return false;
    }
    return serial_core(port, *driver, sysdir, report);
}

// The fix names the console= word of the command line where there is one.
bool console_cause(const Port &port, Report &report) {
    std::string sources;
    std::string word = "console=" + port.tty;
    for (const Console &console : consoles(port.machine)) {
        if (console.device != port.node.st_rdev ||
            sources.find(console.source) != std::string::npos) {
            continue;
        }
        sources += (sources.empty() ? "" : ", ") + console.source;
        if (console.source.ends_with(" on /proc/cmdline")) {
            word = console.source.substr(0, console.source.find(' '));
        }
    }
    if (sources.empty()) {
        return false;
    }
    report.causes.push_back(
        {Weight::shares, "the kernel's console writes its messages on it (" + sources + ")",
         "remove " + word +
             " from the kernel command line (Debian: GRUB_CMDLINE_LINUX in "
             "/etc/default/grub, then sudo update-grub; Raspberry Pi: cmdline.txt), and "
             "reboot",
         true});
    return true;
}

bool getty_like(const std::string &command) {
    return command.find("getty") != std::string::npos || command == "login";
}

// A getty started for a port names it among its arguments, even before its open has returned.
bool named_by_getty(const Machine &machine, const Holder &holder, const std::string &tty) {
    if (!getty_like(holder.command) || tty.empty()) {
        return false;
    }
    std::string arguments = read_text(machine, "/proc/" + std::to_string(holder.pid) + "/cmdline");
    std::ranges::replace(arguments, '\0', ' ');
    std::istringstream words(arguments);
    for (std::string word; words >> word;) {
        if (word == tty || word == "/dev/" + tty) {
            return true;
        }
    }
    return false;
}

// Every process on the port: its controlling terminal, a descriptor on its
// device number, or a getty's arguments. The far end of a pseudo-terminal is
// the counter's side of the line, not a sharer.
std::vector<Holder> processes_on(const Port &port, const Processes &seen) {
    std::vector<Holder> on;
    auto add = [&](const Holder &holder) {
        if (std::ranges::find(port.farend, holder.pid) == port.farend.end() &&
            std::ranges::none_of(on, [&](const Holder &h) { return h.pid == holder.pid; })) {
            on.push_back(holder);
        }
    };
    for (const auto &[holder, terminal] : seen.controlling) {
        if (same_device(terminal, node_of(port.node))) {
            add(holder);
        }
    }
    for (const Opened &descriptor : seen.opened) {
        if (same_device(descriptor.node, node_of(port.node)) &&
            port.machine.opened_for_io(descriptor)) {
            add(descriptor.holder);
        }
    }
    for (const Holder &holder : seen.all) {
        if (named_by_getty(port.machine, holder, port.tty)) {
            add(holder);
        }
    }
    return on;
}

void holder_causes(const Port &port, const Processes &seen, Report &report) {
    std::vector<pid_t> locking;
    for (const Lock &lock : port.machine.locks()) {
        if (lock.filesystem != port.node.st_dev || lock.inode != port.node.st_ino) {
            continue;
        }
        const std::string holder = holder_of(port.machine, lock);
        if (lock.kind == "FLOCK") {
            locking.push_back(lock.pid);
            report.causes.push_back(
                {Weight::blocks,
                 holder + " holds it locked with flock, as lowrad does while it measures",
                 "wait until that program ends, or end it (it may be another lowrad)"});
        } else {
            report.causes.push_back({Weight::note,
                                     holder + " holds a " + lock.kind +
                                         " lock on it, which lowrad's flock does not see",
                                     "end that program while lowrad measures"});
        }
    }
    for (const Holder &holder : processes_on(port, seen)) {
        if (std::ranges::find(locking, holder.pid) != locking.end()) {
            continue;
        }
        if (getty_like(holder.command)) {
            report.causes.push_back(
                {Weight::shares, "a getty waits for logins on it: " + holder_text(holder),
                 "sudo systemctl disable --now serial-getty@" + port.tty + ".service"});
        } else {
            report.causes.push_back(
                {Weight::shares, holder_text(holder) + " has it open, without a lock",
                 "end that program while lowrad measures (ModemManager: sudo systemctl disable "
                 "--now ModemManager)"});
        }
    }
}

// A lock file is a few bytes; whatever else is there (a FIFO, a link to
// /dev/zero, a directory) holds no process id and is never waited for.
constexpr size_t lock_file_limit = 256;

long pid_max(const Machine &machine) {
    const unsigned long long read = number(read_text(machine, "/proc/sys/kernel/pid_max"));
    // The kernel allows at most 2^22. Where /proc does not say (subset=pid
    // leaves out /proc/sys), that limit, as procfs takes it: a smaller guess
    // would call a live lock file's process id invalid.
    constexpr unsigned long long pid_limit = 1U << 22;
    return read > 0 && read <= pid_limit ? static_cast<long>(read) : static_cast<long>(pid_limit);
}

void lock_file_causes(const Port &port, Report &report) {
    const std::string name = port.tty.empty() ? port.path.substr(port.path.rfind('/') + 1)
                                              : port.tty.substr(port.tty.rfind('/') + 1);
    std::vector<ino_t> seen;
    for (const std::string folder : {"/run/lock/", "/var/lock/"}) {
        const std::string file = folder + "LCK.." + name;
        struct stat status {};
        if (port.machine.status(file, true, status) != 0 ||
            std::ranges::find(seen, status.st_ino) != seen.end()) {
            continue;
        }
        seen.push_back(status.st_ino);
        const std::optional<std::string> content = port.machine.read(file, lock_file_limit);
        const pid_t pid = lock_file_pid(content.value_or(""), pid_max(port.machine));
        const std::string remove =
            "sudo rm " + file + " (lowrad ignores it, but other serial programs refuse the port)";
        if (pid == 0) {
            report.causes.push_back({Weight::note, file + " holds no valid process id", remove});
        } else if (port.machine.running(pid)) {
            report.causes.push_back(
                {Weight::shares,
                 file + " says that " + std::to_string(pid) + " " + port.machine.command_of(pid) +
                     " uses it",
                 "end that program first: lowrad ignores the lock file, but both would read the "
                 "line"});
        } else {
            report.causes.push_back({Weight::note,
                                     file + " names process " + std::to_string(pid) +
                                         ", which no longer runs (a stale lock)",
                                     remove});
        }
    }
}

} // namespace

// ASCII digits with blanks around them, as UUCP writes them; else exactly
// four bytes of a native int, which may hold any byte (12345 is "90\0\0").
pid_t lock_file_pid(const std::string &content, long pid_max) {
    long long pid = 0;
    const size_t first = content.find_first_not_of(" \t\n");
    const size_t last = content.find_last_not_of(" \t\n");
    const char *const begin = content.data() + (first == std::string::npos ? 0 : first);
    const char *const end = content.data() + (last == std::string::npos ? 0 : last + 1);
    const auto [stop, error] = std::from_chars(begin, end, pid);
    const bool ascii =
        first != std::string::npos && error == std::errc() && stop == end && content[first] != '-';
    if (!ascii) {
        pid = 0;
        if (content.size() == sizeof(std::int32_t)) {
            std::int32_t binary = 0;
            std::memcpy(&binary, content.data(), sizeof binary);
            pid = binary;
        }
    }
    return pid >= 1 && pid <= pid_max ? static_cast<pid_t>(pid) : 0;
}

Report examine(const Machine &machine, const std::string &path, const Processes &seen) {
    Report report{path, {}, "", Hardware::other, 0};
    Port port{machine, path, {}, "", {}};
    const int error = machine.status(path, true, port.node);
    report.device = error == 0 && S_ISCHR(port.node.st_mode) ? port.node.st_rdev : 0;
    if (const auto cause = node_cause(port, error)) {
        report.hardware = error != 0 ? Hardware::missing : Hardware::none;
        report.causes.push_back(*cause);
        return report;
    }
    if (!hardware_behind(port, seen, report)) {
        return report;
    }
    const bool console = console_cause(port, report);
    if (const auto cause = access_cause(machine, path, console)) {
        report.causes.push_back(*cause);
    }
    holder_causes(port, seen, report);
    lock_file_causes(port, report);
    return report;
}

Verdict verdict(const Report &report) {
    auto weighs = [&](Weight weight) {
        return std::ranges::any_of(report.causes,
                                   [&](const Cause &cause) { return cause.weight == weight; });
    };
    if (weighs(Weight::blocks)) {
        return Verdict::will_not_open;
    }
    return weighs(Weight::shares) ? Verdict::shared : Verdict::usable;
}

std::string verdict_text(Verdict verdict) {
    switch (verdict) {
    case Verdict::will_not_open:
        return "will not open";
    case Verdict::shared:
        return "opens, but shared";
    case Verdict::usable:
        break;
    }
    return "usable";
}
