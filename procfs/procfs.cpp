#include "procfs/procfs.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The pty slaves' majors, UNIX98_PTY_SLAVE_MAJOR and the seven after it.
constexpr unsigned first_pts_major = 136;
constexpr unsigned pts_majors = 8;
// /dev/ptmx, or pts/ptmx, the pty masters' device.
const dev_t ptmx = makedev(5, 2);
// statfs's word for a devpts instance, DEVPTS_SUPER_MAGIC.
constexpr long devpts_magic = 0x1cd1;
// The kernel's PID_MAX_LIMIT: no pid_max is larger.
constexpr pid_t pid_limit = 4 * 1024 * 1024;

bool whole_number(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The number that text is, in base; false where text is anything else.
template <typename T> bool parse(std::string_view text, T &value, int base = 10) {
    const char *end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    return !text.empty() && error == std::errc{} && stop == end;
}

std::string read_file(const std::string &path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// "MAJ:MIN:INODE", the first two in hex as the kernel prints a device.
bool parse_file(std::string_view text, Lock &lock) {
    const size_t first = text.find(':');
    const size_t second = text.find(':', first == std::string_view::npos ? first : first + 1);
    unsigned major = 0;
    unsigned minor = 0;
    if (second == std::string_view::npos || !parse(text.substr(0, first), major, 16) ||
        !parse(text.substr(first + 1, second - first - 1), minor, 16) ||
        !parse(text.substr(second + 1), lock.inode)) {
        return false;
    }
    lock.filesystem = makedev(major, minor);
    return true;
}

// A line of /proc/locks, or false for a waiter ("->") or a line that makes no sense.
bool parse_lock(const std::string &line, pid_t pid_end, Lock &lock) {
    std::istringstream fields(line);
    std::string position;
    std::string mode;
    std::string access;
    std::string pid;
    std::string file;
    fields >> position >> lock.kind;
    if (lock.kind == "->" || !(fields >> mode >> access >> pid >> file)) {
        return false;
    }
    if (pid == "-1" && lock.kind == "OFDLCK") {
        lock.pid = 0;
    } else if (!parse(pid, lock.pid) || lock.pid < 1 || lock.pid >= pid_end) {
        return false;
    }
    return parse_file(file, lock);
}

// Whether the descriptor's fdinfo lists an open file description lock it holds.
bool holds_ofd_lock(const std::string &process, const std::string &fd) {
    std::istringstream lines(read_file(process + "/fdinfo/" + fd));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("lock:") && line.find(" OFDLCK ") != std::string::npos) {
            return true;
        }
    }
    return false;
}

// The first process of proc whose descriptor on the file holds an OFD lock.
void find_ofd_holder(const std::string &proc, Lock &lock) {
    for (const std::string &name : process_folders(proc)) {
        const std::string process = proc + "/" + name;
        const Directory fds = open_directory(process + "/fd");
        while (fds) {
            const dirent *entry = readdir(fds.get());
            if (entry == nullptr) {
                break;
            }
            struct stat file {};
            if (fstatat(dirfd(fds.get()), entry->d_name, &file, 0) == 0 &&
                file.st_dev == lock.filesystem && file.st_ino == lock.inode &&
                holds_ofd_lock(process, entry->d_name)) {
                parse(name, lock.pid);
                return;
            }
        }
    }
}

} // namespace

void Closedir::operator()(DIR *directory) const {
    closedir(directory);
}

bool refusal(int error) {
    return error == EACCES || error == EPERM;
}

Directory open_directory(const std::string &path) {
    return Directory(opendir(path.c_str()));
}

std::vector<std::string> process_folders(const std::string &proc) {
    std::vector<std::string> names;
    const Directory processes = open_directory(proc);
    const std::string self = std::to_string(getpid());
    while (processes) {
        const dirent *entry = readdir(processes.get());
        if (entry == nullptr) {
            break;
        }
        if (whole_number(entry->d_name) && entry->d_name != self) {
            names.emplace_back(entry->d_name);
        }
    }
    return names;
}

Node node_of(const struct stat &file) {
    return {file.st_rdev, file.st_dev};
}

bool same_device(const Node &a, const Node &b) {
    const bool pts = major(a.device) - first_pts_major < pts_majors;
    return a.device == b.device && (!pts || a.filesystem == b.filesystem);
}

Descriptors device_descriptors(const std::string &process) {
    Descriptors found;
    const Directory fds = open_directory(process + "/fd");
    if (!fds) {
        found.hidden = refusal(errno);
        return found;
    }
    while (const dirent *entry = readdir(fds.get())) {
        struct stat file {};
        if (entry->d_name[0] != '.' && fstatat(dirfd(fds.get()), entry->d_name, &file, 0) == 0 &&
            S_ISCHR(file.st_mode)) {
            found.on_devices.push_back({entry->d_name, node_of(file)});
        }
    }
    return found;
}

std::string fdinfo_field(const std::string &process, const std::string &fd,
                         const std::string &label) {
    std::istringstream lines(read_file(process + "/fdinfo/" + fd));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(label)) {
            const size_t value = line.find_first_not_of(" \t", label.size());
            return value == std::string::npos ? "" : line.substr(value);
        }
    }
    return "";
}

std::optional<Node> far_end(const std::string &process, const DeviceDescriptor &master) {
    unsigned index = 0;
    if (master.node.device != ptmx ||
        !parse(fdinfo_field(process, master.fd, "tty-index:"), index)) {
        return std::nullopt;
    }
    struct statfs opened {};
    struct stat beside {};
    Node slave{makedev(first_pts_major, index), 0};
    if (statfs((process + "/fd/" + master.fd).c_str(), &opened) == 0 &&
        opened.f_type == devpts_magic) {
        slave.filesystem = master.node.filesystem;
    } else if (stat((process + "/root/dev/pts").c_str(), &beside) == 0) {
        slave.filesystem = beside.st_dev;
    }
    return slave;
}

bool opened_for_io(const std::string &process, const std::string &fd) {
    unsigned long flags = 0;
    return parse(fdinfo_field(process, fd, "flags:"), flags, 8) && (flags & O_PATH) == 0;
}

pid_t pid_max(const std::string &proc) {
    std::string text = read_file(proc + "/sys/kernel/pid_max");
    text.erase(text.find_last_not_of('\n') + 1);
    pid_t largest = 0;
    return parse(text, largest) && largest > 1 && largest <= pid_limit ? largest : pid_limit;
}

std::vector<Lock> parse_locks(std::string_view text, pid_t pid_end) {
    std::vector<Lock> found;
    std::istringstream lines{std::string(text)};
    for (std::string line; std::getline(lines, line);) {
        Lock lock{};
        if (parse_lock(line, pid_end, lock)) {
            found.push_back(lock);
        }
    }
    return found;
}

std::vector<Lock> read_locks(const std::string &proc) {
    std::vector<Lock> found = parse_locks(read_file(proc + "/locks"), pid_max(proc));
    for (Lock &lock : found) {
        if (lock.pid == 0) {
            find_ofd_holder(proc, lock);
        }
    }
    return found;
}
