#include "console/dialog.h"

#include "console/state.h"

#include <cstdio>

void readletter() {
    if (std::scanf("%2s", st.reply) != 1) {
        st.reply[0] = '\0';
    }
}

void readword() {
    if (std::scanf("%10s", st.reply) != 1) {
        st.reply[0] = '\0';
    }
}
