#include "console/dialog.h"

#include "console/state.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

static constexpr int letterwidth = 2;
static constexpr int wordwidth = 10;

// Reads the next word whole, keeps at most width characters of it in
// st.reply and returns its whole length: 0 when input ended before a word.
static int readanswer(int width) {
    int c = std::getchar();
    while (c != EOF && std::isspace(c) != 0) {
        c = std::getchar();
    }
    int length = 0;
    for (; c != EOF && std::isspace(c) == 0; c = std::getchar()) {
        if (length < width) {
            st.reply[length] = static_cast<char>(c);
        }
        ++length;
    }
    st.reply[length < width ? length : width] = '\0';
    return length;
}

void readletter() {
    readanswer(letterwidth);
}

void readword() {
    readanswer(wordwidth);
}

float readnumber() {
    const int length = readanswer(wordwidth);
    if (length == 0) {
        leave();
    }
    // A word cut at its width, or one with a NUL typed into it, is not the
    // number the user typed.
    if (length > wordwidth) {
        return 0;
    }
    char *end = nullptr;
    const float value = std::strtof(st.reply, &end);
    return end == st.reply + length && std::isfinite(value) ? value : 0;
}
