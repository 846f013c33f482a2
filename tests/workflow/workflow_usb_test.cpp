// Discovery and identification through the built-in VISA library against an
// emulated USB sensor (umockdev; ctest runs it under umockdev-wrapper): what
// the window's instrument list and its identification show for USB.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "engine_output.h"
#include "recording_operator.h"
#include "update.h"
#include "usb_instrument.h"
#include "workflow/discovery.h"
#include "workflow/identification.h"

namespace {

using namespace workflow;

usbemu::UsbInstrumentOptions Sensor(const std::string& model, const std::string& serial) {
    usbemu::UsbInstrumentOptions o;
    o.serial = serial;
    o.instrument.idn = sim::identity_for_model(model, serial, "1.0.0");
    return o;
}

class WorkflowUsbTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!usbemu::in_mock_environment()) GTEST_SKIP() << "needs umockdev-wrapper";
        m_dir = std::filesystem::temp_directory_path() /
                ("fw-workflow-usb-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_dir / "firmware-update");
        setenv("XDG_CONFIG_HOME", m_dir.c_str(), 1);
        m_engineOutput = std::make_unique<EngineOutput>();
    }

    void TearDown() override {
        if (!m_engineOutput) return;
        m_engineOutput.reset();
        std::filesystem::remove_all(m_dir);
    }

    std::string Discover() {
        auto buffer = std::make_unique<char[]>(kResourceListSize);
        DiscoverInstruments(m_operator, buffer.get(), kResourceListSize);
        return buffer.get();
    }

    usbemu::UsbBed m_bed;
    std::filesystem::path m_dir;
    std::unique_ptr<EngineOutput> m_engineOutput;
    RecordingOperator m_operator;
};

TEST_F(WorkflowUsbTest, UsbSensorsAreListedAfterLanOnesAndIdentifiedByModel) {
    std::ofstream(m_dir / "firmware-update" / "visa.conf")
        << "TCPIP0::192.0.2.7::inst0::INSTR\nserial = off\n";  // listed, never opened
    usbemu::UsbInstrument older(m_bed, Sensor("K7141B", "SN-B"));
    usbemu::UsbInstrument newer(m_bed, Sensor("K7142HA", "SN-HA"));
    usbemu::UsbInstrument stranger(m_bed, Sensor("other", "SN-X"));

    EXPECT_EQ(Discover(), "TCPIP0::192.0.2.7::inst0::INSTR\n" + older.resource() + "\n" +
                              newer.resource() + "\n" + stranger.resource() + "\n");

    for (const auto* sensor : {&older, &newer}) {
        std::string family, hostImage;
        EXPECT_TRUE(IdentifyInstrument(sensor->resource(), family, hostImage))
            << sensor->resource();
        EXPECT_EQ(family, "K7100x");
    }
    std::string family, hostImage;
    EXPECT_FALSE(IdentifyInstrument(stranger.resource(), family, hostImage));
    EXPECT_EQ(stranger.transcript(), "*IDN?\n") << "asked, and refused on its answer";
}

}  // namespace
