// Who holds a device, as /proc tells it: the processes, the descriptors each
// has open on character devices, the flags a descriptor was opened with, and
// the locks of /proc/locks. lowrad-sim asks whether anyone else holds its
// pseudo-terminal; lowrad-doctor who holds a port, and how.
//
// A descriptor's device comes from stat on /proc/PID/fd/N, which reaches the
// open file without opening anything. The device number alone does not name a
// device: every devpts instance (a container's, a private mount namespace's)
// numbers its pseudo-terminals from 0, so pts/3 of one is 136:3 as much as
// pts/3 of another. A pty slave is the same only on the same devpts instance,
// the st_dev of its node, as stat and fstat give it. Other devices have one
// number on the whole machine, whatever node reaches them.
//
// What this process can see depends on who it is and on /proc's options:
// - another user's descriptors are refused (EACCES) unless it is root;
// - hidepid=1 (noaccess): every process is listed, but another user's
//   folder cannot be read at all (EPERM), its stat and comm included;
// - hidepid=2 (invisible): another user's processes are not listed, so
//   nobody can count them; hidepid=4 (ptraceable) the same for those this
//   one may not trace;
// - subset=pid: every process is there, hidden from nobody, but /proc holds
//   nothing else: no /proc/locks, /proc/tty, /proc/sys; locks are then
//   unknown, and pid_max the kernel's largest.
//
// A descriptor whose fdinfo cannot be read holds nothing. fdinfo is guarded
// like the fd folder that listed the descriptor, so a refusal means that the
// descriptor was closed, or its process ended, since it was listed: taking it
// for a hold would keep the simulator waiting for a close that has happened,
// and show the doctor a holder that is gone.
#pragma once

#include <dirent.h>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

struct Closedir {
    void operator()(DIR *directory) const;
};
using Directory = std::unique_ptr<DIR, Closedir>;
Directory open_directory(const std::string &path);

// Whether an errno is /proc's refusal: EACCES for a folder closed to us,
// EPERM for another user's process under hidepid=1.
bool refusal(int error);

// The names of the process folders in proc (such as "/proc"), this process's left out.
std::vector<std::string> process_folders(const std::string &proc);

// A device node: the device it reaches and the filesystem it lives on.
struct Node {
    dev_t device;
    dev_t filesystem;
};
Node node_of(const struct stat &file);
// Whether two nodes reach the same device: the same number, and for a pty
// slave the same devpts instance too.
bool same_device(const Node &a, const Node &b);

struct DeviceDescriptor {
    std::string fd;
    Node node;
};
struct Descriptors {
    std::vector<DeviceDescriptor> on_devices; // the descriptors open on character devices
    bool hidden = false;                      // another user's, not ours to see
};
// The descriptors of the process whose folder is process (such as "/proc/1234");
// none for a process gone meanwhile.
Descriptors device_descriptors(const std::string &process);

// The rest of the line of /proc/PID/fdinfo/FD that starts with label; empty
// where there is none or the file cannot be read.
std::string fdinfo_field(const std::string &process, const std::string &fd,
                         const std::string &label);
// The slave whose master the descriptor on /dev/ptmx is: its number from
// fdinfo's tty-index, its devpts instance from the node the master was opened
// through (pts/ptmx lives on the instance; /dev/ptmx reaches the one at
// /dev/pts beside it, as the process sees it). Nothing for another descriptor.
std::optional<Node> far_end(const std::string &process, const DeviceDescriptor &master);

// Whether the descriptor was opened to read or write: not with O_PATH, which
// touches no device, nor where fdinfo cannot be read (see above).
bool opened_for_io(const std::string &process, const std::string &fd);

// A lock of /proc/locks, such as "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF".
struct Lock {
    std::string kind; // FLOCK, POSIX, OFDLCK, LEASE...
    pid_t pid;        // 0 where /proc does not say (an open file description's lock)
    dev_t filesystem;
    ino_t inode;
};
// The largest process id plus one, from proc's sys/kernel/pid_max; the
// kernel's upper limit where that cannot be read.
pid_t pid_max(const std::string &proc);
// The locks held (not those waited for) in the text of /proc/locks. A line
// whose pid is no whole number from 1 to below pid_end (pid_max) is left out,
// save the -1 that open file description locks show.
std::vector<Lock> parse_locks(std::string_view text, pid_t pid_end);
// The locks of proc/locks, with the holders of open file description locks
// found where their descriptors' fdinfo lists them.
std::vector<Lock> read_locks(const std::string &proc);
