// The report: which devices, the answer that leads it, then a block for each
// device and what the machine shows around them.
//
// A newcomer reads the first lines and types them: the way to a usable
// device, or else the first fix of the device most likely to work, where a
// USB adapter or a port with a UART comes before a port without one and a
// port that exists before one that does not.
#include "doctor/doctor.h"

#include <algorithm>

namespace {

// lowrad offers ttyS0 to ttyS3 in its menu; anything else reaches it through the runner.
std::string way_to(const std::string &path) {
    const std::string menu = "/dev/ttyS";
    if (path.size() == menu.size() + 1 && path.starts_with(menu) && path.back() >= '0' &&
        path.back() <= '3') {
        return std::string("run lowrad and choose ") + path.back();
    }
    return "lowrad-run --map ttyS0=" + path + ", then choose 0";
}

// The fix of the heaviest cause: what stops the open before what shares the line.
const Cause *first_fix(const Report &report) {
    for (const Weight weight : {Weight::blocks, Weight::shares, Weight::note}) {
        const auto found = std::ranges::find_if(
            report.causes, [&](const Cause &cause) { return cause.weight == weight; });
        if (found != report.causes.end()) {
            return &*found;
        }
    }
    return nullptr;
}

std::string answer(const std::vector<Report> &reports) {
    std::vector<const Report *> order;
    order.reserve(reports.size());
    for (const Report &report : reports) {
        order.push_back(&report);
    }
    // Hardware first, then the verdict nearest to usable; the report's own order among equals.
    std::ranges::stable_sort(order, [](const Report *a, const Report *b) {
        if (a->hardware != b->hardware) {
            return a->hardware < b->hardware;
        }
        return verdict(*a) > verdict(*b);
    });
    // A link such as /dev/serial0 leads to a device named already.
    std::string lines;
    std::vector<dev_t> named;
    for (const Report *report : order) {
        if (verdict(*report) == Verdict::usable &&
            std::ranges::find(named, report->device) == named.end()) {
            named.push_back(report->device);
            lines += "To measure: " + way_to(report->path) + "\n";
        }
    }
    if (!lines.empty()) {
        return lines;
    }
    const Report *best = order.empty() ? nullptr : order.front();
    if (best == nullptr || best->hardware >= Hardware::none) {
        return "First: plug in the counter's USB serial adapter, or wire it to a port with a "
               "UART\nThen:  lowrad-doctor\n";
    }
    const Cause *fix = first_fix(*best);
    return (fix == nullptr ? "" : "First: " + fix->todo + "\n") + "Then:  " + way_to(best->path) +
           "\n";
}

std::string causes_text(const std::vector<Cause> &causes) {
    std::string lines;
    for (const Cause &cause : causes) {
        lines += "  wrong: " + cause.wrong + "\n  do:    " + cause.todo + "\n";
    }
    return lines;
}

std::string limits(const Machine &machine, const Processes &seen) {
    std::string lines;
    if (machine.user() == 0) {
        lines += "Run as root: it sees every process, but root may open what your user may not;\n"
                 "run it as the user who runs lowrad to see that user's rights.\n";
    }
    if (seen.hidepid) {
        lines += "/proc is mounted with hidepid: other users' processes are hidden, and a port "
                 "they\nhold may look free here; sudo lowrad-doctor sees them.\n";
    } else if (seen.unseen > 0) {
        const std::string whose =
            seen.unseen == 1 ? " process of another user" : " processes of other users";
        lines += "The open files of " + std::to_string(seen.unseen) + whose + " are hidden from " +
                 user_name(machine) +
                 ": a port\nthey hold may look free here; sudo lowrad-doctor sees them.\n";
    }
    return lines;
}

std::string block(const Report &report) {
    return "\n" + report.path + ": " + verdict_text(verdict(report)) + "\n" +
           causes_text(report.causes) +
           (report.behind.empty() ? "" : "  behind it: " + report.behind + "\n");
}

std::string machine_text(const Machine &machine, const Processes &seen) {
    std::string model;
    std::vector<Cause> causes = raspberry_causes(machine, model);
    const std::vector<Cause> usb = usb_causes(machine, seen);
    causes.insert(causes.end(), usb.begin(), usb.end());
    if (model.empty() && causes.empty()) {
        return "";
    }
    return "\nThe machine:" + (model.empty() ? "" : " " + model) + "\n" + causes_text(causes);
}

} // namespace

Written write_report(const Machine &machine, const Processes &seen,
                     const std::vector<std::string> &devices) {
    std::vector<std::string> paths = devices;
    if (devices.empty()) {
        for (int port = 0; port < 4; ++port) {
            paths.push_back("/dev/ttyS" + std::to_string(port));
        }
        const std::vector<std::string> others = other_devices(machine);
        paths.insert(paths.end(), others.begin(), others.end());
    }
    std::vector<Report> reports;
    bool usable = false;
    for (const std::string &path : paths) {
        reports.push_back(examine(machine, path, seen));
        usable = usable || verdict(reports.back()) == Verdict::usable;
    }
    std::string text = "lowrad-doctor: what stands between lowrad and " +
                       std::string(devices.empty() ? "the serial devices" : "these devices") +
                       ", seen by " + user_name(machine) + " without opening any\n" +
                       answer(reports) + limits(machine, seen);
    for (Report &report : reports) {
        for (Cause &cause : report.causes) {
            if (cause.console && usable) {
                cause.todo = "not needed while you use a device this report shows as usable; "
                             "else " +
                             cause.todo;
            }
        }
        text += block(report);
    }
    return {text + machine_text(machine, seen), usable ? 0 : 1};
}
