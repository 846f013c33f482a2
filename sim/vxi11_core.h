#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "instrument.h"
#include "program_input.h"

namespace sim {

using ConnectionId = std::uint64_t;

struct Vxi11Settings {
    std::uint32_t max_recv_size = 1u << 20;
    std::optional<std::uint64_t> drop_in_block;
    std::size_t max_links = 32;
    // Upper bound on any wait a client asks for (lock or I/O timeout), so
    // that "infinite" cannot pin a call for ever.
    std::chrono::milliseconds max_wait{600000};
    std::size_t max_pending_replies = 64;
    // Faults: the N-th device_write since start (1 for the first) is refused
    // with an I/O error and none of its bytes is taken.
    std::optional<std::uint64_t> refuse_write;
    // Faults: device_write takes this many bytes per millisecond and answers
    // when they are taken; what its I/O time-out does not leave time for is
    // not taken (error 15, with the count taken).
    std::optional<std::uint32_t> accept_bytes_per_ms;
};

// A core-channel call that may have to wait (for a lock, for a reply, for a
// slow command). Kept by the connection until it completes.
struct Vxi11Call {
    std::uint32_t xid = 0;
    std::uint32_t proc = 0;
    std::int32_t lid = 0;
    std::int32_t flags = 0;
    std::uint32_t lock_timeout = 0;
    std::uint32_t io_timeout = 0;
    std::uint32_t request_size = 0;
    char term_char = 0;
    bool lock_device = false;
    std::string data;  // write data, or the device name of create_link
    Clock::time_point started;
    // A write already carried out whose answer waits for a slow command.
    std::optional<std::string> done_reply;
    Clock::time_point done_at;
};

// The device side of the VXI-11 core channel: links, the device's one
// exclusive lock, and per-link input parsing and output queues in front of
// the shared Instrument. Socket-free: the server hands it whole RPC records
// and the time, and it answers with RPC reply messages.
class Vxi11Core {
public:
    using Transcript = std::function<void(std::string_view line)>;

    Vxi11Core(Instrument& instrument, Vxi11Settings settings, Transcript transcript);

    struct Step {
        enum Kind { reply, wait, drop } kind = reply;
        std::string message;  // the RPC reply, for kind == reply
    };

    // Handles one RPC record from connection `conn`. On wait, `pending`
    // holds the call, to be passed to resume() until it completes.
    Step start(ConnectionId conn, std::string_view record, std::optional<Vxi11Call>& pending,
               Clock::time_point now);
    Step resume(ConnectionId conn, Vxi11Call& call, Clock::time_point now);
    // When a waiting call should be looked at again at the latest.
    Clock::time_point wake_time(const Vxi11Call& call, Clock::time_point now) const;
    // Another time the server must wake for (a held lock expiring), if any.
    std::optional<Clock::time_point> next_timer() const;

    // A connection went away: its links die and their locks are freed.
    void connection_closed(ConnectionId conn);
    // Everything is forgotten, as after a power cycle (the internal lock of
    // --hold-lock stays: it stands for a client outside this instrument).
    void reset();

    // An internal link holds the lock until `until` (for ever if empty).
    void hold_lock(std::optional<Clock::time_point> until);

    // Set when a command asked the instrument to reboot; cleared by reset().
    bool reboot_requested() const { return reboot_requested_; }

    std::size_t link_count() const { return links_.size(); }

    // The instrument has one lock for every protocol: `held_elsewhere` tells
    // whether a client of another one (HiSLIP) holds it now.
    void share_lock(std::function<bool()> held_elsewhere) {
        held_elsewhere_ = std::move(held_elsewhere);
    }
    // True while one of our links (not the internal holder) holds the lock.
    bool link_holds_lock() const;

private:
    struct Link {
        Link(ConnectionId c, ProgramInput i) : conn(c), input(std::move(i)) {}
        ConnectionId conn = 0;
        ProgramInput input;
    };
    // A procedure of the core channel: how its arguments are read, how a
    // failure is answered in its result type, and what it does once the
    // concerns before it (link, lock) let it through.
    struct Procedure;
    enum class Scope { channel, link, io };
    using Handler = Step (Vxi11Core::*)(ConnectionId conn, Vxi11Call& call, Link* link,
                                        Clock::time_point now);
    static const Procedure* procedure(std::uint32_t proc);

    // A call, by concern: the link and interrupt channels, then (on a valid
    // link) the lock, then I/O.
    Step attempt(ConnectionId conn, Vxi11Call& call, Clock::time_point now);
    Step error_reply(const Vxi11Call& call, std::int32_t error) const;
    // 0 when the link may go on; else an error code or -1 to keep waiting.
    int lock_gate(const Vxi11Call& call, Clock::time_point now);
    bool locked_by_other(std::int32_t lid, Clock::time_point now);
    Clock::time_point deadline(const Vxi11Call& call, std::uint32_t timeout_ms) const;

    // The procedures (vxi11_core.cpp: channels and lock; vxi11_io.cpp: I/O).
    Step do_null(ConnectionId conn, Vxi11Call& call, Link* link, Clock::time_point now);
    Step do_create_link(ConnectionId conn, Vxi11Call& call, Link* link, Clock::time_point now);
    Step do_create_intr(ConnectionId conn, Vxi11Call& call, Link* link, Clock::time_point now);
    Step do_destroy_intr(ConnectionId conn, Vxi11Call& call, Link* link, Clock::time_point now);
    Step do_lock(ConnectionId conn, Vxi11Call& call, Link* link, Clock::time_point now);
    Step do_unlock(ConnectionId conn, Vxi11Call& call, Link* link, Clock::time_point now);
    Step do_destroy_link(ConnectionId conn, Vxi11Call& call, Link* link, Clock::time_point now);
    Step do_accept(ConnectionId conn, Vxi11Call& call, Link* link, Clock::time_point now);
    Step do_unsupported(ConnectionId conn, Vxi11Call& call, Link* link, Clock::time_point now);
    Step do_write(ConnectionId conn, Vxi11Call& call, Link* link, Clock::time_point now);
    Step do_read(ConnectionId conn, Vxi11Call& call, Link* link, Clock::time_point now);
    Step do_readstb(ConnectionId conn, Vxi11Call& call, Link* link, Clock::time_point now);
    Step do_clear(ConnectionId conn, Vxi11Call& call, Link* link, Clock::time_point now);
    // What a slow device takes of a write in the time it has: trims the data
    // and says how long taking it lasts and with which error.
    std::uint64_t take_slowly(Vxi11Call& call, std::int32_t& error) const;

    static const Procedure procedures_[];

    Instrument& instrument_;
    Vxi11Settings settings_;
    Transcript transcript_;
    std::map<std::int32_t, Link> links_;
    std::int32_t next_lid_ = 1;
    // Holder of the exclusive lock: a link id, or internal_lid.
    std::optional<std::int32_t> lock_holder_;
    std::optional<Clock::time_point> internal_until_;
    bool internal_hold_ = false;
    std::map<ConnectionId, bool> intr_channel_;
    bool reboot_requested_ = false;
    std::uint64_t writes_seen_ = 0;
    std::function<bool()> held_elsewhere_;
};

constexpr std::int32_t internal_lid = 0;

}  // namespace sim
