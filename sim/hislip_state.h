#pragma once

// The server's connections and sessions: shared by its two files
// (hislip_server.cpp keeps sessions and the lock, hislip_messages.cpp holds
// the conversation).

#include <cstdint>
#include <optional>
#include <string>

#include "hislip_server.h"

namespace sim {

// Longest payload of any message but Data and DataEND (sub-address, lock
// string, error text).
inline constexpr std::size_t hislip_max_control = 1024;

// One of a session's two channels, or a connection not yet introduced.
struct HislipServer::Connection : Stream {
    enum class Role { fresh, sync, async };

    explicit Connection(HislipServer& s) : server(s) {}

    HislipServer& server;
    Role role = Role::fresh;
    std::uint16_t session = 0;
    visa::hislip::Decoder decoder{hislip_max_control};

    // The decoder buffers what arrives: data payloads go on to the
    // instrument piece by piece, never whole.
    void take(std::string_view bytes) override { decoder.feed(bytes.data(), bytes.size()); }
    std::size_t buffered() const override { return decoder.buffered(); }
    // A new connection introduces itself; sessions are served by the server.
    void process(Clock::time_point) override {
        if (role == Role::fresh) server.process_new(*this);
    }
    void closed() override {
        if (session != 0) server.end_session(session, nullptr);
    }
    // The end of the data channel ends the session once what came before
    // is done (HislipServer::serve_session); the control channel's alone
    // ends nothing.
    bool finished() const override { return false; }
    std::optional<Clock::time_point> idle_since() const override {
        return server.idle_since(*this);
    }
};

struct HislipServer::Session {
    struct LockWait {
        std::string key;  // empty: exclusive
        Clock::time_point until;
    };
    struct ReleaseWait {
        std::uint32_t id = 0;
        Clock::time_point until;
    };

    explicit Session(ProgramInput in) : input(std::move(in)) {}

    std::uint16_t id = 0;
    Connection* sync = nullptr;
    Connection* async = nullptr;
    ProgramInput input;
    // What the client takes, until it says (AsyncMaximumMessageSize).
    std::uint64_t client_max = (1u << 20) + visa::hislip::header_size;
    std::uint32_t last_id = visa::hislip::no_message_id;  // of the last Data/DataEND/Trigger
    std::uint32_t data_id = 0;                            // of the data message being received
    bool data_end = false;
    bool clearing = false;  // between AsyncDeviceClear and DeviceClearComplete
    bool shared = false;    // holds the shared lock
    bool backlog = false;   // input left unprocessed to give others a turn
    bool ended = false;
    std::optional<LockWait> lock_wait;
    std::optional<ReleaseWait> release_wait;
};

}  // namespace sim
