// Who else has the simulator's pseudo-terminal open, as the kernel shows it now.
//
// A terminal is known by its device number and the file system of its node:
// every mount of devpts numbers its own terminals from 0, so another
// container's or chroot's /dev/pts/0 has the same device number as ours.
//
// inotify says that the terminal was opened or closed, not by whom, and merges
// an event with an identical one still unread. /proc holds the whole truth:
// each process's descriptors, as links to what they are open on. A descriptor
// on the terminal's device, opened to read or write, is a hold; one opened
// with O_PATH, as the runner's while it sets up, is not. Processes that this
// one may not inspect (another user's, unless it is root) are not seen.
#pragma once

#include <sys/stat.h>

// Whether a process other than this one holds the terminal whose node is terminal.
bool held_elsewhere(const struct stat &terminal);
