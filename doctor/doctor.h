// What the doctor's parts share.
//
// lowrad-doctor tells why lowrad cannot use a port without ever opening it:
// an open can hang on carrier detect, take a byte from a live counter or
// reset a line. Everything comes from stat, faccessat, /sys, /proc, the lock
// files and /etc/group. Devices are told apart by their device numbers, as
// the kernel knows them, never by a name that a mount namespace may have
// given to another device.
//
// Everything the logic asks the machine goes through one seam, Machine:
// system.cpp is the real one (the --root prefix before every path), and the
// tests bring one made of plain data, so that each cause is judged for any
// user without root. processes.cpp makes one pass over /proc, whose result
// the logic takes as plain data too. access.cpp judges the caller's rights
// (the runner asks it as well), causes.cpp collects what stands between
// lowrad and one port, board.cpp looks at the USB adapters and the Raspberry
// Pi, report.cpp chooses the devices, the answer that leads the report and
// writes the report; main.cpp reads the options and prints it.
#pragma once

#include "procfs/procfs.h"

#include <cstddef>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

class Machine;

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
// "1234 minicom", or what stands for a holder that /proc does not name; the
// command as the machine tells it.
std::string holder_of(const Machine &machine, const Lock &lock);
std::string command_of(pid_t pid);
// False for a descriptor opened with O_PATH, which touches no device, and for
// one closed since the pass (procfs/procfs.h says why).
bool opened_for_io(const Opened &descriptor);
bool running(pid_t pid);

// system.cpp: the plain reads that the pass over /proc makes.
// The --root prefix before /sys, /proc, /dev, /run and /etc; empty for the machine's own.
extern std::string root;
std::string under(const std::string &path);
// The whole file, empty where it cannot be read; trailing NULs and new lines cut.
std::string slurp(const std::string &path);
bool exists(const std::string &path);
// The number that text starts with (after blanks), in base; 0 where there is none.
unsigned long long number(const std::string &text, int base = 10);

// The seam: every question the doctor's logic asks the machine.
class Machine {
  public:
    virtual ~Machine() = default;
    // At most limit bytes of a regular file as they are, NULs kept; nullopt
    // for anything else. Never follows a last symbolic link, never waits.
    virtual std::optional<std::string> read(const std::string &path, size_t limit) const = 0;
    // 0 with the node filled in, or stat's errno; lstat's where follow is false.
    virtual int status(const std::string &path, bool follow, struct stat &node) const = 0;
    virtual std::string link_target(const std::string &path) const = 0;
    // The names in a folder, sorted, without those that start with a dot.
    virtual std::vector<std::string> list(const std::string &folder) const = 0;
    // The kernel's answer: faccessat for reading and writing, with the
    // effective ids, so that ACLs and read-only mounts count.
    virtual bool may_read_write(const std::string &path) const = 0;
    virtual uid_t user() const = 0;
    // The effective group first, then the login's supplementary groups.
    virtual std::vector<gid_t> groups() const = 0;
    virtual std::vector<Lock> locks() const = 0;
    virtual std::string command_of(pid_t pid) const = 0;
    virtual bool running(pid_t pid) const = 0;
    virtual bool opened_for_io(const Opened &descriptor) const = 0;
};

// system.cpp
// The machine this runs on, seen under the --root prefix.
const Machine &this_machine();
// A text file of /proc, /sys or /etc, empty where it cannot be read;
// trailing NULs and new lines cut.
std::string read_text(const Machine &machine, const std::string &path);
bool exists(const Machine &machine, const std::string &path);
std::string device_number(dev_t device);

// The tty driver that serves a device number, from /proc/tty/drivers.
struct TtyDriver {
    std::string name; // serial, usbserial, pty_slave...
    std::string kind; // serial, pty:slave, system:console...
    std::string tty;  // the kernel's name of the device: ttyS0, pts/3
};
std::optional<TtyDriver> tty_driver(const std::string &drivers, dev_t device);
// /sys/dev/char/MAJ:MIN, the device's folder in sysfs, empty without one.
std::string sysfs_dir(const Machine &machine, dev_t device);
// The driver of the hardware behind a sysfs tty, as its device's ancestors name it.
std::string hardware_driver(const Machine &machine, const std::string &sysdir);
// A tty's device number from /sys/class/tty/NAME/dev.
std::optional<dev_t> tty_number(const Machine &machine, const std::string &name);

// Device numbers the kernel console writes on, each with where that was seen.
struct Console {
    dev_t device;
    std::string source;
};
std::vector<Console> consoles(const Machine &machine);
// The parsers behind it, for the fuzzers too: the device numbers that
// /proc/consoles lists, and the words console=NAME[,OPTIONS] of a command line.
std::vector<dev_t> console_list(const std::string &proc_consoles);
std::vector<std::string> console_words(const std::string &cmdline);

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
    bool console = false; // the kernel console's: needless where another port is usable
};

// access.cpp
// Why the caller may not read and write path, and what would let them; none where they may.
std::optional<Cause> access_cause(const Machine &machine, const std::string &path,
                                  bool console_port = false);
std::string user_name(const Machine &machine);
// The fields of the line of an /etc/passwd or /etc/group style text whose third field is id.
std::vector<std::string> entry_of(const std::string &file, unsigned id);
// Whether /etc/group's line of group lists user among its members.
bool listed_in(const std::string &group_file, gid_t group, const std::string &user);

// causes.cpp
enum class Verdict { will_not_open, shared, usable };
std::string verdict_text(Verdict verdict);

// What is behind a device, for choosing which to advise first.
enum class Hardware { usb, uart, other, none, missing };

struct Report {
    std::string path;
    std::vector<Cause> causes;
    std::string behind; // what is behind a port with a tty
    Hardware hardware = Hardware::other;
    dev_t device = 0; // the device number, where there is a device
};
Report examine(const Machine &machine, const std::string &path, const Processes &seen);
Verdict verdict(const Report &report);
// The process id of a UUCP lock file: ASCII, or a binary int from older
// programs; 0 where it holds none in 1..pid_max.
pid_t lock_file_pid(const std::string &content, long pid_max);

// board.cpp
std::vector<Cause> usb_causes(const Machine &machine, const Processes &seen);
std::vector<Cause> raspberry_causes(const Machine &machine, std::string &model);
// The serial devices of /dev beside ttyS0 to ttyS3, in the order of the report.
std::vector<std::string> other_devices(const Machine &machine);

// report.cpp
struct Written {
    std::string text;
    int status; // 0 where a device is usable, else 1
};
// The whole report on devices, or with none on every serial device of the machine.
Written write_report(const Machine &machine, const Processes &seen,
                     const std::vector<std::string> &devices);
