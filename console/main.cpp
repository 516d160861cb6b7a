#include "console/cycle.h"

int main() {
    measure();
    return 0;
}
