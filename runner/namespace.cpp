// The private /dev: a mount namespace of our own with a fresh tmpfs on /dev,
// each mapped device bind mounted onto its ttySn name there.
//
// Root needs only the mount namespace. Anyone else first enters a user
// namespace, where the kernel lets them mount and where they keep their own
// user and group ids. Some systems refuse user namespaces to normal users; the
// step that fails says so, with the ways out. The mounts vanish with the
// process, provided they do not propagate back: / is made private first, which
// a chroot whose root is no mount point does not allow.
#include "runner/runner.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

namespace {

bool in_user_namespace = false;

[[noreturn]] void refused(const std::string &step) {
    std::fprintf(stderr,
                 "lowrad-run: this system does not give a normal user a user namespace "
                 "(%s: %s)\n%s",
                 step.c_str(), std::strerror(errno), ways_out);
    std::exit(1);
}

[[noreturn]] void mount_failed(const std::string &what) {
    if (in_user_namespace && (errno == EPERM || errno == EACCES)) {
        refused(what);
    }
    fail(what);
}

void write_id_map(const std::string &path, const std::string &text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        refused("writing " + path);
    }
    close(fd);
}

} // namespace

void enter_namespace() {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (uid == 0) {
        if (unshare(CLONE_NEWNS) != 0) {
            fail("unshare");
        }
    } else {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
            refused("unshare");
        }
        in_user_namespace = true;
        write_id_map("/proc/self/setgroups", "deny");
        write_id_map("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1");
        write_id_map("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        if (errno == EINVAL) {
            std::fputs("lowrad-run: making / private: Invalid argument: the root directory is no "
                       "mount point,\nas in a plain chroot, and the new /dev would show outside "
                       "it. Make the chroot's\nroot a mount point before entering it, for "
                       "instance with mount --bind ROOT ROOT.\n",
                       stderr);
            std::exit(1);
        }
        mount_failed("making / private");
    }
}

// The devices are taken hold of inside the new namespace, where the kernel
// binds from, with O_PATH, which neither touches a device nor wakes the
// simulator. The placeholders are created afresh (O_EXCL): a mount point can
// never be an open of a device already there.
void make_private_dev(const std::vector<Mapping> &maps) {
    std::vector<int> sources;
    for (const Mapping &map : maps) {
        sources.push_back(open(map.device.c_str(), O_PATH | O_CLOEXEC));
        if (sources.back() < 0) {
            fail(map.device);
        }
    }
    if (mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") != 0) {
        mount_failed("mounting a tmpfs on /dev");
    }
    for (size_t i = 0; i < maps.size(); ++i) {
        const std::string target = "/dev/" + maps[i].name;
        const int placeholder = open(target.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
        if (placeholder < 0) {
            fail(target);
        }
        close(placeholder);
        const std::string source = "/proc/self/fd/" + std::to_string(sources[i]);
        if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
            mount_failed("mounting on " + target);
        }
        close(sources[i]);
    }
}
