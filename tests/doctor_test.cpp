// lowrad-doctor in the worlds it reads: the simulator's pseudo-terminal shown
// by the runner, free and then held; strace, for the promise that it opens no
// port; and fake trees (--root) for what no test machine shows. A fake tree
// holds the few files a row needs under /proc, /sys, /dev, /run and /etc; its
// /dev/ttyS0 leads to a pseudo-terminal of the test's own, which the doctor
// reaches through stat alone.
#include "dialogue.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string read(const fs::path &path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string replaced(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
        text.replace(at, from.size(), to);
    }
    return text;
}

const std::string asroot =
    geteuid() == 0 ? "Run as root: it sees every process, but root may open what your user may "
                     "not;\nrun it as the user who runs lowrad to see that user's rights.\n"
                   : "";

std::string header(const std::string &user) {
    return "lowrad-doctor: what stands between lowrad and its ports, seen by " + user +
           " without opening any\n";
}

std::string missing(const std::string &name) {
    return "\n/dev/" + name + ": will not open\n  wrong: /dev/" + name +
           " does not exist\n  do:    the machine has no such port: choose one this report "
           "shows as usable, or show lowrad another device with lowrad-run --map " +
           name + "=DEVICE\n";
}

const std::string othersheading = "\nOther serial devices (lowrad selects only ttyS0 to ttyS3; "
                                  "lowrad-run shows it one of these):\n";
const std::string nootherports =
    missing("ttyS1") + missing("ttyS2") + missing("ttyS3") + othersheading + "  none\n";

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
    EXPECT_EQ(free.output, header(getpwuid(geteuid())->pw_name) + asroot +
                               "\n/dev/ttyS0: usable\n" + end + nootherports);
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

// A fake tree's row: its files and links ({n}: the number of the test's
// pseudo-terminal), whether nobody runs the doctor, and what it prints after
// its first line.
struct FakeRow {
    std::string name;
    std::map<std::string, std::string> files;
    std::map<std::string, std::string> links;
    bool asnobody;
    std::string expected;
    int status;
};

void PrintTo(const FakeRow &row, std::ostream *out) {
    *out << row.name;
}

class FakeRoot : public testing::TestWithParam<FakeRow> {
  protected:
    void SetUp() override {
        std::string made = (fs::path(testing::TempDir()) / "lowrad-doctor-XXXXXX").string();
        ASSERT_NE(mkdtemp(made.data()), nullptr);
        dir = made;
        fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        pts = ptsname(master);
        number = pts.substr(pts.rfind('/') + 1);
        fs::create_directories(dir / "sys/class/tty");
        place("/proc/tty/drivers", read("/proc/tty/drivers"));
        place("/etc/passwd", "root:x:0:0:root:/root:/bin/bash\n"
                             "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n");
    }
    void TearDown() override {
        close(master);
        fs::remove_all(dir);
    }
    std::string filled(const std::string &text) const {
        return replaced(text, "{n}", number);
    }
    void place(const std::string &path, const std::string &content) const {
        const fs::path file = dir / filled(path).substr(1);
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << filled(content);
    }
    void link(const std::string &path, const std::string &target) const {
        const fs::path file = dir / path.substr(1);
        fs::create_directories(file.parent_path());
        fs::create_symlink(filled(target), file);
    }

    fs::path dir;
    int master = -1;
    std::string pts;    // /dev/pts/N
    std::string number; // N
};

TEST_P(FakeRoot, Reports) {
    const FakeRow &row = GetParam();
    for (const auto &[path, content] : row.files) {
        place(path, content);
    }
    for (const auto &[path, target] : row.links) {
        link(path, target);
    }
    std::vector<std::string> command{DOCTOR_PATH, "--root", dir};
    std::string user = getpwuid(geteuid())->pw_name;
    std::string limits = asroot;
    if (row.asnobody) {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to hand the terminal to the group dialout";
        }
        // Debian's dialout, 20, owns serial ports: root:dialout, 0660.
        ASSERT_EQ(chown(pts.c_str(), 0, 20), 0);
        ASSERT_EQ(chmod(pts.c_str(), 0660), 0);
        command.insert(command.begin(),
                       {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        user = "nobody";
        limits = "";
    }
    const Outcome doctor = execute(command);
    EXPECT_EQ(doctor.output, header(user) + limits + filled(row.expected)) << row.name;
    EXPECT_EQ(doctor.status, row.status) << row.name;
}

const std::string pty = "  behind it: a pseudo-terminal, pts/{n}\n";
const std::string consolefix =
    " from the kernel command line (Debian: GRUB_CMDLINE_LINUX in /etc/default/grub, then sudo "
    "update-grub; Raspberry Pi: cmdline.txt), and reboot\n";
const std::map<std::string, std::string> onpty{{"/dev/ttyS0", "/dev/pts/{n}"}};

std::map<std::string, std::string> with(std::map<std::string, std::string> files,
                                        const std::map<std::string, std::string> &more) {
    files.insert(more.begin(), more.end());
    return files;
}

// A Raspberry Pi's device tree: serial0 is the mini UART, serial1 the PL011
// that Bluetooth uses, as on a Pi 3, 4 or Zero W.
std::map<std::string, std::string> raspberrypi(const std::string &model,
                                               const std::string &ministatus) {
    const std::string tree = "/proc/device-tree";
    return {{tree + "/model", model + '\0'},
            {tree + "/aliases/serial0", std::string("/soc/serial@7e215040") + '\0'},
            {tree + "/aliases/serial1", std::string("/soc/serial@7e201000") + '\0'},
            {tree + "/soc/serial@7e215040/compatible", std::string("brcm,bcm2835-aux-uart") + '\0'},
            {tree + "/soc/serial@7e215040/status", ministatus + '\0'},
            {tree + "/soc/serial@7e201000/compatible",
             std::string("arm,pl011") + '\0' + "arm,primecell" + '\0'},
            {tree + "/soc/serial@7e201000/status", std::string("okay") + '\0'},
            {tree + "/soc/serial@7e201000/bluetooth/compatible",
             std::string("brcm,bcm43438-bt") + '\0'}};
}

const std::string bluetooth =
    "  wrong: the UART of serial1 (/soc/serial@7e201000, ttyAMA0) is wired to Bluetooth on this "
    "model, not to GPIO pins 8 and 10\n"
    "  do:    connect the counter to /dev/serial0, or give the GPIO pins this UART with "
    "dtoverlay=disable-bt in config.txt\n";

INSTANTIATE_TEST_SUITE_P(
    Doctor, FakeRoot,
    testing::Values(
        FakeRow{"a stale and a live UUCP lock file",
                {{"/run/lock/LCK..{n}", "      4242\n"},
                 {"/var/lock/LCK..{n}", "      4243\n"},
                 {"/proc/4243/comm", "minicom\n"}},
                onpty,
                false,
                "\n/dev/ttyS0: opens, but shared\n"
                "  wrong: /run/lock/LCK..{n} names process 4242, which no longer runs (a stale "
                "lock)\n"
                "  do:    sudo rm /run/lock/LCK..{n} (lowrad ignores it, but other serial "
                "programs refuse the port)\n"
                "  wrong: /var/lock/LCK..{n} says that 4243 minicom uses it\n"
                "  do:    end that program first: lowrad ignores the lock file, but both would "
                "read the line\n" +
                    pty + nootherports,
                1},
        FakeRow{"in the group dialout in /etc/group, but not in this login",
                {{"/etc/group", "root:x:0:\ndialout:x:20:daemon,nobody\n"}},
                onpty,
                true,
                "\n/dev/ttyS0: will not open\n"
                "  wrong: nobody is in the group dialout, which may read and write /dev/ttyS0 "
                "(owner root, group dialout, crw-rw----), in /etc/group, but this login started "
                "without it\n"
                "  do:    log out and in again (or run newgrp dialout in this terminal)\n" +
                    pty + nootherports,
                1},
        FakeRow{"not in the group dialout at all",
                {{"/etc/group", "root:x:0:\ndialout:x:20:daemon\n"}},
                onpty,
                true,
                "\n/dev/ttyS0: will not open\n"
                "  wrong: nobody is not in the group dialout, which may read and write /dev/ttyS0 "
                "(owner root, group dialout, crw-rw----)\n"
                "  do:    sudo usermod -aG dialout nobody, then log out and in again\n" +
                    pty + nootherports,
                1},
        FakeRow{
            "a Raspberry Pi 3 with the serial console on serial0",
            with(raspberrypi("Raspberry Pi 3 Model B Rev 1.2", "okay"),
                 {{"/proc/cmdline", "console=serial0,115200 console=tty1 root=/dev/mmcblk0p2\n"}}),
            {{"/dev/ttyS0", "/dev/pts/{n}"},
             {"/dev/serial0", "ttyS0"},
             {"/dev/serial1", "ttyAMA0"}},
            false,
            "\n/dev/ttyS0: opens, but shared\n"
            "  wrong: the kernel's console writes its messages on it (console=serial0,115200 "
            "on /proc/cmdline)\n"
            "  do:    remove console=serial0,115200" +
                consolefix + pty + nootherports.substr(0, nootherports.rfind("  none\n")) +
                "  /dev/serial0 -> ttyS0: lowrad-run --map ttyS0=/dev/serial0\n"
                "  /dev/serial1 -> ttyAMA0: lowrad-run --map ttyS0=/dev/serial1\n"
                "\nThe machine: Raspberry Pi 3 Model B Rev 1.2, /dev/serial0 -> ttyS0, "
                "/dev/serial1 -> ttyAMA0\n" +
                bluetooth,
            1},
        FakeRow{"a Raspberry Pi Zero W without enable_uart=1",
                raspberrypi("Raspberry Pi Zero W Rev 1.1", "disabled"),
                {{"/dev/serial1", "ttyAMA0"}, {"/dev/ttyAMA0", "/dev/pts/{n}"}},
                false,
                missing("ttyS0") + nootherports.substr(0, nootherports.rfind("  none\n")) +
                    "  /dev/serial1 -> ttyAMA0: lowrad-run --map ttyS0=/dev/serial1\n"
                    "  /dev/ttyAMA0 -> /dev/pts/{n}: lowrad-run --map ttyS0=/dev/ttyAMA0\n"
                    "\nThe machine: Raspberry Pi Zero W Rev 1.1, /dev/serial0 -> nothing, "
                    "/dev/serial1 -> ttyAMA0\n"
                    "  wrong: the UART of serial0 (the mini UART, /soc/serial@7e215040) is "
                    "disabled in the device tree\n"
                    "  do:    add enable_uart=1 to config.txt (/boot/firmware/config.txt), and "
                    "reboot\n" +
                    bluetooth,
                1},
        FakeRow{"a CH340 adapter that brltty has claimed",
                {{"/proc/77/stat", "77 (brltty) S 1 77 77 0 -1 4194560 0 0 0 0\n"},
                 {"/sys/bus/usb/devices/1-1/idVendor", "1a86\n"},
                 {"/sys/bus/usb/devices/1-1/idProduct", "7523\n"},
                 {"/sys/bus/usb/devices/1-1/product", "USB Serial\n"},
                 {"/sys/bus/usb/devices/1-1/1-1:1.0/bInterfaceClass", "ff\n"}},
                {{"/sys/bus/usb/devices/1-1/1-1:1.0/driver", "../../../bus/usb/drivers/usbfs"}},
                false,
                missing("ttyS0") + nootherports +
                    "\nThe machine:\n"
                    "  wrong: brltty runs (77): it claims some USB serial adapters (CH340, CP210x) "
                    "for braille displays\n"
                    "  do:    where no braille display needs it: sudo systemctl mask "
                    "brltty-udev.service brltty.service, then plug the adapter in again\n"
                    "  wrong: the USB serial adapter 1a86:7523 (USB Serial) has no serial device "
                    "(its interface's driver: usbfs)\n"
                    "  do:    a program (brltty?) has claimed it: stop that program, then plug the "
                    "adapter in again\n",
                1}),
    [](const testing::TestParamInfo<FakeRow> &info) {
        std::string name;
        for (const char c : info.param.name) {
            name += std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
        }
        return name;
    });

} // namespace
