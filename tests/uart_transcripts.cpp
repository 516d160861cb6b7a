// Prints what lowrad writes in a scenario of scripts/check-uart, put together
// from the same pieces as the end-to-end tests, for the check to compare with
// what lowrad wrote inside the emulator, byte for byte.
//   uart-transcripts converted|declined|silent|nouart DEVICE
#include "dialogue.h"

#include <cstdio>
#include <map>
#include <string>

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: uart-transcripts converted|declined|silent|nouart DEVICE\n");
        return 2;
    }
    const std::string device = argv[2];
    const std::map<std::string, std::string> scenarios{
        // Answers 0.5 and 2 to the conversion's questions.
        {"converted", banner + bothruns(device) + results + convertquestion + coefficientquestion +
                          massquestion + activity + restartquestion + "\n\n"},
        {"declined", banner + fullcycle(device)},
        {"silent", banner + backgroundprompt + opened(device) + waiting + timedout},
        {"nouart", banner + backgroundprompt + notopened(device)},
    };
    const auto scenario = scenarios.find(argv[1]);
    if (scenario == scenarios.end()) {
        std::fprintf(stderr, "uart-transcripts: no scenario %s\n", argv[1]);
        return 2;
    }
    std::fwrite(scenario->second.data(), 1, scenario->second.size(), stdout);
    return 0;
}
