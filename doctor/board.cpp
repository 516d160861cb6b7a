// The machine around the ports: USB serial adapters, the programs known to
// take serial devices, the Raspberry Pi's UARTs, and the serial devices
// lowrad cannot select by itself.
#include "doctor/doctor.h"

#include <algorithm>
#include <map>

namespace {

// The USB serial chips met most often, and the kernel module that drives each.
const std::map<std::string, std::string> serial_chips{
    {"0403", "ftdi_sio"}, {"067b", "pl2303"}, {"10c4", "cp210x"}, {"1a86", "ch341"}};

// A tty under any of the device's interfaces: ttyUSBn directly, ttyACMn in tty/.
bool has_tty(const Machine &machine, const std::string &device, std::string &interface_driver) {
    const std::string name = device.substr(device.rfind('/') + 1);
    for (const std::string &interface : machine.list(device)) {
        if (!interface.starts_with(name + ":")) {
            continue;
        }
        const std::string folder = device + "/" + interface;
        const std::string driver = machine.link_target(folder + "/driver");
        if (!driver.empty()) {
            interface_driver = driver.substr(driver.rfind('/') + 1);
        }
        for (const std::string &inside : machine.list(folder)) {
            if (inside.starts_with("ttyUSB") || inside == "tty") {
                return true;
            }
        }
    }
    return false;
}

bool cdc_acm(const Machine &machine, const std::string &device) {
    const std::string name = device.substr(device.rfind('/') + 1);
    return std::ranges::any_of(machine.list(device), [&](const std::string &interface) {
        return interface.starts_with(name + ":") &&
               read_text(machine, device + "/" + interface + "/bInterfaceClass") == "02" &&
               read_text(machine, device + "/" + interface + "/bInterfaceSubClass") == "02";
    });
}

const Holder *find_command(const Processes &seen, const std::string &command) {
    const auto found = std::ranges::find_if(
        seen.all, [&](const Holder &holder) { return holder.command == command; });
    return found == seen.all.end() ? nullptr : &*found;
}

std::string device_tree(const Machine &machine) {
    const std::string proc = "/proc/device-tree";
    return exists(machine, proc + "/model") ? proc : "/sys/firmware/devicetree/base";
}

} // namespace

std::vector<Cause> usb_causes(const Machine &machine, const Processes &seen) {
    std::vector<Cause> causes;
    const Holder *brltty = find_command(seen, "brltty");
    if (brltty != nullptr) {
        causes.push_back({Weight::note,
                          "brltty runs (" + std::to_string(brltty->pid) +
                              "): it claims some USB serial adapters (CH340, CP210x) for "
                              "braille displays",
                          "where no braille display needs it: sudo systemctl mask "
                          "brltty-udev.service brltty.service, then plug the adapter in again"});
    }
    if (const Holder *modems = find_command(seen, "ModemManager")) {
        causes.push_back({Weight::note,
                          "ModemManager runs (" + std::to_string(modems->pid) +
                              "): it probes new serial ports with modem commands",
                          "where no modem needs it: sudo systemctl disable --now ModemManager"});
    }
    const std::string bus = "/sys/bus/usb/devices";
    for (const std::string &name : machine.list(bus)) {
        const std::string device = bus + "/" + name;
        const auto chip = serial_chips.find(read_text(machine, device + "/idVendor"));
        std::string interface_driver = "none";
        if (name.find(':') != std::string::npos ||
            (chip == serial_chips.end() && !cdc_acm(machine, device)) ||
            has_tty(machine, device, interface_driver)) {
            continue;
        }
        const std::string module = chip == serial_chips.end() ? "cdc_acm" : chip->second;
        const std::string product = read_text(machine, device + "/product");
        causes.push_back(
            {Weight::note,
             "the USB serial adapter " + read_text(machine, device + "/idVendor") + ":" +
                 read_text(machine, device + "/idProduct") +
                 (product.empty() ? "" : " (" + product + ")") +
                 " has no serial device (its interface's driver: " + interface_driver + ")",
             brltty != nullptr || interface_driver == "usbfs"
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
std::vector<Cause> raspberry_causes(const Machine &machine, std::string &model) {
    std::vector<Cause> causes;
    const std::string tree = device_tree(machine);
    model = read_text(machine, tree + "/model");
    if (!model.starts_with("Raspberry Pi")) {
        model.clear();
        return causes;
    }
    for (const std::string alias : {"serial0", "serial1"}) {
        const std::string target = machine.link_target("/dev/" + alias);
        model += ", /dev/" + alias + " -> " + (target.empty() ? "nothing" : target);
        const std::string node = read_text(machine, tree + "/aliases/" + alias);
        const std::string status = read_text(machine, tree + node + "/status");
        const bool mini =
            read_text(machine, tree + node + "/compatible").starts_with("brcm,bcm2835-aux-uart");
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
        if (exists(machine, tree + node + "/bluetooth")) {
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

std::vector<std::string> other_devices(const Machine &machine) {
    std::vector<std::string> found;
    for (const std::string prefix : {"ttyUSB", "ttyACM", "ttyAMA", "serial"}) {
        for (const std::string &name : machine.list("/dev")) {
            if (name.starts_with(prefix) &&
                (prefix != "serial" || name == "serial0" || name == "serial1")) {
                found.push_back("/dev/" + name);
            }
        }
    }
    return found;
}
