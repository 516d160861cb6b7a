// Whose rights PROGRAM runs with.
//
// A normal user's PROGRAM runs as that user, in a user namespace that gives
// nothing beyond it. Root's runs as root. Under sudo, root builds the private
// /dev and then becomes the user who called sudo for good (no_new_privs, every
// user and group id theirs, with their own supplementary groups), so that
// lowrad never measures as root; whether they may open each mapped device is
// asked first, by a child that has become them. A setuid or setgid runner is
// refused outright: it would give anyone who can run it those rights for any
// PROGRAM.
#include "runner/runner.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

unsigned idfrom(const char *variable, const std::string &text) {
    unsigned id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (error != std::errc() || end != text.data() + text.size()) {
        std::fprintf(stderr, "lowrad-run: %s=%s is no id\n", variable, text.c_str());
        std::exit(1);
    }
    return id;
}

std::string groupof(const std::string &device) {
    struct stat status {};
    if (stat(device.c_str(), &status) != 0) {
        return "?";
    }
    const group *owner = getgrgid(status.st_gid);
    return owner != nullptr ? owner->gr_name : std::to_string(status.st_gid);
}

// Called in the child that has become the user: stdio is left to the parent.
[[noreturn]] void cannotopen(const Account &user, const std::string &device) {
    const int error = errno;
    std::fprintf(stderr, "lowrad-run: %s cannot open %s: %s\n", user.name.c_str(), device.c_str(),
                 std::strerror(error));
    if (error == EACCES) {
        std::fprintf(stderr,
                     "lowrad-run: the usual cause: %s is not in the device's group, here %s; for "
                     "serial\nports that is dialout on Debian (usermod -aG dialout %s, then log in "
                     "again)\n",
                     user.name.c_str(), groupof(device).c_str(), user.name.c_str());
    }
    _exit(1);
}

} // namespace

void refusesetid() {
    if (getuid() != geteuid() || getgid() != getegid()) {
        std::fprintf(stderr,
                     "lowrad-run: refusing to run setuid or setgid: anyone who can run it would "
                     "run any\nPROGRAM with its owner's rights. Remove the bit (chmod u-s,g-s "
                     "lowrad-run).\n%s",
                     waysout);
        std::exit(1);
    }
}

std::optional<Account> sudoer() {
    const char *sudouid = std::getenv("SUDO_UID");
    if (getuid() != 0 || sudouid == nullptr) {
        return std::nullopt;
    }
    const passwd *user = getpwuid(idfrom("SUDO_UID", sudouid));
    if (user == nullptr) {
        std::fprintf(stderr, "lowrad-run: SUDO_UID=%s names no user\n", sudouid);
        std::exit(1);
    }
    if (user->pw_uid == 0) {
        return std::nullopt;
    }
    const char *sudogid = std::getenv("SUDO_GID");
    const gid_t gid = sudogid != nullptr ? idfrom("SUDO_GID", sudogid) : user->pw_gid;
    return Account{user->pw_uid, gid, user->pw_name};
}

void checkaccess(const Account &user, const std::vector<Mapping> &maps) {
    const pid_t child = fork();
    if (child < 0) {
        fail("fork");
    }
    if (child == 0) {
        become(user);
        for (const Mapping &map : maps) {
            if (access(map.device.c_str(), R_OK | W_OK) != 0) {
                cannotopen(user, map.device);
            }
        }
        _exit(0);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::exit(1);
    }
}

void become(const Account &user) {
    const std::string who = "becoming " + user.name;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        fail(who + ": no_new_privs");
    }
    if (initgroups(user.name.c_str(), user.gid) != 0) {
        fail(who + ": supplementary groups");
    }
    if (setresgid(user.gid, user.gid, user.gid) != 0 ||
        setresuid(user.uid, user.uid, user.uid) != 0) {
        fail(who);
    }
    if (setuid(0) == 0 || setgid(0) == 0) {
        std::fprintf(stderr, "lowrad-run: %s could become root again; not running PROGRAM\n",
                     user.name.c_str());
        std::exit(1);
    }
}
