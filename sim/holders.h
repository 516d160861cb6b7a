// Who else has the simulator's pseudo-terminal open, as the kernel shows it now.
//
// inotify says that the terminal was opened or closed, not by whom, and merges
// an event with an identical one still unread. /proc holds the whole truth:
// each process's descriptors, as links to what they are open on. A descriptor
// on the terminal, opened to read or write, is a hold; one opened with O_PATH,
// as the runner's while it sets up, is not. A pts of the same number in
// another devpts instance (a container's, a terminal's in another mount
// namespace) is another terminal. Processes that this one may not inspect
// (another user's, unless it is root) are not seen. procfs/procfs.h walks /proc.
#pragma once

#include "procfs/procfs.h"

// Whether a process other than this one holds the terminal.
bool held_elsewhere(const Node &terminal);
