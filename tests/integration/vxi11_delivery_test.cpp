// What viWrite, viUnlock and viClose report over VXI-11 against the simulator
// with faults: a write returns once the instrument has the bytes, with the
// count it took, and a failure is reported by the call it belongs to.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim_process.h"
#include "visa.h"

namespace {

#define REQUIRE_PORTMAPPER() \
    if (::geteuid() != 0) GTEST_SKIP() << "VXI-11 needs the simulator's port 111 (root)"

// Addresses of these tests alone.
std::string address(int n) {
    return "127.0.0." + std::to_string(170 + n);
}

class Session {
public:
    explicit Session(const std::string& resource, ViUInt32 timeout_ms = 2000) {
        if (viOpenDefaultRM(&rm_) != VI_SUCCESS) throw std::runtime_error("no resource manager");
        if (viOpen(rm_, resource.c_str(), VI_NULL, 0, &vi_) != VI_SUCCESS)
            throw std::runtime_error("cannot open " + resource);
        viSetAttribute(vi_, VI_ATTR_TMO_VALUE, timeout_ms);
        viSetAttribute(vi_, VI_ATTR_SEND_END_EN, VI_FALSE);
    }
    ~Session() {
        if (vi_ != VI_NULL) viClose(vi_);
        viClose(rm_);
    }
    ViSession vi() const { return vi_; }
    ViStatus write(const std::string& bytes, ViUInt32* count) {
        return viWrite(vi_, reinterpret_cast<ViConstBuf>(bytes.data()), ViUInt32(bytes.size()),
                       count);
    }
    ViStatus close() {
        ViStatus st = viClose(vi_);
        vi_ = VI_NULL;
        return st;
    }

private:
    ViSession rm_ = VI_NULL;
    ViSession vi_ = VI_NULL;
};

const std::string piece(4096, 'x');
const std::string block_header = "DIAG:UPD:BLOC? #6200000";

// The write the instrument refuses is the one that fails, with nothing
// counted; every write before it was taken whole.
TEST(Vxi11Delivery, TheRefusedWriteIsTheOneThatFails) {
    REQUIRE_PORTMAPPER();
    for (int refused : {1, 5}) {
        SCOPED_TRACE(refused);
        SimProcess sim(address(0), {"--refuse-write", std::to_string(refused)});
        Session s(sim.vxi11());
        ViUInt32 count = 0;
        if (refused > 1) {
            ASSERT_EQ(s.write(block_header, &count), VI_SUCCESS);
        }
        for (int n = refused > 1 ? 2 : 1; n < refused; ++n) {
            ASSERT_EQ(s.write(piece, &count), VI_SUCCESS) << "write " << n;
            EXPECT_EQ(count, piece.size());
        }
        count = 12345;
        EXPECT_EQ(s.write(piece, &count), VI_ERROR_IO) << "write " << refused;
        EXPECT_EQ(count, 0u);
        EXPECT_NE(sim.transcript().find("device_write " + std::to_string(refused) + " refused"),
                  std::string::npos);
    }
}

// A connection the instrument drops in the middle of a block fails the write
// that met it, not one many writes later.
TEST(Vxi11Delivery, ADroppedConnectionFailsTheWriteThatMetIt) {
    REQUIRE_PORTMAPPER();
    SimProcess sim(address(1), {"--drop-in-block", "10000"});
    Session s(sim.vxi11());
    ViUInt32 count = 0;
    ASSERT_EQ(s.write(block_header, &count), VI_SUCCESS);
    ASSERT_EQ(s.write(piece, &count), VI_SUCCESS);  // 4096 block bytes
    ASSERT_EQ(s.write(piece, &count), VI_SUCCESS);  // 8192
    EXPECT_EQ(s.write(piece, &count), VI_ERROR_CONN_LOST);
    EXPECT_EQ(s.write(piece, &count), VI_ERROR_CONN_LOST);
}

// Each write gets its own time-out: an instrument taking 40 bytes a
// millisecond needs about 100 ms for each 4096 bytes, a twentieth of the
// 2000 ms allowed, however many writes make up the message (all 32 together
// would need 3.3 s).
TEST(Vxi11Delivery, EachWriteHasItsOwnTimeout) {
    REQUIRE_PORTMAPPER();
    SimProcess sim(address(2), {"--accept-rate", "40"});
    Session s(sim.vxi11(), 2000);
    ViUInt32 count = 0;
    ASSERT_EQ(s.write("DIAG:UPD:BLOC? #6131072", &count), VI_SUCCESS);
    for (int n = 0; n < 32; ++n) {
        ASSERT_EQ(s.write(piece, &count), VI_SUCCESS) << "write " << n;
        EXPECT_EQ(count, piece.size());
    }
    viSetAttribute(s.vi(), VI_ATTR_SEND_END_EN, VI_TRUE);
    EXPECT_EQ(s.write("\n", &count), VI_SUCCESS);
    // A single write longer than its time-out allows (3 s) reports what was
    // taken.
    const std::string long_write(120000, 'y');
    EXPECT_EQ(s.write(long_write, &count), VI_ERROR_TMO);
    EXPECT_GT(count, 0u);
    EXPECT_LT(count, long_write.size());
}

// Unlock and close say when the instrument could not be told; a lost link
// makes them answer at once.
TEST(Vxi11Delivery, UnlockAndCloseReportALostInstrument) {
    REQUIRE_PORTMAPPER();
    SimProcess sim(address(3), {});
    Session s(sim.vxi11(), 2000);
    ASSERT_EQ(viLock(s.vi(), VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_SUCCESS);
    ViUInt32 count = 0;
    ASSERT_EQ(s.write("*CLS", &count), VI_SUCCESS);
    sim.stop();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(viUnlock(s.vi()), VI_ERROR_CONN_LOST);
    EXPECT_EQ(s.close(), VI_ERROR_CLOSING_FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

// A simulator that cannot serve its portmapper must not start: a client
// would otherwise ask whatever holds port 111 of its address.
TEST(Vxi11Delivery, ASimulatorWithoutItsPortmapperDoesNotStart) {
    REQUIRE_PORTMAPPER();
    const int squatter = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(111);
    ::inet_pton(AF_INET, address(4).c_str(), &addr.sin_addr);
    ASSERT_EQ(::bind(squatter, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(squatter, 1), 0);
    EXPECT_THROW(SimProcess(address(4), {}), std::runtime_error);
    ::close(squatter);
    SimProcess sim(address(4), {});
    EXPECT_NE(sim.ready_line().find(" portmap=111"), std::string::npos) << sim.ready_line();
}

}  // namespace

namespace {

// A client hammering a full simulator costs a log line a second per server,
// not one per refused connection: the raw socket's server (which also serves
// VXI-11) and the HiSLIP server each refuse 200 connections here.
TEST(SimulatorLog, RefusedConnectionsAreLoggedAtMostOnceASecond) {
    SimProcess sim(address(5), {"--max-connections", "1"}, true, true);
    const auto start = std::chrono::steady_clock::now();
    std::vector<int> fds;
    for (const int port : {sim.socket_port(), sim.hislip_port()}) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, address(5).c_str(), &addr.sin_addr);
        for (int i = 0; i < 200; ++i) {
            // Not waited for: a full listen queue would hold a blocking connect.
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            fds.push_back(fd);
        }
    }
    // Let the simulator take (and refuse) them all.
    ::usleep(300000);
    const std::string log = sim.log();
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    // A line a second is what is allowed, however long this takes.
    for (const char* reason :
         {"connection refused: limit of 1 reached", "connection refused: too many connections"}) {
        size_t lines = 0;
        for (size_t at = 0; (at = log.find(reason, at)) != std::string::npos; ++at)
            ++lines;
        EXPECT_GE(lines, 1u) << reason << "\n" << log;
        EXPECT_LE(lines, static_cast<size_t>(seconds) + 1) << reason << "\n" << log;
    }
    for (int fd : fds)
        ::close(fd);
}

}  // namespace
