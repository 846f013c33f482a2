// The built-in VISA library, through the real libusb and its Linux backend,
// against an emulated USBTMC instrument (umockdev). ctest runs each case in
// a process of its own under umockdev-wrapper.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "usb_instrument.h"
#include "visa.h"
#include "visa/log.h"

namespace {

using Strings = std::vector<std::string>;

usbemu::UsbInstrumentOptions sensor(const std::string& serial = "SN1") {
    usbemu::UsbInstrumentOptions o;
    o.serial = serial;
    o.instrument.idn = sim::identity_for_model("K7141HA", serial, "1.0.0");
    o.instrument.sector_sizes = sim::default_sector_sizes();
    return o;
}

std::mutex log_mutex;
std::string log_text;

void keep_line(const char* line) {
    std::lock_guard<std::mutex> g(log_mutex);
    log_text += line;
    log_text += '\n';
}

class UsbtmcEmulated : public ::testing::Test {
protected:
    void SetUp() override {
        if (!usbemu::in_mock_environment()) GTEST_SKIP() << "needs umockdev-wrapper";
        // Discovery reads its file from here; the machine's serial ports stay out.
        dir_ =
            std::filesystem::temp_directory_path() / ("usbtmc-emu-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_ / "firmware-update");
        std::ofstream(dir_ / "firmware-update" / "visa.conf") << "serial = off\n";
        ::setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
        visa::set_log_sink(&keep_line);
        ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS);
    }
    void TearDown() override {
        if (rm_ != VI_NULL) viClose(rm_);
        visa::set_log_sink(nullptr);
        std::filesystem::remove_all(dir_);
    }

    ViSession open(const std::string& resource) {
        ViSession vi = VI_NULL;
        EXPECT_EQ(viOpen(rm_, resource.c_str(), VI_NULL, 0, &vi), VI_SUCCESS) << resource;
        return vi;
    }

    static ViStatus write(ViSession vi, const std::string& s) {
        ViUInt32 n = 0;
        return viWrite(vi, reinterpret_cast<ViConstBuf>(s.data()), ViUInt32(s.size()), &n);
    }

    static std::string read(ViSession vi, ViStatus* st = nullptr) {
        char buf[512];
        ViUInt32 n = 0;
        ViStatus s = viRead(vi, reinterpret_cast<ViPBuf>(buf), sizeof buf, &n);
        if (st != nullptr) *st = s;
        return std::string(buf, n);
    }

    static std::string query(ViSession vi, const std::string& q) {
        if (write(vi, q) != VI_SUCCESS) return "<write failed>";
        ViStatus st;
        std::string r = read(vi, &st);
        return st == VI_SUCCESS ? r : "<read failed>";
    }

    static std::string log() {
        std::lock_guard<std::mutex> g(log_mutex);
        return log_text;
    }

    Strings find(const char* expr) {
        Strings out;
        ViFindList list;
        ViUInt32 count = 0;
        char name[VI_FIND_BUFLEN];
        if (viFindRsrc(rm_, expr, &list, &count, name) != VI_SUCCESS) return out;
        out.push_back(name);
        while (viFindNext(list, name) == VI_SUCCESS)
            out.push_back(name);
        viClose(list);
        return out;
    }

    usbemu::UsbBed bed_;
    ViSession rm_ = VI_NULL;
    std::filesystem::path dir_;
};

const std::string idn = sim::identity_for_model("K7141HA", "SN1", "1.0.0");

TEST_F(UsbtmcEmulated, DiscoveryListsEveryInterfaceAndResourcesMatchAsWritten) {
    usbemu::UsbInstrument first(bed_, sensor("SN1"));
    auto options = sensor("SN2");
    options.interface_number = 1;  // behind a vendor-specific interface
    usbemu::UsbInstrument second(bed_, options);

    EXPECT_EQ(find("USB?*"), (Strings{"USB0::0x1A2B::0x0C3D::SN1::0::INSTR",
                                      "USB0::0x1A2B::0x0C3D::SN2::1::INSTR"}));

    // Decimal ids, no board, no interface (the first USBTMC one), any case.
    ViSession vi = open("usb::6699::3133::SN2::instr");
    EXPECT_EQ(query(vi, "*IDN?\n"), sim::identity_for_model("K7141HA", "SN2", "1.0.0"));
    EXPECT_EQ(second.transcript(), "*IDN?\n");
    viClose(vi);

    // The serial is compared exactly; a wrong interface number is not there.
    ViSession none;
    EXPECT_EQ(viOpen(rm_, "USB0::0x1A2B::0x0C3D::sn1::INSTR", VI_NULL, 0, &none),
              VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(viOpen(rm_, "USB0::0x1A2B::0x0C3D::SN2::0::INSTR", VI_NULL, 0, &none),
              VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(first.transcript(), "");
}

// What the device told us, read back as attributes: the interface actually
// opened when the name gave none, the device's own strings when it has them.
TEST_F(UsbtmcEmulated, AttributesComeFromTheDeviceOpened) {
    auto options = sensor("SN1");
    options.interface_number = 1;
    usbemu::UsbInstrument usb488(bed_, options);
    options = sensor("SN2");
    options.usb488 = false;
    options.manufacturer_name.clear();
    options.product_name.clear();
    usbemu::UsbInstrument plain(bed_, options);

    ViSession vi = open("USB0::0x1A2B::0x0C3D::SN1::INSTR");
    ViUInt16 u16 = 0;
    ViInt16 i16 = -1;
    ViBoolean flag = VI_FALSE;
    char text[256] = {};
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_MANF_ID, &u16), VI_SUCCESS);
    EXPECT_EQ(u16, 0x1A2B);
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_MODEL_CODE, &u16), VI_SUCCESS);
    EXPECT_EQ(u16, 0x0C3D);
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_USB_SERIAL_NUM, text), VI_SUCCESS);
    EXPECT_STREQ(text, "SN1");
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_USB_INTFC_NUM, &i16), VI_SUCCESS);
    EXPECT_EQ(i16, 1);
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_USB_PROTOCOL, &i16), VI_SUCCESS);
    EXPECT_EQ(i16, 1);
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_4882_COMPLIANT, &flag), VI_SUCCESS);
    EXPECT_EQ(flag, VI_TRUE);
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_MANF_NAME, text), VI_SUCCESS);
    EXPECT_STREQ(text, "Tavrion Technologies");
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_MODEL_NAME, text), VI_SUCCESS);
    EXPECT_STREQ(text, "K7141HA");
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_TCPIP_ADDR, text), VI_ERROR_NSUP_ATTR);
    EXPECT_EQ(viSetAttribute(vi, VI_ATTR_USB_INTFC_NUM, 0), VI_ERROR_ATTR_READONLY);
    viClose(vi);

    // Plain USBTMC, and a device without strings: no names are made up.
    vi = open("USB0::0x1A2B::0x0C3D::SN2::INSTR");
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_USB_INTFC_NUM, &i16), VI_SUCCESS);
    EXPECT_EQ(i16, 0);
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_USB_PROTOCOL, &i16), VI_SUCCESS);
    EXPECT_EQ(i16, 0);
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_4882_COMPLIANT, &flag), VI_SUCCESS);
    EXPECT_EQ(flag, VI_FALSE);
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_MANF_NAME, text), VI_ERROR_NSUP_ATTR);
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_MODEL_NAME, text), VI_ERROR_NSUP_ATTR);
    EXPECT_EQ(query(vi, "*IDN?\n"), sim::identity_for_model("K7141HA", "SN2", "1.0.0"));
    viClose(vi);
}

TEST_F(UsbtmcEmulated, KernelDriverIsDetachedForTheSessionAndGivenBack) {
    usbemu::UsbInstrument dev(bed_, sensor());
    ASSERT_TRUE(dev.kernel_driver_bound());
    ViSession vi = open(dev.resource());
    EXPECT_FALSE(dev.kernel_driver_bound());
    EXPECT_EQ(query(vi, "*IDN?\n"), idn);
    // Unlocked, the interface is claimed only during an operation.
    EXPECT_EQ(dev.claims(), 0);
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
    EXPECT_TRUE(dev.kernel_driver_bound());
}

TEST_F(UsbtmcEmulated, TimeOutRunsTheAbortSequenceAndTheNextQueryWorks) {
    auto options = sensor();
    options.instrument.no_reply.insert("*IDN?");
    usbemu::UsbInstrument dev(bed_, options);
    ViSession vi = open(dev.resource());
    viSetAttribute(vi, VI_ATTR_TMO_VALUE, 200);
    ASSERT_EQ(write(vi, "*IDN?\n"), VI_SUCCESS);
    ViStatus st;
    read(vi, &st);
    EXPECT_EQ(st, VI_ERROR_TMO);
    Strings r = dev.requests();
    auto at = std::find(r.begin(), r.end(), "INITIATE_ABORT_BULK_IN");
    ASSERT_NE(at, r.end()) << log();
    EXPECT_NE(std::find(at, r.end(), "CHECK_ABORT_BULK_IN_STATUS"), r.end());
    EXPECT_EQ(query(vi, "SYST:ERR?\n").substr(0, 2), "+0");
    viClose(vi);
}

TEST_F(UsbtmcEmulated, BadTagAndStalledEndpointAreSurvived) {
    usbemu::UsbInstrument dev(bed_, sensor());
    ViSession vi = open(dev.resource());

    // A reply under another request's bTag is refused, not taken for ours.
    dev.wrong_tag_next_reply();
    ASSERT_EQ(write(vi, "*IDN?\n"), VI_SUCCESS);
    ViStatus st;
    read(vi, &st);
    EXPECT_EQ(st, VI_ERROR_IO);
    EXPECT_NE(log().find("bTag mismatch"), std::string::npos) << log();
    EXPECT_EQ(query(vi, "*IDN?\n"), idn);

    // A halted Bulk-OUT is cleared, so the next message goes through.
    dev.clear_log();
    dev.stall_next_bulk_out();
    EXPECT_EQ(write(vi, "*IDN?\n"), VI_ERROR_IO);
    Strings r = dev.requests();
    EXPECT_NE(std::find(r.begin(), r.end(), "CLEAR_HALT 0x01"), r.end());
    EXPECT_EQ(query(vi, "*IDN?\n"), idn);
    viClose(vi);
}

TEST_F(UsbtmcEmulated, ClearDropsTheUnreadReplyAndStatusByteShowsIt) {
    usbemu::UsbInstrument dev(bed_, sensor());
    ViSession vi = open(dev.resource());
    ASSERT_EQ(write(vi, "*IDN?\n"), VI_SUCCESS);
    ViUInt16 stb = 0;
    ASSERT_EQ(viReadSTB(vi, &stb), VI_SUCCESS);
    EXPECT_EQ(stb & 0x10, 0x10) << "message available";
    dev.clear_log();
    ASSERT_EQ(viClear(vi), VI_SUCCESS);
    EXPECT_EQ(dev.requests(), (Strings{"INITIATE_CLEAR", "CHECK_CLEAR_STATUS", "CLEAR_HALT 0x01"}));
    ASSERT_EQ(viReadSTB(vi, &stb), VI_SUCCESS);
    EXPECT_EQ(stb & 0x10, 0);
    EXPECT_EQ(query(vi, "SYST:ERR?\n").substr(0, 2), "+0");
    viClose(vi);
}

TEST_F(UsbtmcEmulated, LockHoldsTheInterfaceAgainstOtherSessions) {
    usbemu::UsbInstrument dev(bed_, sensor());
    ViSession a = open(dev.resource());
    // The same instrument under a name without the interface number: the
    // lock table sees another resource, the claim does not.
    ViSession b = open("USB0::0x1A2B::0x0C3D::SN1::INSTR");
    ASSERT_EQ(viLock(a, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_SUCCESS);
    EXPECT_EQ(dev.claims(), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(viLock(b, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_ERROR_TMO);
    EXPECT_EQ(write(b, "*RST\n"), VI_ERROR_RSRC_LOCKED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(query(a, "*IDN?\n"), idn);
    EXPECT_EQ(dev.transcript(), "*IDN?\n");
    ASSERT_EQ(viUnlock(a), VI_SUCCESS);
    EXPECT_EQ(dev.claims(), 0);
    EXPECT_EQ(viLock(b, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_SUCCESS);
    viClose(a);
    viClose(b);
    EXPECT_EQ(dev.claims(), 0);
}

TEST_F(UsbtmcEmulated, UnpluggedInAWriteFailsCleanlyAndTheSessionCloses) {
    usbemu::UsbInstrument dev(bed_, sensor());
    ViSession vi = open(dev.resource());
    viSetAttribute(vi, VI_ATTR_TMO_VALUE, 2000);
    dev.unplug_after(10000);
    std::string block = "DIAG:UPD:BLOC? #6100000" + std::string(100000, 'x');
    const auto start = std::chrono::steady_clock::now();
    ViUInt32 n = 0;
    EXPECT_EQ(viWrite(vi, reinterpret_cast<ViConstBuf>(block.data()), ViUInt32(block.size()), &n),
              VI_ERROR_CONN_LOST);
    EXPECT_LT(n, block.size());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
    EXPECT_EQ(write(vi, "*IDN?\n"), VI_ERROR_CONN_LOST);
    EXPECT_EQ(viClose(vi), VI_SUCCESS);

    // Once it is off the bus, it is not there to open.
    dev.remove();
    ViStatus st = VI_SUCCESS;
    for (int i = 0; i < 100 && st != VI_ERROR_RSRC_NFOUND; ++i) {
        ViSession again;
        st = viOpen(rm_, dev.resource().c_str(), VI_NULL, 0, &again);
        if (st == VI_SUCCESS) viClose(again);
        if (st != VI_ERROR_RSRC_NFOUND) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(st, VI_ERROR_RSRC_NFOUND);
}

TEST_F(UsbtmcEmulated, UnpluggedWhileAReadWaitsEndsItAtOnce) {
    auto options = sensor();
    options.instrument.no_reply.insert("*IDN?");
    usbemu::UsbInstrument dev(bed_, options);
    ViSession vi = open(dev.resource());
    viSetAttribute(vi, VI_ATTR_TMO_VALUE, 5000);
    ASSERT_EQ(write(vi, "*IDN?\n"), VI_SUCCESS);
    std::thread unplug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        dev.remove();
    });
    const auto start = std::chrono::steady_clock::now();
    ViStatus st;
    read(vi, &st);
    unplug.join();
    EXPECT_EQ(st, VI_ERROR_CONN_LOST);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500))
        << "not left to the 5 s time-out";
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
}

}  // namespace
