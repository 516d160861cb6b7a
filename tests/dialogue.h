// What lowrad writes, piece by piece, for the end-to-end tests to put together.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

inline const std::string banner =
    "\nLow level radioactivity net count rate processing - see 'man lowrad'\n"
    "To be used with serial data connection GM counter described on the web site\n\n"
    "0 - Select ttyS0\n1 - Select ttyS1\n2 - Select ttyS2\n3 - Select ttyS3\nQ - Abort\n\n"
    "Enter selection: ";
inline const std::string backgroundprompt =
    "\nPress 'G' + enter when ready to measure background, or 'Q' + enter to quit... ";
inline const std::string sampleprompt = "\nPress 'G' + enter when ready to measure background + "
                                        "sample, or 'Q' + enter to quit...  ";
inline const std::string waiting = "\n\nWaiting for data (12s time-out)...\n";
inline const std::string timedout = "\nReception timed-out !\n\n";
inline const std::string restartquestion = "Start a new measurement (y/n) ? ";
inline const std::string failed = "Com Port Opening Failed !\n";

// The settings lowrad leaves on the line, as the simulator reads them back:
// 1200 baud, 8 data bits, 2 stop bits, receiver on, modem lines ignored, and
// every other flag and control character zero.
inline const std::string linesettings =
    "line cflag=0x8f9 iflag=0x0 oflag=0x0 lflag=0x0 cc=00 00 00 00 00 "
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00 00";

inline std::string opened(const std::string &device) {
    return "Opening " + device + " ...\n\nPort opened successfully\n";
}

inline std::string notopened(const std::string &device) {
    return "Opening " + device + " ...\n\n" + failed;
}

// The progress lines of a run whose accepted frames carried these counts; the
// first frame only starts reception.
inline std::string progress(const std::vector<int> &accepted) {
    std::string text = "\033[1AReception started !                      \n";
    int total = 0;
    for (size_t frame = 1; frame < accepted.size(); ++frame) {
        total += accepted[frame];
        char line[96];
        std::snprintf(line, sizeof line,
                      "\033[1ACounts over %zu seconds: %d.000000 counts        \n", frame * 10,
                      total);
        text += line;
    }
    return text;
}

inline std::vector<int> repeated(std::vector<int> pattern) {
    std::vector<int> frames;
    while (frames.size() < 19) {
        frames.push_back(pattern[frames.size() % pattern.size()]);
    }
    return frames;
}

// Background frames of 5 and sample frames of 8 impulses, on a fast period,
// and no more frames in a run than lowrad takes. A pseudo-terminal, unlike a
// real port, hands its next opener whatever is left unread, and the simulator
// can drop that only once it has seen the close. lowrad closes the port and
// opens it again at once when the answer is already there; under load it
// then read frames left over from the run before (sent while it lagged, or
// before the simulator saw the close), and counted them. Faults that spoil
// frames ask for the more frames they need.
inline std::vector<std::string> counter(std::vector<std::string> faults = {}) {
    std::vector<std::string> options{
        "--period", "0.02", "--background-counts", "5", "--sample-counts", "8", "--frames", "19"};
    options.insert(options.end(), faults.begin(), faults.end());
    return options;
}

// Both runs of a cycle with the simulator's counter().
inline std::string bothruns(const std::string &device) {
    return backgroundprompt + opened(device) + waiting + progress(repeated({5})) + sampleprompt +
           opened(device) + waiting + progress(repeated({8}));
}

inline const std::string convertquestion =
    "Convert this result to a sample activity level (y/n) ? ";
inline const std::string coefficientquestion =
    "\nEnter coefficient of the used GM tube in Imp/Bq.s : ";
inline const std::string massquestion = "\nMass of the sample in Kg : ";
// The coefficient that a cycle before this one was given.
inline std::string coefficientknown(const std::string &coefficient) {
    return "Coefficient of the used GM tube in Imp/Bq.s : " + coefficient + "\n";
}
inline std::string activitylevel(const std::string &level) {
    return "\n\nSample activity level: " + level + " Bq/Kg\n\n";
}
// The activity of results with a coefficient of 0.5 and a mass of 2 kg.
inline const std::string activity = activitylevel("0.300000");

// The verdicts that offer no conversion.
inline const std::string shields =
    "Sample does not add radioactivity but shields environmental radiation !\n"
    "Measurement setup is not adapted\n";
inline const std::string notsignificant = "Detected radioactivity versus background is very low\n"
                                          "Measurements are not significant\n";

inline const std::string resultshead =
    "\n\n*********************************************\n\nFinal results:\n\n";
// The results with the figures of each line: impulses and cpm of either run,
// and the net count rate.
inline std::string finalresults(const std::string &background, const std::string &total,
                                const std::string &net) {
    return resultshead + "- Background: " + background + "\n- Sample + Background: " + total +
           "\n- Net count rate: " + net + "\n\n";
}

// The results of bothruns(): 90 and 144 impulses, significant.
inline const std::string results = finalresults("90.000000 counts over 3 minutes = 30.000000 cpm",
                                                "144.000000 counts over 3 minutes = 48.000000 cpm",
                                                "18.000001 cpm = 0.300000 cps");

// A whole cycle with the conversion declined, up to the restart answer.
inline std::string fullcycle(const std::string &device) {
    return bothruns(device) + results + convertquestion + restartquestion + "\n\n";
}
