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
#include <cstdint>
#include <cstring>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

// How the node came to be this report's port, and what it is.
struct Port {
    std::string path;
    struct stat node;
    std::string tty;           // the kernel's name, where a tty driver serves it
    std::vector<pid_t> farend; // processes holding the other end of a pseudo-terminal
};

std::string holdertext(const Holder &holder) {
    return std::to_string(holder.pid) + " " + holder.command;
}

std::string kindof(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a directory";
    }
    if (S_ISREG(mode)) {
        return "a regular file";
    }
    return S_ISBLK(mode) ? "a block device" : "no device";
}

// Missing, or no character device: lowrad's open fails, or its tcsetattr does.
std::optional<Cause> nodecause(const std::string &path, const struct stat *node, bool found) {
    if (!found) {
        const std::string todo =
            path.starts_with(under("/dev/ttyS"))
                ? "the machine has no such port: choose one this report shows as usable, or "
                  "show lowrad another device with lowrad-run --map " +
                      path.substr(path.rfind('/') + 1) + "=DEVICE"
                : "check the name: ls -l /dev/serial/by-id/ lists the USB adapters plugged in";
        const std::string target = linktarget(path);
        return Cause{Weight::blocks,
                     path + (target.empty() ? " does not exist"
                                            : " leads to " + target + ", which does not exist"),
                     todo};
    }
    if (!S_ISCHR(node->st_mode)) {
        return Cause{Weight::blocks,
                     path + " is " + kindof(node->st_mode) + ", not a serial device",
                     "name the counter's serial device, such as /dev/ttyUSB0"};
    }
    return std::nullopt;
}

const char *const uarts[] = {"unknown", "8250",  "16450",   "16550", "16550A",
                             "Cirrus",  "16650", "16650V2", "16750", "Startech",
                             "16C950",  "16654", "16850",   "RSA",   "NS16550A"};

std::string uartname(const std::string &type) {
    const unsigned long long code = number(type);
    if (code < std::size(uarts)) {
        return uarts[code];
    }
    return code == 32 ? "PL011" : "type " + type;
}

// An 8250 or other serial core port: its UART, where it sits, its interrupt.
std::string uarttext(const std::string &sysdir) {
    std::string text = ", UART " + uartname(slurp(sysdir + "/type"));
    const std::string port = slurp(sysdir + "/port");
    const std::string address = slurp(sysdir + "/iomem_base");
    if (slurp(sysdir + "/io_type") == "0" && port != "0x0") {
        text += ", I/O port " + port;
    } else if (!address.empty() && address != "0x0") {
        text += ", address " + address;
    }
    const std::string irq = slurp(sysdir + "/irq");
    return text + (irq.empty() || irq == "0" ? "" : ", IRQ " + irq);
}

void ptyend(Port &port, const Processes &seen, std::string &behind) {
    behind = "a pseudo-terminal, " + port.tty;
    for (const auto &[holder, slave] : seen.ptymasters) {
        if (same_device(slave, node_of(port.node))) {
            port.farend.push_back(holder.pid);
            behind += ", whose other end " + holdertext(holder) + " holds";
        }
    }
}

// What is behind the device number: a tty at all, a UART, sysfs's word on it.
// False for a device that is no terminal, which nothing else is worth saying about.
bool hardware(Port &port, const Processes &seen, Report &report) {
    if (!ttydriversknown()) {
        report.causes.push_back({Weight::note,
                                 "/proc/tty/drivers cannot be read, so whether " + port.path +
                                     " is a terminal cannot be known",
                                 "mount /proc, or run lowrad-doctor where it is mounted"});
        return true;
    }
    const auto driver = ttydriver(port.node.st_rdev);
    if (!driver) {
        report.causes.push_back({Weight::blocks,
                                 port.path + " (device " + devicenumber(port.node.st_rdev) +
                                     ") is no terminal and refuses lowrad's line settings",
                                 "name the counter's serial device instead, such as /dev/ttyUSB0"});
        return false;
    }
    port.tty = driver->tty;
    if (driver->kind == "pty:slave") {
        ptyend(port, seen, report.behind);
        return true;
    }
    if (!sysfsknown()) {
        report.causes.push_back(
            {Weight::note,
             "without /sys, whether a UART is behind " + port.path + " cannot be known",
             "mount sysfs (mount -t sysfs sysfs /sys) and run it again"});
        return true;
    }
    const std::string sysdir = sysfsdir(port.node.st_rdev);
    if (sysdir.empty()) {
        report.causes.push_back(
            {Weight::blocks,
             "the kernel has no " + driver->tty + " (device " + devicenumber(port.node.st_rdev) +
                 ") in /sys/class/tty",
             "the node is left from another kernel or made by hand: use a port this report "
             "shows as usable"});
        return true;
    }
    port.tty = linktarget(sysdir).substr(linktarget(sysdir).rfind('/') + 1);
    const std::string hardwaredrv = hardwaredriver(sysdir);
    report.behind = port.tty + ", driver " + (hardwaredrv.empty() ? driver->name : hardwaredrv);
    if (!exists(sysdir + "/type")) {
        return true;
    }
    report.behind += uarttext(sysdir);
    if (slurp(sysdir + "/type") == "0") {
        report.causes.push_back(
            {Weight::blocks,
             "no UART answers at " + port.tty +
                 ": the driver made the port, but found no chip behind it (sysfs type 0)",
             "choose the port the counter is wired to: this report shows those with a UART as "
             "usable"});
    }
    return true;
}

// The fix names the console= word of the command line where there is one.
void consolecause(const Port &port, Report &report) {
    std::string sources;
    std::string word = "console=" + port.tty;
    for (const Console &console : consoles()) {
        if (console.device != port.node.st_rdev ||
            sources.find(console.source) != std::string::npos) {
            continue;
        }
        sources += (sources.empty() ? "" : ", ") + console.source;
        if (console.source.ends_with(" on /proc/cmdline")) {
            word = console.source.substr(0, console.source.find(' '));
        }
    }
    if (!sources.empty()) {
        report.causes.push_back(
            {Weight::shares, "the kernel's console writes its messages on it (" + sources + ")",
             "remove " + word +
                 " from the kernel command line (Debian: GRUB_CMDLINE_LINUX in "
                 "/etc/default/grub, then sudo update-grub; Raspberry Pi: cmdline.txt), and "
                 "reboot"});
    }
}

bool gettylike(const std::string &command) {
    return command.find("getty") != std::string::npos || command == "login";
}

// A getty started for a port names it among its arguments, even before its open has returned.
bool namedbygetty(const Holder &holder, const std::string &tty) {
    if (!gettylike(holder.command) || tty.empty()) {
        return false;
    }
    std::string arguments = slurp(under("/proc/" + std::to_string(holder.pid) + "/cmdline"));
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
std::vector<Holder> processeson(const Port &port, const Processes &seen) {
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
        if (same_device(descriptor.node, node_of(port.node)) && opened_for_io(descriptor)) {
            add(descriptor.holder);
        }
    }
    for (const Holder &holder : seen.all) {
        if (namedbygetty(holder, port.tty)) {
            add(holder);
        }
    }
    return on;
}

void holdercauses(const Port &port, const Processes &seen, Report &report) {
    std::vector<pid_t> locking;
    for (const Lock &lock : locks()) {
        if (lock.filesystem != port.node.st_dev || lock.inode != port.node.st_ino) {
            continue;
        }
        const std::string holder = holder_of(lock);
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
    for (const Holder &holder : processeson(port, seen)) {
        if (std::ranges::find(locking, holder.pid) != locking.end()) {
            continue;
        }
        if (gettylike(holder.command)) {
            report.causes.push_back(
                {Weight::shares, "a getty waits for logins on it: " + holdertext(holder),
                 "sudo systemctl disable --now serial-getty@" + port.tty + ".service"});
        } else {
            report.causes.push_back(
                {Weight::shares, holdertext(holder) + " has it open, without a lock",
                 "end that program while lowrad measures (ModemManager: sudo systemctl disable "
                 "--now ModemManager)"});
        }
    }
}

// A UUCP lock file holds the process id in ASCII, or as a binary int from older programs.
pid_t lockfilepid(const std::string &content) {
    if (content.size() == sizeof(std::int32_t) &&
        content.find_first_not_of(" 0123456789") != std::string::npos) {
        std::int32_t pid = 0;
        std::memcpy(&pid, content.data(), sizeof pid);
        return pid;
    }
    std::istringstream text(content);
    long pid = 0;
    text >> pid;
    return static_cast<pid_t>(pid);
}

void lockfilecauses(const Port &port, Report &report) {
    const std::string name = port.tty.empty() ? port.path.substr(port.path.rfind('/') + 1)
                                              : port.tty.substr(port.tty.rfind('/') + 1);
    std::vector<ino_t> seen;
    for (const std::string folder : {"/run/lock/", "/var/lock/"}) {
        const std::string file = under(folder) + "LCK.." + name;
        struct stat status {};
        if (stat(file.c_str(), &status) != 0 ||
            std::ranges::find(seen, status.st_ino) != seen.end()) {
            continue;
        }
        seen.push_back(status.st_ino);
        const pid_t pid = lockfilepid(slurp(file));
        if (running(pid)) {
            report.causes.push_back(
                {Weight::shares,
                 file + " says that " + std::to_string(pid) + " " + command_of(pid) + " uses it",
                 "end that program first: lowrad ignores the lock file, but both would read the "
                 "line"});
        } else {
            report.causes.push_back(
                {Weight::note,
                 file + " names process " + std::to_string(pid) +
                     ", which no longer runs (a stale lock)",
                 "sudo rm " + file +
                     " (lowrad ignores it, but other serial programs refuse the port)"});
        }
    }
}

} // namespace

Report examine(const std::string &path, const Processes &seen) {
    Report report{path, {}, ""};
    Port port{path, {}, "", {}};
    const bool found = stat(path.c_str(), &port.node) == 0;
    if (const auto cause = nodecause(path, &port.node, found)) {
        report.causes.push_back(*cause);
        return report;
    }
    if (!hardware(port, seen, report)) {
        return report;
    }
    consolecause(port, report);
    if (const auto cause = accesscause(path)) {
        report.causes.push_back(*cause);
    }
    holdercauses(port, seen, report);
    lockfilecauses(port, report);
    return report;
}

std::string verdict(const Report &report) {
    auto weighs = [&](Weight weight) {
        return std::ranges::any_of(report.causes,
                                   [&](const Cause &cause) { return cause.weight == weight; });
    };
    if (weighs(Weight::blocks)) {
        return "will not open";
    }
    return weighs(Weight::shares) ? "opens, but shared" : "usable";
}
