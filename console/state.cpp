#include "console/state.h"

measurement st;

void clearstate() {
    st = measurement{};
}
