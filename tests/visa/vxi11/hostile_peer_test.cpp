// The VXI-11 transport against a peer that answers wrongly on purpose, over a
// socket pair: every call must end by its deadline whatever arrives, and a
// stream that went out of step must stay given up.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "visa/vxi11/vxi11_transport.h"

namespace visa::vxi11 {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t first_xid = 0x1000;
constexpr uint32_t timeout_ms = 200;
// Whatever the peer does, a call ends by its time-out plus the margin; the
// rest is slack for a loaded machine, far below "for ever".
constexpr auto bound =
    std::chrono::milliseconds(timeout_ms + Vxi11Transport::reply_margin_ms + 1500);

std::string word(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string record(const std::string& body) {
    return word(0x80000000u | uint32_t(body.size())) + body;
}

std::string accepted(uint32_t xid, const std::string& results) {
    return word(xid) + word(1) + word(0) + word(0) + word(0) + word(0) + results;
}

std::string link_reply(uint32_t xid, uint32_t max_recv) {
    return record(accepted(xid, word(0) + word(7) + word(0) + word(max_recv)));
}

// What the peer sends in answer to the call with transaction id `xid` and
// procedure `proc`; it may sleep, and an empty answer sends nothing.
using Answer = std::function<std::string(int fd, uint32_t xid, uint32_t proc)>;

class HostilePeer {
public:
    explicit HostilePeer(Answer answer) : answer_(std::move(answer)) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
        client_ = fds[0];
        peer_ = fds[1];
        thread_ = std::thread([this] { serve(); });
    }
    ~HostilePeer() {
        ::shutdown(peer_, SHUT_RDWR);
        thread_.join();
        ::close(peer_);
        ::close(client_);
    }
    int client_fd() const { return client_; }

private:
    bool read_exact(char* p, size_t n) {
        for (size_t got = 0; got < n;) {
            ssize_t r = ::read(peer_, p + got, n - got);
            if (r <= 0) return false;
            got += size_t(r);
        }
        return true;
    }
    void serve() {
        for (;;) {
            unsigned char mark[4];
            if (!read_exact(reinterpret_cast<char*>(mark), 4)) return;
            size_t len = (size_t(mark[0] & 0x7F) << 24) | size_t(mark[1]) << 16 |
                         size_t(mark[2]) << 8 | mark[3];
            std::string body(len, '\0');
            if (!read_exact(body.data(), len) || len < 24) return;
            const auto at = [&](size_t i) {
                auto b = reinterpret_cast<const unsigned char*>(body.data()) + i;
                return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
            };
            std::string out = answer_(peer_, at(0), at(20));
            if (!out.empty() && ::send(peer_, out.data(), out.size(), MSG_NOSIGNAL) < 0) return;
        }
    }

    Answer answer_;
    int client_ = -1;
    int peer_ = -1;
    std::thread thread_;
};

constexpr uint32_t proc_create_link = 10;
constexpr uint32_t proc_read = 12;

// Answers create_link properly and hands every other call to `rest`.
Answer linked(Answer rest) {
    return [rest](int fd, uint32_t xid, uint32_t proc) {
        return proc == proc_create_link ? link_reply(xid, 4096) : rest(fd, xid, proc);
    };
}

struct Outcome {
    ViStatus status;
    Clock::duration took;
};

Outcome timed_read(Vxi11Transport& t) {
    char buf[64];
    size_t got = 0;
    ReadStop why;
    ReadOptions opts;
    opts.timeout_ms = timeout_ms;
    const auto start = Clock::now();
    ViStatus st = t.read(reinterpret_cast<ViByte*>(buf), sizeof buf, opts, &got, &why);
    return {st, Clock::now() - start};
}

// After a broken reply the link stays lost, and unlock and close say so at
// once instead of waiting on the stream again.
void expect_given_up(Vxi11Transport& t) {
    EXPECT_TRUE(t.lost());
    const auto start = Clock::now();
    size_t n = 0;
    EXPECT_EQ(t.write(reinterpret_cast<const ViByte*>("X"), 1, true, timeout_ms, &n),
              VI_ERROR_CONN_LOST);
    EXPECT_EQ(t.unlock(timeout_ms), VI_ERROR_CONN_LOST);
    EXPECT_EQ(t.close(timeout_ms), VI_ERROR_CONN_LOST);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(100));
}

TEST(Vxi11HostilePeer, RepliesThatAreNotTheAnswerEndTheLink) {
    struct Case {
        const char* what;
        Answer answer;
        ViStatus expected;
    };
    const Case cases[] = {
        {"another transaction id",
         [](int, uint32_t xid, uint32_t) {
             return record(accepted(xid + 1, word(0) + word(4) + word(0)));
         },
         VI_ERROR_IO},
        {"a record of garbage", [](int, uint32_t, uint32_t) { return record("garbage!"); },
         VI_ERROR_IO},
        {"data longer than asked for",
         [](int, uint32_t xid, uint32_t) {
             return record(accepted(xid, word(0) + word(4) + word(100) + std::string(100, 'x')));
         },
         VI_ERROR_IO},
        {"a fragment that never ends",
         [](int, uint32_t, uint32_t) { return word(0x80000000u | 1000) + "12345678"; },
         VI_ERROR_TMO},
        {"no reply at all", [](int, uint32_t, uint32_t) { return std::string(); }, VI_ERROR_TMO},
        {"a reply trickled a byte at a time",
         [](int fd, uint32_t xid, uint32_t) {
             const std::string r = record(accepted(xid, word(0) + word(4) + word(0)));
             for (char c : r) {
                 if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) break;
                 std::this_thread::sleep_for(std::chrono::milliseconds(100));
             }
             return std::string();
         },
         VI_ERROR_TMO},
        {"endless empty fragments",
         [](int fd, uint32_t, uint32_t) {
             const std::string empty = word(0);
             for (int i = 0; i < 100000; ++i)
                 if (::send(fd, empty.data(), 4, MSG_NOSIGNAL) != 4) break;
             return std::string();
         },
         VI_ERROR_IO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HostilePeer peer(linked(c.answer));
        Vxi11Transport t;
        ASSERT_EQ(t.open_on(::dup(peer.client_fd()), "inst0", "hostile", 1000, first_xid),
                  VI_SUCCESS);
        const Outcome o = timed_read(t);
        EXPECT_EQ(o.status, c.expected);
        EXPECT_LT(o.took, bound);
        expect_given_up(t);
    }
}

TEST(Vxi11HostilePeer, OpeningIsBoundedToo) {
    // A wrong transaction id, or silence, while the link is being made.
    const Answer wrong_id = [](int, uint32_t xid, uint32_t) { return link_reply(xid + 7, 4096); };
    const Answer silent = [](int, uint32_t, uint32_t) { return std::string(); };
    for (const Answer& a : {wrong_id, silent}) {
        HostilePeer peer(a);
        Vxi11Transport t;
        const auto start = Clock::now();
        EXPECT_LT(t.open_on(::dup(peer.client_fd()), "inst0", "hostile", timeout_ms, first_xid),
                  VI_SUCCESS);
        EXPECT_LT(Clock::now() - start, bound);
        t.close(timeout_ms);
    }
}

TEST(Vxi11HostilePeer, MaxRecvSizeBelowTheLeastIsRefused) {
    for (uint32_t announced : {0u, 1u, 1023u}) {
        HostilePeer peer([announced](int, uint32_t xid, uint32_t proc) {
            // destroy_link is answered so that the refusal can be polite.
            return proc == proc_create_link ? link_reply(xid, announced)
                                            : record(accepted(xid, word(0)));
        });
        Vxi11Transport t;
        EXPECT_EQ(t.open_on(::dup(peer.client_fd()), "inst0", "small", 1000, first_xid),
                  VI_ERROR_IO)
            << announced;
    }
    HostilePeer peer(linked([](int, uint32_t, uint32_t) { return std::string(); }));
    Vxi11Transport t;
    ASSERT_EQ(t.open_on(::dup(peer.client_fd()), "inst0", "least", 1000, first_xid), VI_SUCCESS);
    EXPECT_EQ(t.max_piece(), 4096u);
}

TEST(Vxi11HostilePeer, ATimedOutReadLeavesUnlockNothingToWaitFor) {
    // The instrument answers the read only after our deadline: the late reply
    // must not be taken for the unlock's.
    HostilePeer peer(linked([](int, uint32_t xid, uint32_t proc) {
        if (proc == proc_read)
            std::this_thread::sleep_for(
                std::chrono::milliseconds(timeout_ms + Vxi11Transport::reply_margin_ms + 300));
        return record(accepted(xid, word(0) + word(4) + word(0)));
    }));
    Vxi11Transport t;
    ASSERT_EQ(t.open_on(::dup(peer.client_fd()), "inst0", "late", 1000, first_xid), VI_SUCCESS);
    EXPECT_EQ(timed_read(t).status, VI_ERROR_TMO);
    expect_given_up(t);
}

}  // namespace
}  // namespace visa::vxi11
