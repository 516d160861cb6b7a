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
#include <functional>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// Empty where no candidate file system honours setuid bits.
fs::path make_scratch() {
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

const std::vector<std::string> as_nobody{"setpriv", "--reuid=65534", "--regid=65534",
                                         "--clear-groups"};
const std::vector<std::string> sudo_as_nobody{"env", "SUDO_UID=65534", "SUDO_GID=65534"};
// A limit of one user namespace, in one of its own, leaves none to nobody in a second.
const std::string no_namespace_left =
    "echo 1 >/proc/sys/user/max_user_namespaces && exec unshare --user --map-user=65534 "
    "--map-group=65534 \"$@\"";
const std::vector<std::string> user_namespaces_refused{
    "unshare", "--user", "--map-root-user", "sh", "-c", no_namespace_left, "sh"};

const std::string nobody_ids = "uid=65534(nobody) gid=65534(nogroup) groups=65534(nogroup)\n";

const std::string ways_out =
    "lowrad-run: the ways out: run it with sudo (PROGRAM still runs as you, not as root),\n"
    "or let normal users have user namespaces, for instance with\n"
    "  sysctl kernel.apparmor_restrict_unprivileged_userns=0   (Ubuntu 24.04 and later)\n"
    "  sysctl kernel.unprivileged_userns_clone=1               (kernels that turn them off)\n"
    "  sysctl user.max_user_namespaces=10000                   (where the limit is 0)\n";

// Root, nobody and dialout as in CI, and the scratch directory with the copies
// in it; two counters' devices: one as Debian has it, which nobody may not
// open, and one opened up.
class Runner : public testing::Test {
  protected:
    void SetUp() override {
        const passwd *nobody = getpwnam("nobody");
        const group *dialout = getgrnam("dialout");
        if (getuid() != 0 || nobody == nullptr || nobody->pw_uid != 65534 || dialout == nullptr) {
            GTEST_SKIP() << "needs root, nobody as 65534 and the group dialout, as in CI";
        }
        scratch = make_scratch();
        if (scratch.empty()) {
            GTEST_SKIP() << "no temporary directory honours setuid bits";
        }
        const fs::perms plain = fs::perms::owner_all | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read |
                                fs::perms::others_exec;
        runner = copy(RUNNER_PATH, scratch / "lowrad-run", plain);
        copy(LOWRAD_PATH, scratch / "lowrad", plain);
        setuid_runner = copy(RUNNER_PATH, scratch / "setuid-run", plain | fs::perms::set_uid);
        setuid_id = copy("/usr/bin/id", scratch / "id", plain | fs::perms::set_uid);
        setuid_lacking = lacking("setuid programs that run with their owner's rights",
                                 through(as_nobody, {setuid_id, "-u"}), "0\n");
        closed.emplace(counter());
        ASSERT_EQ(chown(closed->path().c_str(), 0, dialout->gr_gid), 0);
        ASSERT_EQ(chmod(closed->path().c_str(), 0660), 0);
        open.emplace(counter());
        ASSERT_EQ(chmod(open->path().c_str(), 0666), 0);
    }
    void TearDown() override {
        if (!scratch.empty()) {
            fs::remove_all(scratch);
        }
    }

  public:
    fs::path scratch;
    fs::path runner;
    fs::path setuid_runner;
    fs::path setuid_id;
    std::string setuid_lacking; // why setuid bits give no rights here, if they do not
    std::optional<Simulator> closed;
    std::optional<Simulator> open;
};

// What a command run in the Runner fixture writes, how it ends, and which runs
// the opened-up counter logs.
struct Expected {
    std::vector<std::string> command;
    std::string input;
    std::string output;
    int status;
    std::vector<std::string> opens;
};

struct RunnerCase {
    const char *what;
    std::function<Expected(const Runner &)> expected;
    bool setuid = false; // true where the row needs setuid bits honoured
};

void PrintTo(const RunnerCase &c, std::ostream *os) {
    *os << c.what;
}

class RefusalsAndRights : public Runner, public testing::WithParamInterface<RunnerCase> {};

TEST_P(RefusalsAndRights, AsExpected) {
    const RunnerCase &row = GetParam();
    if (row.setuid && !setuid_lacking.empty()) {
        GTEST_SKIP() << setuid_lacking;
    }
    const Expected expected = row.expected(*this);
    const Outcome run = execute(expected.command, expected.input);
    EXPECT_EQ(run.output, expected.output) << row.what;
    EXPECT_EQ(run.status, expected.status) << row.what;
    EXPECT_EQ(loglines(closed->finish(), "open"), std::vector<std::string>{});
    EXPECT_EQ(loglines(open->finish(), "open"), expected.opens);
}

// The doctor's words, on one line, for nobody outside dialout.
std::string refusal(const std::string &device) {
    return "lowrad-run: nobody is not in the group dialout, which may read and write " + device +
           " (owner root, group dialout, crw-rw----); do: sudo usermod -aG dialout nobody, then "
           "log out and in again\n";
}

std::string help() {
    return execute({RUNNER_PATH, "--help"}).output;
}

INSTANTIATE_TEST_SUITE_P(
    Runner, RefusalsAndRights,
    testing::Values(
        RunnerCase{"a setuid copy of id gives root to nobody",
                   [](const Runner &r) {
                       return Expected{through(as_nobody, {r.setuid_id}),
                                       "",
                                       "uid=65534(nobody) gid=65534(nogroup) euid=0(root) "
                                       "groups=65534(nogroup)\n",
                                       0,
                                       {}};
                   },
                   true},
        RunnerCase{"a setuid copy of the runner is refused",
                   [](const Runner &r) {
                       return Expected{
                           through(as_nobody, {r.setuid_runner, "--", "id"}),
                           "",
                           "lowrad-run: refusing to run setuid or setgid: anyone who can run it "
                           "would run any\nPROGRAM with its owner's rights. Remove the bit "
                           "(chmod u-s,g-s lowrad-run).\n" +
                               ways_out,
                           1,
                           {}};
                   },
                   true},
        RunnerCase{"under sudo, PROGRAM runs as the user alone",
                   [](const Runner &r) {
                       return Expected{
                           through(sudo_as_nobody, {r.runner, "--", "id"}), "", nobody_ids, 0, {}};
                   }},
        RunnerCase{"under sudo, a setuid PROGRAM gains nothing",
                   [](const Runner &r) {
                       return Expected{through(sudo_as_nobody, {r.runner, "--", r.setuid_id}),
                                       "",
                                       nobody_ids,
                                       0,
                                       {}};
                   }},
        RunnerCase{"under sudo, a device the user may not open is refused",
                   [](const Runner &r) {
                       return Expected{through(sudo_as_nobody,
                                               {r.runner, "--map", "ttyS0=" + r.closed->path()}),
                                       "",
                                       refusal(r.closed->path()),
                                       1,
                                       {}};
                   }},
        RunnerCase{"without sudo, a device the caller may not open is refused",
                   [](const Runner &r) {
                       return Expected{
                           through(as_nobody,
                                   {r.runner, "--map", "ttyS0=" + r.closed->path(), "--", "id"}),
                           "",
                           refusal(r.closed->path()),
                           1,
                           {}};
                   }},
        RunnerCase{"under sudo, the lowrad beside the runner measures as the user",
                   [](const Runner &r) {
                       return Expected{
                           through(sudo_as_nobody, {r.runner, "--map", "ttyS0=" + r.open->path()}),
                           "0\nG\nG\nn\nn\n",
                           banner + fullcycle("/dev/ttyS0"),
                           0,
                           {"open 1 background", "open 2 sample"}};
                   }},
        RunnerCase{"a ttySn mapped twice",
                   [](const Runner &r) {
                       return Expected{
                           {r.runner, "--map", "ttyS0=/dev/null", "--map", "ttyS0=/dev/zero"},
                           "",
                           "lowrad-run: ttyS0 is mapped twice, to /dev/null and to /dev/zero\n\n" +
                               help(),
                           2,
                           {}};
                   }},
        RunnerCase{"a name lowrad cannot select",
                   [](const Runner &r) {
                       return Expected{{r.runner, "--map", "ttyS10=/dev/null"},
                                       "",
                                       "lowrad-run: lowrad selects only ttyS0 to ttyS3, not "
                                       "ttyS10 (with a PROGRAM of your own, any ttySn)\n\n" +
                                           help(),
                                       2,
                                       {}};
                   }},
        RunnerCase{"such a name for a PROGRAM of your own",
                   [](const Runner &r) {
                       return Expected{{r.runner, "--map", "ttyS00=/dev/null", "--", "ls", "/dev"},
                                       "",
                                       "lowrad-run: warning: lowrad selects only ttyS0 to ttyS3, "
                                       "not ttyS00\nttyS00\n",
                                       0,
                                       {}};
                   }},
        RunnerCase{"--map without its value",
                   [](const Runner &r) {
                       return Expected{{r.runner, "--map"},
                                       "",
                                       "lowrad-run: --map needs a value, ttySn=DEVICE\n\n" + help(),
                                       2,
                                       {}};
                   }},
        RunnerCase{"a directory mapped", [](const Runner &r) {
                       return Expected{{r.runner, "--map", "ttyS0=" + r.scratch.string()},
                                       "",
                                       "lowrad-run: " + r.scratch.string() +
                                           ", mapped to ttyS0, is a directory, not a device "
                                           "such as /dev/ttyUSB0\n\n" +
                                           help(),
                                       2,
                                       {}};
                   }}));

// Where root itself gets no user namespace, as in a chroot, there is none to refuse.
TEST_F(Runner, RefusedUserNamespace) {
    if (execute({"unshare", "--user", "true"}).status != 0) {
        GTEST_SKIP() << "root gets no user namespace here";
    }
    const Outcome refused = execute(through(user_namespaces_refused, {runner, "--", "id"}));
    EXPECT_EQ(refused.output,
              "lowrad-run: this system does not give a normal user a user namespace "
              "(unshare: No space left on device)\n" +
                  ways_out);
    EXPECT_EQ(refused.status, 1);
}

} // namespace
