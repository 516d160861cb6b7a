// lowrad-run: start lowrad where /dev holds only the ports you give it.
//
// lowrad knows four paths, /dev/ttyS0 to /dev/ttyS3. To point it at the
// simulator's pseudo-terminal or at a USB adapter, and to keep it away from
// the machine's real serial ports, the runner enters a private mount
// namespace, takes hold of each device you map (with O_PATH, which neither
// touches the device nor wakes the simulator), mounts a fresh tmpfs on /dev,
// bind mounts each device onto its ttySn name there and executes lowrad. Nothing
// else exists in that /dev, so an unmapped ttySn fails to open. The mounts
// vanish with the process. As a normal user the runner first enters a user
// namespace of its own, where the kernel lets it mount; it keeps the same
// user and group ids inside.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <regex>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

namespace {

struct mapping {
    std::string name;   // ttySn
    std::string device; // what appears under that name
};

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

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "lowrad-run: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

[[noreturn]] void misuse(const std::string &what) {
    std::fprintf(stderr, "lowrad-run: %s\n\n%s", what.c_str(), usage);
    std::exit(2);
}

mapping parsemap(const std::string &argument) {
    static const std::regex form("(ttyS[0-9]+)=(.+)");
    std::smatch parts;
    if (!std::regex_match(argument, parts, form)) {
        misuse("'" + argument + "' is not of the form ttySn=DEVICE");
    }
    return {parts[1], parts[2]};
}

void writefile(const std::string &path, const std::string &text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        fail(path);
    }
    close(fd);
}

// Only root may mount in the machine's namespaces; anyone else gets a user
// namespace in which they are still themselves.
void enternamespace() {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (uid == 0) {
        if (unshare(CLONE_NEWNS) != 0) {
            fail("unshare");
        }
    } else {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            fail("unshare (are unprivileged user namespaces allowed?)");
        }
        writefile("/proc/self/setgroups", "deny");
        writefile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
        writefile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1");
    }
    // Our mounts must not propagate back to the machine.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fail("making / private");
    }
}

// The devices are taken hold of inside the new namespace: the kernel binds
// only from mounts of the caller's own namespace.
void makedev(const std::vector<mapping> &maps) {
    std::vector<int> sources;
    for (const mapping &map : maps) {
        sources.push_back(open(map.device.c_str(), O_PATH | O_CLOEXEC));
        if (sources.back() < 0) {
            fail(map.device);
        }
    }
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") != 0) {
        fail("mounting a tmpfs on /dev");
    }
    for (size_t i = 0; i < maps.size(); ++i) {
        const std::string target = "/dev/" + maps[i].name;
        const int placeholder = open(target.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        if (placeholder < 0) {
            fail(target);
        }
        close(placeholder);
        const std::string source = "/proc/self/fd/" + std::to_string(sources[i]);
        if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            fail("mounting on " + target);
        }
        close(sources[i]);
    }
}

// The lowrad built or installed beside the runner, else whatever PATH finds.
std::string defaultprogram() {
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

} // namespace

int main(int argc, char **argv) {
    std::vector<mapping> maps;
    int next = 1;
    for (; next < argc; ++next) {
        const std::string arg = argv[next];
        if (arg == "-h" || arg == "--help") {
            std::fputs(usage, stdout);
            return 0;
        }
        if ((arg == "-m" || arg == "--map") && next + 1 < argc) {
            maps.push_back(parsemap(argv[++next]));
        } else if (arg.starts_with("--map=")) {
            maps.push_back(parsemap(arg.substr(6)));
        } else if (arg == "--") {
            ++next;
            break;
        } else if (arg.starts_with("-")) {
            misuse("unknown option " + arg);
        } else {
            break;
        }
    }

    enternamespace();
    makedev(maps);

    const std::string program = next < argc ? argv[next] : defaultprogram();
    std::vector<char *> command{const_cast<char *>(program.c_str())};
    for (int i = next + 1; i < argc; ++i) {
        command.push_back(argv[i]);
    }
    command.push_back(nullptr);
    execvp(command[0], command.data());
    fail(program);
}
