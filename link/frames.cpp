#include "link/frames.h"

#include "console/state.h"

#include <cstdio>
#include <unistd.h>

static constexpr unsigned char frameheader = 0xFF;
static constexpr int secondsperframe = 10;
static constexpr const char *cursorup = "\033[1A";

static void checkframe() {
    st.cks = static_cast<unsigned char>(st.header + st.msb + st.lsb);
    if (st.header == frameheader && st.c == st.cks) {
        record();
        st.noct = 0;
        return;
    }
    st.header = st.lsb;
    st.lsb = st.msb;
    st.msb = st.c;
}

void receive() {
    if (read(st.fd, &st.c, 1) != 1) {
        return;
    }
    switch (st.noct) {
    case 0:
        st.header = st.c;
        st.noct = 1;
        break;
    case 1:
        st.lsb = st.c;
        st.noct = 2;
        break;
    case 2:
        st.msb = st.c;
        st.noct = 3;
        break;
    default:
        checkframe();
        break;
    }
    st.timout = 0;
}

void record() {
    ++st.nacq;
    if (st.nacq <= 1) {
        std::printf("%sReception started !                      \n", cursorup);
        return;
    }
    st.cps += static_cast<float>(st.msb * 256 + st.lsb);
    std::printf("%sCounts over %d seconds: %f counts        \n", cursorup,
                (st.nacq - 1) * secondsperframe, static_cast<double>(st.cps));
}
