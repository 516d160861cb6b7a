// The runner's refusals, and whose rights PROGRAM gets.
//
// Run as root, as CI runs, with nobody as the other user: "sudo" is root with
// SUDO_UID and SUDO_GID naming nobody. The setuid copies of the runner and of
// id, and the lowrad beside the runner copy, live in a scratch directory that
// nobody may pass through but not list, on a file system that honours setuid
// bits. A refused user namespace is made without touching the machine: in a
// user namespace of its own a limit of one namespace leaves none for nobody,
// mapped into a second one inside it.
#include "dialogue.h"
#include "harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utility>

namespace {

namespace fs = std::filesystem;

// Empty where no candidate file system honours setuid bits.
fs::path makescratch() {
    for (const fs::path &parent : {fs::path(testing::TempDir()), fs::path("/var/tmp")}) {
        struct statvfs filesystem {};
        if (statvfs(parent.c_str(), &filesystem) != 0 || (filesystem.f_flag & ST_NOSUID) != 0) {
            continue;
        }
        std::string dir = (parent / "lowrad-runner-XXXXXX").string();
        if (mkdtemp(dir.data()) != nullptr && chmod(dir.c_str(), 0711) == 0) {
            return dir;
        }
    }
    return {};
}

fs::path copy(const fs::path &program, const fs::path &to, fs::perms mode) {
    fs::copy_file(program, to);
    fs::permissions(to, mode);
    return to;
}

// A command run by way of another (setpriv, env, unshare).
std::vector<std::string> through(std::vector<std::string> way,
                                 const std::vector<std::string> &command) {
    way.insert(way.end(), command.begin(), command.end());
    return way;
}

struct removal {
    fs::path dir;
    explicit removal(fs::path made) : dir(std::move(made)) {}
    removal(const removal &) = delete;
    removal &operator=(const removal &) = delete;
    ~removal() {
        fs::remove_all(dir);
    }
};

const std::vector<std::string> asnobody{"setpriv", "--reuid=65534", "--regid=65534",
                                        "--clear-groups"};
const std::vector<std::string> sudoasnobody{"env", "SUDO_UID=65534", "SUDO_GID=65534"};
// A limit of one user namespace, in one of its own, leaves none to nobody in a second.
const std::string nonamespaceleft =
    "echo 1 >/proc/sys/user/max_user_namespaces && exec unshare --user --map-user=65534 "
    "--map-group=65534 \"$@\"";
const std::vector<std::string> usernamespacesrefused{
    "unshare", "--user", "--map-root-user", "sh", "-c", nonamespaceleft, "sh"};

const std::string nobodysids = "uid=65534(nobody) gid=65534(nogroup) groups=65534(nogroup)\n";

const std::string waysout =
    "lowrad-run: the ways out: run it with sudo (PROGRAM still runs as you, not as root),\n"
    "or let normal users have user namespaces, for instance with\n"
    "  sysctl kernel.apparmor_restrict_unprivileged_userns=0   (Ubuntu 24.04 and later)\n"
    "  sysctl kernel.unprivileged_userns_clone=1               (kernels that turn them off)\n"
    "  sysctl user.max_user_namespaces=10000                   (where the limit is 0)\n";

TEST(Runner, RefusalsAndRights) {
    const passwd *nobody = getpwnam("nobody");
    const group *dialout = getgrnam("dialout");
    if (getuid() != 0 || nobody == nullptr || nobody->pw_uid != 65534 || dialout == nullptr) {
        GTEST_SKIP() << "needs root, nobody as 65534 and the group dialout, as in CI";
    }
    const fs::path scratch = makescratch();
    if (scratch.empty()) {
        GTEST_SKIP() << "no temporary directory honours setuid bits";
    }
    const removal cleanup{scratch};
    const fs::perms plain = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec;
    const fs::path runner = copy(RUNNER_PATH, scratch / "lowrad-run", plain);
    copy(LOWRAD_PATH, scratch / "lowrad", plain);
    const fs::path setuidrunner =
        copy(RUNNER_PATH, scratch / "setuid-run", plain | fs::perms::set_uid);
    const fs::path setuidid = copy("/usr/bin/id", scratch / "id", plain | fs::perms::set_uid);

    // A counter's device as Debian has it, which nobody may not open, and one opened up.
    simulator closed(counter());
    ASSERT_EQ(chown(closed.path().c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(closed.path().c_str(), 0660), 0);
    simulator open(counter());
    ASSERT_EQ(chmod(open.path().c_str(), 0666), 0);

    const std::string help = execute({RUNNER_PATH, "--help"}).output;
    struct {
        std::string what;
        std::vector<std::string> command;
        std::string input;
        std::string output;
        int status;
    } const cases[]{
        {"a setuid copy of id gives root to nobody", through(asnobody, {setuidid}), "",
         "uid=65534(nobody) gid=65534(nogroup) euid=0(root) groups=65534(nogroup)\n", 0},
        {"a setuid copy of the runner is refused", through(asnobody, {setuidrunner, "--", "id"}),
         "",
         "lowrad-run: refusing to run setuid or setgid: anyone who can run it would run any\n"
         "PROGRAM with its owner's rights. Remove the bit (chmod u-s,g-s lowrad-run).\n" +
             waysout,
         1},
        {"under sudo, PROGRAM runs as the user alone", through(sudoasnobody, {runner, "--", "id"}),
         "", nobodysids, 0},
        {"under sudo, a setuid PROGRAM gains nothing",
         through(sudoasnobody, {runner, "--", setuidid}), "", nobodysids, 0},
        {"under sudo, a device the user may not open is refused",
         through(sudoasnobody, {runner, "--map", "ttyS0=" + closed.path()}), "",
         "lowrad-run: nobody cannot open " + closed.path() +
             ": Permission denied\n"
             "lowrad-run: the usual cause: nobody is not in the device's group, here dialout; for "
             "serial\nports that is dialout on Debian (usermod -aG dialout nobody, then log in "
             "again)\n",
         1},
        {"under sudo, the lowrad beside the runner measures as the user",
         through(sudoasnobody, {runner, "--map", "ttyS0=" + open.path()}), "0\nG\nG\nn\nn\n",
         banner + fullcycle("/dev/ttyS0"), 0},
        {"a ttySn mapped twice",
         {runner, "--map", "ttyS0=/dev/null", "--map", "ttyS0=/dev/zero"},
         "",
         "lowrad-run: ttyS0 is mapped twice, to /dev/null and to /dev/zero\n\n" + help,
         2},
        {"a name lowrad cannot select",
         {runner, "--map", "ttyS10=/dev/null"},
         "",
         "lowrad-run: lowrad selects only ttyS0 to ttyS3, not ttyS10 (with a PROGRAM of your "
         "own, any ttySn)\n\n" +
             help,
         2},
        {"such a name for a PROGRAM of your own",
         {runner, "--map", "ttyS00=/dev/null", "--", "ls", "/dev"},
         "",
         "lowrad-run: warning: lowrad selects only ttyS0 to ttyS3, not ttyS00\nttyS00\n",
         0},
        {"--map without its value",
         {runner, "--map"},
         "",
         "lowrad-run: --map needs a value, ttySn=DEVICE\n\n" + help,
         2},
        {"a directory mapped",
         {runner, "--map", "ttyS0=" + scratch.string()},
         "",
         "lowrad-run: " + scratch.string() +
             ", mapped to ttyS0, is a directory, not a device such as /dev/ttyUSB0\n\n" + help,
         2},
    };
    for (const auto &row : cases) {
        const outcome run = execute(row.command, row.input);
        EXPECT_EQ(run.output, row.output) << row.what;
        EXPECT_EQ(run.status, row.status) << row.what;
    }
    // Where root itself gets no user namespace, as in a chroot, there is none to refuse.
    if (execute({"unshare", "--user", "true"}).status == 0) {
        const outcome refused = execute(through(usernamespacesrefused, {runner, "--", "id"}));
        EXPECT_EQ(refused.output,
                  "lowrad-run: this system does not give a normal user a user namespace "
                  "(unshare: No space left on device)\n" +
                      waysout);
        EXPECT_EQ(refused.status, 1);
    }
    EXPECT_EQ(loglines(closed.finish(), "open"), std::vector<std::string>{});
    EXPECT_EQ(loglines(open.finish(), "open"),
              (std::vector<std::string>{"open 1 background", "open 2 sample"}));
}

} // namespace
