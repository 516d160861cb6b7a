// What the doctor's parts share.
//
// lowrad-doctor tells why lowrad cannot use a port without ever opening it:
// an open can hang on carrier detect, take a byte from a live counter or
// reset a line. Everything comes from stat, faccessat, /sys, /proc, the lock
// files and /etc/group. Devices are told apart by their device numbers, as
// the kernel knows them, never by a name that a mount namespace may have
// given to another device.
//
// system.cpp reads the machine (files under the --root prefix, the tty
// drivers, sysfs, the consoles), processes.cpp makes one pass over /proc,
// access.cpp judges the caller's rights, causes.cpp collects what stands
// between lowrad and one port, board.cpp looks at the USB adapters and the
// Raspberry Pi, main.cpp reads the options and prints the verdicts.
#pragma once

#include "procfs/procfs.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// How much a cause weighs against lowrad's use of a port.
enum class Weight {
    blocks, // lowrad prints "Com Port Opening Failed !"
    shares, // lowrad opens it, but something else reads or writes the line
    note,   // lowrad is not hindered, other programs may be
};

struct Cause {
    Weight weight;
    std::string wrong;
    std::string todo;
};

// system.cpp
// The --root prefix before /sys, /proc, /dev, /run and /etc; empty for the machine's own.
extern std::string root;
std::string under(const std::string &path);
// The whole file, empty where it cannot be read; trailing NULs and new lines cut.
std::string slurp(const std::string &path);
bool exists(const std::string &path);
std::string linktarget(const std::string &path);
std::string devicenumber(dev_t device);
// The number that text starts with (after blanks), in base; 0 where there is none.
unsigned long long number(const std::string &text, int base = 10);

// The tty driver that serves a device number, from /proc/tty/drivers.
struct TtyDriver {
    std::string name; // serial, usbserial, pty_slave...
    std::string kind; // serial, pty:slave, system:console...
    std::string tty;  // the kernel's name of the device: ttyS0, pts/3
};
bool ttydriversknown();
std::optional<TtyDriver> ttydriver(dev_t device);
bool sysfsknown();
// /sys/dev/char/MAJ:MIN, the device's folder in sysfs, empty without one.
std::string sysfsdir(dev_t device);
// The driver of the hardware behind a sysfs tty, as its device's ancestors name it.
std::string hardwaredriver(const std::string &sysdir);
// A tty's device number from /sys/class/tty/NAME/dev.
std::optional<dev_t> ttynumber(const std::string &name);

// Device numbers the kernel console writes on, each with where that was seen.
struct Console {
    dev_t device;
    std::string source;
};
std::vector<Console> consoles();

// processes.cpp: one pass over /proc (under --root), through procfs/procfs.h.
struct Holder {
    pid_t pid;
    std::string command;
};
struct Opened {
    Holder holder;
    Node node;
    std::string fd;
};
// What one pass over /proc found.
struct Processes {
    std::vector<Holder> all;
    // Every descriptor on a character device.
    std::vector<Opened> opened;
    // Controlling terminals; a pty slave's devpts instance is the one of the
    // process's own descriptor on it, and unknown (0) where it holds none.
    std::vector<std::pair<Holder, Node>> controlling;
    std::vector<std::pair<Holder, Node>> ptymasters; // pty masters, by their slave
    int unseen = 0; // processes listed whose descriptors are hidden (another user's; hidepid=1)
    bool hidepid = false; // hidepid=2 or 4: other users' processes are not even listed
};
Processes scan_processes();
// The locks of /proc/locks, and the holder of each, where /proc names one.
std::vector<Lock> locks();
// "1234 minicom", or what stands for a holder that /proc does not name.
std::string holder_of(const Lock &lock);
std::string command_of(pid_t pid);
// False for a descriptor opened with O_PATH, which touches no device, and for
// one closed since the pass (procfs/procfs.h says why).
bool opened_for_io(const Opened &descriptor);
bool running(pid_t pid);

// access.cpp
std::optional<Cause> accesscause(const std::string &path);
std::string username();

// causes.cpp
struct Report {
    std::string path;
    std::vector<Cause> causes;
    std::string behind; // what is behind a port with a tty
};
Report examine(const std::string &path, const Processes &seen);
std::string verdict(const Report &report);

// board.cpp
std::vector<Cause> usbcauses(const Processes &seen);
std::vector<Cause> raspberrycauses(std::string &model);
void listothers();
