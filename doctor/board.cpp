// The machine around the ports: USB serial adapters, the programs known to
// take serial devices, the Raspberry Pi's UARTs, and the serial devices
// lowrad cannot select by itself.
#include "doctor/doctor.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <map>
#include <memory>
#include <sys/stat.h>

namespace {

struct Closedir {
    void operator()(DIR *directory) const {
        closedir(directory);
    }
};

std::vector<std::string> entries(const std::string &folder) {
    std::vector<std::string> names;
    const std::unique_ptr<DIR, Closedir> directory(opendir(folder.c_str()));
    while (directory) {
        const dirent *entry = readdir(directory.get());
        if (entry == nullptr) {
            break;
        }
        if (entry->d_name[0] != '.') {
            names.emplace_back(entry->d_name);
        }
    }
    std::ranges::sort(names);
    return names;
}

// The USB serial chips met most often, and the kernel module that drives each.
const std::map<std::string, std::string> serialchips{
    {"0403", "ftdi_sio"}, {"067b", "pl2303"}, {"10c4", "cp210x"}, {"1a86", "ch341"}};

// A tty under any of the device's interfaces: ttyUSBn directly, ttyACMn in tty/.
bool hastty(const std::string &device, std::string &interfacedriver) {
    const std::string name = device.substr(device.rfind('/') + 1);
    for (const std::string &interface : entries(device)) {
        if (!interface.starts_with(name + ":")) {
            continue;
        }
        const std::string folder = device + "/" + interface;
        const std::string driver = linktarget(folder + "/driver");
        if (!driver.empty()) {
            interfacedriver = driver.substr(driver.rfind('/') + 1);
        }
        for (const std::string &inside : entries(folder)) {
            if (inside.starts_with("ttyUSB") || inside == "tty") {
                return true;
            }
        }
    }
    return false;
}

bool cdcacm(const std::string &device) {
    const std::string name = device.substr(device.rfind('/') + 1);
    return std::ranges::any_of(entries(device), [&](const std::string &interface) {
        return interface.starts_with(name + ":") &&
               slurp(device + "/" + interface + "/bInterfaceClass") == "02" &&
               slurp(device + "/" + interface + "/bInterfaceSubClass") == "02";
    });
}

const Holder *findcommand(const Processes &seen, const std::string &command) {
    const auto found = std::ranges::find_if(
        seen.all, [&](const Holder &holder) { return holder.command == command; });
    return found == seen.all.end() ? nullptr : &*found;
}

std::string devicetree() {
    const std::string proc = under("/proc/device-tree");
    return exists(proc + "/model") ? proc : under("/sys/firmware/devicetree/base");
}

} // namespace

std::vector<Cause> usbcauses(const Processes &seen) {
    std::vector<Cause> causes;
    const Holder *brltty = findcommand(seen, "brltty");
    if (brltty != nullptr) {
        causes.push_back({Weight::note,
                          "brltty runs (" + std::to_string(brltty->pid) +
                              "): it claims some USB serial adapters (CH340, CP210x) for "
                              "braille displays",
                          "where no braille display needs it: sudo systemctl mask "
                          "brltty-udev.service brltty.service, then plug the adapter in again"});
    }
    if (const Holder *modems = findcommand(seen, "ModemManager")) {
        causes.push_back({Weight::note,
                          "ModemManager runs (" + std::to_string(modems->pid) +
                              "): it probes new serial ports with modem commands",
                          "where no modem needs it: sudo systemctl disable --now ModemManager"});
    }
    const std::string bus = under("/sys/bus/usb/devices");
    for (const std::string &name : entries(bus)) {
        const std::string device = bus + "/" + name;
        const auto chip = serialchips.find(slurp(device + "/idVendor"));
        std::string interfacedriver = "none";
        if (name.find(':') != std::string::npos || (chip == serialchips.end() && !cdcacm(device)) ||
            hastty(device, interfacedriver)) {
            continue;
        }
        const std::string module = chip == serialchips.end() ? "cdc_acm" : chip->second;
        const std::string product = slurp(device + "/product");
        causes.push_back(
            {Weight::note,
             "the USB serial adapter " + slurp(device + "/idVendor") + ":" +
                 slurp(device + "/idProduct") + (product.empty() ? "" : " (" + product + ")") +
                 " has no serial device (its interface's driver: " + interfacedriver + ")",
             brltty != nullptr || interfacedriver == "usbfs"
                 ? "a program (brltty?) has claimed it: stop that program, then plug the "
                   "adapter in again"
                 : "load its driver: sudo modprobe " + module +
                       ", then plug the adapter in again"});
    }
    return causes;
}

// On the Pi the GPIO UART is /dev/serial0; which tty that is depends on the
// model, config.txt and the kernel. The device tree's aliases name the UART
// nodes; a disabled node, or one with a bluetooth child, is no counter's.
std::vector<Cause> raspberrycauses(std::string &model) {
    std::vector<Cause> causes;
    const std::string tree = devicetree();
    model = slurp(tree + "/model");
    if (!model.starts_with("Raspberry Pi")) {
        model.clear();
        return causes;
    }
    for (const std::string alias : {"serial0", "serial1"}) {
        const std::string target = linktarget(under("/dev/" + alias));
        model += ", /dev/" + alias + " -> " + (target.empty() ? "nothing" : target);
        const std::string node = slurp(tree + "/aliases/" + alias);
        const std::string status = slurp(tree + node + "/status");
        const bool mini = slurp(tree + node + "/compatible").starts_with("brcm,bcm2835-aux-uart");
        if (node.empty()) {
            continue;
        }
        if (!status.empty() && status != "okay") {
            causes.push_back({Weight::note,
                              "the UART of " + alias + (mini ? " (the mini UART, " : " (") + node +
                                  ") is disabled in the device tree",
                              "add enable_uart=1 to config.txt (/boot/firmware/config.txt), "
                              "and reboot"});
        }
        if (exists(tree + node + "/bluetooth")) {
            causes.push_back(
                {Weight::note,
                 "the UART of " + alias + " (" + node + (target.empty() ? "" : ", " + target) +
                     ") is wired to Bluetooth on this model, not to GPIO pins 8 and 10",
                 "connect the counter to /dev/serial0, or give the GPIO pins this "
                 "UART with dtoverlay=disable-bt in config.txt"});
        }
    }
    return causes;
}

void listothers() {
    std::vector<std::string> found;
    for (const std::string &name : entries(under("/dev"))) {
        if (name.starts_with("ttyUSB") || name.starts_with("ttyACM") ||
            name.starts_with("ttyAMA") || name == "serial0" || name == "serial1") {
            found.push_back(name);
        }
    }
    std::printf("\nOther serial devices (lowrad selects only ttyS0 to ttyS3; lowrad-run shows it "
                "one of these):\n");
    if (found.empty()) {
        std::printf("  none\n");
    }
    for (const std::string &name : found) {
        const std::string path = "/dev/" + name;
        struct stat node {};
        std::string about;
        if (const std::string target = linktarget(under(path)); !target.empty()) {
            about = " -> " + target;
        }
        if (stat(under(path).c_str(), &node) == 0 && S_ISCHR(node.st_mode)) {
            const std::string driver = hardwaredriver(sysfsdir(node.st_rdev));
            about += driver.empty() ? "" : ", driver " + driver;
        }
        std::printf("  %s%s: lowrad-run --map ttyS0=%s\n", path.c_str(), about.c_str(),
                    path.c_str());
    }
}
