#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accept.h"
#include "instrument.h"
#include "scpi_framing.h"
#include "visa/hislip/message.h"

namespace sim {

using Clock = std::chrono::steady_clock;

struct HislipSettings {
    std::string address;
    std::uint16_t port = visa::hislip::default_port;  // 0: ephemeral
    std::size_t max_sessions = 8;
    // Largest message taken on the data channel, header included; announced
    // in AsyncMaximumMessageSizeResponse.
    std::uint64_t max_message = (1u << 20) + visa::hislip::header_size;
    std::chrono::milliseconds idle_timeout{600000};
    // Upper bound on a lock wait a client asks for.
    std::chrono::milliseconds max_wait{600000};
    std::optional<std::uint64_t> drop_in_block;
    bool verbose = false;
};

// The instrument's HiSLIP server: a listener, sessions of two connections
// each (data and control), and the instrument's lock as HiSLIP clients see
// it. Its sockets sit in an epoll set of its own, so that the owner's event
// loop, whatever it waits with, watches one descriptor (wait_fd()) and calls
// serve() on every turn, saying whether that descriptor was ready. Every
// connection has bounded buffers; a misbehaving client loses its session
// (with a FatalError where the protocol has one), never the process.
//
// The server runs in synchronized mode: one query at a time, answers stamped
// with the id of the message that ended the query, and an answer not yet
// sent is dropped (Interrupted) when the next message arrives.
class HislipServer {
public:
    using Transcript = std::function<void(std::string_view line)>;

    HislipServer(HislipSettings settings, Instrument& instrument, Transcript transcript);
    ~HislipServer();
    HislipServer(const HislipServer&) = delete;
    HislipServer& operator=(const HislipServer&) = delete;

    // Binds the listener (the same port again after a reboot once bound).
    bool open(std::string& error);
    // Readable whenever one of our sockets needs attention.
    int wait_fd() const { return epoll_; }
    void close_listener();
    std::uint16_t port() const { return port_; }

    // Another client holds the lock until `until` (for ever if empty).
    void hold_lock(std::optional<Clock::time_point> until);
    // The instrument has one lock for every protocol: `held_elsewhere` tells
    // whether a client of another one (VXI-11) holds it now.
    void share_lock(std::function<bool()> held_elsewhere) {
        held_elsewhere_ = std::move(held_elsewhere);
    }
    // True while one of our sessions holds the lock.
    bool holds_lock() const { return exclusive_.has_value() || shared_held(); }

    // Works through received messages, timers and answers that came due;
    // when `ready` (wait_fd() was readable) it first accepts, reads and writes
    // what is ready, without waiting. Asking the set only when it is ready
    // keeps an idle HiSLIP server from costing every VXI-11 request a call.
    void serve(Clock::time_point now, bool ready);
    // When process() must run again at the latest.
    Clock::time_point next_wake(Clock::time_point now) const;

    // A command asked the instrument to reboot; drop_all() clears it.
    bool reboot_requested() const { return reboot_requested_; }
    // Ends every session (after sending what is queued, if it fits).
    void drop_all();

private:
    // A client that stops reading its answers stops being served beyond this.
    static constexpr std::size_t max_output = 8u << 20;
    // Input waits in the kernel once this much is buffered and not yet used.
    static constexpr std::size_t max_input = 2u << 20;

    struct Connection;
    struct Session;
    struct Reply {
        std::string bytes;
        std::uint32_t id = 0;
        Clock::time_point ready_at;
    };

    void process(Clock::time_point now);
    void accept(Clock::time_point now);
    // Tells epoll what the connection waits for now, when that changed.
    void watch(Connection& c);
    void read_from(Connection& c, Clock::time_point now);
    void write_to(Connection& c);
    void process_new(Connection& c);
    void process_sync(Session& s, Clock::time_point now);
    void process_async(Session& s, Clock::time_point now);
    bool feed_data(Session& s, std::string_view piece, bool end, Clock::time_point now);
    void send_replies(Session& s, Clock::time_point now);
    void settle_lock_waits(Session& s, Clock::time_point now);
    void send(Connection& c, const visa::hislip::Header& h, std::string_view payload = {});
    void fatal(Connection& c, visa::hislip::FatalCode code, const std::string& text);
    void error(Connection& c, visa::hislip::ErrorCode code, const std::string& text);
    void end_session(std::uint16_t id, const char* why);
    void close_connection(Connection& c);

    bool internal_lock_held(Clock::time_point now);
    bool blocked(const Session& s, Clock::time_point now);
    bool can_grant(const Session& s, const std::string& key, Clock::time_point now);
    bool shared_held() const;
    std::size_t holders() const;
    void log(const std::string& line) const;

    HislipSettings settings_;
    Instrument& instrument_;
    Transcript transcript_;
    int listener_ = -1;
    int epoll_ = -1;
    std::uint16_t port_ = 0;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::map<std::uint16_t, Session> sessions_;
    std::uint64_t next_connection_ = 1;
    RefusalLog refusals_;
    std::uint16_t next_session_ = 1;

    std::optional<std::uint16_t> exclusive_;  // session holding the exclusive lock
    std::string shared_key_;                  // key of the shared lock, if held
    std::function<bool()> held_elsewhere_;
    bool internal_hold_ = false;
    std::optional<Clock::time_point> internal_until_;
    bool reboot_requested_ = false;
};

}  // namespace sim
