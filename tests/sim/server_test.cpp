// The server's shared connection plumbing, over real sockets on loopback:
// every protocol must see a message whole however the network cuts it up,
// and a peer that goes away must not leave its session (and lock) behind.
#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "visa/hislip/message.h"
#include "visa/vxi11/rpc_wire.h"

namespace {

namespace hs = visa::hislip;
namespace rpc = visa::vxi11::rpc;
using namespace std::chrono_literals;

const std::string idn = "Tavrion Technologies,K7141HA,000001,1.0.0\n";

// fwsim's server on ephemeral ports of 127.0.0.1, served by a thread.
class LiveServer {
public:
    LiveServer()
        : instrument_(config(), [](const std::string&, std::string_view) { return std::string(); }),
          core_(instrument_, {}, [](std::string_view) {}),
          server_(settings(), instrument_, core_, [](std::string_view) {}) {
        std::string error;
        EXPECT_TRUE(server_.open(error)) << error;
        thread_ = std::thread([this] {
            sigset_t mask;
            sigemptyset(&mask);
            server_.run(stop_, mask);
        });
    }
    ~LiveServer();
    sim::Server& server() { return server_; }

private:
    static sim::InstrumentConfig config() {
        sim::InstrumentConfig c;
        c.idn = idn;
        c.sector_sizes = sim::default_sector_sizes();
        return c;
    }
    static sim::ServerSettings settings() {
        sim::ServerSettings s;
        s.address = "127.0.0.1";
        s.socket_port = s.portmap_port = s.hislip_port = 0;
        return s;
    }

    sim::Instrument instrument_;
    sim::Vxi11Core core_;
    sim::Server server_;
    volatile std::sig_atomic_t stop_ = 0;
    std::thread thread_;
};

class Client {
public:
    explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &sa.sin_addr);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    }
    ~Client() { ::close(fd_); }

    // One byte a send, each given time to arrive on its own.
    void dribble(std::string_view bytes) {
        for (char c : bytes) {
            ASSERT_EQ(::send(fd_, &c, 1, MSG_NOSIGNAL), 1);
            std::this_thread::sleep_for(1ms);
        }
    }
    void send_all(std::string_view bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // Exactly `n` bytes, or what came within five seconds.
    std::string receive(std::size_t n) {
        std::string got;
        while (got.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 5000) != 1) break;
            char buf[4096];
            const ssize_t k = ::recv(fd_, buf, std::min(sizeof buf, n - got.size()), 0);
            if (k <= 0) break;
            got.append(buf, static_cast<std::size_t>(k));
        }
        return got;
    }
    void close() { ::shutdown(fd_, SHUT_RDWR); }
    void finish_sending() { ::shutdown(fd_, SHUT_WR); }

private:
    int fd_;
};

LiveServer::~LiveServer() {
    stop_ = 1;
    // A connection wakes the loop, which then sees `stop_`.
    Client poke(server_.socket_port());
    thread_.join();
}

std::string rpc_call(std::uint32_t xid, std::uint32_t proc,
                     std::initializer_list<std::uint32_t> words, std::string_view opaque) {
    std::string m;
    for (std::uint32_t w : {xid, 0u, 2u, 0x0607AFu, 1u, proc, 0u, 0u, 0u, 0u})
        rpc::put_u32(m, w);
    for (std::uint32_t w : words)
        rpc::put_u32(m, w);
    rpc::put_u32(m, static_cast<std::uint32_t>(opaque.size()));
    m.append(opaque);
    m.append((4 - opaque.size() % 4) % 4, '\0');
    return rpc::frame_record(m);
}

// The results of a successful reply to `xid` (after the record mark and the
// 24-byte reply header), or "" when it is none.
std::string rpc_results(Client& c, std::uint32_t xid) {
    const std::string mark = c.receive(4);
    if (mark.size() < 4) return {};
    const std::string reply = c.receive(rpc::get_u32(mark, 0) & 0x7FFFFFFFu);
    if (reply.size() < 24 || rpc::get_u32(reply, 0) != xid || rpc::get_u32(reply, 20) != 0)
        return {};
    return reply.substr(24);
}

TEST(ServerPlumbing, AMessageCutIntoSingleBytesArrivesWholeOnEveryProtocol) {
    LiveServer live;
    {
        SCOPED_TRACE("raw socket, two messages in one send after one dribbled");
        Client c(live.server().socket_port());
        c.dribble("*IDN?\n");
        EXPECT_EQ(c.receive(idn.size()), idn);
        c.send_all("*OPC?\n*IDN?\n");
        EXPECT_EQ(c.receive(2 + idn.size()), "1\n" + idn);
    }
    {
        SCOPED_TRACE("VXI-11, record marks and calls cut anywhere");
        Client c(live.server().vxi11_port());
        c.dribble(rpc_call(1, 10, {7, 0, 0}, "inst0"));  // create_link
        const std::string link = rpc_results(c, 1);
        ASSERT_GE(link.size(), 8u);
        ASSERT_EQ(rpc::get_u32(link, 0), 0u);
        const std::uint32_t lid = rpc::get_u32(link, 4);
        c.dribble(rpc_call(2, 11, {lid, 1000, 0, 0x08}, "*IDN?\n"));  // device_write, END
        EXPECT_EQ(rpc::get_u32(rpc_results(c, 2), 4), 6u);
        // Two calls in one send: device_read, then the same again.
        c.send_all(rpc_call(3, 12, {lid, 1024, 1000, 0, 0, 0}, {}) +
                   rpc_call(4, 13, {lid, 0, 0, 1000}, {}));  // ... and device_readstb
        const std::string read = rpc_results(c, 3);
        ASSERT_GE(read.size(), 12u);
        EXPECT_EQ(read.substr(12, rpc::get_u32(read, 8)), idn);
        EXPECT_FALSE(rpc_results(c, 4).empty());
    }
    {
        SCOPED_TRACE("HiSLIP, headers and payloads cut anywhere");
        Client sync(live.server().hislip().port());
        sync.dribble(hs::encode({hs::Type::initialize, 0, 0x01000000, 0}, "hislip0"));
        const std::string init = sync.receive(hs::header_size);
        hs::Header h;
        ASSERT_TRUE(hs::decode_header(reinterpret_cast<const std::uint8_t*>(init.data()), &h));
        ASSERT_EQ(h.type, hs::Type::initialize_response);
        Client async(live.server().hislip().port());
        async.dribble(hs::encode({hs::Type::async_initialize, 0, h.param & 0xFFFF, 0}));
        EXPECT_EQ(async.receive(hs::header_size).size(), hs::header_size);
        sync.dribble(hs::encode({hs::Type::data_end, 0, hs::first_message_id, 0}, "*IDN?\n"));
        const std::string answer = sync.receive(hs::header_size + idn.size());
        EXPECT_EQ(answer.substr(std::min(answer.size(), hs::header_size)), idn);
    }
}

// More messages than one turn works through, then the end of the client's
// sending: every one is still executed and answered before the connection
// closes.
TEST(ServerPlumbing, WhatArrivedBeforeTheEndOfARawSocketStreamIsAllAnswered) {
    LiveServer live;
    Client c(live.server().socket_port());
    std::string queries;
    for (int k = 0; k < 300; ++k)
        queries += "*OPC?\n";
    c.send_all(queries);
    c.finish_sending();
    std::string answers;
    for (int k = 0; k < 300; ++k)
        answers += "1\n";
    EXPECT_EQ(c.receive(answers.size() + 1), answers);  // and then the end
}

// A client that dies in the middle of a message (its kernel closes both
// channels) must not keep its session, and the instrument's lock with it,
// until the idle time-out.
TEST(ServerPlumbing, AHislipSessionCutInAMessageEndsAndFreesTheLock) {
    LiveServer live;
    const auto open_session = [&](Client& sync, Client& async) {
        sync.send_all(hs::encode({hs::Type::initialize, 0, 0x01000000, 0}));
        hs::Header h;
        const std::string init = sync.receive(hs::header_size);
        ASSERT_TRUE(hs::decode_header(reinterpret_cast<const std::uint8_t*>(init.data()), &h));
        async.send_all(hs::encode({hs::Type::async_initialize, 0, h.param & 0xFFFF, 0}));
        async.receive(hs::header_size);
    };
    const auto lock = [](Client& async, std::uint32_t timeout_ms) {
        async.send_all(hs::encode({hs::Type::async_lock, hs::lock_request, timeout_ms, 0}));
        hs::Header h;
        const std::string r = async.receive(hs::header_size);
        EXPECT_TRUE(hs::decode_header(reinterpret_cast<const std::uint8_t*>(r.data()), &h));
        return h.control;
    };
    const std::uint16_t port = live.server().hislip().port();
    Client sync_a(port), async_a(port);
    open_session(sync_a, async_a);
    ASSERT_EQ(lock(async_a, 0), hs::lock_granted);
    sync_a.send_all(
        hs::encode({hs::Type::data_end, 0, hs::first_message_id, 0}, "*IDN?\n").substr(0, 10));
    sync_a.close();
    async_a.close();

    Client sync_b(port), async_b(port);
    open_session(sync_b, async_b);
    EXPECT_EQ(lock(async_b, 2000), hs::lock_granted);
}

}  // namespace
