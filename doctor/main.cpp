// lowrad-doctor: why lowrad cannot use a serial port, found without opening it.
//
// Without arguments it examines every serial device of the machine, the four
// ports lowrad offers first; with arguments, the devices named. The report
// (report.cpp) opens with what to do now. This file reads the options and
// prints the report, and says so where stdout took less than all of it.
#include "doctor/doctor.h"

#include <cstdio>
#include <cstdlib>
#include <getopt.h>

namespace {

const char *const usage =
    "usage: lowrad-doctor [DEVICE]...\n"
    "\n"
    "Tells what stands between lowrad and each serial device, without opening any:\n"
    "missing ports, ports without a UART, the kernel console or a getty on a port,\n"
    "permissions and groups, other programs and lock files that hold a port, USB\n"
    "adapters without a driver, the Raspberry Pi's UARTs. Each device gets a verdict:\n"
    "\"will not open\" (lowrad prints \"Com Port Opening Failed !\"), \"opens, but\n"
    "shared\" (lowrad opens it, but another reader or writer is on the line), or\n"
    "\"usable\". The report opens with what to do now: how lowrad reaches a usable\n"
    "device, or else the first fix of the device most likely to work.\n"
    "\n"
    "Without DEVICE it examines /dev/ttyS0 to /dev/ttyS3, the ports lowrad offers,\n"
    "then /dev/ttyUSB*, /dev/ttyACM*, /dev/ttyAMA*, /dev/serial0 and /dev/serial1,\n"
    "which lowrad reaches through lowrad-run --map.\n"
    "\n"
    "  -h, --help  show this text\n"
    "\n"
    "exit status: 0 when at least one examined device is usable, 1 when none is,\n"
    "2 for misuse.\n";

[[noreturn]] void misuse(const std::string &what) {
    std::fprintf(stderr, "lowrad-doctor: %s\n\n%s", what.c_str(), usage);
    std::exit(2);
}

// A report cut short by a full disk or a closed pipe must not look complete.
int print(const std::string &text, int status) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
        std::perror("lowrad-doctor: writing to standard output");
        return 1;
    }
    return status;
}

} // namespace

int main(int argc, char **argv) {
    // --root is not in --help: the tests' fake /sys, /proc, /dev, /run and /etc.
    const option options[] = {{"help", no_argument, nullptr, 'h'},
                              {"root", required_argument, nullptr, 'r'},
                              {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int option = 0; (option = getopt_long(argc, argv, ":h", options, nullptr)) != -1;) {
        if (option == 'h') {
            return print(usage, 0);
        }
        if (option == 'r') {
            root = optarg;
        } else if (option == ':') {
            misuse(std::string(argv[optind - 1]) + " needs a value");
        } else {
            misuse("unknown option " + std::string(argv[optind - 1]));
        }
    }
    std::vector<std::string> devices(argv + optind, argv + argc);
    for (const std::string &device : devices) {
        if (device.empty()) {
            misuse("an empty DEVICE names nothing");
        }
    }
    const Written report = write_report(this_machine(), scan_processes(), devices);
    return print(report.text, report.status);
}
