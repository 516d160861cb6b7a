// The machine as /proc and /sys describe it, read under the --root prefix,
// and the parsers of what the kernel writes there.
#include "doctor/doctor.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sstream>
#include <sys/sysmacros.h>
#include <unistd.h>

std::string root;

std::string under(const std::string &path) {
    return root + path;
}

namespace {

std::string cut_end(std::string content) {
    while (!content.empty() && (content.back() == '\0' || content.back() == '\n')) {
        content.pop_back();
    }
    return content;
}

// The file behind fd, at most limit bytes.
std::string read_all(int fd, size_t limit) {
    std::string content;
    char buffer[4096];
    ssize_t got = 0;
    while (content.size() < limit &&
           (got = ::read(fd, buffer, std::min(sizeof buffer, limit - content.size()))) > 0) {
        content.append(buffer, static_cast<size_t>(got));
    }
    return content;
}

// /proc/self/mountinfo and /etc/group are the longest files read: this
// bounds them far above any real machine's.
constexpr size_t longest_file = size_t{64} << 20;

class RealMachine final : public Machine {
  public:
    std::optional<std::string> read(const std::string &path, size_t limit) const override {
        const int fd =
            open(under(path).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) {
            return std::nullopt;
        }
        struct stat node {};
        std::optional<std::string> content;
        if (fstat(fd, &node) == 0 && S_ISREG(node.st_mode)) {
            content = read_all(fd, limit);
        }
        close(fd);
        return content;
    }
    int status(const std::string &path, bool follow, struct stat &node) const override {
        const int result =
            follow ? stat(under(path).c_str(), &node) : lstat(under(path).c_str(), &node);
        return result == 0 ? 0 : errno;
    }
    std::string link_target(const std::string &path) const override {
        std::string target(4096, '\0');
        const ssize_t length = readlink(under(path).c_str(), target.data(), target.size() - 1);
        target.resize(length > 0 ? static_cast<size_t>(length) : 0);
        return target;
    }
    std::vector<std::string> list(const std::string &folder) const override {
        std::vector<std::string> names;
        const Directory directory = open_directory(under(folder));
        while (directory) {
            const dirent *found = readdir(directory.get());
            if (found == nullptr) {
                break;
            }
            if (found->d_name[0] != '.') {
                names.emplace_back(found->d_name);
            }
        }
        std::ranges::sort(names);
        return names;
    }
    bool may_read_write(const std::string &path) const override {
        return faccessat(AT_FDCWD, under(path).c_str(), R_OK | W_OK, AT_EACCESS) == 0;
    }
    uid_t user() const override {
        return geteuid();
    }
    std::vector<gid_t> groups() const override {
        std::vector<gid_t> all(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
        const int count = getgroups(static_cast<int>(all.size()), all.data());
        all.resize(static_cast<size_t>(std::max(count, 0)));
        all.insert(all.begin(), getegid());
        return all;
    }
    std::vector<Lock> locks() const override {
        return ::locks();
    }
    std::string command_of(pid_t pid) const override {
        return ::command_of(pid);
    }
    bool running(pid_t pid) const override {
        return ::running(pid);
    }
    bool opened_for_io(const Opened &descriptor) const override {
        return ::opened_for_io(descriptor);
    }
};

} // namespace

const Machine &this_machine() {
    static const RealMachine machine;
    return machine;
}

// Plain reads: the pass over /proc reads a file of every process.
std::string slurp(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return "";
    }
    std::string content = read_all(fd, longest_file);
    close(fd);
    return cut_end(content);
}

bool exists(const std::string &path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

std::string read_text(const Machine &machine, const std::string &path) {
    return cut_end(machine.read(path, longest_file).value_or(""));
}

bool exists(const Machine &machine, const std::string &path) {
    struct stat node {};
    return machine.status(path, false, node) == 0;
}

unsigned long long number(const std::string &text, int base) {
    const size_t start = std::min(text.find_first_not_of(" \t"), text.size());
    unsigned long long value = 0;
    std::from_chars(text.data() + start, text.data() + text.size(), value, base);
    return value;
}

std::string device_number(dev_t device) {
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

// A line of /proc/tty/drivers: name, /dev/prefix, major, first minor or
// range of minors, kind.
std::optional<TtyDriver> tty_driver(const std::string &drivers, dev_t device) {
    std::istringstream lines(drivers);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name;
        std::string prefix;
        unsigned major_number = 0;
        std::string minors;
        std::string kind;
        if (!(fields >> name >> prefix >> major_number >> minors >> kind) ||
            major_number != major(device)) {
            continue;
        }
        const size_t dash = minors.find('-');
        const unsigned long long first = number(minors.substr(0, dash));
        const unsigned long long last =
            dash == std::string::npos ? first : number(minors.substr(dash + 1));
        if (minor(device) < first || minor(device) > last) {
            continue;
        }
        std::string tty = prefix.substr(prefix.rfind('/') + 1);
        tty += kind == "pty:slave" ? "/" + std::to_string(minor(device))
                                   : std::to_string(minor(device) - first);
        return TtyDriver{name, kind, tty};
    }
    return std::nullopt;
}

std::string sysfs_dir(const Machine &machine, dev_t device) {
    const std::string link = "/sys/dev/char/" + device_number(device);
    return exists(machine, link) ? link : "";
}

// The serial core puts a port and a controller device of its own between a
// tty and the hardware; the hardware's driver is further up.
std::string hardware_driver(const Machine &machine, const std::string &sysdir) {
    std::string device = sysdir + "/device";
    for (int up = 0; !sysdir.empty() && up < 4 && exists(machine, device); ++up, device += "/..") {
        const std::string driver = machine.link_target(device + "/driver");
        std::string name = driver.substr(driver.rfind('/') + 1);
        if (!name.empty() && name != "port" && name != "ctrl") {
            return name;
        }
    }
    return "";
}

std::optional<dev_t> tty_number(const Machine &machine, const std::string &name) {
    const std::string numbers = read_text(machine, "/sys/class/tty/" + name + "/dev");
    const size_t colon = numbers.find(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    return makedev(number(numbers.substr(0, colon)), number(numbers.substr(colon + 1)));
}

// Lines such as "ttyS0                -W- (EC  p a)    4:64": the device number comes last.
std::vector<dev_t> console_list(const std::string &proc_consoles) {
    std::vector<dev_t> found;
    std::istringstream lines(proc_consoles);
    for (std::string line; std::getline(lines, line);) {
        const size_t colon = line.rfind(':');
        const size_t space = colon == std::string::npos ? colon : line.rfind(' ', colon);
        if (space == std::string::npos) {
            continue;
        }
        found.push_back(makedev(number(line.substr(space + 1, colon - space - 1)),
                                number(line.substr(colon + 1))));
    }
    return found;
}

std::vector<std::string> console_words(const std::string &cmdline) {
    std::vector<std::string> found;
    std::istringstream words(cmdline);
    for (std::string word; words >> word;) {
        if (word.starts_with("console=")) {
            found.push_back(word);
        }
    }
    return found;
}

namespace {

void from_active(const Machine &machine, std::vector<Console> &found) {
    std::istringstream names(read_text(machine, "/sys/class/tty/console/active"));
    for (std::string name; names >> name;) {
        if (const auto device = tty_number(machine, name)) {
            found.push_back({*device, "/sys/class/tty/console/active"});
        }
    }
}

// console=ttyS0,115200n8; console=serial0 names the link that the Raspberry
// Pi's udev rules make.
void from_cmdline(const Machine &machine, std::vector<Console> &found) {
    for (const std::string &word : console_words(read_text(machine, "/proc/cmdline"))) {
        const std::string name = word.substr(8, word.find(',') - 8);
        struct stat node {};
        if (name.starts_with("serial") && machine.status("/dev/" + name, true, node) == 0) {
            found.push_back({node.st_rdev, word + " on /proc/cmdline"});
        } else if (const auto device = tty_number(machine, name)) {
            found.push_back({*device, word + " on /proc/cmdline"});
        }
    }
}

} // namespace

std::vector<Console> consoles(const Machine &machine) {
    std::vector<Console> found;
    for (const dev_t device : console_list(read_text(machine, "/proc/consoles"))) {
        found.push_back({device, "/proc/consoles"});
    }
    from_active(machine, found);
    from_cmdline(machine, found);
    return found;
}
