// Prints one of lowrad's texts, or what lowrad writes in a whole scenario on
// DEVICE, put together from the same pieces as the end-to-end tests, for the
// scripts that hold lowrad's output against them byte for byte.
//   texts banner|backgroundprompt|sampleprompt|convertquestion|
//         restartquestion|shields|notsignificant
//   texts converted|declined|silent|nouart DEVICE
#include "dialogue.h"

#include <cstdio>
#include <map>
#include <string>

namespace {

const std::map<std::string, std::string> texts{
    {"banner", banner},
    {"backgroundprompt", backgroundprompt},
    {"sampleprompt", sampleprompt},
    {"convertquestion", convertquestion},
    {"restartquestion", restartquestion},
    {"shields", shields},
    {"notsignificant", notsignificant},
};

std::map<std::string, std::string> scenarios(const std::string &device) {
    return {
        // Answers 0.5 and 2 to the conversion's questions.
        {"converted", banner + bothruns(device) + results + convertquestion + coefficientquestion +
                          massquestion + activity + restartquestion + "\n\n"},
        {"declined", banner + fullcycle(device)},
        {"silent", banner + backgroundprompt + opened(device) + waiting + timedout},
        {"nouart", banner + backgroundprompt + notopened(device)},
    };
}

} // namespace

int main(int argc, char **argv) {
    const auto named = argc == 2   ? texts
                       : argc == 3 ? scenarios(argv[2])
                                   : std::map<std::string, std::string>{};
    const auto text = argc > 1 ? named.find(argv[1]) : named.end();
    if (text == named.end()) {
        std::fprintf(stderr, "usage: texts banner|backgroundprompt|sampleprompt|"
                             "convertquestion|restartquestion|shields|notsignificant\n"
                             "       texts converted|declined|silent|nouart DEVICE\n");
        return 2;
    }
    std::fwrite(text->second.data(), 1, text->second.size(), stdout);
    return 0;
}
