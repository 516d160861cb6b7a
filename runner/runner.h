// What the runner's parts share.
//
// lowrad-run.cpp reads the options and checks the maps, namespace.cpp builds
// the private /dev, privileges.cpp decides whose rights PROGRAM runs with.
#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

struct Mapping {
    std::string name;   // ttySn
    std::string device; // what appears under that name
};

// The user who called sudo, whose rights PROGRAM gets.
struct Account {
    uid_t uid;
    gid_t gid;
    std::string name;
};

// Where the kernel keeps user namespaces from normal users, what they can do.
inline const char *const ways_out =
    "lowrad-run: the ways out: run it with sudo (PROGRAM still runs as you, not as root),\n"
    "or let normal users have user namespaces, for instance with\n"
    "  sysctl kernel.apparmor_restrict_unprivileged_userns=0   (Ubuntu 24.04 and later)\n"
    "  sysctl kernel.unprivileged_userns_clone=1               (kernels that turn them off)\n"
    "  sysctl user.max_user_namespaces=10000                   (where the limit is 0)\n";

// Prints what failed with the reason in errno, and exits with status 1.
[[noreturn]] void fail(const std::string &what);

// namespace.cpp
void enter_namespace();
void make_private_dev(const std::vector<Mapping> &maps);

// privileges.cpp
void refuse_set_id();
std::optional<Account> sudoer();
// Exits with status 1 where the caller (user, under sudo) may not read and write a device.
void check_access(const std::optional<Account> &user, const std::vector<Mapping> &maps);
void become(const Account &user);
