// The VXI-11 transport against an instrument made of rpcgen server stubs,
// served on 127.0.0.200 with a portmapper on port 111 (root needed), plus
// the entry points over it.
#include "visa/vxi11/vxi11_transport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/visa_log.h"
#include "visa/rsrc_name.h"
#include "vxi11.h"

namespace {

constexpr const char* peer_ip = "127.0.0.200";
constexpr const char* absent_ip = "127.0.0.201";  // nothing listens there

struct ReadReply {
    std::string data;
    long reason;
    long error = 0;
};

struct WriteSeen {
    std::string data;
    long flags;
};

// What the fake instrument does and saw. Guarded by `mutex`.
struct Instrument {
    std::mutex mutex;
    unsigned long max_recv = 1024;
    long next_lid = 100;
    long lock_holder = 0;
    uint16_t core_port = 0;
    bool portmap_says_zero = false;
    std::vector<WriteSeen> writes;
    std::deque<ReadReply> replies;
    std::vector<Device_ReadParms> reads;
    std::vector<Device_LockParms> locks;
    int clears = 0;
    bool hang_up_next = false;    // shut the connection instead of answering
    bool oversize_reply = false;  // answer more bytes than asked
    std::string reply_store;

    void reset() {
        std::lock_guard<std::mutex> g(mutex);
        max_recv = 1024;
        lock_holder = 0;
        portmap_says_zero = false;
        writes.clear();
        replies.clear();
        reads.clear();
        locks.clear();
        clears = 0;
        hang_up_next = false;
        oversize_reply = false;
    }
};

Instrument g_instr;

bool hang_up(svc_req* req) {
    if (!g_instr.hang_up_next) return false;
    g_instr.hang_up_next = false;
    shutdown(req->rq_xprt->xp_fd, SHUT_RDWR);
    return true;
}

}  // namespace

extern "C" {

bool_t create_link_1_svc(Create_LinkParms* p, Create_LinkResp* r, svc_req*) {
    std::lock_guard<std::mutex> g(g_instr.mutex);
    std::string dev = p->device;
    r->error = (dev == "inst0" || dev == "inst1") ? 0 : 3;
    r->lid = g_instr.next_lid++;
    r->abortPort = 0;
    r->maxRecvSize = g_instr.max_recv;
    return TRUE;
}

bool_t device_write_1_svc(Device_WriteParms* p, Device_WriteResp* r, svc_req* req) {
    std::lock_guard<std::mutex> g(g_instr.mutex);
    if (hang_up(req)) return FALSE;
    if (g_instr.lock_holder != 0 && g_instr.lock_holder != p->lid) {
        r->error = 11;
        r->size = 0;
        return TRUE;
    }
    if (p->data.data_len > g_instr.max_recv) {
        r->error = 5;
        r->size = 0;
        return TRUE;
    }
    g_instr.writes.push_back({std::string(p->data.data_val, p->data.data_len), p->flags});
    r->error = 0;
    r->size = p->data.data_len;
    return TRUE;
}

bool_t device_read_1_svc(Device_ReadParms* p, Device_ReadResp* r, svc_req* req) {
    std::lock_guard<std::mutex> g(g_instr.mutex);
    if (hang_up(req)) return FALSE;
    g_instr.reads.push_back(*p);
    if (g_instr.lock_holder != 0 && g_instr.lock_holder != p->lid) {
        *r = {11, 0, {0, nullptr}};
        return TRUE;
    }
    if (g_instr.replies.empty()) {
        *r = {15, 0, {0, nullptr}};
        return TRUE;
    }
    ReadReply reply = g_instr.replies.front();
    g_instr.replies.pop_front();
    g_instr.reply_store = reply.data;
    if (!g_instr.oversize_reply && g_instr.reply_store.size() > p->requestSize)
        g_instr.reply_store.resize(p->requestSize);
    r->error = reply.error;
    r->reason = reply.reason;
    r->data.data_len = u_int(g_instr.reply_store.size());
    r->data.data_val = g_instr.reply_store.data();
    return TRUE;
}

bool_t device_lock_1_svc(Device_LockParms* p, Device_Error* r, svc_req*) {
    std::lock_guard<std::mutex> g(g_instr.mutex);
    g_instr.locks.push_back(*p);
    r->error = (g_instr.lock_holder == 0) ? 0 : 11;
    if (r->error == 0) g_instr.lock_holder = p->lid;
    return TRUE;
}

bool_t device_unlock_1_svc(Device_Link* lid, Device_Error* r, svc_req*) {
    std::lock_guard<std::mutex> g(g_instr.mutex);
    r->error = g_instr.lock_holder == *lid ? 0 : 12;
    if (r->error == 0) g_instr.lock_holder = 0;
    return TRUE;
}

bool_t device_clear_1_svc(Device_GenericParms*, Device_Error* r, svc_req*) {
    std::lock_guard<std::mutex> g(g_instr.mutex);
    ++g_instr.clears;
    r->error = 0;
    return TRUE;
}

bool_t destroy_link_1_svc(Device_Link* lid, Device_Error* r, svc_req*) {
    std::lock_guard<std::mutex> g(g_instr.mutex);
    if (g_instr.lock_holder == *lid) g_instr.lock_holder = 0;
    r->error = 0;
    return TRUE;
}

// Not used by the library; answered "not supported".
bool_t device_readstb_1_svc(Device_GenericParms*, Device_ReadStbResp* r, svc_req*) {
    r->error = 8;
    return TRUE;
}
#define FWVISA_UNSUPPORTED(name, arg)              \
    bool_t name(arg*, Device_Error* r, svc_req*) { \
        r->error = 8;                              \
        return TRUE;                               \
    }
FWVISA_UNSUPPORTED(device_trigger_1_svc, Device_GenericParms)
FWVISA_UNSUPPORTED(device_remote_1_svc, Device_GenericParms)
FWVISA_UNSUPPORTED(device_local_1_svc, Device_GenericParms)
FWVISA_UNSUPPORTED(device_enable_srq_1_svc, Device_EnableSrqParms)
FWVISA_UNSUPPORTED(create_intr_chan_1_svc, Device_RemoteFunc)
FWVISA_UNSUPPORTED(device_abort_1_svc, Device_Link)
bool_t device_docmd_1_svc(Device_DocmdParms*, Device_DocmdResp* r, svc_req*) {
    r->error = 8;
    r->data_out = {0, nullptr};
    return TRUE;
}
bool_t destroy_intr_chan_1_svc(void*, Device_Error* r, svc_req*) {
    r->error = 8;
    return TRUE;
}
bool_t device_intr_srq_1_svc(Device_SrqParms*, void*, svc_req*) {
    return FALSE;
}

// The dispatcher rpcgen generated (not declared in its header).
void device_core_1(svc_req* req, SVCXPRT* xprt);

// Replies point into storage the fake owns; nothing to free.
int device_core_1_freeresult(SVCXPRT*, xdrproc_t, caddr_t) {
    return 1;
}
int device_async_1_freeresult(SVCXPRT*, xdrproc_t, caddr_t) {
    return 1;
}
int device_intr_1_freeresult(SVCXPRT*, xdrproc_t, caddr_t) {
    return 1;
}

}  // extern "C"

namespace visa::vxi11 {
namespace {

int listen_on(const char* ip, uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, ip, &addr.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

uint16_t port_of(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return ntohs(addr.sin_port);
}

// The RPC server and the portmapper, each on a thread, for the whole test
// program (the RPC library's server side is process-global).
class Peer {
public:
    static bool start() {
        static bool ok = [] {
            int core = listen_on(peer_ip, 0);
            int pmap = listen_on(peer_ip, 111);
            if (core < 0 || pmap < 0) return false;
            g_instr.core_port = port_of(core);
            SVCXPRT* xprt = svc_vc_create(core, 0, 0);
            if (xprt == nullptr ||
                !svc_register(xprt, DEVICE_CORE, DEVICE_CORE_VERSION, device_core_1, 0))
                return false;
            std::thread(serve_rpc).detach();
            std::thread(serve_portmap, pmap).detach();
            return true;
        }();
        return ok;
    }

private:
    static void serve_rpc() {
        for (;;) {
            std::vector<pollfd> fds(svc_pollfd, svc_pollfd + svc_max_pollfd);
            int n = poll(fds.data(), fds.size(), 100);
            if (n > 0) svc_getreq_poll(fds.data(), n);
        }
    }

    static void serve_portmap(int listen_fd) {
        for (;;) {
            int fd = accept(listen_fd, nullptr, nullptr);
            if (fd < 0) continue;
            uint8_t call[60];
            size_t got = 0;
            while (got < sizeof call) {
                ssize_t r = recv(fd, call + got, sizeof call - got, 0);
                if (r <= 0) break;
                got += size_t(r);
            }
            if (got == sizeof call) {
                uint32_t port;
                {
                    std::lock_guard<std::mutex> g(g_instr.mutex);
                    port = g_instr.portmap_says_zero ? 0 : g_instr.core_port;
                }
                uint32_t reply[8] = {htonl(0x80000000u | 28), 0, htonl(1), 0, 0, 0, 0, htonl(port)};
                std::memcpy(&reply[1], call + 4, 4);  // xid
                send(fd, reply, sizeof reply, MSG_NOSIGNAL);
            }
            ::close(fd);
        }
    }
};

class Vxi11Test : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Peer::start()) GTEST_SKIP() << "cannot serve on " << peer_ip << ":111 (needs root)";
        g_instr.reset();
    }

    static RsrcName name(const std::string& s) { return *parse_rsrc_name(s); }

    static std::string read_all(Vxi11Transport& t, size_t count, ReadOptions opts, ViStatus* st,
                                ReadStop* why) {
        std::string buf(count, '\0');
        size_t got = 0;
        *st = t.read(reinterpret_cast<ViByte*>(buf.data()), count, opts, &got, why);
        buf.resize(got);
        return buf;
    }
};

TEST_F(Vxi11Test, OpenFindsTheCoreThroughThePortmapper) {
    Vxi11Transport t;
    ASSERT_EQ(t.open(name(std::string("TCPIP::") + peer_ip + "::INSTR"), 2000), VI_SUCCESS);
    EXPECT_EQ(t.max_piece(), 1024u);
    EXPECT_EQ(t.close(1000), VI_SUCCESS);
}

TEST_F(Vxi11Test, AbsentInstrumentsAreNotFound) {
    VisaLogCapture log;
    Vxi11Transport nothing_listening;
    EXPECT_EQ(nothing_listening.open(name(std::string("TCPIP::") + absent_ip + "::INSTR"), 1000),
              VI_ERROR_RSRC_NFOUND);
    // What viStatusDesc adds for whoever opened it: the step, address and cause.
    EXPECT_EQ(failure_detail(VI_ERROR_RSRC_NFOUND), "asking the portmapper: connecting to " +
                                                        std::string(absent_ip) +
                                                        ":111: connection refused");
    Vxi11Transport unknown_device;
    EXPECT_EQ(unknown_device.open(name(std::string("TCPIP::") + peer_ip + "::inst9::INSTR"), 1000),
              VI_ERROR_RSRC_NFOUND);
    EXPECT_NE(failure_detail(VI_ERROR_RSRC_NFOUND).find("refused a link to inst9, error 3"),
              std::string::npos)
        << failure_detail(VI_ERROR_RSRC_NFOUND);
    g_instr.portmap_says_zero = true;
    Vxi11Transport unregistered;
    EXPECT_EQ(unregistered.open(name(std::string("TCPIP::") + peer_ip + "::INSTR"), 1000),
              VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(failure_detail(VI_ERROR_RSRC_NFOUND),
              "the portmapper at " + std::string(peer_ip) + ":111 knows no VXI-11 core");
    // Each failure names the resource, the address asked and what it said.
    const std::string absent = std::string("TCPIP0::") + absent_ip + "::inst0::INSTR";
    EXPECT_TRUE(
        log.has("visa.net: connecting to " + std::string(absent_ip) + ":111: connection refused"))
        << log.lines();
    EXPECT_TRUE(log.has("visa.vxi11: " + absent + ": no portmapper at " + absent_ip + ":111"))
        << log.lines();
    EXPECT_TRUE(log.has("create_link(inst9) refused, error 3")) << log.lines();
    EXPECT_TRUE(log.has(std::string("::INSTR: no VXI-11 core registered at ") + peer_ip + ":111"))
        << log.lines();
}

// Each write is on the instrument when it returns: cut at maxRecvSize, END
// only on the piece that ends a write asked to carry it, nothing held back.
TEST_F(Vxi11Test, WritesAreDeliveredBeforeTheyReturn) {
    Vxi11Transport t;
    ASSERT_EQ(t.open(name(std::string("TCPIP::") + peer_ip + "::INSTR"), 2000), VI_SUCCESS);
    const auto seen = [] {
        std::lock_guard<std::mutex> g(g_instr.mutex);
        std::string all;
        for (const auto& w : g_instr.writes)
            all += w.data;
        return all;
    };
    std::string expected;
    for (int i = 0; i < 3; ++i) {
        std::string chunk(100, char('a' + i));
        size_t n = 0;
        ASSERT_EQ(
            t.write(reinterpret_cast<const ViByte*>(chunk.data()), chunk.size(), false, 1000, &n),
            VI_SUCCESS);
        EXPECT_EQ(n, chunk.size());
        expected += chunk;
        EXPECT_EQ(seen(), expected) << "write " << i << " returned before it was delivered";
    }
    std::string big(2500, 'Z');
    size_t n = 0;
    ASSERT_EQ(t.write(reinterpret_cast<const ViByte*>(big.data()), big.size(), true, 1000, &n),
              VI_SUCCESS);
    EXPECT_EQ(n, big.size());
    expected += big;
    EXPECT_EQ(seen(), expected);
    // A write of nothing without END sends nothing; with END, one empty piece.
    ASSERT_EQ(t.write(nullptr, 0, false, 1000, &n), VI_SUCCESS);
    ASSERT_EQ(t.write(nullptr, 0, true, 1000, &n), VI_SUCCESS);
    EXPECT_EQ(n, 0u);

    std::lock_guard<std::mutex> g(g_instr.mutex);
    const std::vector<size_t> sizes{100, 100, 100, 1024, 1024, 452, 0};
    ASSERT_EQ(g_instr.writes.size(), sizes.size());
    for (size_t i = 0; i < sizes.size(); ++i) {
        EXPECT_EQ(g_instr.writes[i].data.size(), sizes[i]) << i;
        const bool end = i == 5 || i == 6;
        EXPECT_EQ((g_instr.writes[i].flags & 0x08) != 0, end) << i;
        EXPECT_EQ(g_instr.writes[i].flags & 0x01, 0x01);  // waitlock on ordinary I/O
    }
}

TEST_F(Vxi11Test, ReadLoopsUntilEndTermCharOrCount) {
    Vxi11Transport t;
    ASSERT_EQ(t.open(name(std::string("TCPIP::") + peer_ip + "::INSTR"), 2000), VI_SUCCESS);
    ViStatus st;
    ReadStop why;
    // "Buffer full, read again" (reason 0), then END.
    g_instr.replies = {{"HEL", 0}, {"LO\n", 0x04}};
    EXPECT_EQ(read_all(t, 64, {}, &st, &why), "HELLO\n");
    EXPECT_EQ(st, VI_SUCCESS);
    EXPECT_EQ(why, ReadStop::end);

    ReadOptions term;
    term.term_char_enabled = true;
    term.term_char = '\r';
    g_instr.replies = {{"A\r", 0x02 | 0x04}};
    EXPECT_EQ(read_all(t, 64, term, &st, &why), "A\r");
    EXPECT_EQ(why, ReadStop::term_char);
    EXPECT_EQ(g_instr.reads.back().flags & 0x80, 0x80);
    EXPECT_EQ(g_instr.reads.back().termChar, '\r');

    g_instr.replies = {{"ABCDEFGH", 0x01}};
    EXPECT_EQ(read_all(t, 5, {}, &st, &why), "ABCDE");
    EXPECT_EQ(why, ReadStop::count);
    EXPECT_EQ(g_instr.reads.back().requestSize, 5u);

    // The instrument's own time-out, with what it had.
    g_instr.replies = {{"PAR", 0, 15}};
    EXPECT_EQ(read_all(t, 64, {}, &st, &why), "PAR");
    EXPECT_EQ(st, VI_ERROR_TMO);
}

TEST_F(Vxi11Test, HostileReplyIsRefusedNotTrusted) {
    Vxi11Transport t;
    ASSERT_EQ(t.open(name(std::string("TCPIP::") + peer_ip + "::INSTR"), 2000), VI_SUCCESS);
    g_instr.oversize_reply = true;
    g_instr.replies = {{std::string(100, 'x'), 0x04}};
    ViStatus st;
    ReadStop why;
    std::string got = read_all(t, 10, {}, &st, &why);  // buffer holds 10: never more
    EXPECT_EQ(st, VI_ERROR_IO);
    EXPECT_LE(got.size(), 10u);
}

TEST_F(Vxi11Test, LocksOfOtherClients) {
    Vxi11Transport mine, theirs;
    auto n = name(std::string("TCPIP::") + peer_ip + "::INSTR");
    ASSERT_EQ(mine.open(n, 2000), VI_SUCCESS);
    ASSERT_EQ(theirs.open(n, 2000), VI_SUCCESS);
    ASSERT_EQ(theirs.lock(0), VI_SUCCESS);
    EXPECT_EQ(mine.lock(0), VI_ERROR_TMO);
    EXPECT_EQ(mine.lock(50), VI_ERROR_TMO);
    {
        std::lock_guard<std::mutex> g(g_instr.mutex);
        ASSERT_EQ(g_instr.locks.size(), 3u);
        EXPECT_EQ(g_instr.locks[1].flags, 0);  // zero time-out: no waitlock
        EXPECT_EQ(g_instr.locks[2].flags, 1);
        EXPECT_EQ(g_instr.locks[2].lock_timeout, 50u);
    }
    size_t w = 0;
    EXPECT_EQ(mine.write(reinterpret_cast<const ViByte*>("X"), 1, true, 100, &w),
              VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(mine.unlock(1000), VI_ERROR_SESN_NLOCKED);
    // A closed link's lock is gone.
    theirs.close(1000);
    EXPECT_EQ(mine.lock(0), VI_SUCCESS);
    EXPECT_EQ(mine.unlock(1000), VI_SUCCESS);
}

TEST_F(Vxi11Test, LostConnection) {
    VisaLogCapture log;
    Vxi11Transport t;
    ASSERT_EQ(t.open(name(std::string("TCPIP::") + peer_ip + "::INSTR"), 2000), VI_SUCCESS);
    g_instr.hang_up_next = true;
    size_t n = 0;
    EXPECT_EQ(t.write(reinterpret_cast<const ViByte*>("X"), 1, true, 1000, &n), VI_ERROR_CONN_LOST);
    // Stays lost, at once, and writing again raises no SIGPIPE.
    EXPECT_EQ(t.write(reinterpret_cast<const ViByte*>("X"), 1, true, 1000, &n), VI_ERROR_CONN_LOST);
    ViStatus st;
    ReadStop why;
    read_all(t, 4, {}, &st, &why);
    EXPECT_EQ(st, VI_ERROR_CONN_LOST);
    EXPECT_TRUE(log.has("::INSTR at " + std::string(peer_ip) + ":")) << log.lines();
    EXPECT_TRUE(log.has(": device_write: connection lost")) << log.lines();
}

// Through the entry points, as the engine uses them.
TEST_F(Vxi11Test, EngineSequence) {
    ViSession rm, vi, other;
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    std::string rsrc = std::string("TCPIP0::") + peer_ip + "::inst0::INSTR";
    ASSERT_EQ(viOpen(rm, rsrc.c_str(), VI_NULL, 0, &vi), VI_SUCCESS);
    ASSERT_EQ(viOpen(rm, rsrc.c_str(), VI_NULL, 0, &other), VI_SUCCESS);
    EXPECT_EQ(viLock(vi, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_SUCCESS);
    EXPECT_EQ(viLock(other, VI_EXCLUSIVE_LOCK, 0, VI_NULL, VI_NULL), VI_ERROR_TMO);
    ViUInt16 intf = 0;
    EXPECT_EQ(viGetAttribute(vi, VI_ATTR_INTF_TYPE, &intf), VI_SUCCESS);
    EXPECT_EQ(intf, VI_INTF_TCPIP);
    EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
    ViUInt32 n = 0;
    ASSERT_EQ(viWrite(vi, reinterpret_cast<const ViByte*>("*IDN?\n"), 6, &n), VI_SUCCESS);
    g_instr.replies = {{"MAKER,MODEL,0,1.0\n", 0x02 | 0x04}};
    char buf[100];
    EXPECT_EQ(viRead(vi, reinterpret_cast<ViByte*>(buf), sizeof buf, &n), VI_SUCCESS_TERM_CHAR);
    EXPECT_EQ(std::string(buf, n), "MAKER,MODEL,0,1.0\n");
    EXPECT_EQ(viUnlock(vi), VI_SUCCESS);
    EXPECT_EQ(viClose(vi), VI_SUCCESS);
    EXPECT_EQ(viClose(rm), VI_SUCCESS);
    ViSession rm2;
    ASSERT_EQ(viOpenDefaultRM(&rm2), VI_SUCCESS);
    std::string absent = std::string("TCPIP0::") + absent_ip + "::inst0::INSTR";
    EXPECT_EQ(viOpen(rm2, absent.c_str(), VI_NULL, 0, &vi), VI_ERROR_RSRC_NFOUND);
    viClose(rm2);
}

}  // namespace
}  // namespace visa::vxi11
