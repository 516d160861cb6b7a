// lowrad-doctor: why lowrad cannot use a serial port, found without opening it.
//
// Without arguments it examines the four ports lowrad offers, in menu order,
// and lists the other serial devices with the runner's line for each; with
// arguments, the devices named. After the ports come what the machine shows
// around them (USB adapters, programs that take serial devices, the
// Raspberry Pi's UARTs), and first what the caller cannot see.
#include "doctor/doctor.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

const char *const usage =
    "usage: lowrad-doctor [DEVICE]...\n"
    "\n"
    "Tells what stands between lowrad and each serial port, without opening any:\n"
    "missing ports, ports without a UART, the kernel console or a getty on a port,\n"
    "permissions and groups, other programs and lock files that hold a port, USB\n"
    "adapters without a driver, the Raspberry Pi's UARTs. Each port gets a verdict:\n"
    "\"will not open\" (lowrad prints \"Com Port Opening Failed !\"), \"opens, but\n"
    "shared\" (lowrad opens it, but another reader or writer is on the line), or\n"
    "\"usable\".\n"
    "\n"
    "Without DEVICE it examines /dev/ttyS0 to /dev/ttyS3, the ports lowrad offers,\n"
    "then lists the other serial devices, each with the lowrad-run --map line that\n"
    "lets lowrad use it.\n"
    "\n"
    "  -h, --help  show this text\n"
    "\n"
    "exit status: 0 when at least one examined port is usable, 1 when none is,\n"
    "2 for misuse.\n";

[[noreturn]] void misuse(const std::string &what) {
    std::fprintf(stderr, "lowrad-doctor: %s\n\n%s", what.c_str(), usage);
    std::exit(2);
}

// The --root prefix stays out of what is printed: a fake tree reads as the machine.
void say(std::string line) {
    for (size_t at = 0; !root.empty() && (at = line.find(root + "/", at)) != std::string::npos;) {
        line.erase(at, root.size());
    }
    std::printf("%s\n", line.c_str());
}

void printcauses(const std::vector<Cause> &causes) {
    for (const Cause &cause : causes) {
        say("  wrong: " + cause.wrong);
        say("  do:    " + cause.todo);
    }
}

void printlimits(const Processes &seen) {
    if (geteuid() == 0) {
        say("Run as root: it sees every process, but root may open what your user may not;\n"
            "run it as the user who runs lowrad to see that user's rights.");
    }
    if (seen.hidepid) {
        say("/proc is mounted with hidepid: other users' processes are hidden, and a port they\n"
            "hold may look free here; sudo lowrad-doctor sees them.");
    } else if (seen.unseen > 0) {
        const std::string whose =
            seen.unseen == 1 ? " process of another user" : " processes of other users";
        say("The open files of " + std::to_string(seen.unseen) + whose + " are hidden from " +
            username() + ": a port\nthey hold may look free here; sudo lowrad-doctor sees them.");
    }
}

bool report(const std::string &path, const Processes &seen) {
    const Report found = examine(path, seen);
    const std::string outcome = verdict(found);
    say("\n" + path + ": " + outcome);
    printcauses(found.causes);
    if (!found.behind.empty()) {
        say("  behind it: " + found.behind);
    }
    return outcome == "usable";
}

void printmachine(const Processes &seen) {
    std::string model;
    std::vector<Cause> causes = raspberrycauses(model);
    const std::vector<Cause> usb = usbcauses(seen);
    causes.insert(causes.end(), usb.begin(), usb.end());
    if (model.empty() && causes.empty()) {
        return;
    }
    say("\nThe machine:" + (model.empty() ? "" : " " + model));
    printcauses(causes);
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> devices;
    bool options = true;
    for (int next = 1; next < argc; ++next) {
        const std::string arg = argv[next];
        if (options && (arg == "-h" || arg == "--help")) {
            std::fputs(usage, stdout);
            return 0;
        }
        if (options && arg == "--root") {
            // Not in --help: the tests' fake /sys, /proc, /dev, /run and /etc.
            if (++next == argc) {
                misuse("--root needs a directory");
            }
            root = argv[next];
        } else if (options && arg == "--") {
            options = false;
        } else if (options && arg.starts_with("-")) {
            misuse("unknown option " + arg);
        } else {
            devices.push_back(arg);
        }
    }
    const bool menu = devices.empty();
    for (int port = 0; menu && port < 4; ++port) {
        devices.push_back(under("/dev/ttyS" + std::to_string(port)));
    }
    const Processes seen = scan_processes();
    say("lowrad-doctor: what stands between lowrad and " +
        std::string(menu ? "its ports" : "these devices") + ", seen by " + username() +
        " without opening any");
    printlimits(seen);
    bool usable = false;
    for (const std::string &device : devices) {
        usable = report(device, seen) || usable;
    }
    if (menu) {
        listothers();
    }
    printmachine(seen);
    return usable ? 0 : 1;
}
