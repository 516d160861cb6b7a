// The serial port the counter talks on.
//
// opcom opens the path in st.device0 and leaves the descriptor in st.fd, or a
// negative st.fd after writing "Com Port Opening Failed !". The line is set to
// what the counter sends: 1200 baud, 8 data bits, 2 stop bits, no parity, no
// flow control, raw input with VMIN = VTIME = 0 so that a read returns at once,
// empty-handed when nothing is waiting. Only c_cflag of st.tty is ever written,
// rebuilt from scratch at each opening; everything else stays zero. A device
// that refuses these settings is no usable port and counts as a failed opening.
// So is a port that another process holds: opcom takes the port for itself
// with an exclusive advisory lock (flock), as serial tools do, and the lock
// goes with the descriptor. The descriptor is never one of 0 to 2, even when
// those are closed. The caller closes st.fd when its run is over.
#pragma once

void opcom();
