#include "link/port.h"

#include "console/state.h"

#include <cstdio>
#include <fcntl.h>
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

void opcom() {
    std::printf("Opening %s ...\n\n", st.device0);
    st.fd = open(st.device0, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (st.fd < 0) {
        fail();
        return;
    }
    setline();
    // A run at unknown line settings would count garbage, so a device that
    // will not take ours is reported like one that would not open.
    if (tcsetattr(st.fd, TCSANOW, &st.tty) != 0) {
        close(st.fd);
        st.fd = -1;
        fail();
        return;
    }
    std::printf("Port opened successfully\n");
}
