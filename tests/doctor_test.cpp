// lowrad-doctor's logic in-process, on machines made of plain data: each
// cause with its verdict and its lines, the lock files' process ids, the
// machine around the ports, and the answer that leads the report. Then the
// real program in the worlds it reads: the simulator's pseudo-terminal shown
// by the runner, free and then held; strace, for the promise that it opens no
// port; lock files that are no files, on a fake tree (--root); and its
// output and misuse.
#include "dialogue.h"
#include "doctor/doctor.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <pwd.h>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A machine made of plain data: files, nodes and links by path, the caller,
// and the processes and locks that /proc would show.
class Fake final : public Machine {
  public:
    std::map<std::string, std::string> files;
    std::map<std::string, struct stat> nodes;
    std::map<std::string, std::string> links;
    std::set<std::string> open_to_caller; // where faccessat says yes
    uid_t uid = 1000;
    std::vector<gid_t> login{1000};
    std::vector<Lock> held;
    std::map<pid_t, std::string> commands; // the processes that run

    std::optional<std::string> read(const std::string &path, size_t limit) const override {
        const auto found = files.find(path);
        return found == files.end() ? std::nullopt
                                    : std::optional<std::string>(found->second.substr(0, limit));
    }
    int status(const std::string &path, bool follow, struct stat &node) const override {
        node = {};
        std::string real = path;
        for (int hops = 0; links.contains(real); ++hops) {
            if (!follow) {
                node.st_mode = S_IFLNK | 0777;
                return 0;
            }
            if (hops == 40) {
                return ELOOP;
            }
            const std::string &target = links.at(real);
            real = target.starts_with("/") ? target : real.substr(0, real.rfind('/') + 1) + target;
        }
        if (const auto found = nodes.find(real); found != nodes.end()) {
            node = found->second;
        } else if (files.contains(real)) {
            node.st_mode = S_IFREG | 0644;
            node.st_ino = std::hash<std::string>{}(real);
        } else if (!list(real).empty()) {
            node.st_mode = S_IFDIR | 0755;
        } else {
            return ENOENT;
        }
        return 0;
    }
    std::string link_target(const std::string &path) const override {
        const auto found = links.find(path);
        return found == links.end() ? "" : found->second;
    }
    std::vector<std::string> list(const std::string &folder) const override {
        std::set<std::string> names;
        const std::string prefix = folder + "/";
        auto add = [&](const std::string &path) {
            if (path.starts_with(prefix)) {
                names.insert(
                    path.substr(prefix.size(), path.find('/', prefix.size()) - prefix.size()));
            }
        };
        for (const auto &[path, content] : files) {
            add(path);
        }
        for (const auto &[path, node] : nodes) {
            add(path);
        }
        for (const auto &[path, target] : links) {
            add(path);
        }
        return {names.begin(), names.end()};
    }
    bool may_read_write(const std::string &path) const override {
        return open_to_caller.contains(path);
    }
    uid_t user() const override {
        return uid;
    }
    std::vector<gid_t> groups() const override {
        return login;
    }
    std::vector<Lock> locks() const override {
        return held;
    }
    std::string command_of(pid_t pid) const override {
        return commands.contains(pid) ? commands.at(pid) : "";
    }
    bool running(pid_t pid) const override {
        return commands.contains(pid);
    }
    bool opened_for_io(const Opened &) const override {
        return true;
    }
};

const dev_t devtmpfs = makedev(0, 5);

// A serial device as udev makes it (root:dialout, 0660), with its sysfs
// entry: the hardware's driver and, for a serial core port, the UART's type.
void serial(Fake &machine, const std::string &name, dev_t number, const std::string &driver,
            const std::string &type = "") {
    struct stat node {};
    node.st_mode = S_IFCHR | 0660;
    node.st_rdev = number;
    node.st_gid = 20;
    node.st_dev = devtmpfs;
    node.st_ino = 100 + machine.nodes.size();
    machine.nodes["/dev/" + name] = node;
    const std::string sys = "/sys/dev/char/" + device_number(number);
    machine.links[sys] = "../../devices/platform/tty/" + name;
    machine.links[sys + "/device/driver"] = "../../../bus/platform/drivers/" + driver;
    if (!type.empty()) {
        machine.files[sys + "/type"] = type + "\n";
    }
    machine.files["/sys/class/tty/" + name + "/dev"] = device_number(number) + "\n";
}

// ttyS0 to ttyS3, on a PC with the first two UARTs: the kernel makes all four.
void uart(Fake &machine, int port, const std::string &type = "4") {
    serial(machine, "ttyS" + std::to_string(port), makedev(4, 64 + port), "serial8250", type);
}

const dev_t usb0 = makedev(188, 0);

// Debian's machine for alice, who is in no group but her own.
Fake machine() {
    Fake machine;
    machine.files["/proc/tty/drivers"] =
        "/dev/tty             /dev/tty        5       0 system:/dev/tty\n"
        "/dev/console         /dev/console    5       1 system:console\n"
        "/dev/ptmx            /dev/ptmx       5       2 system\n"
        "usbserial            /dev/ttyUSB   188 0-511 serial\n"
        "acm                  /dev/ttyACM   166 0-255 serial\n"
        "ttyAMA               /dev/ttyAMA   204 64-77 serial\n"
        "serial               /dev/ttyS       4 64-95 serial\n"
        "pty_slave            /dev/pts      136 0-1048575 pty:slave\n";
    machine.files["/proc/sys/kernel/pid_max"] = "4194304\n";
    machine.files["/sys/class/tty/console/dev"] = "5:1\n";
    machine.files["/etc/passwd"] = "root:x:0:0:root:/root:/bin/bash\n"
                                   "alice:x:1000:1000:Alice:/home/alice:/bin/bash\n";
    machine.files["/etc/group"] = "root:x:0:\ntty:x:5:\ndialout:x:20:\nalice:x:1000:\n";
    return machine;
}

// An FTDI adapter that alice may use.
Fake with_adapter() {
    Fake made = machine();
    serial(made, "ttyUSB0", usb0, "ftdi_sio");
    made.open_to_caller.insert("/dev/ttyUSB0");
    return made;
}

void console_on_ttys0(Fake &machine) {
    uart(machine, 0);
    machine.files["/proc/consoles"] = "ttyS0                -W- (EC  p a)    4:64\n";
}

// Words as /proc/PID/cmdline and the device tree keep them, each ended by a NUL.
std::string nul_joined(const std::vector<std::string> &words) {
    std::string joined;
    for (const std::string &word : words) {
        joined += word + '\0';
    }
    return joined;
}

// Each table's rows name themselves, to GoogleTest and to CTest.
template <typename Row>
requires requires(const Row &row) {
    row.name;
}
void PrintTo(const Row &row, std::ostream *out) {
    *out << row.name;
}

template <typename Row> std::string test_name(const testing::TestParamInfo<Row> &info) {
    std::string name;
    for (const char c : info.param.name) {
        name += std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
    }
    return name;
}

struct CauseRow {
    // cppcheck-suppress unusedStructMember ; PrintTo and test_name use it
    std::string name;
    std::function<void(Fake &, Processes &)> setup;
    std::string device;
    Verdict verdict;
    std::string wrong; // the cause's wrong: line; empty for a row without causes
    std::string todo;  // its do: line, where the row checks it
    size_t causes;     // how many causes the device has in all
};

class Causes : public testing::TestWithParam<CauseRow> {};

TEST_P(Causes, VerdictAndLines) {
    const CauseRow &row = GetParam();
    Fake made = with_adapter();
    Processes seen;
    row.setup(made, seen);
    const Report report = examine(made, row.device, seen);
    EXPECT_EQ(verdict(report), row.verdict);
    EXPECT_EQ(report.causes.size(), row.causes);
    if (row.wrong.empty()) {
        return;
    }
    const auto cause = std::ranges::find_if(
        report.causes, [&](const Cause &found) { return found.wrong == row.wrong; });
    ASSERT_NE(cause, report.causes.end()) << report.causes.front().wrong;
    if (!row.todo.empty()) {
        EXPECT_EQ(cause->todo, row.todo);
    }
}

const std::string dialout_rw = " (owner root, group dialout, crw-rw----)";
const std::string rm_stale = " (lowrad ignores it, but other serial programs refuse the port)";

void no_access(Fake &made, Processes &) {
    made.open_to_caller.clear();
}

void lock_file(Fake &made, const std::string &path, const std::string &content, pid_t runs = 0,
               const std::string &command = "") {
    made.files[path] = content;
    if (runs != 0) {
        made.commands[runs] = command;
    }
}

// /dev/pts/3 of the devpts instance at /dev/pts, alice's own; the same number
// in another instance (a container's) is another device.
const dev_t pts3 = makedev(136, 3);
const dev_t devpts = makedev(0, 24);
const dev_t other_devpts = makedev(0, 99);

void pts_port(Fake &made, Processes &seen, dev_t instance) {
    struct stat node {};
    node.st_mode = S_IFCHR | 0620;
    node.st_rdev = pts3;
    node.st_dev = devpts;
    node.st_uid = 1000;
    made.nodes["/dev/pts/3"] = node;
    made.open_to_caller.insert("/dev/pts/3");
    seen.controlling.emplace_back(Holder{4321, "minicom"}, Node{pts3, instance});
    seen.opened.push_back({{4321, "minicom"}, {pts3, instance}, "0"});
}

std::string members(int count) {
    std::string names;
    for (int member = 0; member < count; ++member) {
        names += "user" + std::to_string(member) + ",";
    }
    return names;
}

INSTANTIATE_TEST_SUITE_P(
    Doctor, Causes,
    testing::Values(
        CauseRow{"usable", [](Fake &, Processes &) {}, "/dev/ttyUSB0", Verdict::usable, "", "", 0},
        CauseRow{"console",
                 [](Fake &made, Processes &) {
                     console_on_ttys0(made);
                     made.open_to_caller.insert("/dev/ttyS0");
                 },
                 "/dev/ttyS0", Verdict::shared,
                 "the kernel's console writes its messages on it (/proc/consoles)",
                 "remove console=ttyS0 from the kernel command line (Debian: GRUB_CMDLINE_LINUX "
                 "in /etc/default/grub, then sudo update-grub; Raspberry Pi: cmdline.txt), and "
                 "reboot",
                 1},
        CauseRow{"the console's own port is given to no group",
                 [](Fake &made, Processes &) {
                     console_on_ttys0(made);
                     made.nodes["/dev/ttyS0"].st_gid = 5;
                     made.nodes["/dev/ttyS0"].st_mode = S_IFCHR | 0620;
                 },
                 "/dev/ttyS0", Verdict::will_not_open,
                 "only root may read and write /dev/ttyS0 (owner root, group tty, crw--w----)",
                 "once the console is off this port, the next boot gives it to the group dialout",
                 2},
        CauseRow{"getty",
                 [](Fake &made, Processes &seen) {
                     uart(made, 0);
                     made.open_to_caller.insert("/dev/ttyS0");
                     seen.all.push_back({612, "agetty"});
                     made.files["/proc/612/cmdline"] =
                         nul_joined({"/sbin/agetty", "-o", "-p -- \\u", "--keep-baud", "ttyS0"});
                 },
                 "/dev/ttyS0", Verdict::shared, "a getty waits for logins on it: 612 agetty",
                 "sudo systemctl disable --now serial-getty@ttyS0.service", 1},
        CauseRow{"no UART, its only cause", [](Fake &made, Processes &) { uart(made, 1, "0"); },
                 "/dev/ttyS1", Verdict::will_not_open,
                 "no UART answers at ttyS1: the driver made the port, but found no chip behind it "
                 "(sysfs type 0)",
                 "", 1},
        CauseRow{"missing, its only cause", [](Fake &, Processes &) {}, "/dev/ttyS2",
                 Verdict::will_not_open, "/dev/ttyS2 does not exist",
                 "the machine has no such port: choose one this report shows as usable, or show "
                 "lowrad another device with lowrad-run --map ttyS2=DEVICE",
                 1},
        CauseRow{"a link to nothing",
                 [](Fake &made, Processes &) { made.links["/dev/serial0"] = "ttyAMA0"; },
                 "/dev/serial0", Verdict::will_not_open,
                 "/dev/serial0 leads to ttyAMA0, which does not exist", "", 1},
        CauseRow{"a loop of links",
                 [](Fake &made, Processes &) {
                     made.links["/dev/l1"] = "l2";
                     made.links["/dev/l2"] = "/dev/l1";
                 },
                 "/dev/l1", Verdict::will_not_open, "/dev/l1 is a loop of symbolic links", "", 1},
        CauseRow{"in dialout in /etc/group among 50,000, not in this login",
                 [](Fake &made, Processes &seen) {
                     no_access(made, seen);
                     made.files["/etc/group"] = "dialout:x:20:" + members(50000) + "alice\n";
                 },
                 "/dev/ttyUSB0", Verdict::will_not_open,
                 "alice is in the group dialout, which may read and write /dev/ttyUSB0" +
                     dialout_rw + ", in /etc/group, but this login started without it",
                 "log out and in again (or run newgrp dialout in this terminal)", 1},
        CauseRow{"not in dialout at all", no_access, "/dev/ttyUSB0", Verdict::will_not_open,
                 "alice is not in the group dialout, which may read and write /dev/ttyUSB0" +
                     dialout_rw,
                 "sudo usermod -aG dialout alice, then log out and in again", 1},
        CauseRow{"an ACL refuses a member",
                 [](Fake &made, Processes &seen) {
                     no_access(made, seen);
                     made.login.push_back(20);
                 },
                 "/dev/ttyUSB0", Verdict::will_not_open,
                 "alice has the group dialout and yet may not read and write /dev/ttyUSB0" +
                     dialout_rw + ": an ACL or a read-only mount refuses it",
                 "getfacl /dev/ttyUSB0 shows the ACL; ask whoever set it up", 1},
        CauseRow{"the owner's alone",
                 [](Fake &made, Processes &seen) {
                     no_access(made, seen);
                     made.nodes["/dev/ttyUSB0"].st_mode = S_IFCHR | 0600;
                 },
                 "/dev/ttyUSB0", Verdict::will_not_open,
                 "only root may read and write /dev/ttyUSB0 (owner root, group dialout, "
                 "crw-------)",
                 "give it to the group dialout: sudo chgrp dialout /dev/ttyUSB0 && sudo chmod "
                 "g+rw /dev/ttyUSB0 (until the next boot; a udev rule keeps it)",
                 1},
        CauseRow{"flock",
                 [](Fake &made, Processes &) {
                     const struct stat &node = made.nodes["/dev/ttyUSB0"];
                     made.held.push_back({"FLOCK", 4321, node.st_dev, node.st_ino});
                     made.commands[4321] = "lowrad";
                 },
                 "/dev/ttyUSB0", Verdict::will_not_open,
                 "4321 lowrad holds it locked with flock, as lowrad does while it measures",
                 "wait until that program ends, or end it (it may be another lowrad)", 1},
        CauseRow{"POSIX lock",
                 [](Fake &made, Processes &) {
                     const struct stat &node = made.nodes["/dev/ttyUSB0"];
                     made.held.push_back({"POSIX", 4321, node.st_dev, node.st_ino});
                     made.commands[4321] = "minicom";
                 },
                 "/dev/ttyUSB0", Verdict::usable,
                 "4321 minicom holds a POSIX lock on it, which lowrad's flock does not see",
                 "end that program while lowrad measures", 1},
        CauseRow{"an OFD lock whose holder /proc hides",
                 [](Fake &made, Processes &) {
                     const struct stat &node = made.nodes["/dev/ttyUSB0"];
                     made.held.push_back({"OFDLCK", 0, node.st_dev, node.st_ino});
                 },
                 "/dev/ttyUSB0", Verdict::usable,
                 "a process hidden from lowrad-doctor holds a OFDLCK lock on it, which lowrad's "
                 "flock does not see",
                 "", 1},
        CauseRow{"a pseudo-terminal held in its own devpts instance",
                 [](Fake &made, Processes &seen) { pts_port(made, seen, devpts); }, "/dev/pts/3",
                 Verdict::shared, "4321 minicom has it open, without a lock", "", 1},
        CauseRow{"its number held in another devpts instance",
                 [](Fake &made, Processes &seen) { pts_port(made, seen, other_devpts); },
                 "/dev/pts/3", Verdict::usable, "", "", 0},
        CauseRow{"open without a lock",
                 [](Fake &, Processes &seen) {
                     seen.opened.push_back({{4321, "minicom"}, {usb0, devtmpfs}, "3"});
                 },
                 "/dev/ttyUSB0", Verdict::shared, "4321 minicom has it open, without a lock", "",
                 1},
        CauseRow{"a live ASCII lock file",
                 [](Fake &made, Processes &) {
                     lock_file(made, "/run/lock/LCK..ttyUSB0", "      4321\n", 4321, "minicom");
                 },
                 "/dev/ttyUSB0", Verdict::shared,
                 "/run/lock/LCK..ttyUSB0 says that 4321 minicom uses it",
                 "end that program first: lowrad ignores the lock file, but both would read the "
                 "line",
                 1},
        CauseRow{
            "a stale ASCII lock file",
            [](Fake &made, Processes &) { lock_file(made, "/var/lock/LCK..ttyUSB0", "4242\n"); },
            "/dev/ttyUSB0", Verdict::usable,
            "/var/lock/LCK..ttyUSB0 names process 4242, which no longer runs (a stale lock)",
            "sudo rm /var/lock/LCK..ttyUSB0" + rm_stale, 1},
        CauseRow{"a live binary lock file",
                 [](Fake &made, Processes &) {
                     lock_file(made, "/run/lock/LCK..ttyUSB0", std::string("\x39\x30\0\0", 4),
                               12345, "cu");
                 },
                 "/dev/ttyUSB0", Verdict::shared,
                 "/run/lock/LCK..ttyUSB0 says that 12345 cu uses it", "", 1},
        CauseRow{"a live lock file where /proc hides pid_max (subset=pid)",
                 [](Fake &made, Processes &) {
                     made.files.erase("/proc/sys/kernel/pid_max");
                     lock_file(made, "/run/lock/LCK..ttyUSB0", "100000\n", 100000, "cu");
                 },
                 "/dev/ttyUSB0", Verdict::shared,
                 "/run/lock/LCK..ttyUSB0 says that 100000 cu uses it", "", 1},
        CauseRow{"a stale binary lock file",
                 [](Fake &made, Processes &) {
                     lock_file(made, "/run/lock/LCK..ttyUSB0", std::string("\x92\x10\0\0", 4));
                 },
                 "/dev/ttyUSB0", Verdict::usable,
                 "/run/lock/LCK..ttyUSB0 names process 4242, which no longer runs (a stale lock)",
                 "", 1},
        CauseRow{"a FIFO as a lock file",
                 [](Fake &made, Processes &) {
                     made.nodes["/run/lock/LCK..ttyUSB0"].st_mode = S_IFIFO | 0644;
                 },
                 "/dev/ttyUSB0", Verdict::usable,
                 "/run/lock/LCK..ttyUSB0 holds no valid process id",
                 "sudo rm /run/lock/LCK..ttyUSB0" + rm_stale, 1}),
    test_name<CauseRow>);

// What a lock file holds, as bytes: ASCII, binary, or no valid process id.
TEST(Doctor, LockFilePids) {
    const std::vector<std::pair<std::string, pid_t>> rows{
        {"      4242\n", 4242},
        {"1234", 1234},
        {std::string("\x39\x30\0\0", 4), 12345},
        {std::string("\x01\0\0\0", 4), 1},
        {"4194304\n", 4194304},
        {"", 0},
        {"\n", 0},
        {"minicom\n", 0},
        {"-5\n", 0},
        {"0\n", 0},
        {"12 34\n", 0},
        {"4194305\n", 0},
        {"4294967297\n", 0},
        {"99999999999999999999999\n", 0},
        {"\xff\xff\xff\xff", 0},
        {std::string("\0\0\0\0", 4), 0},
        {std::string("\x39\x30\0\0\0", 5), 0},
    };
    for (const auto &[content, pid] : rows) {
        EXPECT_EQ(lock_file_pid(content, 4194304), pid) << testing::PrintToString(content);
    }
}

// A Raspberry Pi's device tree: serial0 is the mini UART, serial1 the PL011
// that Bluetooth uses, as on a Pi 3, 4 or Zero W.
void raspberry_pi(Fake &made, const std::string &model, const std::string &mini_status) {
    const std::string tree = "/proc/device-tree";
    const std::string mini = "/soc/serial@7e215040";
    const std::string pl011 = "/soc/serial@7e201000";
    made.files[tree + "/model"] = nul_joined({model});
    made.files[tree + "/aliases/serial0"] = nul_joined({mini});
    made.files[tree + "/aliases/serial1"] = nul_joined({pl011});
    made.files[tree + mini + "/compatible"] = nul_joined({"brcm,bcm2835-aux-uart"});
    made.files[tree + mini + "/status"] = nul_joined({mini_status});
    made.files[tree + pl011 + "/compatible"] = nul_joined({"arm,pl011", "arm,primecell"});
    made.files[tree + pl011 + "/status"] = nul_joined({"okay"});
    made.files[tree + pl011 + "/bluetooth/compatible"] = nul_joined({"brcm,bcm43438-bt"});
}

// A USB device on the bus with one interface, whose driver is driver (none: no driver).
void usb_device(Fake &made, const std::string &vendor, const std::string &product,
                const std::string &driver) {
    const std::string device = "/sys/bus/usb/devices/1-1";
    made.files[device + "/idVendor"] = vendor + "\n";
    made.files[device + "/idProduct"] = product + "\n";
    made.files[device + "/product"] = "USB Serial\n";
    made.files[device + "/1-1:1.0/bInterfaceClass"] = "ff\n";
    if (!driver.empty()) {
        made.links[device + "/1-1:1.0/driver"] = "../../../bus/usb/drivers/" + driver;
    }
}

struct MachineRow {
    // cppcheck-suppress unusedStructMember ; PrintTo and test_name use it
    std::string name;
    std::function<void(Fake &, Processes &)> setup;
    std::string model;
    std::vector<std::string> lines; // wrong: and do: of each cause
};

class AroundThePorts : public testing::TestWithParam<MachineRow> {};

TEST_P(AroundThePorts, Causes) {
    const MachineRow &row = GetParam();
    Fake made = machine();
    Processes seen;
    row.setup(made, seen);
    std::string model;
    std::vector<Cause> causes = raspberry_causes(made, model);
    const std::vector<Cause> usb = usb_causes(made, seen);
    causes.insert(causes.end(), usb.begin(), usb.end());
    std::vector<std::string> lines;
    for (const Cause &cause : causes) {
        lines.push_back(cause.wrong);
        lines.push_back(cause.todo);
    }
    EXPECT_EQ(model, row.model);
    EXPECT_EQ(lines, row.lines);
}

const std::string bluetooth =
    "the UART of serial1 (/soc/serial@7e201000, ttyAMA0) is wired to Bluetooth on this model, "
    "not to GPIO pins 8 and 10";
const std::string disable_bt = "connect the counter to /dev/serial0, or give the GPIO pins this "
                               "UART with dtoverlay=disable-bt in config.txt";

INSTANTIATE_TEST_SUITE_P(
    Doctor, AroundThePorts,
    testing::Values(
        MachineRow{"a CH340 adapter that brltty has claimed",
                   [](Fake &made, Processes &seen) {
                       seen.all.push_back({77, "brltty"});
                       usb_device(made, "1a86", "7523", "usbfs");
                   },
                   "",
                   {"brltty runs (77): it claims some USB serial adapters (CH340, CP210x) for "
                    "braille displays",
                    "where no braille display needs it: sudo systemctl mask brltty-udev.service "
                    "brltty.service, then plug the adapter in again",
                    "the USB serial adapter 1a86:7523 (USB Serial) has no serial device (its "
                    "interface's driver: usbfs)",
                    "a program (brltty?) has claimed it: stop that program, then plug the "
                    "adapter in again"}},
        MachineRow{"an FTDI adapter without its driver",
                   [](Fake &made, Processes &) { usb_device(made, "0403", "6001", ""); },
                   "",
                   {"the USB serial adapter 0403:6001 (USB Serial) has no serial device (its "
                    "interface's driver: none)",
                    "load its driver: sudo modprobe ftdi_sio, then plug the adapter in again"}},
        MachineRow{"a Raspberry Pi 3",
                   [](Fake &made, Processes &) {
                       raspberry_pi(made, "Raspberry Pi 3 Model B Rev 1.2", "okay");
                       made.links["/dev/serial0"] = "ttyS0";
                       made.links["/dev/serial1"] = "ttyAMA0";
                   },
                   "Raspberry Pi 3 Model B Rev 1.2, /dev/serial0 -> ttyS0, /dev/serial1 -> "
                   "ttyAMA0",
                   {bluetooth, disable_bt}},
        MachineRow{"a Raspberry Pi Zero W without enable_uart=1",
                   [](Fake &made, Processes &) {
                       raspberry_pi(made, "Raspberry Pi Zero W Rev 1.1", "disabled");
                       made.links["/dev/serial1"] = "ttyAMA0";
                   },
                   "Raspberry Pi Zero W Rev 1.1, /dev/serial0 -> nothing, /dev/serial1 -> "
                   "ttyAMA0",
                   {"the UART of serial0 (the mini UART, /soc/serial@7e215040) is disabled in "
                    "the device tree",
                    "add enable_uart=1 to config.txt (/boot/firmware/config.txt), and reboot",
                    bluetooth, disable_bt}}),
    test_name<MachineRow>);

// What leads the report for a mix of devices, and the status.
struct AnswerRow {
    // cppcheck-suppress unusedStructMember ; PrintTo and test_name use it
    std::string name;
    std::function<void(Fake &)> setup;
    std::string answer; // the lines between the heading and the first device
    int status;
};

class AnswerFirst : public testing::TestWithParam<AnswerRow> {};

const std::string heading = "lowrad-doctor: what stands between lowrad and the serial devices, "
                            "seen by alice without opening any\n";

TEST_P(AnswerFirst, Leads) {
    const AnswerRow &row = GetParam();
    Fake made = machine();
    row.setup(made);
    const Written report = write_report(made, {}, {});
    ASSERT_TRUE(report.text.starts_with(heading)) << report.text;
    EXPECT_EQ(report.text.substr(heading.size(), report.text.find("\n\n") + 1 - heading.size()),
              row.answer)
        << report.text;
    EXPECT_EQ(report.status, row.status);
    // Every device has its verdict, and no port gets the console's group or a chgrp.
    EXPECT_EQ(report.text.find("chgrp"), std::string::npos) << report.text;
    size_t blocks = 0;
    for (size_t at = 0; (at = report.text.find("\n/dev/", at)) != std::string::npos; ++at) {
        ++blocks;
    }
    EXPECT_EQ(blocks, 4 + other_devices(made).size());
}

void usb_outside_dialout(Fake &made) {
    serial(made, "ttyUSB0", usb0, "ftdi_sio");
}

void usable(Fake &made, const std::string &device) {
    made.open_to_caller.insert(device);
}

INSTANTIATE_TEST_SUITE_P(
    Doctor, AnswerFirst,
    testing::Values(
        AnswerRow{"a USB adapter, the user outside dialout", usb_outside_dialout,
                  "First: sudo usermod -aG dialout alice, then log out and in again\n"
                  "Then:  lowrad-run --map ttyS0=/dev/ttyUSB0, then choose 0\n",
                  1},
        AnswerRow{"a USB adapter beside the console and ports without a UART",
                  [](Fake &made) {
                      console_on_ttys0(made);
                      made.nodes["/dev/ttyS0"].st_mode = S_IFCHR | 0620;
                      for (int port = 1; port < 4; ++port) {
                          uart(made, port, "0");
                      }
                      usb_outside_dialout(made);
                      usable(made, "/dev/ttyUSB0");
                  },
                  "To measure: lowrad-run --map ttyS0=/dev/ttyUSB0, then choose 0\n", 0},
        AnswerRow{"a UART and a USB adapter",
                  [](Fake &made) {
                      uart(made, 1);
                      usable(made, "/dev/ttyS1");
                      usb_outside_dialout(made);
                      usable(made, "/dev/ttyUSB0");
                  },
                  "To measure: lowrad-run --map ttyS0=/dev/ttyUSB0, then choose 0\n"
                  "To measure: run lowrad and choose 1\n",
                  0},
        AnswerRow{"ports without a UART before missing ones, and no advice on them",
                  [](Fake &made) { uart(made, 2, "0"); },
                  "First: plug in the counter's USB serial adapter, or wire it to a port with a "
                  "UART\nThen:  lowrad-doctor\n",
                  1},
        AnswerRow{"the console's port alone",
                  [](Fake &made) {
                      console_on_ttys0(made);
                      usable(made, "/dev/ttyS0");
                  },
                  "First: remove console=ttyS0 from the kernel command line (Debian: "
                  "GRUB_CMDLINE_LINUX in /etc/default/grub, then sudo update-grub; Raspberry Pi: "
                  "cmdline.txt), and reboot\nThen:  run lowrad and choose 0\n",
                  1},
        AnswerRow{"a Pi under Debian's kernel: ttyS1, which serial0 names too",
                  [](Fake &made) {
                      uart(made, 1);
                      usable(made, "/dev/ttyS1");
                      made.links["/dev/serial0"] = "ttyS1";
                      usable(made, "/dev/serial0");
                  },
                  "To measure: run lowrad and choose 1\n", 0},
        AnswerRow{"a Pi with the PL011 on the GPIO pins",
                  [](Fake &made) {
                      serial(made, "ttyAMA0", makedev(204, 64), "uart-pl011", "32");
                      usable(made, "/dev/ttyAMA0");
                      made.links["/dev/serial0"] = "ttyAMA0";
                      usable(made, "/dev/serial0");
                  },
                  "To measure: lowrad-run --map ttyS0=/dev/ttyAMA0, then choose 0\n", 0}),
    test_name<AnswerRow>);

// Where another device is usable, the console's fix says first that it need not be done.
TEST(Doctor, ConsoleFixNeedlessBesideAUsableDevice) {
    Fake made = with_adapter();
    console_on_ttys0(made);
    made.open_to_caller.insert("/dev/ttyS0");
    const std::string text = write_report(made, {}, {}).text;
    EXPECT_NE(text.find("  do:    not needed while you use a device this report shows as usable; "
                        "else remove console=ttyS0"),
              std::string::npos)
        << text;
}

std::string read(const fs::path &path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

const std::string as_root =
    geteuid() == 0 ? "Run as root: it sees every process, but root may open what your user may "
                     "not;\nrun it as the user who runs lowrad to see that user's rights.\n"
                   : "";

std::string header(const std::string &user) {
    return "lowrad-doctor: what stands between lowrad and the serial devices, seen by " + user +
           " without opening any\n";
}

std::string missing(const std::string &name) {
    return "\n/dev/" + name + ": will not open\n  wrong: /dev/" + name +
           " does not exist\n  do:    the machine has no such port: choose one this report "
           "shows as usable, or show lowrad another device with lowrad-run --map " +
           name + "=DEVICE\n";
}

const std::string no_other_ports = missing("ttyS1") + missing("ttyS2") + missing("ttyS3");

std::string me() {
    return read("/proc/self/comm").substr(0, read("/proc/self/comm").find('\n'));
}

// Through the runner the simulator's terminal is lowrad's ttyS0: usable, with
// the simulator at its other end; held, once another process has an flock on it,
// and then lowrad's opening fails as the doctor says.
TEST(Doctor, RunnersTerminalUsableThenHeld) {
    Simulator sim(counter());
    const std::vector<std::string> doctor{RUNNER_PATH, "--map", "ttyS0=" + sim.path(), "--",
                                          DOCTOR_PATH};
    const std::string pts = sim.path().substr(5);
    const std::string end = "  behind it: a pseudo-terminal, " + pts + ", whose other end " +
                            std::to_string(sim.id()) + " lowrad-sim holds\n";
    const Outcome free = execute(doctor);
    EXPECT_EQ(free.output, header(getpwuid(geteuid())->pw_name) +
                               "To measure: run lowrad and choose 0\n" + as_root +
                               "\n/dev/ttyS0: usable\n" + end + no_other_ports);
    EXPECT_EQ(free.status, 0);

    const int held = open(sim.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    const Outcome locked = execute(doctor);
    EXPECT_NE(locked.output.find(
                  "\n/dev/ttyS0: will not open\n  wrong: " + std::to_string(getpid()) + " " + me() +
                  " holds it locked with flock, as lowrad does while it measures\n"
                  "  do:    wait until that program ends, or end it (it may be "
                  "another lowrad)\n" +
                  end),
              std::string::npos)
        << locked.output;
    EXPECT_EQ(locked.status, 1);
    EXPECT_EQ(runlowrad({"ttyS0=" + sim.path()}, "0\nG\n").output,
              banner + backgroundprompt + notopened("/dev/ttyS0"));
    close(held);
}

// Neither a port of the machine's nor a DEVICE given is ever opened, not even with O_PATH.
TEST(Doctor, OpensNoPort) {
    const std::string why =
        lacking("ptrace, through strace", {"strace", "-o", "/dev/null", "true"});
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    Simulator sim(counter());
    const fs::path log =
        fs::path(testing::TempDir()) / ("lowrad-doctor-strace-" + std::to_string(getpid()));
    for (const std::vector<std::string> &arguments :
         {std::vector<std::string>{}, std::vector<std::string>{sim.path()}}) {
        // LeakSanitizer checks at exit by tracing the process itself, which
        // it cannot do under strace; a sanitized build leaves that check out
        // here alone.
        std::vector<std::string> command{
            "env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-f", "-qq",
            "-e",  "trace=open,openat,openat2",   "-o",     log,  DOCTOR_PATH};
        command.insert(command.end(), arguments.begin(), arguments.end());
        const Outcome traced = execute(command);
        const std::string calls = read(log);
        EXPECT_NE(calls.find("\"/proc"), std::string::npos) << "nothing traced: " << calls;
        for (const std::string &port :
             {std::string("\"/dev/tty"), std::string("\"/dev/serial"), "\"" + sim.path() + "\""}) {
            EXPECT_EQ(calls.find(port), std::string::npos) << port << " opened:\n" << calls;
        }
        EXPECT_NE(traced.output.find("lowrad-doctor: "), std::string::npos) << traced.output;
    }
    EXPECT_EQ(loglines(sim.finish(), "open"), std::vector<std::string>{});
    fs::remove(log);
}

// A fake tree (--root) whose /dev/ttyS0 leads to a pseudo-terminal of the
// test's own; the doctor reaches it through stat alone.
class FakeTree : public testing::Test {
  protected:
    void SetUp() override {
        std::string made = (fs::path(testing::TempDir()) / "lowrad-doctor-XXXXXX").string();
        ASSERT_NE(mkdtemp(made.data()), nullptr);
        dir = made;
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        const std::string pts = ptsname(master);
        number = pts.substr(pts.rfind('/') + 1);
        for (const std::string file : {"/proc/tty/drivers", "/etc/passwd", "/etc/group"}) {
            fs::create_directories(dir / fs::path(file).parent_path().relative_path());
            std::ofstream(dir / fs::path(file).relative_path(), std::ios::binary) << read(file);
        }
        fs::create_directories(dir / "sys/class/tty");
        fs::create_directories(dir / "dev");
        fs::create_symlink(pts, dir / "dev/ttyS0");
    }
    void TearDown() override {
        close(master);
        fs::remove_all(dir);
    }

    fs::path dir;
    int master = -1;
    std::string number; // of /dev/pts/N
};

// A FIFO and a link to /dev/zero as lock files, such as anyone may leave in
// /run/lock: neither is waited for nor read without end.
TEST_F(FakeTree, LockFilesThatAreNoFiles) {
    fs::create_directories(dir / "run/lock");
    fs::create_directories(dir / "var/lock");
    ASSERT_EQ(mkfifo((dir / ("run/lock/LCK.." + number)).c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", dir / ("var/lock/LCK.." + number));
    const Outcome doctor = execute({"timeout", "1", DOCTOR_PATH, "--root", dir});
    const std::string rm = " (lowrad ignores it, but other serial programs refuse the port)\n";
    EXPECT_NE(doctor.output.find("To measure: run lowrad and choose 0\n"), std::string::npos)
        << doctor.output;
    EXPECT_NE(doctor.output.find("\n/dev/ttyS0: usable\n"
                                 "  wrong: /run/lock/LCK.." +
                                 number +
                                 " holds no valid process id\n"
                                 "  do:    sudo rm /run/lock/LCK.." +
                                 number + rm + "  wrong: /var/lock/LCK.." + number +
                                 " holds no valid process id\n"),
              std::string::npos)
        << doctor.output;
    EXPECT_EQ(doctor.status, 0);
}

// A report or a help text that stdout did not take fails; misuse exits 2.
TEST_F(FakeTree, OutputAndMisuse) {
    const std::string full = "lowrad-doctor: writing to standard output: No space left on device\n";
    for (const std::string &arguments : {std::string("--help"), "--root " + dir.string()}) {
        const Outcome doctor =
            execute({"sh", "-c", std::string(DOCTOR_PATH) + " " + arguments + " >/dev/full"});
        EXPECT_EQ(doctor.output, full) << arguments;
        EXPECT_EQ(doctor.status, 1) << arguments;
    }
    const Outcome runner = execute({"sh", "-c", std::string(RUNNER_PATH) + " --help >/dev/full"});
    EXPECT_EQ(runner.status, 1);
    for (const std::vector<std::string> &misuse :
         {std::vector<std::string>{DOCTOR_PATH, ""}, std::vector<std::string>{DOCTOR_PATH, "-x"},
          std::vector<std::string>{DOCTOR_PATH, "--root"}}) {
        const Outcome doctor = execute(misuse);
        EXPECT_TRUE(doctor.output.starts_with("lowrad-doctor: ")) << doctor.output;
        EXPECT_NE(doctor.output.find("\n\nusage: lowrad-doctor"), std::string::npos);
        EXPECT_EQ(doctor.status, 2) << misuse.back();
    }
}

} // namespace
