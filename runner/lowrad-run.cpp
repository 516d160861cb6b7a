// lowrad-run: start lowrad where /dev holds only the ports you give it.
//
// lowrad knows four paths, /dev/ttyS0 to /dev/ttyS3. To point it at the
// simulator's pseudo-terminal or at a USB adapter, and to keep it away from
// the machine's real serial ports, the runner builds a private /dev holding
// only the mapped devices under their ttySn names (namespace.cpp) and
// executes lowrad there, with the rights of the user who ran it
// (privileges.cpp). This file reads the options, refuses maps lowrad could
// not use, and runs the steps in order: everything that can be checked,
// down to whether the caller may read and write each device, is checked
// before anything is built.
#include "runner/runner.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char *const usage =
    "usage: lowrad-run [--map ttySn=DEVICE]... [--] [PROGRAM [ARGUMENT]...]\n"
    "\n"
    "Runs PROGRAM (default: the lowrad next to this runner) in a private mount\n"
    "namespace whose /dev is an empty tmpfs, with each DEVICE mounted on\n"
    "/dev/ttySn. Every ttySn not mapped is absent, so the machine's own serial\n"
    "ports are out of reach.\n"
    "\n"
    "  -m, --map ttySn=DEVICE  make DEVICE appear as /dev/ttySn (repeatable)\n"
    "  -h, --help              show this text\n"
    "\n"
    "examples:\n"
    "  lowrad-run --map ttyS0=/dev/pts/3       the simulator's pseudo-terminal\n"
    "  lowrad-run --map ttyS1=/dev/ttyUSB0     a counter on a USB adapter\n";

[[noreturn]] void misuse(const std::string &what) {
    std::fprintf(stderr, "lowrad-run: %s\n\n%s", what.c_str(), usage);
    std::exit(2);
}

Mapping parse_map(const std::string &argument) {
    static const std::regex form("(ttyS[0-9]+)=(.+)");
    std::smatch parts;
    if (!std::regex_match(argument, parts, form)) {
        misuse("'" + argument + "' is not of the form ttySn=DEVICE");
    }
    return {parts[1], parts[2]};
}

// lowrad opens only ttyS0 to ttyS3; another PROGRAM may want other names.
void check_name(const Mapping &map, bool own_program) {
    // Of the form ttyS and digits already: one digit, 0 to 3.
    if (map.name.size() == 5 && map.name.back() <= '3') {
        return;
    }
    const std::string problem = "lowrad selects only ttyS0 to ttyS3, not " + map.name;
    if (!own_program) {
        misuse(problem + " (with a PROGRAM of your own, any ttySn)");
    }
    std::fprintf(stderr, "lowrad-run: warning: %s\n", problem.c_str());
}

// Each name once, for a device that exists and is no directory.
void check_maps(const std::vector<Mapping> &maps, bool own_program) {
    for (auto map = maps.begin(); map != maps.end(); ++map) {
        check_name(*map, own_program);
        for (auto earlier = maps.begin(); earlier != map; ++earlier) {
            if (earlier->name == map->name) {
                misuse(map->name + " is mapped twice, to " + earlier->device + " and to " +
                       map->device);
            }
        }
        struct stat status {};
        if (stat(map->device.c_str(), &status) != 0) {
            fail(map->device);
        }
        if (S_ISDIR(status.st_mode)) {
            misuse(map->device + ", mapped to " + map->name +
                   ", is a directory, not a device such as /dev/ttyUSB0");
        }
    }
}

// The lowrad built or installed beside the runner, else whatever PATH finds.
// Read before the namespace is entered: in a chroot, /proc/self/exe then
// names the runner as seen from outside it.
std::string default_program() {
    std::string self(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (length > 0) {
        self.resize(static_cast<size_t>(length));
        std::string beside = self.substr(0, self.rfind('/') + 1) + "lowrad";
        if (access(beside.c_str(), X_OK) == 0) {
            return beside;
        }
    }
    return "lowrad";
}

// Options stop at the first PROGRAM word, so that its own options stay its own.
int read_options(int argc, char **argv, std::vector<Mapping> &maps) {
    const option options[] = {{"help", no_argument, nullptr, 'h'},
                              {"map", required_argument, nullptr, 'm'},
                              {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int option = 0; (option = getopt_long(argc, argv, "+:hm:", options, nullptr)) != -1;) {
        const std::string given = argv[optind - 1];
        if (option == 'h') {
            std::fputs(usage, stdout);
            std::exit(std::fflush(stdout) == 0 && std::ferror(stdout) == 0 ? 0 : 1);
        }
        if (option == 'm') {
            maps.push_back(parse_map(optarg));
        } else if (option == ':') {
            misuse(given + " needs a value, ttySn=DEVICE");
        } else {
            misuse("unknown option " + given);
        }
    }
    return optind;
}

} // namespace

void fail(const std::string &what) {
    std::fprintf(stderr, "lowrad-run: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

int main(int argc, char **argv) {
    refuse_set_id();
    std::vector<Mapping> maps;
    const int next = read_options(argc, argv, maps);
    const bool own_program = next < argc;
    check_maps(maps, own_program);
    const std::string program = own_program ? argv[next] : default_program();
    const std::optional<Account> user = sudoer();
    check_access(user, maps);

    enter_namespace();
    make_private_dev(maps);
    if (user) {
        become(*user);
    }

    std::vector<char *> command{const_cast<char *>(program.c_str())};
    for (int i = next + 1; i < argc; ++i) {
        command.push_back(argv[i]);
    }
    command.push_back(nullptr);
    execvp(command[0], command.data());
    fail(program);
}
