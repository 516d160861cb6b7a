// The measurement state: the one record the whole program works on.
//
// lowrad is a single loop (see cycle.h) around this record. Every step of the
// dialogue, the port opener and the frame receiver reads its inputs from here
// and leaves its outcome here; no function takes arguments or returns results.
// The record is zero at start but for `device0`, which names the first port.
#pragma once

#include <cstdint>
#include <ctime>
#include <termios.h>

struct measurement {
    static constexpr const char *device1 = "/dev/ttyS1";
    static constexpr const char *device2 = "/dev/ttyS2";
    static constexpr const char *device3 = "/dev/ttyS3";

    const char *device0 = "/dev/ttyS0"; // the port that opcom opens
    int32_t fd = 0;                     // open port, negative when opening failed
    termios tty{};                      // line settings applied at every opening

    unsigned char c = 0;      // byte most recently read from the port
    int32_t noct = 0;         // position 0..3 of the next byte within a frame
    unsigned char header = 0; // the candidate frame's first three bytes
    unsigned char lsb = 0;
    unsigned char msb = 0;
    unsigned char cks = 0; // checksum computed for the candidate frame

    uint32_t timout = 0; // polls since the last byte arrived
    timespec tick{};     // when the next poll is due, on the monotonic clock
    int32_t nacq = 0;    // frames accepted in the current run
    float cps = 0;       // impulses summed over the counted frames of the run

    float backcps = 0; // total impulses of the background run
    float totcps = 0;  // total impulses of the background + sample run
    float netcps = 0;  // net count rate, impulses per second
    float coeff = 0;   // tube coefficient in Imp/Bq.s, 0 until entered
    float mass = 0;    // sample mass in kg

    unsigned char restart = 0; // 1 while cycles go on
    char reply[11] = {};       // last console answer, at most 10 characters
};

extern measurement st;

// Puts the record back as it is at program start.
void clearstate();
