// Whose rights PROGRAM runs with.
//
// A normal user's PROGRAM runs as that user, in a user namespace that gives
// nothing beyond it. Root's runs as root. Under sudo, root builds the private
// /dev and then becomes the user who called sudo for good (no_new_privs, every
// user and group id theirs, with their own supplementary groups), so that
// lowrad never measures as root. Whether the caller may read and write each
// mapped device is asked first, as the caller (under sudo by a child that
// has become them), and answered in the doctor's words. A setuid or setgid runner is
// refused outright: it would give anyone who can run it those rights for any
// PROGRAM.
#include "runner/runner.h"

#include "doctor/doctor.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

unsigned id_from(const char *variable, const std::string &text) {
    unsigned id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (error != std::errc() || end != text.data() + text.size()) {
        std::fprintf(stderr, "lowrad-run: %s=%s is no id\n", variable, text.c_str());
        std::exit(1);
    }
    return id;
}

} // namespace

void refuse_set_id() {
    if (getuid() != geteuid() || getgid() != getegid()) {
        std::fprintf(stderr,
                     "lowrad-run: refusing to run setuid or setgid: anyone who can run it would "
                     "run any\nPROGRAM with its owner's rights. Remove the bit (chmod u-s,g-s "
                     "lowrad-run).\n%s",
                     ways_out);
        std::exit(1);
    }
}

std::optional<Account> sudoer() {
    const char *sudo_uid = std::getenv("SUDO_UID");
    if (getuid() != 0 || sudo_uid == nullptr) {
        return std::nullopt;
    }
    const passwd *user = getpwuid(id_from("SUDO_UID", sudo_uid));
    if (user == nullptr) {
        std::fprintf(stderr, "lowrad-run: SUDO_UID=%s names no user\n", sudo_uid);
        std::exit(1);
    }
    if (user->pw_uid == 0) {
        return std::nullopt;
    }
    const char *sudo_gid = std::getenv("SUDO_GID");
    const gid_t gid = sudo_gid != nullptr ? id_from("SUDO_GID", sudo_gid) : user->pw_gid;
    return Account{user->pw_uid, gid, user->pw_name};
}

namespace {

// The doctor's words for a device the caller may not read and write, on one line.
bool refused(const std::vector<Mapping> &maps) {
    return std::ranges::any_of(maps, [](const Mapping &map) {
        const std::optional<Cause> cause = access_cause(this_machine(), map.device);
        if (cause) {
            std::fprintf(stderr, "lowrad-run: %s; do: %s\n", cause->wrong.c_str(),
                         cause->todo.c_str());
        }
        return cause.has_value();
    });
}

} // namespace

void check_access(const std::optional<Account> &user, const std::vector<Mapping> &maps) {
    if (!user) {
        if (refused(maps)) {
            std::exit(1);
        }
        return;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        fail("fork");
    }
    if (child == 0) {
        become(*user);
        _exit(refused(maps) ? 1 : 0);
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
