#include "sim/holders.h"

#include "procfs/procfs.h"

#include <algorithm>

bool held_elsewhere(const Node &terminal) {
    const std::vector<std::string> processes = process_folders("/proc");
    return std::ranges::any_of(processes, [&](const std::string &name) {
        const std::string process = "/proc/" + name;
        const Descriptors descriptors = device_descriptors(process);
        return std::ranges::any_of(descriptors.on_devices, [&](const DeviceDescriptor &open) {
            return same_device(open.node, terminal) && opened_for_io(process, open.fd);
        });
    });
}
