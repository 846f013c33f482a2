// The built-in VISA library, through the real libusb and its Linux backend,
// against an emulated USBTMC instrument (umockdev). Run under
// umockdev-wrapper; each case runs in a process of its own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "usb_instrument.h"
#include "visa.h"

namespace {

usbemu::UsbInstrumentOptions sensor(const std::string& model = "K7141HA") {
    usbemu::UsbInstrumentOptions o;
    o.instrument.idn = sim::identity_for_model(model, "SN1", "1.0.0");
    o.instrument.sector_sizes = sim::default_sector_sizes();
    return o;
}

class UsbtmcEmulated : public ::testing::Test {
protected:
    void SetUp() override {
        if (!usbemu::in_mock_environment()) GTEST_SKIP() << "needs umockdev-wrapper";
    }
};

std::string query(ViSession vi, const std::string& q) {
    ViUInt32 n = 0;
    if (viWrite(vi, reinterpret_cast<ViConstBuf>(q.data()), ViUInt32(q.size()), &n) != VI_SUCCESS)
        return "<write failed>";
    char buf[512];
    ViStatus st = viRead(vi, reinterpret_cast<ViPBuf>(buf), sizeof buf, &n);
    if (st < 0) return "<read failed " + std::to_string(st) + ">";
    return std::string(buf, n);
}

TEST_F(UsbtmcEmulated, Smoke) {
    usbemu::UsbBed bed;
    usbemu::UsbInstrument dev(bed, sensor());
    ViSession rm, vi;
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    ASSERT_EQ(viOpen(rm, dev.resource().c_str(), VI_NULL, 0, &vi), VI_SUCCESS);
    EXPECT_EQ(query(vi, "*IDN?\n"), sim::identity_for_model("K7141HA", "SN1", "1.0.0"));
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
    EXPECT_TRUE(dev.kernel_driver_bound());
    viClose(rm);
}

}  // namespace
