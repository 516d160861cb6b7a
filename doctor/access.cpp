// Whether the caller may read and write a port, and if not, what would let them.
//
// The kernel's answer (faccessat with AT_EACCESS, which counts ACLs) decides;
// the owner, group and mode, /etc/group and the login's own groups explain it.
// A user added to a group keeps the groups of the login they started with
// until they log in again, which is the most common surprise of all. The
// runner gives the same words before it starts lowrad.
#include "doctor/doctor.h"

#include <algorithm>
#include <sstream>

std::vector<std::string> entry_of(const std::string &file, unsigned id) {
    const std::string wanted = std::to_string(id);
    std::istringstream lines(file);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, ':');) {
            fields.push_back(field);
        }
        if (fields.size() >= 3 && fields[2] == wanted) {
            fields.resize(std::max<size_t>(fields.size(), 4));
            return fields;
        }
    }
    return {};
}

bool listed_in(const std::string &group_file, gid_t group, const std::string &user) {
    const std::vector<std::string> line = entry_of(group_file, group);
    std::istringstream members(line.empty() ? "" : line.back());
    for (std::string member; std::getline(members, member, ',');) {
        if (member == user) {
            return true;
        }
    }
    return false;
}

namespace {

std::string name_of(const std::string &file, unsigned id) {
    const std::vector<std::string> fields = entry_of(file, id);
    return fields.empty() ? std::to_string(id) : fields[0];
}

std::string mode_text(mode_t mode) {
    std::string text = S_ISCHR(mode) ? "c" : "-";
    const char *const letters = "rwxrwxrwx";
    for (int bit = 0; bit < 9; ++bit) {
        text += (mode & (0400U >> bit)) != 0 ? letters[bit] : '-';
    }
    return text;
}

} // namespace

std::string user_name(const Machine &machine) {
    return name_of(read_text(machine, "/etc/passwd"), machine.user());
}

std::optional<Cause> access_cause(const Machine &machine, const std::string &path,
                                  bool console_port) {
    struct stat node {};
    if (machine.status(path, true, node) != 0 || machine.may_read_write(path)) {
        return std::nullopt;
    }
    const std::string passwd = read_text(machine, "/etc/passwd");
    const std::string groups = read_text(machine, "/etc/group");
    const std::vector<std::string> account = entry_of(passwd, machine.user());
    const std::string user = account.empty() ? std::to_string(machine.user()) : account[0];
    const std::string owner = name_of(passwd, node.st_uid);
    const std::string group = name_of(groups, node.st_gid);
    const std::string owned =
        "(owner " + owner + ", group " + group + ", " + mode_text(node.st_mode) + ")";
    if ((node.st_mode & 060) != 060) {
        // A console's port belongs to the group tty while the console is on it.
        return Cause{Weight::blocks, "only " + owner + " may read and write " + path + " " + owned,
                     console_port ? "once the console is off this port, the next boot gives it "
                                    "to the group dialout"
                                  : "give it to the group dialout: sudo chgrp dialout " + path +
                                        " && sudo chmod g+rw " + path +
                                        " (until the next boot; a udev rule keeps it)"};
    }
    const std::vector<gid_t> login = machine.groups();
    if (std::ranges::find(login, node.st_gid) != login.end()) {
        return Cause{Weight::blocks,
                     user + " has the group " + group + " and yet may not read and write " + path +
                         " " + owned + ": an ACL or a read-only mount refuses it",
                     "getfacl " + path + " shows the ACL; ask whoever set it up"};
    }
    const bool own_group = account.size() > 3 && account[3] == std::to_string(node.st_gid);
    if (own_group || listed_in(groups, node.st_gid, user)) {
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
