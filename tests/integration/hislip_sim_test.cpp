// The VISA calls that only HiSLIP carries through to the instrument (device
// clear, the status byte, the instrument's lock) and its answer handling,
// against the simulator on loopback. No privileges needed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "sim_process.h"
#include "visa.h"
#include "visa/hislip/hislip_transport.h"
#include "visa/hislip/message.h"
#include "visa/rsrc_name.h"
#include "visa/vxi11/vxi11_transport.h"

namespace {

std::string address(int n) {
    return "127.0.0." + std::to_string(180 + n);
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
    EXPECT_NE(s.read(&st).find(",K7141HA,000180,1.0.0\n"), std::string::npos);
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

namespace hs = visa::hislip;

// A raw connection to the simulator's HiSLIP port, for what no well-behaved
// client sends.
class RawChannel {
public:
    RawChannel(const std::string& address, int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        timeval tv{5, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~RawChannel() { ::close(fd_); }
    void send_raw(const std::string& bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
    void send(hs::Type t, uint8_t control, uint32_t param, const std::string& payload = {}) {
        send_raw(hs::encode(hs::Header{t, control, param, 0}, payload));
    }
    // The next message, as "<type> <control> <payload>"; "closed" at the end.
    std::string next() {
        for (;;) {
            hs::Header h;
            const auto st = in_.next(&h);
            last_param = h.param;
            switch (st) {
                case hs::Decoder::Status::message:
                    return hs::type_name(uint8_t(h.type)) + " " + std::to_string(h.control) + " " +
                           std::string(in_.payload());
                case hs::Decoder::Status::data: {
                    std::string text;
                    while (in_.data_left() > 0) {
                        if (in_.peek(1 << 20).empty() && !fill()) return "closed";
                        auto piece = in_.peek(1 << 20);
                        text += piece;
                        in_.consume(piece.size());
                    }
                    return hs::type_name(uint8_t(h.type)) + " " + text;
                }
                case hs::Decoder::Status::need_more:
                    if (!fill()) return "closed";
                    continue;
                default:
                    return "garbage";
            }
        }
    }

    uint32_t last_param = 0;  // of the message next() returned

private:
    bool fill() {
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return false;
        in_.feed(buf, size_t(n));
        return true;
    }
    int fd_ = -1;
    hs::Decoder in_{4096};
};

int hislip_port(const SimProcess& sim) {
    const std::string r = sim.hislip();
    return std::stoi(r.substr(r.find(',') + 1));
}

// The instrument has one lock, whichever protocol its clients speak. The
// transports are used directly, so that no lock table of ours stands between
// them.
TEST(HislipSimTest, OneInstrumentLockForHislipAndVxi11Clients) {
    if (::geteuid() != 0) GTEST_SKIP() << "VXI-11 needs the simulator's port 111 (root)";
    SimProcess sim(address(5), {});
    visa::hislip::HislipTransport hislip;
    visa::vxi11::Vxi11Transport vxi11;
    ASSERT_EQ(hislip.open(*visa::parse_rsrc_name(sim.hislip()), 2000), VI_SUCCESS);
    ASSERT_EQ(vxi11.open(*visa::parse_rsrc_name(sim.vxi11()), 2000), VI_SUCCESS);
    EXPECT_EQ(hislip.lock(0), VI_SUCCESS);
    EXPECT_EQ(vxi11.lock(0), VI_ERROR_TMO);
    EXPECT_EQ(hislip.unlock(2000), VI_SUCCESS);
    EXPECT_EQ(vxi11.lock(0), VI_SUCCESS);
    EXPECT_EQ(hislip.lock(0), VI_ERROR_TMO);
    // HiSLIP input waits while a VXI-11 link holds the lock.
    size_t n = 0;
    EXPECT_EQ(hislip.write(reinterpret_cast<const ViByte*>("*IDN?\n"), 6, true, 2000, &n),
              VI_SUCCESS);
    EXPECT_EQ(vxi11.unlock(2000), VI_SUCCESS);
    char buf[128];
    size_t got = 0;
    visa::ReadStop why;
    visa::ReadOptions opts;
    EXPECT_EQ(hislip.read(reinterpret_cast<ViByte*>(buf), sizeof buf, opts, &got, &why),
              VI_SUCCESS);
    EXPECT_NE(std::string(buf, got).find("K7141HA"), std::string::npos);
    hislip.close(1000);
    vxi11.close(1000);
}

// Every LAN transport can cut a read short when its session is closed.
TEST(HislipSimTest, CloseCutsAReadInProgressOnEveryLanResource) {
    SimProcess sim(address(6), {});
    std::vector<std::string> resources{sim.hislip(), sim.socket()};
    if (::geteuid() == 0) resources.push_back(sim.vxi11());  // port 111 is root's
    for (const std::string& resource : resources) {
        SCOPED_TRACE(resource);
        Hislip session(resource, 3000);
        ASSERT_EQ(session.status(), VI_SUCCESS);
        ViStatus read_status = VI_SUCCESS;
        Clock::time_point read_ended;
        std::thread reader([&] {
            session.read(&read_status);  // nothing was asked: it waits
            read_ended = Clock::now();
        });
        std::this_thread::sleep_for(milliseconds(200));
        const auto start = Clock::now();
        EXPECT_EQ(viClose(session.vi()), VI_SUCCESS);
        EXPECT_LT(Clock::now() - start, milliseconds(500));
        reader.join();
        EXPECT_EQ(read_status, VI_ERROR_CONN_LOST);
        EXPECT_LT(read_ended - start, milliseconds(500));
    }
}

TEST(HislipSimTest, ProtocolFaultsGetTheProtocolsAnswers) {
    const std::string where = address(4);
    SimProcess sim(where, {"--max-connections", "2"});
    const int port = hislip_port(sim);
    {
        RawChannel c(where, port);
        c.send_raw("GET / HTTP/1.0\r\n\r\n");
        EXPECT_EQ(c.next(), "FatalError 1 message does not start with HS");
        EXPECT_EQ(c.next(), "closed");
    }
    {
        RawChannel c(where, port);
        c.send(hs::Type::data_end, 0, hs::first_message_id, "*IDN?\n");
        EXPECT_EQ(c.next(), "FatalError 3 expected Initialize or AsyncInitialize, got DataEND");
    }
    {
        RawChannel c(where, port);
        c.send(hs::Type::initialize, 0, 0x01000000, "hislip7");
        EXPECT_EQ(c.next(), "FatalError 0 no device at sub-address 'hislip7'");
    }
    // Data before the control channel is up ends the session.
    {
        RawChannel early(where, port);
        early.send(hs::Type::initialize, 0, 0x01000000);
        early.next();
        early.send(hs::Type::data_end, 0, hs::first_message_id, "*IDN?\n");
        EXPECT_EQ(early.next(), "FatalError 2 data before the control channel is up");
    }
    RawChannel sync(where, port);
    sync.send(hs::Type::initialize, 0, 0x01000000, "hislip0");
    const std::string init = sync.next();
    EXPECT_EQ(init.substr(0, 20), "InitializeResponse 0");
    RawChannel async(where, port);
    async.send(hs::Type::async_initialize, 0, sync.last_param & 0xFFFF);
    EXPECT_EQ(async.next().substr(0, 25), "AsyncInitializeResponse 0");
    // Only one session fits (--max-connections 2 leaves room for one).
    ViSession rm, vi;
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    EXPECT_EQ(viOpen(rm, sim.hislip().c_str(), VI_NULL, 0, &vi), VI_ERROR_RSRC_BUSY);
    viClose(rm);

    async.send(hs::Type(77), 0, 0);
    EXPECT_EQ(async.next(), "Error 1 type 77 is not taken on the control channel");
    async.send(hs::Type(200), 0, 0);
    EXPECT_EQ(async.next(), "Error 3 type 200 is not taken on the control channel");
    async.send(hs::Type::async_lock, 9, 0);
    EXPECT_EQ(async.next(), "Error 2 AsyncLock control code");
    // A message over the limit is refused, its payload skipped, and the
    // session goes on.
    sync.send(hs::Type::data, 0, hs::first_message_id, std::string((2u << 20) + 1, 'x'));
    EXPECT_EQ(sync.next(), "Error 4 message of 2097153 bytes, at most 1048576");
    sync.send(hs::Type::data_end, 0, hs::first_message_id + 2, "*IDN?\n");
    EXPECT_NE(sync.next().find("DataEND Tavrion Technologies,K7141HA"), std::string::npos);
}

}  // namespace
