#include "console/cycle.h"

#include "console/dialog.h"
#include "console/results.h"
#include "console/state.h"
#include "link/frames.h"
#include "link/port.h"

#include <cstdio>
#include <ctime>
#include <unistd.h>

static constexpr int framesperrun = 19;
static constexpr uint32_t silencelimit = 12000;
static constexpr long pollinterval = 1000000; // nanoseconds
static constexpr long long stalllimit = 100 * pollinterval;
static constexpr long long nanosecondspersecond = 1000000000;

static void greet() {
    std::printf("\nLow level radioactivity net count rate processing - see 'man lowrad'\n");
    std::printf("To be used with serial data connection GM counter described on the web site\n\n");
    std::printf("0 - Select ttyS0\n1 - Select ttyS1\n2 - Select ttyS2\n3 - Select ttyS3\n"
                "Q - Abort\n\n");
    std::printf("Enter selection: ");
}

static void chooseport() {
    readword();
    switch (st.reply[0]) {
    case '0':
        break;
    case '1':
        st.device0 = measurement::device1;
        break;
    case '2':
        st.device0 = measurement::device2;
        break;
    case '3':
        st.device0 = measurement::device3;
        break;
    default:
        st.restart = 0;
        break;
    }
}

static void awaitgo() {
    readletter();
    if (st.reply[0] != 'g' && st.reply[0] != 'G') {
        leave();
    }
}

static void openport() {
    opcom();
    if (st.fd < 0) {
        leave();
    }
}

static void clearrun() {
    st.nacq = 0;
    st.noct = 0;
    st.cks = 0;
    st.header = 0;
    st.msb = 0;
    st.lsb = 0;
    st.cps = 0;
}

static void clearcycle() {
    st.totcps = 0;
    st.backcps = 0;
    st.netcps = 0;
    clearrun();
    st.c = 0;
    st.timout = 0;
}

static long long nanoseconds(const timespec &time) {
    return time.tv_sec * nanosecondspersecond + time.tv_nsec;
}

// A relative 1 ms sleep always wakes a little late, and 12000 of them add up
// to well over the 12 s the time-out announces. Sleeping to deadlines 1 ms
// apart on the monotonic clock lets a late wake-up be made up by a shorter
// next sleep, so the polls keep their 1 ms cadence on average.
//
// A wake-up far later than that is no jitter but a stall: Ctrl-Z, SIGSTOP, a
// debugger, a paused machine, a board that swaps. Making it up would poll
// through the missed deadlines without sleeping, count each as a silent poll
// and give up on a counter that kept sending all along. So after a stall the
// deadlines start afresh from now, and the stall counts as one poll. Jitter
// on a busy machine or in an emulator runs to milliseconds (a limit of one
// interval stretched a 12 s time-out to 13.3 s in QEMU), so only a wake-up
// more than 100 intervals late counts as a stall: making up less than that
// can end a silence at most 0.1 s early.
static void awaittick() {
    st.tick.tv_nsec += pollinterval;
    if (st.tick.tv_nsec >= nanosecondspersecond) {
        st.tick.tv_nsec -= nanosecondspersecond;
        ++st.tick.tv_sec;
    }
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &st.tick, nullptr);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (nanoseconds(now) - nanoseconds(st.tick) > stalllimit) {
        st.tick = now;
    }
}

// Every byte that arrives resets st.timout, so the limit measures unbroken
// silence, not the length of the run.
static void acquire() {
    std::printf("\n\nWaiting for data (12s time-out)...\n");
    clock_gettime(CLOCK_MONOTONIC, &st.tick);
    while (st.nacq < framesperrun && st.timout < silencelimit) {
        ++st.timout;
        awaittick();
        receive();
    }
    close(st.fd);
    if (st.nacq < framesperrun) {
        std::printf("\nReception timed-out !\n\n");
        leave();
    }
}

static void askrestart() {
    std::printf("Start a new measurement (y/n) ? ");
    readletter();
    std::printf("\n\n");
    if (st.reply[0] != 'y' && st.reply[0] != 'Y') {
        st.restart = 0;
    }
}

static void cycle() {
    clearcycle();
    std::printf("\nPress 'G' + enter when ready to measure background, or 'Q' + enter to "
                "quit... ");
    awaitgo();
    openport();
    acquire();
    st.backcps = st.cps;

    std::printf("\nPress 'G' + enter when ready to measure background + sample, or 'Q' + "
                "enter to quit...  ");
    awaitgo();
    openport();
    // The background run ended on the poll that accepted its last frame, and
    // that byte cleared st.timout; only the frame fields need a fresh start.
    clearrun();
    acquire();
    st.totcps = st.cps;
    evaluate();
    askrestart();
}

void measure() {
    // Prompts and progress lines must show at once, also through a pipe.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    st.restart = 1;
    st.coeff = 0;
    greet();
    chooseport();
    while (st.restart == 1) {
        cycle();
    }
}
