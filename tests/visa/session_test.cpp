#include "visa/session.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "visa/lock_table.h"
#include "visa/socket/socket_transport.h"

namespace visa {
namespace {

// A transport that answers reads from a script and records writes and lock
// calls.
class FakeTransport final : public Transport {
public:
    struct Reply {
        std::string bytes;
        ReadStop why;
        ViStatus status = VI_SUCCESS;
    };
    struct Log {
        std::vector<std::pair<std::string, bool>> writes;  // bytes, END
        std::vector<ReadOptions> reads;
        std::deque<Reply> replies;
        std::vector<std::string> calls;
        ViStatus lock_status = VI_SUCCESS;
        ViStatus unlock_status = VI_SUCCESS;
        ViStatus close_status = VI_SUCCESS;
    };

    explicit FakeTransport(Log& log) : log_(log) {}
    ViStatus open(const RsrcName&, uint32_t) override { return VI_SUCCESS; }
    ViStatus write(const ViByte* data, size_t count, bool end, uint32_t, size_t* written) override {
        log_.writes.emplace_back(std::string(reinterpret_cast<const char*>(data), count), end);
        *written = count;
        return VI_SUCCESS;
    }
    ViStatus read(ViByte* buf, size_t count, const ReadOptions& opts, size_t* got,
                  ReadStop* why) override {
        log_.reads.push_back(opts);
        if (log_.replies.empty()) {
            *got = 0;
            return VI_ERROR_TMO;
        }
        Reply r = log_.replies.front();
        log_.replies.pop_front();
        size_t n = std::min(count, r.bytes.size());
        std::memcpy(buf, r.bytes.data(), n);
        *got = n;
        *why = n < r.bytes.size() ? ReadStop::count : r.why;
        return r.status;
    }
    ViStatus lock(uint32_t timeout) override {
        log_.calls.push_back("lock " + std::to_string(timeout));
        return log_.lock_status;
    }
    ViStatus unlock(uint32_t) override {
        log_.calls.push_back("unlock");
        return log_.unlock_status;
    }
    ViStatus close(uint32_t) override {
        log_.calls.push_back("close");
        return log_.close_status;
    }

private:
    Log& log_;
};

class SessionTest : public ::testing::Test {
protected:
    std::unique_ptr<Session> make(const char* rsrc, ViSession id, FakeTransport::Log& log) {
        auto s = std::make_unique<Session>(id, *parse_rsrc_name(rsrc),
                                           std::make_unique<FakeTransport>(log), locks_);
        EXPECT_EQ(s->open(1000), VI_SUCCESS);
        return s;
    }

    LockTable locks_{""};  // this process only
    FakeTransport::Log log_;
};

TEST_F(SessionTest, AttributeDefaultsAndExactSizes) {
    auto s = make("TCPIP0::127.0.0.2::INSTR", 1, log_);
    auto sock = make("TCPIP3::127.0.0.2::5025::SOCKET", 2, log_);

    // Every getter writes exactly its size: surround the slot with guards.
    auto get = [](Session& session, ViAttr attr, size_t size) {
        unsigned char buf[16];
        std::memset(buf, 0xEE, sizeof buf);
        EXPECT_EQ(session.get_attribute(attr, buf + 4), VI_SUCCESS) << std::hex << attr;
        EXPECT_EQ(buf[3], 0xEE);
        EXPECT_EQ(buf[4 + size], 0xEE) << std::hex << attr;
        uint64_t v = 0;
        std::memcpy(&v, buf + 4, size);
        return v;
    };
    EXPECT_EQ(get(*s, VI_ATTR_TMO_VALUE, 4), 2000u);
    EXPECT_EQ(get(*s, VI_ATTR_INTF_TYPE, 2), uint64_t(VI_INTF_TCPIP));
    EXPECT_EQ(get(*s, VI_ATTR_INTF_NUM, 2), 0u);
    EXPECT_EQ(get(*s, VI_ATTR_TERMCHAR, 1), 0x0Au);
    EXPECT_EQ(get(*s, VI_ATTR_TERMCHAR_EN, 2), uint64_t(VI_FALSE));
    EXPECT_EQ(get(*s, VI_ATTR_SEND_END_EN, 2), uint64_t(VI_TRUE));
    EXPECT_EQ(get(*s, VI_ATTR_SUPPRESS_END_EN, 2), uint64_t(VI_FALSE));
    EXPECT_EQ(get(*s, VI_ATTR_RSRC_LOCK_STATE, 4), uint64_t(VI_NO_LOCK));
    EXPECT_EQ(get(*sock, VI_ATTR_SUPPRESS_END_EN, 2), uint64_t(VI_TRUE));
    EXPECT_EQ(get(*sock, VI_ATTR_TCPIP_PORT, 2), 5025u);
    EXPECT_EQ(get(*sock, VI_ATTR_INTF_NUM, 2), 3u);

    char text[256];
    ASSERT_EQ(s->get_attribute(VI_ATTR_RSRC_NAME, text), VI_SUCCESS);
    EXPECT_STREQ(text, "TCPIP0::127.0.0.2::inst0::INSTR");
    ASSERT_EQ(sock->get_attribute(VI_ATTR_RSRC_CLASS, text), VI_SUCCESS);
    EXPECT_STREQ(text, "SOCKET");
    ASSERT_EQ(s->get_attribute(VI_ATTR_TCPIP_DEVICE_NAME, text), VI_SUCCESS);
    EXPECT_STREQ(text, "inst0");
    ASSERT_EQ(s->get_attribute(VI_ATTR_TCPIP_ADDR, text), VI_SUCCESS);
    EXPECT_STREQ(text, "127.0.0.2");
    EXPECT_EQ(s->get_attribute(VI_ATTR_TCPIP_PORT, text), VI_ERROR_NSUP_ATTR);
    EXPECT_EQ(s->get_attribute(VI_ATTR_MANF_ID, text), VI_ERROR_NSUP_ATTR);
}

TEST_F(SessionTest, SetAttributeChecksValues) {
    auto s = make("TCPIP0::127.0.0.2::INSTR", 1, log_);
    EXPECT_EQ(s->set_attribute(VI_ATTR_TMO_VALUE, VI_TMO_INFINITE), VI_SUCCESS);
    EXPECT_EQ(s->set_attribute(VI_ATTR_TMO_VALUE, 0x1FFFFFFFFull), VI_ERROR_NSUP_ATTR_STATE);
    EXPECT_EQ(s->set_attribute(VI_ATTR_TERMCHAR, 0x100), VI_ERROR_NSUP_ATTR_STATE);
    EXPECT_EQ(s->set_attribute(VI_ATTR_TERMCHAR_EN, 2), VI_ERROR_NSUP_ATTR_STATE);
    EXPECT_EQ(s->set_attribute(VI_ATTR_INTF_TYPE, 1), VI_ERROR_ATTR_READONLY);
    EXPECT_EQ(s->set_attribute(VI_ATTR_RSRC_NAME, 0), VI_ERROR_ATTR_READONLY);
    EXPECT_EQ(s->set_attribute(0x3FFF0999u, 0), VI_ERROR_NSUP_ATTR);
    ViUInt32 tmo = 0;
    s->get_attribute(VI_ATTR_TMO_VALUE, &tmo);
    EXPECT_EQ(tmo, VI_TMO_INFINITE);
}

TEST_F(SessionTest, WriteSendsEndOnlyWhenEnabled) {
    auto s = make("TCPIP0::127.0.0.2::INSTR", 1, log_);
    ViUInt32 n = 0;
    EXPECT_EQ(s->write(reinterpret_cast<const ViByte*>("ABC"), 3, &n), VI_SUCCESS);
    EXPECT_EQ(n, 3u);
    s->set_attribute(VI_ATTR_SEND_END_EN, VI_FALSE);
    s->write(reinterpret_cast<const ViByte*>("DE"), 2, &n);
    s->set_attribute(VI_ATTR_SEND_END_EN, VI_TRUE);
    s->write(reinterpret_cast<const ViByte*>("\n"), 1, nullptr);
    ASSERT_EQ(log_.writes.size(), 3u);
    EXPECT_TRUE(log_.writes[0].second);
    EXPECT_FALSE(log_.writes[1].second);
    EXPECT_TRUE(log_.writes[2].second);
}

TEST_F(SessionTest, ReadCompletionCodes) {
    auto s = make("TCPIP0::127.0.0.2::INSTR", 1, log_);
    ViByte buf[64];
    ViUInt32 n = 0;

    log_.replies = {{"ID\n", ReadStop::end}};
    EXPECT_EQ(s->read(buf, sizeof buf, &n), VI_SUCCESS);
    EXPECT_EQ(n, 3u);

    log_.replies = {{"ABCDEFGH", ReadStop::end}};
    EXPECT_EQ(s->read(buf, 4, &n), VI_SUCCESS_MAX_CNT);
    EXPECT_EQ(n, 4u);

    s->set_attribute(VI_ATTR_TERMCHAR_EN, VI_TRUE);
    log_.replies = {{"X\n", ReadStop::term_char}};
    EXPECT_EQ(s->read(buf, sizeof buf, &n), VI_SUCCESS_TERM_CHAR);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(buf[1], '\n');  // the termination character is kept
    EXPECT_TRUE(log_.reads.back().term_char_enabled);
    EXPECT_EQ(log_.reads.back().term_char, '\n');

    // Time-out keeps the partial count.
    log_.replies = {{"PART", ReadStop::count, VI_ERROR_TMO}};
    EXPECT_EQ(s->read(buf, sizeof buf, &n), VI_ERROR_TMO);
    EXPECT_EQ(n, 4u);

    log_.replies = {{"", ReadStop::end, VI_ERROR_CONN_LOST}};
    EXPECT_EQ(s->read(buf, sizeof buf, &n), VI_ERROR_CONN_LOST);
}

TEST_F(SessionTest, SuppressedEndKeepsReading) {
    auto s = make("TCPIP0::127.0.0.2::INSTR", 1, log_);
    s->set_attribute(VI_ATTR_SUPPRESS_END_EN, VI_TRUE);
    ViByte buf[8];
    ViUInt32 n = 0;
    log_.replies = {{"AB", ReadStop::end}, {"CD", ReadStop::end}, {"EFGH", ReadStop::end}};
    EXPECT_EQ(s->read(buf, 6, &n), VI_SUCCESS_MAX_CNT);
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 6), "ABCDEF");
}

TEST_F(SessionTest, ExclusiveLockKeepsOtherSessionsOut) {
    FakeTransport::Log other_log;
    auto a = make("TCPIP0::127.0.0.2::INSTR", 1, log_);
    auto b = make("tcpip::127.0.0.2::inst0::instr", 2, other_log);  // same instrument

    EXPECT_EQ(a->lock(VI_EXCLUSIVE_LOCK, 0, nullptr, nullptr), VI_SUCCESS);
    EXPECT_EQ(log_.calls, std::vector<std::string>{"lock 0"});
    EXPECT_EQ(b->lock(VI_EXCLUSIVE_LOCK, 0, nullptr, nullptr), VI_ERROR_TMO);
    EXPECT_EQ(b->lock(VI_SHARED_LOCK, 0, nullptr, nullptr), VI_ERROR_TMO);
    EXPECT_TRUE(other_log.calls.empty());  // refused before the wire
    ViByte buf[4];
    ViUInt32 n;
    EXPECT_EQ(b->write(buf, 1, &n), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(b->read(buf, 1, &n), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(a->write(buf, 1, &n), VI_SUCCESS);

    EXPECT_EQ(a->lock(VI_EXCLUSIVE_LOCK, 0, nullptr, nullptr), VI_SUCCESS_NESTED_EXCLUSIVE);
    EXPECT_EQ(a->unlock(), VI_SUCCESS_NESTED_EXCLUSIVE);
    EXPECT_EQ(a->unlock(), VI_SUCCESS);
    EXPECT_EQ(log_.calls.back(), "unlock");
    EXPECT_EQ(a->unlock(), VI_ERROR_SESN_NLOCKED);
    EXPECT_EQ(b->lock(VI_EXCLUSIVE_LOCK, 0, nullptr, nullptr), VI_SUCCESS);
    // Closing the holder frees the resource.
    b->close();
    EXPECT_EQ(a->lock(VI_EXCLUSIVE_LOCK, 0, nullptr, nullptr), VI_SUCCESS);
}

// Names that differ only in board, host spelling or transport reach one
// instrument and meet one lock.
TEST_F(SessionTest, OtherNamesOfTheInstrumentAreLockedToo) {
    auto a = make("TCPIP0::127.0.0.2::5025::SOCKET", 1, log_);
    ASSERT_EQ(a->lock(VI_EXCLUSIVE_LOCK, 0, nullptr, nullptr), VI_SUCCESS);
    int id = 2;
    for (const char* other : {"TCPIP1::127.0.0.2::5025::SOCKET", "TCPIP0::127.0.0.2::inst0::INSTR",
                              "TCPIP2::127.0.0.2::hislip0::INSTR"}) {
        FakeTransport::Log other_log;
        auto b = make(other, id++, other_log);
        EXPECT_EQ(b->lock(VI_EXCLUSIVE_LOCK, 0, nullptr, nullptr), VI_ERROR_TMO) << other;
        ViByte buf[1] = {'x'};
        ViUInt32 n;
        EXPECT_EQ(b->write(buf, 1, &n), VI_ERROR_RSRC_LOCKED) << other;
    }
    FakeTransport::Log elsewhere_log;
    auto c = make("TCPIP0::127.0.0.3::5025::SOCKET", 9, elsewhere_log);
    EXPECT_EQ(c->lock(VI_EXCLUSIVE_LOCK, 0, nullptr, nullptr), VI_SUCCESS);
}

// What the transport could not do is what unlock and close say, after
// releasing everything of ours all the same.
TEST_F(SessionTest, UnlockAndCloseReportTheTransport) {
    FakeTransport::Log other_log;
    auto a = make("TCPIP0::127.0.0.2::INSTR", 1, log_);
    auto b = make("TCPIP0::127.0.0.2::INSTR", 2, other_log);
    ASSERT_EQ(a->lock(VI_EXCLUSIVE_LOCK, 0, nullptr, nullptr), VI_SUCCESS);
    log_.unlock_status = VI_ERROR_CONN_LOST;
    log_.close_status = VI_ERROR_CONN_LOST;
    EXPECT_EQ(a->unlock(), VI_ERROR_CONN_LOST);
    EXPECT_EQ(b->lock(VI_EXCLUSIVE_LOCK, 0, nullptr, nullptr), VI_SUCCESS);  // ours is free
    EXPECT_EQ(a->close(), VI_ERROR_CLOSING_FAILED);
    EXPECT_EQ(a->close(), VI_ERROR_INV_OBJECT);
}

TEST_F(SessionTest, SharedLocksNeedTheSameKey) {
    FakeTransport::Log lb, lc;
    auto a = make("TCPIP0::127.0.0.2::INSTR", 1, log_);
    auto b = make("TCPIP0::127.0.0.2::INSTR", 2, lb);
    auto c = make("TCPIP0::127.0.0.2::INSTR", 3, lc);
    char key[256] = "";
    EXPECT_EQ(a->lock(VI_SHARED_LOCK, 0, nullptr, key), VI_SUCCESS);
    EXPECT_STRNE(key, "");  // generated
    char key_b[256] = "";
    EXPECT_EQ(b->lock(VI_SHARED_LOCK, 0, key, key_b), VI_SUCCESS);
    EXPECT_STREQ(key_b, key);
    EXPECT_EQ(c->lock(VI_SHARED_LOCK, 0, "other", nullptr), VI_ERROR_TMO);
    EXPECT_EQ(c->lock(VI_EXCLUSIVE_LOCK, 0, nullptr, nullptr), VI_ERROR_TMO);
    ViByte buf[1] = {0};
    ViUInt32 n;
    EXPECT_EQ(b->write(buf, 1, &n), VI_SUCCESS);
    EXPECT_EQ(c->write(buf, 1, &n), VI_ERROR_RSRC_LOCKED);
    EXPECT_EQ(a->lock(VI_SHARED_LOCK, 0, nullptr, nullptr), VI_SUCCESS_NESTED_SHARED);
    EXPECT_EQ(a->lock(VI_SHARED_LOCK, 0, "other", nullptr), VI_ERROR_INV_ACCESS_KEY);
    EXPECT_EQ(a->lock(VI_SHARED_LOCK, 0, "", nullptr), VI_ERROR_INV_ACCESS_KEY);
    EXPECT_EQ(a->lock(7, 0, nullptr, nullptr), VI_ERROR_INV_LOCK_TYPE);
    EXPECT_TRUE(log_.calls.empty());  // shared locks stay on this machine
}

TEST_F(SessionTest, RefusedInstrumentLockRollsBack) {
    FakeTransport::Log lb;
    auto a = make("TCPIP0::127.0.0.2::INSTR", 1, log_);
    auto b = make("TCPIP0::127.0.0.2::INSTR", 2, lb);
    log_.lock_status = VI_ERROR_TMO;  // another client of the instrument holds it
    EXPECT_EQ(a->lock(VI_EXCLUSIVE_LOCK, 0, nullptr, nullptr), VI_ERROR_TMO);
    EXPECT_EQ(b->lock(VI_EXCLUSIVE_LOCK, 0, nullptr, nullptr), VI_SUCCESS);
}

TEST_F(SessionTest, LockWaitsForRelease) {
    FakeTransport::Log lb;
    auto a = make("TCPIP0::127.0.0.2::INSTR", 1, log_);
    auto b = make("TCPIP0::127.0.0.2::INSTR", 2, lb);
    ASSERT_EQ(a->lock(VI_EXCLUSIVE_LOCK, 0, nullptr, nullptr), VI_SUCCESS);
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        a->unlock();
    });
    EXPECT_EQ(b->lock(VI_EXCLUSIVE_LOCK, 5000, nullptr, nullptr), VI_SUCCESS);
    releaser.join();
}

TEST_F(SessionTest, ClosedSessionRefusesEverything) {
    auto s = make("TCPIP0::127.0.0.2::INSTR", 1, log_);
    EXPECT_EQ(s->close(), VI_SUCCESS);
    EXPECT_EQ(log_.calls, std::vector<std::string>{"close"});
    ViByte buf[1];
    EXPECT_EQ(s->read(buf, 1, nullptr), VI_ERROR_INV_OBJECT);
    EXPECT_EQ(s->close(), VI_ERROR_INV_OBJECT);
}

// Four reads queued on a silent instrument would hold a close for all their
// time-outs; instead they end at once, with errors, and so does the close.
TEST(SessionClose, QueuedCallsEndAndCloseReturnsAtOnce) {
    const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&addr), &len);
    ::listen(silent, 1);  // connections complete in the backlog; nothing answers
    LockTable locks{""};
    Session s(
        1,
        *parse_rsrc_name("TCPIP0::127.0.0.1::" + std::to_string(ntohs(addr.sin_port)) + "::SOCKET"),
        std::make_unique<socket::SocketTransport>(), locks);
    ASSERT_EQ(s.open(1000), VI_SUCCESS);
    ASSERT_EQ(s.set_attribute(VI_ATTR_TMO_VALUE, 2000), VI_SUCCESS);

    using Clock = std::chrono::steady_clock;
    std::vector<ViStatus> statuses(4, VI_SUCCESS);
    std::vector<Clock::time_point> ended(4);
    std::vector<std::thread> readers;
    for (size_t i = 0; i < statuses.size(); ++i)
        readers.emplace_back([&, i] {
            ViByte buf[16];
            statuses[i] = s.read(buf, sizeof buf, nullptr);
            ended[i] = Clock::now();
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // all four queued
    const auto start = Clock::now();
    EXPECT_EQ(s.close(), VI_SUCCESS);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    for (auto& r : readers)
        r.join();
    // The read in progress lost its connection; the three waiting found the
    // session closing.
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), VI_ERROR_CONN_LOST), 1);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), VI_ERROR_INV_OBJECT), 3);
    for (const auto& t : ended)
        EXPECT_LT(t - start, std::chrono::milliseconds(500));
    ::close(silent);
}

}  // namespace
}  // namespace visa
