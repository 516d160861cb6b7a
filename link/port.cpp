#include "link/port.h"

#include "console/state.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

static void setline() {
    st.tty.c_cflag = B1200;
    st.tty.c_cflag |= CLOCAL;
    st.tty.c_cflag |= CREAD;
    st.tty.c_cflag |= CS8;
    st.tty.c_cflag |= CSTOPB;
    st.tty.c_cflag &= ~PARENB;
    st.tty.c_cflag &= ~CRTSCTS;
}

static void fail() {
    std::printf("Com Port Opening Failed !\n");
}

static void refuse() {
    close(st.fd);
    st.fd = -1;
    fail();
}

// With standard input or output closed, open hands out descriptor 0 or 1, and
// the answers would be read from the counter's line or the dialogue written
// onto it.
static void keepclear() {
    if (st.fd < 0 || st.fd > STDERR_FILENO) {
        return;
    }
    const int high = fcntl(st.fd, F_DUPFD, STDERR_FILENO + 1);
    close(st.fd);
    st.fd = high;
}

void opcom() {
    std::printf("Opening %s ...\n\n", st.device0);
    st.fd = open(st.device0, O_RDWR | O_NOCTTY | O_NONBLOCK);
    keepclear();
    if (st.fd < 0) {
        fail();
        return;
    }
    // Two readers on one line split its bytes between them and both count
    // garbage, so a port that another process holds is no usable port.
    if (flock(st.fd, LOCK_EX | LOCK_NB) != 0) {
        refuse();
        return;
    }
    setline();
    // A run at unknown line settings would count garbage, so a device that
    // will not take ours is reported like one that would not open.
    if (tcsetattr(st.fd, TCSANOW, &st.tty) != 0) {
        refuse();
        return;
    }
    std::printf("Port opened successfully\n");
}
