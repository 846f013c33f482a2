// The HiSLIP client's conversation against a scripted server on 127.0.0.1
// (ephemeral port): what it sends, and how it takes what comes back,
// including servers that break the protocol or go silent.
#include "visa/hislip/hislip_transport.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "visa/rsrc_name.h"

namespace visa::hislip {
namespace {

// Log lines are part of what is tested; the library reads the switch once.
const bool log_on = [] { return ::setenv("FW_VISA_LOG", "1", 1) == 0; }();

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Msg {
    Header h;
    std::string payload;
};

// A server that follows a script on its own thread. Blocking sockets with a
// receive time-out, so that a script waiting for something the client never
// sends fails instead of hanging.
class ScriptedServer {
public:
    ScriptedServer() {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        socklen_t len = sizeof addr;
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        ::listen(listen_fd_, 2);
    }
    ~ScriptedServer() {
        if (thread_.joinable()) thread_.join();
        for (int fd : {sync_, async_, listen_fd_})
            if (fd >= 0) ::close(fd);
    }

    std::string resource() const {
        return "TCPIP0::127.0.0.1::hislip0," + std::to_string(port_) + "::INSTR";
    }
    void run(std::function<void(ScriptedServer&)> script) {
        thread_ = std::thread([this, script] { script(*this); });
    }
    void join() { thread_.join(); }

    int accept() {
        int fd = ::accept(listen_fd_, nullptr, nullptr);
        timeval tv{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        return fd;
    }
    // Reads one message; a header with type 0xFF and the text "eof" when the
    // client closed or nothing came.
    static Msg receive(int fd) {
        uint8_t raw[header_size];
        Msg m;
        if (!read_all(fd, raw, header_size) || !decode_header(raw, &m.h)) {
            m.h.type = Type(0xFF);
            m.payload = "eof";
            return m;
        }
        m.payload.resize(size_t(m.h.length));
        if (!read_all(fd, m.payload.data(), m.payload.size())) m.h.type = Type(0xFF);
        return m;
    }
    static void send(int fd, Header h, const std::string& payload = {}) {
        send_raw(fd, encode(h, payload));
    }
    static void send_raw(int fd, const std::string& bytes) {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }

    // The server's half of opening a session. Returns the Initialize seen.
    Msg handshake(uint64_t max_message = 1u << 20, uint16_t version = version_1_1) {
        sync_ = accept();
        Msg init = receive(sync_);
        send(sync_, Header{Type::initialize_response, 0, initialize_response_param(version, 7), 0});
        async_ = accept();
        async_init = receive(async_);
        send(async_, Header{Type::async_initialize_response, 0, server_vendor_id, 0});
        max_size = receive(async_);
        send(async_, Header{Type::async_maximum_message_size_response, 0, 0, 0},
             encode_size(max_message));
        return init;
    }

    int sync_ = -1;
    int async_ = -1;
    Msg async_init, max_size;

private:
    static bool read_all(int fd, void* buf, size_t n) {
        auto p = static_cast<char*>(buf);
        for (size_t got = 0; got < n;) {
            ssize_t r = ::recv(fd, p + got, n - got, 0);
            if (r <= 0) return false;
            got += size_t(r);
        }
        return true;
    }

    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

class HislipTransportTest : public ::testing::Test {
protected:
    ViStatus open(uint32_t timeout_ms = 2000) {
        auto name = parse_rsrc_name(server.resource());
        return t.open(*name, timeout_ms);
    }
    ViStatus write(const std::string& s, bool end = true) {
        size_t n = 0;
        return t.write(reinterpret_cast<const ViByte*>(s.data()), s.size(), end, 2000, &n);
    }
    std::string read(ViStatus* st, ReadStop* why, uint32_t timeout_ms = 2000, size_t count = 100,
                     bool term = false) {
        std::string buf(count, '\0');
        size_t got = 0;
        ReadOptions o;
        o.timeout_ms = timeout_ms;
        o.term_char_enabled = term;
        *st = t.read(reinterpret_cast<ViByte*>(buf.data()), count, o, &got, why);
        buf.resize(got);
        return buf;
    }

    ScriptedServer server;
    HislipTransport t;
};

TEST_F(HislipTransportTest, OpensBothChannelsAndSplitsWritesAtTheServersSize) {
    std::vector<Msg> seen;
    Msg init;
    server.run([&](ScriptedServer& s) {
        init = s.handshake(header_size + 10, version_1_0);
        for (int i = 0; i < 7; ++i)
            seen.push_back(ScriptedServer::receive(s.sync_));
    });
    ASSERT_EQ(open(), VI_SUCCESS);
    EXPECT_EQ(write("0123456789abcdefghijKLMNO"), VI_SUCCESS);
    // Every write is on the wire when it returns, END only where it was asked
    // for; a write of nothing without END sends nothing.
    EXPECT_EQ(write("no end", false), VI_SUCCESS);
    EXPECT_EQ(write("", true), VI_SUCCESS);
    EXPECT_EQ(write("", false), VI_SUCCESS);
    EXPECT_EQ(write("abcdefgh", false), VI_SUCCESS);
    EXPECT_EQ(write("ijklmn", false), VI_SUCCESS);
    EXPECT_EQ(t.close(100), VI_SUCCESS);
    server.join();

    EXPECT_EQ(init.h.type, Type::initialize);
    EXPECT_EQ(init.h.param, 0x01014657u) << "version 1.1, vendor FW";
    EXPECT_EQ(init.payload, "hislip0");
    EXPECT_EQ(server.async_init.h.type, Type::async_initialize);
    EXPECT_EQ(server.async_init.h.param, 7u) << "the session id";
    EXPECT_EQ(server.max_size.payload, encode_size(1u << 20));
    EXPECT_EQ(t.version(), version_1_0) << "the lower version";
    EXPECT_EQ(t.max_payload(), 10u);

    const std::pair<Type, std::string> expected[] = {
        {Type::data, "0123456789"}, {Type::data, "abcdefghij"}, {Type::data_end, "KLMNO"},
        {Type::data, "no end"},     {Type::data_end, ""},       {Type::data, "abcdefgh"},
        {Type::data, "ijklmn"}};
    uint32_t id = first_message_id;
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(seen[i].h.type, expected[i].first);
        EXPECT_EQ(seen[i].payload, expected[i].second);
        EXPECT_EQ(seen[i].h.param, id);
        id = next_message_id(id);
    }
}

TEST_F(HislipTransportTest, ReadsTakeTheCurrentAnswerAndDropStaleOnes) {
    Msg after;
    server.run([&](ScriptedServer& s) {
        s.handshake();
        Msg q1 = ScriptedServer::receive(s.sync_);
        Msg q2 = ScriptedServer::receive(s.sync_);
        // The answer to the first query, given up on, arrives late; then a
        // notice, then the current answer in two messages.
        ScriptedServer::send(s.sync_, Header{Type::data_end, 0, q1.h.param, 0}, "old\n");
        ScriptedServer::send(s.sync_, Header{Type::interrupted, 0, q2.h.param, 0});
        ScriptedServer::send(s.sync_, Header{Type::data, 0, q2.h.param, 0}, "new,");
        ScriptedServer::send(s.sync_, Header{Type::data_end, 0, q2.h.param, 0}, "answer\nX");
        after = ScriptedServer::receive(s.sync_);
    });
    ASSERT_EQ(open(), VI_SUCCESS);
    ASSERT_EQ(write("Q1?\n"), VI_SUCCESS);
    ASSERT_EQ(write("Q2?\n"), VI_SUCCESS);
    ViStatus st;
    ReadStop why;
    EXPECT_EQ(read(&st, &why, 2000, 100, true), "new,answer\n");
    EXPECT_EQ(st, VI_SUCCESS);
    EXPECT_EQ(why, ReadStop::term_char);
    EXPECT_EQ(read(&st, &why), "X");
    EXPECT_EQ(why, ReadStop::end);
    ASSERT_EQ(write("next\n"), VI_SUCCESS);
    server.join();
    EXPECT_EQ(after.h.control & rmt_delivered, rmt_delivered)
        << "the next message says a whole answer was delivered";
}

TEST_F(HislipTransportTest, ServerErrorsBecomeStatusesAndLogLines) {
    server.run([&](ScriptedServer& s) {
        s.handshake();
        ScriptedServer::receive(s.sync_);
        ScriptedServer::send(s.sync_, Header{Type::error, 4, 0, 0}, "message too long");
        ScriptedServer::receive(s.sync_);
        ScriptedServer::send(s.sync_, Header{Type::fatal_error, 0x81, 0, 0}, "overheated\x01");
    });
    ASSERT_EQ(open(), VI_SUCCESS);
    ViStatus st;
    ReadStop why;
    testing::internal::CaptureStderr();
    ASSERT_EQ(write("Q?\n"), VI_SUCCESS);
    read(&st, &why);
    EXPECT_EQ(st, VI_ERROR_IO);
    ASSERT_EQ(write("Q?\n"), VI_SUCCESS);
    read(&st, &why);
    EXPECT_EQ(st, VI_ERROR_IO);
    server.join();
    EXPECT_EQ(write("Q?\n"), VI_ERROR_CONN_LOST) << "a fatal error ends the session";
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("server reported error 4 (message too large) on the data channel: "
                       "message too long"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("server ended the session with fatal error 129 (device-defined error) on "
                       "the data channel: overheated?"),
              std::string::npos)
        << log;
}

TEST_F(HislipTransportTest, GarbageAndSilenceCostAtMostTheTimeOut) {
    // A header that is no header.
    server.run([&](ScriptedServer& s) {
        s.handshake();
        ScriptedServer::receive(s.sync_);
        ScriptedServer::send_raw(s.sync_, "HTTP/1.1 400 Bad Request\r\n\r\n");
        Msg told = ScriptedServer::receive(s.sync_);
        EXPECT_EQ(told.h.type, Type::fatal_error);
        EXPECT_EQ(told.h.control, uint8_t(FatalCode::bad_header));
    });
    ASSERT_EQ(open(), VI_SUCCESS);
    ASSERT_EQ(write("Q?\n"), VI_SUCCESS);
    ViStatus st;
    ReadStop why;
    testing::internal::CaptureStderr();
    read(&st, &why);
    EXPECT_EQ(st, VI_ERROR_IO);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "malformed message header on the data channel; session ended"),
              std::string::npos);
    server.join();
    EXPECT_EQ(t.close(100), VI_SUCCESS);
}

TEST_F(HislipTransportTest, HugeLengthsAndStallsEndInTimeOuts) {
    server.run([&](ScriptedServer& s) {
        s.handshake();
        ScriptedServer::receive(s.sync_);
        // A notice claiming 2^63 bytes, then silence.
        ScriptedServer::send_raw(s.sync_, std::string("HS\x0D\x00\x00\x00\x00\x00\x80", 9) +
                                              std::string(7, '\0') + "xyz");
        ScriptedServer::receive(s.sync_);  // until the client closes
    });
    ASSERT_EQ(open(), VI_SUCCESS);
    ASSERT_EQ(write("Q?\n"), VI_SUCCESS);
    ViStatus st;
    ReadStop why;
    const auto start = Clock::now();
    read(&st, &why, 300);
    EXPECT_EQ(st, VI_ERROR_TMO);
    EXPECT_LT(Clock::now() - start, milliseconds(1500));
    EXPECT_EQ(t.close(100), VI_SUCCESS);
    server.join();
}

TEST_F(HislipTransportTest, FloodOfDroppedMessagesCostsAtMostTheTimeOut) {
    std::atomic<bool> stop{false};
    server.run([&](ScriptedServer& s) {
        s.handshake();
        Msg q = ScriptedServer::receive(s.sync_);
        // Messages a client drops, sent without pause: a stale answer, an
        // empty Data of the current query, a vendor-specific type.
        std::string batch;
        for (int i = 0; i < 500; ++i) {
            batch += encode(Header{Type::data_end, 0, q.h.param - 2, 0}, "old\n");
            batch += encode(Header{Type::data, 0, q.h.param, 0}, "");
            batch += encode(Header{Type(200), 0, 0, 0}, "vendor");
        }
        const auto bound = Clock::now() + std::chrono::seconds(6);
        while (!stop && Clock::now() < bound)
            if (::send(s.sync_, batch.data(), batch.size(), MSG_NOSIGNAL) < 0) break;
    });
    ASSERT_EQ(open(), VI_SUCCESS);
    ASSERT_EQ(write("Q?\n"), VI_SUCCESS);
    ViStatus st;
    ReadStop why;
    testing::internal::CaptureStderr();
    const auto start = Clock::now();
    EXPECT_EQ(read(&st, &why, 1000), "");
    const auto took = Clock::now() - start;
    stop = true;
    EXPECT_EQ(st, VI_ERROR_TMO);
    EXPECT_LT(took, milliseconds(1000 + 500));
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("more messages dropped on the data channel"), std::string::npos);
    EXPECT_LT(log.size(), 4096u) << "a flood is logged in a few lines";
    t.close(0);
    server.join();
}

TEST_F(HislipTransportTest, SilentServerTimesOutTheOpen) {
    server.run([&](ScriptedServer& s) {
        s.sync_ = s.accept();
        ScriptedServer::receive(s.sync_);  // Initialize, never answered
    });
    const auto start = Clock::now();
    EXPECT_EQ(open(300), VI_ERROR_TMO);
    EXPECT_LT(Clock::now() - start, milliseconds(1500));
    t.close(0);
    server.join();
}

TEST_F(HislipTransportTest, UnansweredControlRequestEndsTheSession) {
    server.run([&](ScriptedServer& s) {
        s.handshake();
        ScriptedServer::receive(s.async_);  // AsyncLock, answered too late
        ScriptedServer::receive(s.async_);  // until the client gives up
        ScriptedServer::send(s.async_, Header{Type::async_lock_response, lock_granted, 0, 0});
    });
    ASSERT_EQ(open(), VI_SUCCESS);
    const auto start = Clock::now();
    EXPECT_EQ(t.lock(200), VI_ERROR_TMO);
    EXPECT_LT(Clock::now() - start, milliseconds(200 + 500)) << "within the documented margin";
    // The late grant must not answer a later request.
    EXPECT_EQ(t.lock(0), VI_ERROR_CONN_LOST);
    t.close(0);
    server.join();
}

TEST_F(HislipTransportTest, TooManyClientsIsBusy) {
    server.run([&](ScriptedServer& s) {
        s.sync_ = s.accept();
        ScriptedServer::receive(s.sync_);
        ScriptedServer::send(s.sync_, Header{Type::fatal_error, 4, 0, 0}, "full");
    });
    EXPECT_EQ(open(), VI_ERROR_RSRC_BUSY);
    t.close(0);
    server.join();
}

TEST_F(HislipTransportTest, LockRequestsReleasesAndRefusals) {
    std::vector<Msg> seen;
    server.run([&](ScriptedServer& s) {
        s.handshake();
        auto answer = [&](uint8_t control) {
            seen.push_back(ScriptedServer::receive(s.async_));
            ScriptedServer::send(s.async_, Header{Type::async_lock_response, control, 0, 0});
        };
        answer(lock_failed);
        seen.push_back(ScriptedServer::receive(s.async_));  // AsyncLockInfo
        ScriptedServer::send(s.async_, Header{Type::async_lock_info_response, 1, 1, 0});
        answer(lock_granted);
        ScriptedServer::receive(s.sync_);
        answer(lock_granted);  // the release
        answer(lock_error);    // a release with nothing held
    });
    ASSERT_EQ(open(), VI_SUCCESS);
    testing::internal::CaptureStderr();
    EXPECT_EQ(t.lock(0), VI_ERROR_TMO);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "the instrument is locked by another client (held exclusively)"),
              std::string::npos);
    EXPECT_EQ(t.lock(5000), VI_SUCCESS);
    ASSERT_EQ(write("CMD\n"), VI_SUCCESS);
    EXPECT_EQ(t.unlock(2000), VI_SUCCESS);
    EXPECT_EQ(t.unlock(2000), VI_ERROR_SESN_NLOCKED);
    server.join();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[0].h.type, Type::async_lock);
    EXPECT_EQ(seen[0].h.control, lock_request);
    EXPECT_EQ(seen[0].h.param, 0u);
    EXPECT_EQ(seen[0].payload, "") << "exclusive";
    EXPECT_EQ(seen[1].h.type, Type::async_lock_info);
    EXPECT_EQ(seen[2].h.param, 5000u);
    EXPECT_EQ(seen[3].h.control, 0) << "release";
    EXPECT_EQ(seen[3].h.param, first_message_id) << "after the last message sent";
}

TEST_F(HislipTransportTest, DeviceClearDropsOldDataAndStartsIdsAgain) {
    std::vector<Msg> seen;
    server.run([&](ScriptedServer& s) {
        s.handshake();
        ScriptedServer::receive(s.sync_);
        ScriptedServer::receive(s.sync_);
        seen.push_back(ScriptedServer::receive(s.async_));
        ScriptedServer::send(s.async_, Header{Type::async_device_clear_acknowledge, 0, 0, 0});
        // An answer already under way when the clear came.
        ScriptedServer::send(s.sync_, Header{Type::data_end, 0, first_message_id + 2, 0}, "late");
        seen.push_back(ScriptedServer::receive(s.sync_));
        ScriptedServer::send(s.sync_, Header{Type::device_clear_acknowledge, 0, 0, 0});
        seen.push_back(ScriptedServer::receive(s.sync_));
        ScriptedServer::send(s.sync_, Header{Type::data_end, 0, first_message_id, 0}, "fresh");
        seen.push_back(ScriptedServer::receive(s.async_));
        ScriptedServer::send(s.async_, Header{Type::async_status_response, 0x10, 0, 0});
    });
    ASSERT_EQ(open(), VI_SUCCESS);
    ASSERT_EQ(write("A\n"), VI_SUCCESS);
    ASSERT_EQ(write("Q?\n"), VI_SUCCESS);
    EXPECT_EQ(t.clear(2000), VI_SUCCESS);
    ASSERT_EQ(write("Q?\n"), VI_SUCCESS);
    ViStatus st;
    ReadStop why;
    EXPECT_EQ(read(&st, &why), "fresh");
    ViUInt16 stb = 0;
    EXPECT_EQ(t.read_stb(2000, &stb), VI_SUCCESS);
    EXPECT_EQ(stb, 0x10);
    server.join();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].h.type, Type::async_device_clear);
    EXPECT_EQ(seen[1].h.type, Type::device_clear_complete);
    EXPECT_EQ(seen[2].h.param, first_message_id) << "ids start again after a clear";
    EXPECT_EQ(seen[3].h.type, Type::async_status_query);
    EXPECT_EQ(seen[3].h.control, rmt_delivered);
    EXPECT_EQ(seen[3].h.param, first_message_id);
}

}  // namespace
}  // namespace visa::hislip
