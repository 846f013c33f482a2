#include "visa/socket/socket_transport.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "testsupport/visa_log.h"
#include "visa/rsrc_name.h"

namespace visa::socket {
namespace {

// A one-connection TCP peer on 127.0.0.1 with an ephemeral port.
class Peer {
public:
    Peer() {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        socklen_t len = sizeof addr;
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        listen(listen_fd_, 1);
    }
    ~Peer() {
        if (fd_ >= 0) ::close(fd_);
        ::close(listen_fd_);
    }
    uint16_t port() const { return port_; }
    void accept() { fd_ = ::accept(listen_fd_, nullptr, nullptr); }
    void send(const std::string& s) {
        ASSERT_EQ(::send(fd_, s.data(), s.size(), 0), ssize_t(s.size()));
    }
    std::string receive(size_t n) {
        std::string out(n, '\0');
        size_t got = 0;
        while (got < n) {
            ssize_t r = ::recv(fd_, out.data() + got, n - got, 0);
            if (r <= 0) break;
            got += size_t(r);
        }
        out.resize(got);
        return out;
    }
    void hang_up() {
        ::close(fd_);
        fd_ = -1;
    }

private:
    int listen_fd_ = -1;
    int fd_ = -1;
    uint16_t port_ = 0;
};

class SocketTransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto name =
            parse_rsrc_name("TCPIP0::127.0.0.1::" + std::to_string(peer_.port()) + "::SOCKET");
        ASSERT_TRUE(name);
        ASSERT_EQ(t_.open(*name, 1000), VI_SUCCESS);
        peer_.accept();
    }

    std::string read(size_t count, ViStatus* st, ReadStop* why, bool term = true,
                     uint32_t timeout = 1000) {
        ReadOptions opts;
        opts.timeout_ms = timeout;
        opts.term_char_enabled = term;
        std::string buf(count, '\0');
        size_t got = 0;
        *st = t_.read(reinterpret_cast<ViByte*>(buf.data()), count, opts, &got, why);
        buf.resize(got);
        return buf;
    }

    Peer peer_;
    SocketTransport t_;
};

TEST_F(SocketTransportTest, WritesReachThePeer) {
    size_t n = 0;
    ASSERT_EQ(t_.write(reinterpret_cast<const ViByte*>("*IDN?\n"), 6, true, 1000, &n), VI_SUCCESS);
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(peer_.receive(6), "*IDN?\n");
}

TEST_F(SocketTransportTest, ReadsStopAtTermCharAndKeepTheRest) {
    peer_.send("ONE\nTWO\nTHR");
    ViStatus st;
    ReadStop why;
    EXPECT_EQ(read(64, &st, &why), "ONE\n");
    EXPECT_EQ(st, VI_SUCCESS);
    EXPECT_EQ(why, ReadStop::term_char);
    EXPECT_EQ(read(64, &st, &why), "TWO\n");
    EXPECT_EQ(why, ReadStop::term_char);
    // The tail arrives in pieces; the read waits for the terminator.
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        peer_.send("EE\n");
    });
    EXPECT_EQ(read(64, &st, &why), "THREE\n");
    later.join();
}

TEST_F(SocketTransportTest, CountAndTimeout) {
    peer_.send("ABCDEF");
    ViStatus st;
    ReadStop why;
    EXPECT_EQ(read(4, &st, &why, false), "ABCD");
    EXPECT_EQ(why, ReadStop::count);
    // Without a terminator the read runs into the time-out, keeping what came.
    EXPECT_EQ(read(64, &st, &why, false, 50), "EF");
    EXPECT_EQ(st, VI_ERROR_TMO);
    EXPECT_EQ(read(64, &st, &why, true, 0), "");
    EXPECT_EQ(st, VI_ERROR_TMO);
}

TEST_F(SocketTransportTest, PeerGoingAwayIsConnectionLost) {
    peer_.send("PART");
    peer_.hang_up();
    ViStatus st;
    ReadStop why;
    EXPECT_EQ(read(64, &st, &why), "PART");
    EXPECT_EQ(st, VI_ERROR_CONN_LOST);
    size_t n = 0;
    std::string big(1 << 20, 'x');
    // The first write may still be buffered by the kernel; a later one fails,
    // without SIGPIPE.
    ViStatus w = VI_SUCCESS;
    for (int i = 0; i < 10 && w == VI_SUCCESS; ++i)
        w = t_.write(reinterpret_cast<const ViByte*>(big.data()), big.size(), true, 1000, &n);
    EXPECT_EQ(w, VI_ERROR_CONN_LOST);
    // Nothing is left to lose: closing is no failure (clients raise one from
    // close()).
    EXPECT_EQ(t_.close(1000), VI_SUCCESS);
}

TEST_F(SocketTransportTest, CloseReturnsOnceThePeerHasReadEverything) {
    std::string big(256 * 1024, 'q');
    size_t n = 0;
    ASSERT_EQ(t_.write(reinterpret_cast<const ViByte*>(big.data()), big.size(), true, 1000, &n),
              VI_SUCCESS);
    std::atomic<size_t> consumed{0};
    std::thread instrument([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a slow reader
        consumed = peer_.receive(big.size() + 1).size();             // up to EOF
        peer_.hang_up();
    });
    EXPECT_EQ(t_.close(2000), VI_SUCCESS);
    EXPECT_EQ(consumed.load(), big.size());
    instrument.join();
}

TEST(SocketTransport, NothingListeningIsNotFound) {
    // Port 1 on 127.0.0.1: nothing listens there.
    VisaLogCapture log;
    SocketTransport t;
    auto name = parse_rsrc_name("TCPIP0::127.0.0.1::1::SOCKET");
    EXPECT_EQ(t.open(*name, 1000), VI_ERROR_RSRC_NFOUND);
    // What, where and why, for the person reading the log.
    EXPECT_TRUE(log.has("visa.net: connecting to 127.0.0.1:1: connection refused")) << log.lines();
    // The same for whoever only sees the status's description.
    EXPECT_EQ(failure_detail(VI_ERROR_RSRC_NFOUND),
              "connecting to 127.0.0.1:1: connection refused");
}

}  // namespace
}  // namespace visa::socket
