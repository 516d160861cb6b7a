#include "console/results.h"

#include "console/dialog.h"
#include "console/state.h"

#include <cstdio>

static constexpr double minutesperrun = 3;
static constexpr double secondsperrun = 180;
static constexpr double secondsperminute = 60;
static constexpr double significance = 0.00011;

static void printtotals() {
    const double background = st.backcps;
    const double total = st.totcps;
    std::printf("\n\n*********************************************");
    std::printf("\n\nFinal results:\n\n");
    std::printf("- Background: %f counts over 3 minutes = %f cpm\n", background,
                background / minutesperrun);
    std::printf("- Sample + Background: %f counts over 3 minutes = %f cpm\n", total,
                total / minutesperrun);
    st.netcps = static_cast<float>((total - background) / secondsperrun);
    const double net = st.netcps;
    std::printf("- Net count rate: %f cpm = %f cps\n\n", net * secondsperminute, net);
}

static bool significant() {
    if (!(st.netcps > 0)) {
        std::printf("Sample does not add radioactivity but shields environmental radiation !\n"
                    "Measurement setup is not adapted\n");
        return false;
    }
    if (static_cast<double>(st.netcps) / st.totcps < significance) {
        std::printf("Detected radioactivity versus background is very low\n"
                    "Measurements are not significant\n");
        return false;
    }
    return true;
}

static void askcoeff() {
    if (st.coeff != 0) {
        std::printf("Coefficient of the used GM tube in Imp/Bq.s : %f\n",
                    static_cast<double>(st.coeff));
        return;
    }
    while (st.coeff == 0) {
        std::printf("\nEnter coefficient of the used GM tube in Imp/Bq.s : ");
        st.coeff = readnumber();
    }
}

static void askmass() {
    st.mass = 0;
    while (st.mass <= 0) {
        std::printf("\nMass of the sample in Kg : ");
        st.mass = readnumber();
    }
}

static void convert() {
    std::printf("Convert this result to a sample activity level (y/n) ? ");
    readletter();
    if (st.reply[0] != 'Y' && st.reply[0] != 'y') {
        return;
    }
    askcoeff();
    askmass();
    const double activity =
        st.netcps / (static_cast<double>(st.coeff) * static_cast<double>(st.mass));
    std::printf("\n\nSample activity level: %f Bq/Kg\n\n", activity);
}

void evaluate() {
    printtotals();
    if (significant()) {
        convert();
    }
}
