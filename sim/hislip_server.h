#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "event_loop.h"
#include "instrument.h"
#include "program_input.h"
#include "stream_pool.h"
#include "visa/hislip/message.h"

namespace sim {

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
// it. Its connections are streams of the shared pool on the owner's event
// loop; the owner calls process() on every turn, then send_all(), and
// settle() before waiting. A misbehaving client loses its session (with a
// FatalError where the protocol has one), never the process.
//
// The server runs in synchronized mode: one query at a time, answers stamped
// with the id of the message that ended the query, and an answer not yet
// sent is dropped (Interrupted) when the next message arrives.
class HislipServer {
public:
    using Transcript = sim::Transcript;

    HislipServer(EventLoop& loop, HislipSettings settings, Instrument& instrument,
                 Transcript transcript);
    ~HislipServer();
    HislipServer(const HislipServer&) = delete;
    HislipServer& operator=(const HislipServer&) = delete;

    // Binds the listener (the same port again after a reboot once bound).
    bool open(std::string& error);
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

    // Works through received messages, timers and answers that came due.
    void process(Clock::time_point now);
    void send_all() { pool_.send_all(); }
    void settle(Clock::time_point now) { pool_.settle(now); }
    // When process() must run again at the latest.
    Clock::time_point next_wake(Clock::time_point now) const;

    // A command asked the instrument to reboot; drop_all() clears it.
    bool reboot_requested() const { return reboot_requested_; }
    // Ends every session (after sending what is queued, if it fits).
    void drop_all();

private:
    // Input waits in the kernel once this much is buffered and not yet used.
    static constexpr std::size_t max_input = 2u << 20;

    struct Connection;
    struct Session;
    // What a message does on a session's channel, and whether the channel's
    // loop goes on to the next one.
    enum class Flow { next, stop };
    using Handler = Flow (HislipServer::*)(Session& s, Connection& c, const visa::hislip::Header& h,
                                           Clock::time_point now);
    struct Handling {
        visa::hislip::Type type;
        Handler handle;
    };
    static const Handling data_channel_[];
    static const Handling control_channel_[];

    // hislip_server.cpp: sessions, the lock, moving bytes.
    void serve_session(Session& s, Clock::time_point now);
    void send(Connection& c, const visa::hislip::Header& h, std::string_view payload = {});
    void fatal(Connection& c, visa::hislip::FatalCode code, const std::string& text);
    void error(Connection& c, visa::hislip::ErrorCode code, const std::string& text);
    void end_session(std::uint16_t id, const char* why);
    std::optional<Clock::time_point> idle_since(const Connection& c) const;
    bool internal_lock_held(Clock::time_point now);
    bool blocked(const Session& s, Clock::time_point now);
    bool can_grant(const Session& s, const std::string& key, Clock::time_point now);
    bool shared_held() const;
    std::size_t holders() const;
    void log(const std::string& line) const;

    // hislip_messages.cpp: the conversation.
    void process_new(Connection& c);
    void initialize(Connection& c);
    void async_initialize(Connection& c, const visa::hislip::Header& h);
    void process_sync(Session& s, Clock::time_point now);
    void process_async(Session& s, Clock::time_point now);
    // What the decoder said, where it is not a message or data to act on.
    std::optional<Flow> trouble(Connection& c, visa::hislip::Decoder::Status status);
    Flow dispatch(std::span<const Handling> table, const char* channel, Session& s, Connection& c,
                  const visa::hislip::Header& h, Clock::time_point now);
    Flow take_data(Session& s, Connection& c, Clock::time_point now);
    Flow data_header(Session& s, Connection& c, const visa::hislip::Header& h,
                     Clock::time_point now);
    bool feed_data(Session& s, std::string_view piece, bool end, Clock::time_point now);
    void send_replies(Session& s, Clock::time_point now);
    void settle_lock_waits(Session& s, Clock::time_point now);
    void settle_release(Session& s, Clock::time_point now);

    // The messages, by channel (the tables above).
    Flow on_clear_complete(Session& s, Connection& c, const visa::hislip::Header& h,
                           Clock::time_point now);
    Flow on_trigger(Session& s, Connection& c, const visa::hislip::Header& h,
                    Clock::time_point now);
    Flow on_client_fatal(Session& s, Connection& c, const visa::hislip::Header& h,
                         Clock::time_point now);
    Flow on_client_error(Session& s, Connection& c, const visa::hislip::Header& h,
                         Clock::time_point now);
    Flow on_second_initialize(Session& s, Connection& c, const visa::hislip::Header& h,
                              Clock::time_point now);
    Flow on_lock(Session& s, Connection& c, const visa::hislip::Header& h, Clock::time_point now);
    Flow on_remote_local(Session& s, Connection& c, const visa::hislip::Header& h,
                         Clock::time_point now);
    Flow on_device_clear(Session& s, Connection& c, const visa::hislip::Header& h,
                         Clock::time_point now);
    Flow on_status_query(Session& s, Connection& c, const visa::hislip::Header& h,
                         Clock::time_point now);
    Flow on_max_message_size(Session& s, Connection& c, const visa::hislip::Header& h,
                             Clock::time_point now);
    Flow on_lock_info(Session& s, Connection& c, const visa::hislip::Header& h,
                      Clock::time_point now);
    Flow on_second_async_initialize(Session& s, Connection& c, const visa::hislip::Header& h,
                                    Clock::time_point now);

    HislipSettings settings_;
    Instrument& instrument_;
    Transcript transcript_;
    StreamPool pool_;
    std::uint16_t port_ = 0;
    std::map<std::uint16_t, Session> sessions_;
    std::uint16_t next_session_ = 1;

    std::optional<std::uint16_t> exclusive_;  // session holding the exclusive lock
    std::string shared_key_;                  // key of the shared lock, if held
    std::function<bool()> held_elsewhere_;
    bool internal_hold_ = false;
    std::optional<Clock::time_point> internal_until_;
    bool reboot_requested_ = false;
};

}  // namespace sim
