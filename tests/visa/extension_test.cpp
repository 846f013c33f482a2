// The library's extension (fwvisa_ext.h) through the program's entry points:
// why a connection failed as values, resource strings taken apart and keyed,
// and log lines by level. Loopback peers only (127.0.0.x).
#include "fwvisa_ext.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/integration/lock_holder.h"
#include "visa.h"

namespace {

// A TCP listener on 127.0.0.1 that never accepts nor answers: connections
// complete in the kernel and then hear nothing.
class SilentPeer {
public:
    SilentPeer() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 8) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~SilentPeer() { Close(); }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    uint16_t port() const { return port_; }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// A loopback port nobody listens on.
uint16_t ClosedPort() {
    SilentPeer peer;
    return peer.port();
}

fwvisa_failure LastFailure(ViSession vi = VI_NULL, fwvisa_status* st = nullptr) {
    fwvisa_failure f{};
    f.size = sizeof f;
    const fwvisa_status got = fwvisa_last_failure(vi, &f);
    if (st != nullptr) *st = got;
    return f;
}

class ExtensionTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(viOpenDefaultRM(&rm_), VI_SUCCESS); }
    void TearDown() override { viClose(rm_); }

    ViStatus Open(const std::string& resource, ViSession* vi, ViUInt32 timeout = 500) {
        return viOpen(rm_, resource.c_str(), VI_NULL, timeout, vi);
    }
    std::string Desc(ViStatus status) {
        ViChar text[256] = "";
        viStatusDesc(rm_, status, text);
        return text;
    }

    ViSession rm_ = VI_NULL;
};

TEST_F(ExtensionTest, RefusedConnectionsAreTypedAndSayWhatViStatusDescSays) {
    const uint16_t port = ClosedPort();
    ViSession vi = VI_NULL;
    ASSERT_EQ(Open("TCPIP0::127.0.0.1::" + std::to_string(port) + "::SOCKET", &vi),
              VI_ERROR_RSRC_NFOUND);
    fwvisa_status st = 0;
    fwvisa_failure f = LastFailure(VI_NULL, &st);
    ASSERT_EQ(st, FWVISA_OK);
    EXPECT_EQ(f.status, VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(f.stage, FWVISA_STAGE_CONNECT);
    EXPECT_EQ(f.cause, FWVISA_CAUSE_REFUSED);
    EXPECT_EQ(f.sys_errno, ECONNREFUSED);
    EXPECT_STREQ(f.host, "127.0.0.1");
    EXPECT_EQ(f.port, port);
    EXPECT_LT(f.elapsed_ms, 2000u);
    const std::string text =
        "connecting to 127.0.0.1:" + std::to_string(port) + ": connection refused";
    EXPECT_EQ(f.text, text);
    EXPECT_NE(Desc(VI_ERROR_RSRC_NFOUND).find(text), std::string::npos);

    // VXI-11 asks the portmapper first: its refusal is the portmapper's.
    ASSERT_EQ(Open("TCPIP0::127.0.0.202::INSTR", &vi), VI_ERROR_RSRC_NFOUND);
    f = LastFailure();
    EXPECT_EQ(f.stage, FWVISA_STAGE_PORTMAPPER);
    EXPECT_EQ(f.cause, FWVISA_CAUSE_REFUSED);
    EXPECT_EQ(f.port, 111);
    EXPECT_STREQ(f.text,
                 "asking the portmapper: connecting to 127.0.0.202:111: connection refused");

    // A name that does not resolve stops before any connection.
    ASSERT_EQ(Open("TCPIP0::no-such-host.invalid::5025::SOCKET", &vi), VI_ERROR_RSRC_NFOUND);
    f = LastFailure();
    EXPECT_EQ(f.stage, FWVISA_STAGE_RESOLVE);
    EXPECT_EQ(f.cause, FWVISA_CAUSE_NOT_FOUND);
    EXPECT_STREQ(f.host, "no-such-host.invalid");

    // An open that succeeds forgets the failures before it.
    SilentPeer peer;
    ASSERT_EQ(Open("TCPIP0::127.0.0.1::" + std::to_string(peer.port()) + "::SOCKET", &vi),
              VI_SUCCESS);
    LastFailure(VI_NULL, &st);
    EXPECT_EQ(st, FWVISA_NOTHING);
    viClose(vi);
}

TEST_F(ExtensionTest, SilentPeersTimeOutInTheStageTheyFellSilentIn) {
    SilentPeer peer;
    ViSession vi = VI_NULL;
    // HiSLIP: the connection is made, the Initialize never answered.
    const ViStatus st =
        Open("TCPIP0::127.0.0.1::hislip0," + std::to_string(peer.port()) + "::INSTR", &vi, 300);
    ASSERT_LT(st, VI_SUCCESS);
    const fwvisa_failure f = LastFailure();
    EXPECT_EQ(f.status, st);
    EXPECT_EQ(f.stage, FWVISA_STAGE_HANDSHAKE);
    EXPECT_EQ(f.cause, FWVISA_CAUSE_TIMED_OUT);
    EXPECT_EQ(f.port, peer.port());
    // Connecting is given at least the default I/O time-out, 2 s.
    EXPECT_GE(f.elapsed_ms, 1500u);
    EXPECT_LT(f.elapsed_ms, 10000u);
}

TEST_F(ExtensionTest, ASessionKeepsTheFailureOfItsOwnLink) {
    SilentPeer peer;
    const std::string resource = "TCPIP0::127.0.0.1::" + std::to_string(peer.port()) + "::SOCKET";
    ViSession vi = VI_NULL;
    ASSERT_EQ(Open(resource, &vi), VI_SUCCESS);
    viSetAttribute(vi, VI_ATTR_TMO_VALUE, 100);
    char buf[8];
    ViUInt32 got = 0;
    ASSERT_EQ(viRead(vi, reinterpret_cast<ViPBuf>(buf), sizeof buf, &got), VI_ERROR_TMO);
    fwvisa_status st = 0;
    fwvisa_failure f = LastFailure(vi, &st);
    ASSERT_EQ(st, FWVISA_OK);
    EXPECT_EQ(f.stage, FWVISA_STAGE_IO);
    EXPECT_EQ(f.cause, FWVISA_CAUSE_TIMED_OUT);
    EXPECT_EQ(LastFailure().stage, FWVISA_STAGE_IO);  // and so does the thread

    // Another process holds the instrument: who, and since when.
    viClose(vi);
    LockHolder holder(resource);
    ASSERT_TRUE(holder.holds());
    ASSERT_EQ(Open(resource, &vi), VI_SUCCESS);
    EXPECT_EQ(viLock(vi, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_ERROR_TMO);
    f = LastFailure(vi);
    EXPECT_EQ(f.stage, FWVISA_STAGE_LOCK);
    EXPECT_EQ(f.cause, FWVISA_CAUSE_HELD);
    EXPECT_NE(std::string(f.holder).find("(uid " + std::to_string(::getuid()) + "), pid "),
              std::string::npos)
        << f.holder;
    EXPECT_EQ(std::string(f.since).size(), 20u) << f.since;  // 2026-01-31T12:00:00Z
    viClose(vi);

    EXPECT_EQ(fwvisa_last_failure(vi, &f), FWVISA_E_ARGUMENT);  // closed
    f.size = 8;
    EXPECT_EQ(fwvisa_last_failure(VI_NULL, &f), FWVISA_E_ARGUMENT);
}

TEST(ExtensionResourceTest, TrickySpellingsParseToOneCanonicalFormAndOneKey) {
    fwvisa_resource r{};
    r.size = sizeof r;
    ASSERT_EQ(fwvisa_parse_resource("tcpip::LocalHost::HiSLIP0,4881::instr", &r), FWVISA_OK);
    EXPECT_EQ(r.protocol, FWVISA_PROTOCOL_HISLIP);
    EXPECT_EQ(r.intf_type, VI_INTF_TCPIP);
    EXPECT_STREQ(r.interface_name, "TCPIP");
    EXPECT_STREQ(r.host, "localhost");
    EXPECT_EQ(r.port, 4881);
    EXPECT_STREQ(r.rsrc_class, "INSTR");
    ASSERT_EQ(fwvisa_parse_resource("TCPIP3::127.0.0.1::5025::SOCKET", &r), FWVISA_OK);
    EXPECT_EQ(r.protocol, FWVISA_PROTOCOL_SOCKET);
    EXPECT_EQ(r.board, 3);
    EXPECT_STREQ(r.canonical, "TCPIP3::127.0.0.1::5025::SOCKET");
    ASSERT_EQ(fwvisa_parse_resource("usb::0x1a2b::0x0c3d::sn1::INSTR", &r), FWVISA_OK);
    EXPECT_EQ(r.protocol, FWVISA_PROTOCOL_USBTMC);
    EXPECT_EQ(r.usb_vendor, 0x1A2B);
    EXPECT_EQ(r.usb_interface, -1);
    EXPECT_STREQ(r.canonical, "USB0::0x1A2B::0x0C3D::sn1::INSTR");

    for (const char* bad : {"", "TCPIP0::::INSTR", "TCPIP0::h::99999::SOCKET", "GPIB0::5::INSTR"})
        EXPECT_EQ(fwvisa_parse_resource(bad, &r), FWVISA_E_NOT_RESOURCE) << bad;
    EXPECT_EQ(fwvisa_parse_resource(nullptr, &r), FWVISA_E_ARGUMENT);
    // A caller built against a newer header hands a larger struct: the
    // library fills what it knows and leaves the rest alone.
    struct Newer {
        fwvisa_resource known;
        char later[16];
    } newer{};
    newer.known.size = sizeof newer;
    std::memset(newer.later, 'x', sizeof newer.later);
    ASSERT_EQ(fwvisa_parse_resource("ASRL2::INSTR", &newer.known), FWVISA_OK);
    EXPECT_EQ(newer.known.size, sizeof newer);
    EXPECT_STREQ(newer.known.canonical, "ASRL2::INSTR");
    EXPECT_EQ(newer.later[15], 'x');

    // Every name of one instrument gives one key; another instrument another.
    auto key = [](const char* resource) {
        char k[256] = "";
        EXPECT_EQ(fwvisa_instrument_key(resource, k, sizeof k), FWVISA_OK) << resource;
        return std::string(k);
    };
    const std::string one = key("TCPIP0::127.0.0.5::INSTR");
    EXPECT_EQ(key("tcpip1::127.0.0.5::hislip0::INSTR"), one);
    EXPECT_EQ(key("TCPIP::127.0.0.5::5025::SOCKET"), one);
    EXPECT_NE(key("TCPIP0::127.0.0.6::INSTR"), one);
    EXPECT_NE(key("TCPIP0::127.0.0.5::gpib0,5::INSTR"), one);  // behind a gateway
    EXPECT_EQ(key("USB0::0x1A2B::0x0C3D::SN1::INSTR"), key("usb1::0x1a2b::0x0c3d::sn1::0::INSTR"));
    char tiny[4];
    EXPECT_EQ(fwvisa_instrument_key("ASRL1::INSTR", tiny, sizeof tiny), FWVISA_E_ARGUMENT);
    EXPECT_EQ(fwvisa_instrument_key("not a resource", tiny, sizeof tiny), FWVISA_E_NOT_RESOURCE);
}

struct Lines {
    std::vector<std::pair<int32_t, std::string>> seen;
    static void Keep(int32_t level, const char* line, void* user) {
        static_cast<Lines*>(user)->seen.emplace_back(level, line);
    }
    bool Has(int32_t level, const std::string& part) const {
        for (const auto& [l, text] : seen)
            if (l == level && text.find(part) != std::string::npos) return true;
        return false;
    }
};

TEST(ExtensionLogTest, LinesReachTheCallbackByLevel) {
    // No configuration file: the library's find says so at the info level.
    const std::filesystem::path empty =
        std::filesystem::temp_directory_path() / ("fwvisa-ext-" + std::to_string(::getpid()));
    std::filesystem::create_directories(empty);
    ::setenv("XDG_CONFIG_HOME", empty.c_str(), 1);
    auto find_and_fail = [] {
        ViSession rm = VI_NULL, vi = VI_NULL;
        viOpenDefaultRM(&rm);
        ViFindList list = VI_NULL;
        ViUInt32 count = 0;
        ViChar first[VI_FIND_BUFLEN];
        viFindRsrc(rm, "TCPIP?*::INSTR", &list, &count, first);
        viOpen(rm, ("TCPIP0::127.0.0.1::" + std::to_string(ClosedPort()) + "::SOCKET").c_str(),
               VI_NULL, 500, &vi);
        viClose(rm);
    };
    Lines warnings;
    ASSERT_EQ(fwvisa_set_log_callback(&Lines::Keep, &warnings, FWVISA_LOG_WARNING), FWVISA_OK);
    find_and_fail();
    EXPECT_TRUE(warnings.Has(FWVISA_LOG_ERROR, "visa.net: connecting to 127.0.0.1:"));
    EXPECT_FALSE(warnings.Has(FWVISA_LOG_INFO, "no LAN instruments listed"));
    for (const auto& [level, line] : warnings.seen)
        EXPECT_LE(level, FWVISA_LOG_WARNING) << line;

    Lines all;
    ASSERT_EQ(fwvisa_set_log_callback(&Lines::Keep, &all, FWVISA_LOG_DEBUG), FWVISA_OK);
    find_and_fail();
    EXPECT_TRUE(all.Has(FWVISA_LOG_INFO, "no LAN instruments listed"));
    EXPECT_TRUE(all.Has(FWVISA_LOG_ERROR, "connection refused"));

    // Back to stderr (silent without FW_VISA_LOG=1); a level out of range is refused.
    EXPECT_EQ(fwvisa_set_log_callback(nullptr, nullptr, FWVISA_LOG_ERROR), FWVISA_OK);
    const size_t before = all.seen.size();
    find_and_fail();
    EXPECT_EQ(all.seen.size(), before);
    EXPECT_EQ(fwvisa_set_log_callback(&Lines::Keep, &all, 7), FWVISA_E_ARGUMENT);
    ::unsetenv("XDG_CONFIG_HOME");
    std::filesystem::remove_all(empty);
}

}  // namespace
