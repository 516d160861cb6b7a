// The machine as /proc and /sys describe it, read under the --root prefix.
#include "doctor/doctor.h"

#include <algorithm>
#include <charconv>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

std::string root;

std::string under(const std::string &path) {
    return root + path;
}

// Plain reads: the pass over /proc reads a file of every process.
std::string slurp(const std::string &path) {
    std::string content;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return content;
    }
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(fd, buffer, sizeof buffer)) > 0) {
        content.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    while (!content.empty() && (content.back() == '\0' || content.back() == '\n')) {
        content.pop_back();
    }
    return content;
}

bool exists(const std::string &path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

std::string linktarget(const std::string &path) {
    std::string target(4096, '\0');
    const ssize_t length = readlink(path.c_str(), target.data(), target.size() - 1);
    target.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return target;
}

unsigned long long number(const std::string &text, int base) {
    const size_t start = std::min(text.find_first_not_of(" \t"), text.size());
    unsigned long long value = 0;
    std::from_chars(text.data() + start, text.data() + text.size(), value, base);
    return value;
}

std::string devicenumber(dev_t device) {
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

bool ttydriversknown() {
    return exists(under("/proc/tty/drivers"));
}

// A line of /proc/tty/drivers: name, /dev/prefix, major, first minor or
// range of minors, kind.
std::optional<TtyDriver> ttydriver(dev_t device) {
    std::istringstream lines(slurp(under("/proc/tty/drivers")));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name;
        std::string prefix;
        unsigned majornumber = 0;
        std::string minors;
        std::string kind;
        if (!(fields >> name >> prefix >> majornumber >> minors >> kind) ||
            majornumber != major(device)) {
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

bool sysfsknown() {
    return exists(under("/sys/class/tty"));
}

std::string sysfsdir(dev_t device) {
    const std::string link = under("/sys/dev/char/" + devicenumber(device));
    return exists(link) ? link : "";
}

// The serial core puts a port and a controller device of its own between a
// tty and the hardware; the hardware's driver is further up.
std::string hardwaredriver(const std::string &sysdir) {
    std::string device = sysdir + "/device";
    for (int up = 0; !sysdir.empty() && up < 4 && exists(device); ++up, device += "/..") {
        const std::string driver = linktarget(device + "/driver");
        std::string name = driver.substr(driver.rfind('/') + 1);
        if (!name.empty() && name != "port" && name != "ctrl") {
            return name;
        }
    }
    return "";
}

std::optional<dev_t> ttynumber(const std::string &name) {
    const std::string numbers = slurp(under("/sys/class/tty/" + name + "/dev"));
    const size_t colon = numbers.find(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    return makedev(number(numbers.substr(0, colon)), number(numbers.substr(colon + 1)));
}

namespace {

// Lines such as "ttyS0                -W- (EC  p a)    4:64": the device number comes last.
void fromconsolelist(std::vector<Console> &found) {
    std::istringstream lines(slurp(under("/proc/consoles")));
    for (std::string line; std::getline(lines, line);) {
        const size_t colon = line.rfind(':');
        const size_t space = line.rfind(' ', colon);
        if (colon == std::string::npos || space == std::string::npos) {
            continue;
        }
        const dev_t device = makedev(number(line.substr(space + 1, colon - space - 1)),
                                     number(line.substr(colon + 1)));
        found.push_back({device, "/proc/consoles"});
    }
}

void fromactive(std::vector<Console> &found) {
    std::istringstream names(slurp(under("/sys/class/tty/console/active")));
    for (std::string name; names >> name;) {
        if (const auto device = ttynumber(name)) {
            found.push_back({*device, "/sys/class/tty/console/active"});
        }
    }
}

// console=ttyS0,115200n8; console=serial0 names the link that the Raspberry Pi's udev rules make.
void fromcmdline(std::vector<Console> &found) {
    std::istringstream words(slurp(under("/proc/cmdline")));
    for (std::string word; words >> word;) {
        if (!word.starts_with("console=")) {
            continue;
        }
        const std::string name = word.substr(8, word.find(',') - 8);
        struct stat node {};
        if (name.starts_with("serial") && stat(under("/dev/" + name).c_str(), &node) == 0) {
            found.push_back({node.st_rdev, word + " on /proc/cmdline"});
        } else if (const auto device = ttynumber(name)) {
            found.push_back({*device, word + " on /proc/cmdline"});
        }
    }
}

} // namespace

std::vector<Console> consoles() {
    std::vector<Console> found;
    fromconsolelist(found);
    fromactive(found);
    fromcmdline(found);
    return found;
}
