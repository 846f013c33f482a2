#include "visa/lan/lan_discovery.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "visa/lan/mdns.h"
#include "visa/lan/networks.h"
#include "visa/log.h"
#include "visa/vxi11/rpc_wire.h"

namespace visa::lan {
namespace {

namespace rpc = vxi11::rpc;

std::mutex log_mutex;
std::vector<std::string> log_lines;
void keep_line(const char* line) {
    std::lock_guard<std::mutex> hold(log_mutex);
    log_lines.emplace_back(line);
}

std::string port_body(uint32_t port) {
    std::string body;
    rpc::put_u32(body, port);
    return body;
}

// A portmapper stand-in on 127.0.0.<host>, on an ephemeral UDP port, that
// answers the first call it gets with whatever `answer` makes of its xid
// (twice, to show that a repeated answer counts once), or stays silent when
// `answer` is empty.
class Responder {
public:
    using Answer = std::string (*)(uint32_t xid);
    Responder(int host, Answer answer) : answer_(answer) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        dest_.addr.sin_family = AF_INET;
        dest_.addr.sin_addr.s_addr = htonl(0x7F000000u | uint32_t(host));
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&dest_.addr), sizeof dest_.addr), 0);
        socklen_t len = sizeof dest_.addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&dest_.addr), &len);
        thread_ = std::thread([this] { serve(); });
    }
    ~Responder() {
        thread_.join();
        ::close(fd_);
    }
    const Destination& destination() const { return dest_; }

private:
    void serve() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 3000) != 1) return;
        uint8_t call[2048];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t got =
            ::recvfrom(fd_, call, sizeof call, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (got < 4 || answer_ == nullptr) return;
        const std::string reply = answer_(rpc::get_u32(call));
        for (int i = 0; i < 2; ++i)
            ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }

    int fd_ = -1;
    Destination dest_;
    Answer answer_;
    std::thread thread_;
};

// Every kind of answer but one is ignored, a silent destination costs
// nothing but the window, and the search ends at its window.
TEST(LanBroadcast, TakesOnlyWellFormedAnswersAndEndsAtItsWindow) {
    log_lines.clear();
    set_log_sink(keep_line);
    std::vector<std::unique_ptr<Responder>> peers;
    peers.push_back(std::make_unique<Responder>(
        201, [](uint32_t) { return std::string("not an RPC reply at all"); }));
    peers.push_back(std::make_unique<Responder>(202, [](uint32_t xid) {
        return rpc::accepted_reply(xid, rpc::success, port_body(1024)) + std::string(1500, '\0');
    }));
    peers.push_back(std::make_unique<Responder>(203, [](uint32_t xid) {
        return rpc::accepted_reply(xid + 1, rpc::success, port_body(1024));
    }));
    peers.push_back(std::make_unique<Responder>(
        204, [](uint32_t xid) { return rpc::rpc_mismatch_reply(xid); }));
    peers.push_back(std::make_unique<Responder>(
        205, [](uint32_t xid) { return rpc::accepted_reply(xid, rpc::success, port_body(0)); }));
    peers.push_back(std::make_unique<Responder>(
        206, [](uint32_t xid) { return rpc::accepted_reply(xid, rpc::success, port_body(1024)); }));
    peers.push_back(std::make_unique<Responder>(207, nullptr));
    std::vector<Destination> destinations;
    for (const auto& p : peers)
        destinations.push_back(p->destination());

    const auto start = std::chrono::steady_clock::now();
    const LanSearch search = search_lan(destinations, 400, /*mdns=*/false);
    const auto took = std::chrono::steady_clock::now() - start;
    peers.clear();
    set_log_sink(nullptr);

    ASSERT_EQ(search.found.size(), 1u);
    EXPECT_EQ(search.found[0].resource, "TCPIP0::127.0.0.206::inst0::INSTR");
    EXPECT_EQ(search.found[0].how, "VXI-11 broadcast");
    EXPECT_EQ(search.broadcast_to.size(), 7u);
    EXPECT_GE(took, std::chrono::milliseconds(400));
    EXPECT_LT(took, std::chrono::milliseconds(1400));
    // What a person reading the log needs: which sender, and why ignored.
    auto logged = [](const std::string& text) {
        for (const auto& l : log_lines)
            if (l.find(text) != std::string::npos) return true;
        return false;
    };
    EXPECT_TRUE(logged("answer from 127.0.0.201 ignored: not a portmapper reply"));
    EXPECT_TRUE(logged("answer from 127.0.0.202 ignored: oversized (1528 bytes)"));
    EXPECT_TRUE(logged("answer from 127.0.0.203 ignored: a reply to another call"));
    EXPECT_TRUE(logged("answer from 127.0.0.204 ignored: the call was refused"));
    EXPECT_TRUE(logged("answer from 127.0.0.205 ignored: no VXI-11 core registered"));
    EXPECT_TRUE(logged("answer from 127.0.0.206 taken"));

    // Nothing to send to: no wait at all.
    const auto idle_start = std::chrono::steady_clock::now();
    EXPECT_TRUE(search_lan({}, 1000, false).found.empty());
    EXPECT_LT(std::chrono::steady_clock::now() - idle_start, std::chrono::milliseconds(100));
}

TEST(LanResults, MergedSortedAndNotRepeated) {
    const std::vector<Found> found = merge_found({
        {"TCPIP0::10.0.0.10::hislip0::INSTR", "10.0.0.10", "mDNS _hislip._tcp"},
        {"TCPIP0::10.0.0.9::inst0::INSTR", "10.0.0.9", "VXI-11 broadcast"},
        {"tcpip::10.0.0.10", "10.0.0.10", "VXI-11 broadcast"},
        {"TCPIP0::10.0.0.10::inst0::INSTR", "10.0.0.10", "mDNS _vxi-11._tcp"},
        {"TCPIP0::10.0.0.9::5025::SOCKET", "10.0.0.9", "mDNS _scpi-raw._tcp"},
    });
    // By address as a number (9 before 10), then by resource; one entry per
    // resource in canonical form, with every way it was found.
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found[0].resource, "TCPIP0::10.0.0.9::5025::SOCKET");
    EXPECT_EQ(found[1].resource, "TCPIP0::10.0.0.9::inst0::INSTR");
    EXPECT_EQ(found[2].resource, "TCPIP0::10.0.0.10::hislip0::INSTR");
    EXPECT_EQ(found[3].resource, "TCPIP0::10.0.0.10::inst0::INSTR");
    EXPECT_EQ(found[3].how, "VXI-11 broadcast, mDNS _vxi-11._tcp");
    // A configured instrument, however it is spelt, is not listed again.
    EXPECT_EQ(
        new_resources({"tcpip0::10.0.0.9::INSTR", "TCPIP0::10.0.0.10::hislip0::INSTR"}, found),
        (std::vector<std::string>{"TCPIP0::10.0.0.9::5025::SOCKET",
                                  "TCPIP0::10.0.0.10::inst0::INSTR"}));
}

// Who may answer on a link: an address of that link's networks, never
// loopback, broadcast or another interface's network.
TEST(LanNetworks, OnlyAddressesOfTheInterfaceTheAnswerCameInOn) {
    const auto addr = [](const char* text) {
        in_addr a{};
        ::inet_pton(AF_INET, text, &a);
        return a;
    };
    const std::vector<InterfaceNet> nets = {
        {1, "lo", addr("127.0.0.1"), addr("255.0.0.0")},
        {2, "eth0", addr("198.18.0.1"), addr("255.255.255.0")},
        {2, "eth0", addr("198.18.4.1"), addr("255.255.255.252")},
        {3, "eth1", addr("198.18.1.1"), addr("255.255.255.0")},
        {4, "p2p", addr("198.18.9.1"), addr("255.255.255.255")},
    };
    const struct {
        unsigned index;
        const char* sender;
        bool taken;
    } cases[] = {
        {2, "198.18.0.2", true},  {2, "198.18.0.254", true},  {2, "198.18.4.2", true},
        {2, "198.18.0.0", false}, {2, "198.18.0.255", false}, {2, "198.18.4.3", false},
        {2, "198.18.1.2", false}, {3, "198.18.1.2", true},    {2, "198.18.7.9", false},
        {2, "127.0.0.1", false},  {1, "127.0.0.1", false},    {1, "127.0.0.5", false},
        {2, "0.0.0.0", false},    {2, "224.0.0.251", false},  {2, "255.255.255.255", false},
        {4, "198.18.9.1", true},  {5, "198.18.0.2", false},   {0, "198.18.0.2", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(on_interface_network(nets, c.index, addr(c.sender)), c.taken)
            << c.sender << " on " << c.index;
    EXPECT_EQ(off_network_text(nets, 2, addr("198.18.7.9")),
              "not on the network of eth0 (198.18.0.1/24, 198.18.4.1/30)");
    EXPECT_EQ(off_network_text(nets, 2, addr("127.0.0.1")), "a loopback address");
}

TEST(LanResults, MdnsServicesBecomeResources) {
    EXPECT_EQ(mdns_resource(mdns_vxi11, "10.0.0.5", 111), "TCPIP0::10.0.0.5::inst0::INSTR");
    EXPECT_EQ(mdns_resource(mdns_hislip, "10.0.0.5", 4880), "TCPIP0::10.0.0.5::hislip0::INSTR");
    EXPECT_EQ(mdns_resource(mdns_hislip, "10.0.0.5", 4990),
              "TCPIP0::10.0.0.5::hislip0,4990::INSTR");
    EXPECT_EQ(mdns_resource(mdns_scpi_raw, "10.0.0.5", 5025), "TCPIP0::10.0.0.5::5025::SOCKET");
    EXPECT_EQ(mdns_resource(mdns_scpi_raw, "10.0.0.5", 0), "");
    EXPECT_EQ(mdns_resource("_http._tcp", "10.0.0.5", 80), "");
}

}  // namespace
}  // namespace visa::lan
