// Whether the caller may read and write a port, and if not, what would let them.
//
// The kernel's answer (faccessat with AT_EACCESS, which counts ACLs) decides;
// the owner, group and mode, /etc/group and the login's own groups explain it.
// A user added to a group keeps the groups of the login they started with
// until they log in again, which is the most common surprise of all.
#include "doctor/doctor.h"

#include <algorithm>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The fields of the line of an /etc/passwd or /etc/group style file whose third field is id.
std::vector<std::string> entry(const std::string &file, unsigned id) {
    std::istringstream lines(slurp(under(file)));
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, ':');) {
            fields.push_back(field);
        }
        if (fields.size() >= 3 && fields[2] == std::to_string(id)) {
            fields.resize(std::max<size_t>(fields.size(), 4));
            return fields;
        }
    }
    return {};
}

std::string nameof(const std::string &file, unsigned id) {
    const std::vector<std::string> fields = entry(file, id);
    return fields.empty() ? std::to_string(id) : fields[0];
}

bool inlogin(gid_t group) {
    std::vector<gid_t> groups(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)));
    const int count = getgroups(static_cast<int>(groups.size()), groups.data());
    groups.resize(static_cast<size_t>(std::max(count, 0)));
    return getegid() == group || std::ranges::find(groups, group) != groups.end();
}

// Listed in the group's line of /etc/group, or the group is the user's own in /etc/passwd.
bool configuredmember(gid_t group) {
    const std::vector<std::string> user = entry("/etc/passwd", geteuid());
    if (user.size() > 3 && user[3] == std::to_string(group)) {
        return true;
    }
    const std::vector<std::string> line = entry("/etc/group", group);
    std::istringstream members(line.empty() ? "" : line.back());
    for (std::string member; std::getline(members, member, ',');) {
        if (member == username()) {
            return true;
        }
    }
    return false;
}

std::string modetext(mode_t mode) {
    std::string text = S_ISCHR(mode) ? "c" : "-";
    const char *const letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) {
        text += (mode & (0400U >> bit)) != 0 ? letters[bit] : '-';
    }
    return text;
}

} // namespace

std::string username() {
    return nameof("/etc/passwd", geteuid());
}

std::optional<Cause> accesscause(const std::string &path) {
    struct stat node {};
    if (stat(path.c_str(), &node) != 0 ||
        faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0) {
        return std::nullopt;
    }
    const std::string user = username();
    const std::string group = nameof("/etc/group", node.st_gid);
    const std::string owned = "(owner " + nameof("/etc/passwd", node.st_uid) + ", group " + group +
                              ", " + modetext(node.st_mode) + ")";
    if ((node.st_mode & 060) != 060) {
        return Cause{Weight::blocks,
                     "only " + nameof("/etc/passwd", node.st_uid) + " may read and write " + path +
                         " " + owned,
                     "give it to the group dialout: sudo chgrp dialout " + path +
                         " && sudo chmod g+rw " + path +
                         " (until the next boot; a udev rule keeps it)"};
    }
    if (inlogin(node.st_gid)) {
        return Cause{Weight::blocks,
                     user + " has the group " + group + " and yet may not read and write " + path +
                         " " + owned + ": an ACL or a read-only mount refuses it",
                     "getfacl " + path + " shows the ACL; ask whoever set it up"};
    }
    if (configuredmember(node.st_gid)) {
        return Cause{Weight::blocks,
                     user + " is in the group " + group + ", which may read and write " + path +
                         " " + owned + ", in /etc/group, but this login started without it",
                     "log out and in again (or run newgrp " + group + " in this terminal)"};
    }
    return Cause{Weight::blocks,
                 user + " is not in the group " + group + ", which may read and write " + path +
                     " " + owned,
                 "sudo usermod -aG " + group + " " + user + ", then log out and in again"};
}
