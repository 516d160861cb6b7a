// The line between the counter and lowrad, and when its runs start and end.
//
// In pty mode the simulator owns a pseudo-terminal and watches the slave's node with
// inotify; opens minus closes tell whether lowrad holds the port, and where inotify may
// have merged events, the kernel's list of holders does (holders.h). A run lasts from the
// moment that count leaves 0 until it returns there. A pty, unlike a real port, keeps
// whatever its last user left unread and hands it to the next one, so frames go out
// only while the port is open and unread input is dropped at each close.
//
// With a real DEVICE (null-modem cable) opens cannot be seen: frames flow all the time
// and each line typed on stdin places or removes the sample, which starts a new run.
#pragma once

#include "sim/options.h"

// Serves the line until the runs asked for are done or a signal stops it; returns
// the exit status.
int serve(const Options &options);
