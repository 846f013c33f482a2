#pragma once

#include <string>
#include <vector>

namespace visa::info {

// One USBTMC interface found in sysfs.
struct UsbInstrument {
    unsigned vendor = 0;
    unsigned product = 0;
    std::string serial;       // "" when the kernel read none
    unsigned interface = 0;   // bInterfaceNumber
    std::string device_node;  // /dev/bus/usb/BBB/DDD
};

// USBTMC interfaces (class 0xFE, subclass 0x03) under `sysfs_usb_devices`
// (normally /sys/bus/usb/devices), with their device nodes under `dev_root`
// (normally "" for the real /dev). Sorted by device node and interface.
std::vector<UsbInstrument> scan_usbtmc(const std::string& sysfs_usb_devices,
                                       const std::string& dev_root);

}  // namespace visa::info
