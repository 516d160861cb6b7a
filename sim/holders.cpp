#include "sim/holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Closedir {
    void operator()(DIR *directory) const {
        closedir(directory);
    }
};
using Directory = std::unique_ptr<DIR, Closedir>;

Directory list(const std::string &path) {
    return Directory(opendir(path.c_str()));
}

// The flags of a descriptor, as fdinfo gives them in octal.
bool opened_for_io(const std::string &process, const std::string &fd) {
    std::ifstream info("/proc/" + process + "/fdinfo/" + fd);
    for (std::string field; info >> field;) {
        if (field == "flags:") {
            unsigned long flags = 0;
            info >> std::oct >> flags;
            return (flags & O_PATH) == 0;
        }
    }
    return false;
}

bool holds(const std::string &process, const struct stat &terminal) {
    const std::string fds = "/proc/" + process + "/fd/";
    const Directory descriptors = list(fds);
    if (!descriptors) {
        return false; // gone meanwhile, or not ours to see
    }
    while (const dirent *entry = readdir(descriptors.get())) {
        struct stat file {};
        if (stat((fds + entry->d_name).c_str(), &file) == 0 && S_ISCHR(file.st_mode) &&
            file.st_rdev == terminal.st_rdev && file.st_dev == terminal.st_dev &&
            opened_for_io(process, entry->d_name)) {
            return true;
        }
    }
    return false;
}

} // namespace

bool held_elsewhere(const struct stat &terminal) {
    const Directory processes = list("/proc");
    if (!processes) {
        return false;
    }
    const std::string self = std::to_string(getpid());
    while (const dirent *entry = readdir(processes.get())) {
        const std::string name = entry->d_name;
        if (name.find_first_not_of("0123456789") == std::string::npos && name != self &&
            holds(name, terminal)) {
            return true;
        }
    }
    return false;
}
