#pragma once

// The server's connections and sessions: shared by its two files
// (hislip_server.cpp moves bytes, hislip_messages.cpp holds the conversation).

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "hislip_server.h"

namespace sim {

// Longest payload of any message but Data and DataEND (sub-address, lock
// string, error text).
inline constexpr std::size_t hislip_max_control = 1024;

struct HislipServer::Connection {
    enum class Role { fresh, sync, async };
    std::uint64_t id = 0;
    int fd = -1;
    Role role = Role::fresh;
    std::uint16_t session = 0;
    visa::hislip::Decoder in{hislip_max_control};
    std::string out;
    Clock::time_point last_activity;
    std::uint32_t events = 0;  // what epoll watches for
    bool eof = false;
    bool dead = false;
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

    std::uint16_t id = 0;
    Connection* sync = nullptr;
    Connection* async = nullptr;
    MessageSplitter splitter;
    std::deque<Reply> replies;
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
