#include "visa/info/usb_scan.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace visa::info {
namespace {

std::string read_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

bool hex_value(const std::string& text, unsigned* out) {
    if (text.empty() || text.size() > 8) return false;
    try {
        size_t used = 0;
        unsigned long v = std::stoul(text, &used, 16);
        if (used != text.size()) return false;
        *out = unsigned(v);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool dec_value(const std::string& text, unsigned* out) {
    if (text.empty() || text.size() > 6) return false;
    try {
        size_t used = 0;
        unsigned long v = std::stoul(text, &used, 10);
        if (used != text.size()) return false;
        *out = unsigned(v);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

std::vector<UsbInstrument> scan_usbtmc(const std::string& sysfs_usb_devices,
                                       const std::string& dev_root) {
    std::vector<UsbInstrument> out;
    DIR* d = ::opendir(sysfs_usb_devices.c_str());
    if (d == nullptr) return out;
    while (dirent* ent = ::readdir(d)) {
        // Interfaces are named "<device>:<configuration>.<interface>".
        const std::string name = ent->d_name;
        const size_t colon = name.find(':');
        if (colon == std::string::npos || colon == 0) continue;
        const std::string iface = sysfs_usb_devices + "/" + name;
        const std::string device = sysfs_usb_devices + "/" + name.substr(0, colon);
        unsigned cls = 0, sub = 0, number = 0, bus = 0, addr = 0;
        if (!hex_value(read_line(iface + "/bInterfaceClass"), &cls) || cls != 0xFE) continue;
        if (!hex_value(read_line(iface + "/bInterfaceSubClass"), &sub) || sub != 0x03) continue;
        UsbInstrument found;
        if (!hex_value(read_line(iface + "/bInterfaceNumber"), &number) ||
            !hex_value(read_line(device + "/idVendor"), &found.vendor) ||
            !hex_value(read_line(device + "/idProduct"), &found.product) ||
            !dec_value(read_line(device + "/busnum"), &bus) ||
            !dec_value(read_line(device + "/devnum"), &addr))
            continue;
        found.interface = number;
        found.serial = read_line(device + "/serial");
        char node[64];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", bus, addr);
        found.device_node = dev_root + node;
        out.push_back(std::move(found));
    }
    ::closedir(d);
    std::sort(out.begin(), out.end(), [](const UsbInstrument& a, const UsbInstrument& b) {
        return a.device_node != b.device_node ? a.device_node < b.device_node
                                              : a.interface < b.interface;
    });
    return out;
}

}  // namespace visa::info
