#include "visa/info/usb_scan.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

void put(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text << "\n";
}

// A sysfs tree with one instrument (USBTMC on interface 1 beside a HID
// interface 0), a USBTMC interface whose device lacks its bus numbers, and
// a mass-storage stick.
TEST(UsbScanTest, FindsUsbtmcInterfacesOnly) {
    const fs::path root = fs::temp_directory_path() / ("usbscan-" + std::to_string(::getpid()));
    fs::remove_all(root);
    auto dev = [&](const std::string& name, const char* vid, const char* pid, const char* serial,
                   const char* bus, const char* num) {
        put(root / name / "idVendor", vid);
        put(root / name / "idProduct", pid);
        if (serial) put(root / name / "serial", serial);
        if (bus) put(root / name / "busnum", bus);
        if (num) put(root / name / "devnum", num);
    };
    auto iface = [&](const std::string& name, const char* cls, const char* sub, const char* n) {
        put(root / name / "bInterfaceClass", cls);
        put(root / name / "bInterfaceSubClass", sub);
        put(root / name / "bInterfaceNumber", n);
    };
    dev("1-2", "1a2b", "0c3d", "SN 42", "1", "7");
    iface("1-2:1.0", "03", "00", "00");
    iface("1-2:1.1", "fe", "03", "01");
    dev("1-3", "1a2b", "0c3e", nullptr, nullptr, "8");
    iface("1-3:1.0", "fe", "03", "00");
    dev("2-1", "0781", "5567", "X", "2", "3");
    iface("2-1:1.0", "08", "06", "00");

    auto found = visa::info::scan_usbtmc(root.string(), "/fake");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].vendor, 0x1A2Bu);
    EXPECT_EQ(found[0].product, 0x0C3Du);
    EXPECT_EQ(found[0].serial, "SN 42");
    EXPECT_EQ(found[0].interface, 1u);
    EXPECT_EQ(found[0].device_node, "/fake/dev/bus/usb/001/007");
    EXPECT_TRUE(visa::info::scan_usbtmc((root / "absent").string(), "").empty());
    fs::remove_all(root);
}

}  // namespace
