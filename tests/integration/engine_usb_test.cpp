// The engine's operations through the built-in VISA library, the real
// libusb and its Linux backend, against the emulated USB instrument (the
// simulator's instrument model behind umockdev). Runs under umockdev-wrapper.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "engine_output.h"
#include "lock_holder.h"
#include "update.h"
#include "usb_instrument.h"
#include "visa.h"

namespace {

usbemu::UsbInstrumentOptions sensor(const std::string& model) {
    usbemu::UsbInstrumentOptions o;
    o.instrument.idn = sim::identity_for_model(model, "SN1", "2.0.1");
    o.instrument.sector_sizes = sim::default_sector_sizes();
    return o;
}

class EngineUsbTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!usbemu::in_mock_environment()) GTEST_SKIP() << "needs umockdev-wrapper";
        output_ = std::make_unique<EngineOutput>();
        path_ = "/tmp/engine-usb-" + std::to_string(::getpid()) + ".bin";
    }
    void TearDown() override {
        if (!output_) return;
        output_.reset();
        std::remove(path_.c_str());
    }

    std::string err() { return output_->err(); }

    // An image with LF and NUL inside, written to path_.
    std::string image(size_t size) {
        std::string bytes(size, '\0');
        uint32_t x = 2463534242u;
        for (auto& b : bytes) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<char>(x);
        }
        bytes[1] = '\n';
        bytes[2] = '\0';
        FILE* f = std::fopen(path_.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
        return bytes;
    }

    int upgrade(const std::string& resource, const char* id) {
        update_start(resource.c_str());
        const int result = update_image(resource.c_str(), id, path_.c_str(), -1);
        update_end(resource.c_str());
        return result;
    }

    usbemu::UsbBed bed_;
    std::string path_;

private:
    std::unique_ptr<EngineOutput> output_;
};

TEST_F(EngineUsbTest, IdentifyAnswersForEveryModel) {
    for (const char* model : {"K7141HA", "K7142HA", "K7141B"}) {
        SCOPED_TRACE(model);
        auto options = sensor(model);
        options.serial = std::string("SN-") + model;
        usbemu::UsbInstrument dev(bed_, options);
        char reply[256];
        // A freshly plugged device reaches libusb's list through a uevent.
        int ok = 0;
        for (int i = 0; i < 100 && ok == 0; ++i) {
            ok = update_identify(dev.resource().c_str(), reply, sizeof reply, 2000);
            if (ok == 0) ::usleep(20000);
        }
        ASSERT_EQ(ok, 1) << err();
        EXPECT_EQ(std::string(reply), options.instrument.idn);
    }
}

TEST_F(EngineUsbTest, UploadArrivesByteForByteWithEomOnlyWhereEndWasSent) {
    usbemu::UsbInstrument dev(bed_, sensor("K7141HA"));
    const std::string bytes = image(size_t{1} << 20);
    ASSERT_EQ(upgrade(dev.resource(), "HPAP"), 0) << err();
    EXPECT_TRUE(dev.stored("HPAP") == bytes) << "stored image differs";
    EXPECT_EQ(err(), "");

    // One EOM per program message, on its last transfer; the block's
    // 4096-byte pieces go without it.
    size_t messages = 0, eoms = 0, out = 0;
    uint8_t last_tag = 0;
    const std::string transcript = dev.transcript();
    for (char c : transcript)
        messages += c == '\n';
    for (const auto& t : dev.out_transfers()) {
        EXPECT_NE(t.tag, 0);
        // Each session starts its own sequence at 1.
        if (t.tag != 1) {
            EXPECT_EQ(t.tag, last_tag == 255 ? 1 : last_tag + 1) << "bTag sequence";
        }
        last_tag = t.tag;
        EXPECT_EQ(t.length % 4, 0u);
        if (t.msg_id != 1) continue;
        ++out;
        eoms += t.eom;
    }
    EXPECT_EQ(eoms, messages) << transcript;
    EXPECT_GT(out, 256u) << "the tag wrapped at least once";
    EXPECT_NE(transcript.find("DIAG:UPD:BLOC? #71048576<1048576 bytes>"), std::string::npos)
        << transcript;
}

TEST_F(EngineUsbTest, UnpluggedInABlockFailsWithinTheTimeoutWithoutHanging) {
    usbemu::UsbInstrument dev(bed_, sensor("K7141HA"));
    image(size_t{1} << 20);
    ASSERT_EQ(update_start(dev.resource().c_str()), 1) << err();
    dev.unplug_after(100000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(update_image(dev.resource().c_str(), "HPAP", path_.c_str(), -1), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    const std::string text = err();
    EXPECT_TRUE(text.find("VISA error: -1073807194") != std::string::npos ||  // connection lost
                text.find("VISA error: -1073807343") != std::string::npos)    // not found
        << text;
    EXPECT_EQ(dev.stored("HPAP"), "");
}

TEST_F(EngineUsbTest, LockHeldByAnotherProcessFailsAtOnceAndDiesWithIt) {
    usbemu::UsbInstrument dev(bed_, sensor("K7141HA"));
    const std::string resource = dev.resource();
    LockHolder holder(resource);
    ASSERT_TRUE(holder.holds());
    char reply[256];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(update_identify(resource.c_str(), reply, sizeof reply, 2000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500))
        << "a held lock must not be waited for";
    EXPECT_EQ(err(), "update: Device locked by another process.\n");
    EXPECT_EQ(dev.transcript(), "") << "nothing may reach a locked instrument";
    holder.Kill();
    EXPECT_EQ(update_identify(resource.c_str(), reply, sizeof reply, 2000), 1) << err();
}

}  // namespace
