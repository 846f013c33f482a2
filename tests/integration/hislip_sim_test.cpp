// The VISA calls that only HiSLIP carries through to the instrument (device
// clear, the status byte, the instrument's lock) and its answer handling,
// against the simulator on loopback. No privileges needed.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "sim_process.h"
#include "visa.h"

namespace {

std::string address(int n) {
    return "127.0.0." + std::to_string(60 + n);
}

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

class Hislip {
public:
    explicit Hislip(const std::string& resource, ViUInt32 timeout_ms = 2000) {
        EXPECT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS);
        status_ = viOpen(rm_, resource.c_str(), VI_NULL, 0, &vi_);
        if (status_ == VI_SUCCESS) viSetAttribute(vi_, VI_ATTR_TMO_VALUE, timeout_ms);
    }
    ~Hislip() {
        if (status_ == VI_SUCCESS) viClose(vi_);
        viClose(rm_);
    }
    ViStatus status() const { return status_; }
    ViSession vi() const { return vi_; }

    ViStatus write(const std::string& text) {
        ViUInt32 n = 0;
        return viWrite(vi_, reinterpret_cast<ViConstBuf>(text.data()), ViUInt32(text.size()), &n);
    }
    // Reads one answer; `*status` gets viRead's status.
    std::string read(ViStatus* status = nullptr, ViUInt32 count = 256) {
        std::string buf(count, '\0');
        ViUInt32 got = 0;
        ViStatus st = viRead(vi_, reinterpret_cast<ViPBuf>(buf.data()), count, &got);
        if (status != nullptr) *status = st;
        buf.resize(got);
        return buf;
    }

private:
    ViSession rm_ = VI_NULL;
    ViSession vi_ = VI_NULL;
    ViStatus status_ = VI_ERROR_SYSTEM_ERROR;
};

TEST(HislipSimTest, IdentifiesWithEndAndReportsItsAttributes) {
    SimProcess sim(address(0), {});
    Hislip s(sim.hislip());
    ASSERT_EQ(s.status(), VI_SUCCESS);
    ViBoolean is_hislip = VI_FALSE;
    EXPECT_EQ(viGetAttribute(s.vi(), VI_ATTR_TCPIP_IS_HISLIP, &is_hislip), VI_SUCCESS);
    EXPECT_EQ(is_hislip, VI_TRUE);
    ASSERT_EQ(s.write("*IDN?\n"), VI_SUCCESS);
    ViStatus st;
    EXPECT_NE(s.read(&st).find(",K7141HA,000001,1.0.0\n"), std::string::npos);
    EXPECT_EQ(st, VI_SUCCESS) << "DataEND ends the read with END";
    // A short buffer stops at the count; the rest follows in the next read.
    ASSERT_EQ(s.write("*IDN?\n"), VI_SUCCESS);
    EXPECT_EQ(s.read(&st, 5), "Tavri");
    EXPECT_EQ(st, VI_SUCCESS_MAX_CNT);
    EXPECT_EQ(s.read(&st).substr(0, 4), "on T");
    EXPECT_EQ(st, VI_SUCCESS);
    // With the termination character on, a read stops there.
    viSetAttribute(s.vi(), VI_ATTR_TERMCHAR, ',');
    viSetAttribute(s.vi(), VI_ATTR_TERMCHAR_EN, VI_TRUE);
    ASSERT_EQ(s.write("*IDN?\n"), VI_SUCCESS);
    EXPECT_EQ(s.read(&st), "Tavrion Technologies,");
    EXPECT_EQ(st, VI_SUCCESS_TERM_CHAR);
    EXPECT_EQ(s.read(&st), "K7141HA,");
}

TEST(HislipSimTest, AnswerGivenUpOnIsDroppedAndTimeOutsAreAbsolute) {
    SimProcess sim(address(1), {"--slow", "*IDN?=600"});
    Hislip s(sim.hislip(), 200);
    ASSERT_EQ(s.status(), VI_SUCCESS);
    ASSERT_EQ(s.write("*IDN?\n"), VI_SUCCESS);
    ViStatus st;
    const auto start = Clock::now();
    EXPECT_EQ(s.read(&st), "");
    EXPECT_EQ(st, VI_ERROR_TMO);
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    // The late answer arrives while nobody reads; the next query's read must
    // not take it for its own.
    std::this_thread::sleep_for(milliseconds(600));
    viSetAttribute(s.vi(), VI_ATTR_TMO_VALUE, 2000);
    ASSERT_EQ(s.write("SYST:ERR?\n"), VI_SUCCESS);
    EXPECT_EQ(s.read(&st), "+0,\"No error\"\n");
    EXPECT_EQ(st, VI_SUCCESS);
}

TEST(HislipSimTest, DeviceClearDropsThePendingAnswerAndStatusByteShowsErrors) {
    SimProcess sim(address(2),
                   {"--slow", "*IDN?=300", "--error-after", "*CLS=-100,\"Command error\""});
    Hislip s(sim.hislip());
    ASSERT_EQ(s.status(), VI_SUCCESS);
    ViUInt16 stb = 0xFF;
    EXPECT_EQ(viReadSTB(s.vi(), &stb), VI_SUCCESS);
    EXPECT_EQ(stb, 0);
    ASSERT_EQ(s.write("*CLS\n"), VI_SUCCESS);
    ASSERT_EQ(s.write("*IDN?\n"), VI_SUCCESS);
    EXPECT_EQ(viClear(s.vi()), VI_SUCCESS);
    std::this_thread::sleep_for(milliseconds(400));
    EXPECT_EQ(viReadSTB(s.vi(), &stb), VI_SUCCESS);
    EXPECT_EQ(stb, 0x04) << "an error-queue entry and no answer waiting";
    ASSERT_EQ(s.write("SYST:ERR?\n"), VI_SUCCESS);
    ViStatus st;
    EXPECT_EQ(s.read(&st), "-100,\"Command error\"\n");
    EXPECT_EQ(st, VI_SUCCESS);
}

TEST(HislipSimTest, LockIsWaitedForWithinTheTimeOutAndFreedOnUnlockAndClose) {
    SimProcess sim(address(3), {"--hold-lock-ms", "400"});
    Hislip a(sim.hislip());
    ASSERT_EQ(a.status(), VI_SUCCESS);
    auto start = Clock::now();
    EXPECT_EQ(viLock(a.vi(), VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_ERROR_TMO);
    EXPECT_LT(Clock::now() - start, milliseconds(300)) << "a zero time-out does not wait";
    EXPECT_EQ(viLock(a.vi(), VI_EXCLUSIVE_LOCK, 3000, VI_NULL, VI_NULL), VI_SUCCESS);
    EXPECT_EQ(viUnlock(a.vi()), VI_SUCCESS);
    {
        // A second session of this process: the lock table refuses it first.
        // Both locks go with unlock, and with close.
        Hislip b(sim.hislip());
        ASSERT_EQ(b.status(), VI_SUCCESS);
        EXPECT_EQ(viLock(a.vi(), VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_SUCCESS);
        EXPECT_EQ(viLock(b.vi(), VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_ERROR_TMO);
        EXPECT_EQ(viUnlock(a.vi()), VI_SUCCESS);
        EXPECT_EQ(viLock(b.vi(), VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_SUCCESS);
        EXPECT_EQ(viLock(a.vi(), VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_ERROR_TMO);
    }
    // b closed with its lock held: both our table and the instrument let go.
    start = Clock::now();
    EXPECT_EQ(viLock(a.vi(), VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_SUCCESS);
    EXPECT_LT(Clock::now() - start, milliseconds(300));
}

}  // namespace
