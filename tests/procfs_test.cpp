// The reader of /proc that the simulator and the doctor share, against this
// machine's kernel: the lines of /proc/locks it takes and those it leaves, a
// descriptor's flags, and an open file description lock found with its
// holder, by procfs and by lowrad-doctor; and what the doctor says of /proc's
// options.
#include "harness.h"
#include "procfs/procfs.h"
#include "sim/pty.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

struct LocksRow {
    const char *line;
    std::vector<Lock> taken;
};

void PrintTo(const LocksRow &row, std::ostream *out) {
    *out << row.line;
}

class LocksLine : public testing::TestWithParam<LocksRow> {};

TEST_P(LocksLine, IsTakenOnlyWhereItMakesSense) {
    const LocksRow &row = GetParam();
    const std::vector<Lock> taken = parse_locks(row.line, 32768);
    ASSERT_EQ(taken.size(), row.taken.size());
    for (size_t i = 0; i < taken.size(); ++i) {
        EXPECT_EQ(taken[i].kind, row.taken[i].kind);
        EXPECT_EQ(taken[i].pid, row.taken[i].pid);
        EXPECT_EQ(taken[i].filesystem, row.taken[i].filesystem);
        EXPECT_EQ(taken[i].inode, row.taken[i].inode);
    }
}

// pid_max 32768: pids 1 to 32767. Only an open file description lock shows -1.
INSTANTIATE_TEST_SUITE_P(
    Procfs, LocksLine,
    testing::Values(LocksRow{"1: POSIX  ADVISORY  WRITE 1234 00:17:1042 0 EOF\n",
                             {{"POSIX", 1234, makedev(0, 0x17), 1042}}},
                    LocksRow{"2: FLOCK  ADVISORY  WRITE 32767 fe:01:87 0 EOF",
                             {{"FLOCK", 32767, makedev(0xfe, 1), 87}}},
                    LocksRow{"3: OFDLCK ADVISORY  READ  -1 00:05:87 0 EOF\n",
                             {{"OFDLCK", 0, makedev(0, 5), 87}}},
                    LocksRow{"3: -> FLOCK  ADVISORY  WRITE 900 00:05:87 0 EOF\n", {}},
                    LocksRow{"4: POSIX  ADVISORY  WRITE -1 00:05:87 0 EOF\n", {}},
                    LocksRow{"5: FLOCK  ADVISORY  WRITE 0 00:05:87 0 EOF\n", {}},
                    LocksRow{"6: FLOCK  ADVISORY  WRITE 32768 00:05:87 0 EOF\n", {}},
                    LocksRow{"7: FLOCK  ADVISORY  WRITE 4294967297 00:05:87 0 EOF\n", {}},
                    LocksRow{"8: FLOCK  ADVISORY  WRITE 12x 00:05:87 0 EOF\n", {}},
                    LocksRow{"9: FLOCK  ADVISORY  WRITE 12 00:05 0 EOF\n", {}},
                    LocksRow{"10: FLOCK  ADVISORY  WRITE 12 zz:05:87 0 EOF\n", {}}));

// A descriptor opened with O_PATH holds no device; one that cannot be looked
// up any more (closed since it was listed) holds nothing either.
TEST(Procfs, DescriptorsHoldWhatTheirFlagsSay) {
    const std::string self = "/proc/" + std::to_string(getpid());
    const int io = open("/dev/null", O_RDWR | O_CLOEXEC);
    const int path = open("/dev/null", O_PATH | O_CLOEXEC);
    const int closed = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(closed);
    EXPECT_TRUE(opened_for_io(self, std::to_string(io)));
    EXPECT_FALSE(opened_for_io(self, std::to_string(path)));
    EXPECT_FALSE(opened_for_io(self, std::to_string(closed)));
    close(io);
    close(path);
}

// Takes an open file description lock on the terminal's slave; 0, or an errno.
int lock_description(const std::string &slave) {
    flock lock{};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
    return fd >= 0 && fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 0 : errno;
}

// /proc/locks shows an open file description lock with pid -1; its holder is
// the process whose descriptor's fdinfo lists the lock. The doctor names it.
TEST(Procfs, OpenFileDescriptionLockIsFoundWithItsHolder) {
    const RawPty line = open_raw_pty();
    ASSERT_EQ(line.failed, nullptr);
    const HoldingChild locker([&] { return lock_description(line.slave); });
    ASSERT_EQ(locker.error(), 0);
    struct stat node {};
    ASSERT_EQ(stat(line.slave.c_str(), &node), 0);
    const std::vector<Lock> all = read_locks("/proc");
    const auto lock = std::ranges::find_if(all, [&](const Lock &found) {
        return found.filesystem == node.st_dev && found.inode == node.st_ino;
    });
    ASSERT_NE(lock, all.end());
    EXPECT_EQ(lock->kind, "OFDLCK");
    EXPECT_EQ(lock->pid, locker.id());

    std::string comm;
    std::getline(std::ifstream("/proc/self/comm"), comm);
    const Outcome report = execute({DOCTOR_PATH, line.slave});
    EXPECT_NE(report.output.find("wrong: " + std::to_string(locker.id()) + " " + comm +
                                 " holds a OFDLCK lock on it"),
              std::string::npos)
        << report.output;
    close(line.master);
}

// A terminal of the same number in another devpts instance, held at both
// ends there, is neither a holder of the simulator's terminal nor its far end.
TEST(Procfs, DoctorTellsDevptsInstancesApart) {
    Simulator sim({"--period", "3600"});
    const auto number =
        static_cast<unsigned>(std::stoul(sim.path().substr(sim.path().rfind('/') + 1)));
    const HoldingChild other([number] { return hold_foreign_terminal(number); });
    if (other.error() != 0) {
        GTEST_SKIP() << "no devpts instance of its own: " << std::strerror(other.error());
    }
    const Outcome report = execute({DOCTOR_PATH, sim.path()});
    EXPECT_NE(report.output.find("whose other end " + std::to_string(sim.id()) + " lowrad-sim"),
              std::string::npos)
        << report.output;
    EXPECT_EQ(report.output.find(std::to_string(other.id())), std::string::npos) << report.output;
}

// Of /proc's options only hidepid=2 (invisible) hides other users' processes
// from the listing, which the doctor then says it cannot count; hidepid=1
// (noaccess) lists them, refused, and subset=pid hides none. Seen by nobody,
// as hidepid spares root, through a copy of the doctor in the scratch tree:
// the build may lie where nobody cannot pass, such as root's own home.
TEST(Procfs, DoctorSaysProcessesAreHiddenOnlyWhereTheyAre) {
    const std::vector<std::pair<std::string, bool>> rows{
        {"hidepid=2", true},  {"hidepid=invisible", true}, {"hidepid=ptraceable", true},
        {"hidepid=1", false}, {"hidepid=noaccess", false}, {"subset=pid", false},
        {"hidepid=0", false},
    };
    std::string tree = testing::TempDir() + "lowrad-procfs-XXXXXX";
    ASSERT_NE(mkdtemp(tree.data()), nullptr);
    chmod(tree.c_str(), 0755);
    mkdir((tree + "/proc").c_str(), 0755);
    mkdir((tree + "/proc/self").c_str(), 0755);
    const std::string doctor = tree + "/lowrad-doctor";
    std::filesystem::copy_file(DOCTOR_PATH, doctor);
    std::vector<std::string> command{doctor, "--root", tree};
    if (geteuid() == 0) {
        command.insert(command.begin(),
                       {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    for (const auto &[options, hidden] : rows) {
        std::ofstream(tree + "/proc/self/mountinfo")
            << "22 1 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw,"
            << options << "\n";
        const Outcome report = execute(command);
        EXPECT_EQ(report.output.find("mounted with hidepid") != std::string::npos, hidden)
            << options << ":\n"
            << report.output;
    }
    std::filesystem::remove_all(tree);
}

} // namespace
