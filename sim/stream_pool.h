#pragma once
// The connection plumbing every server of the simulator shares (the VXI-11
// core channel, its portmapper over TCP, the raw socket, HiSLIP): taking
// connections within a limit, bounded reading and writing, EOF and idle
// time-outs, and the moments at which a protocol splits what arrived and
// answers it. A protocol says what it does through the hooks of Stream.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "accept.h"
#include "event_loop.h"
#include "platform/unique_fd.h"

namespace sim {

using ConnectionId = std::uint64_t;
class StreamPool;

// A peer that stops reading its answers stops being served beyond this.
inline constexpr std::size_t max_stream_output = 8u << 20;

// One accepted TCP connection. A protocol derives from it, keeps its state
// for the connection there, and overrides what it does differently.
class Stream : public EventSink {
public:
    Stream() = default;
    virtual ~Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    ConnectionId id = 0;
    platform::UniqueFd fd;
    std::string in;   // received and not yet used (unless take() keeps it elsewhere)
    std::string out;  // to send
    Clock::time_point last_activity;
    bool eof = false;      // the peer sends nothing more; what came before still counts
    bool backlog = false;  // input left unprocessed to give the others a turn
    bool dead = false;

    // Bytes received; kept in `in` unless the protocol buffers them itself.
    virtual void take(std::string_view bytes) { in.append(bytes); }
    // Bytes received and not yet used: reading stops at the pool's bound.
    virtual std::size_t buffered() const { return in.size(); }
    // Splits what has arrived into the protocol's units and answers them
    // into `out`; sets `backlog` when it stops early to give others a turn.
    virtual void process(Clock::time_point now) = 0;
    // The connection is closing (`dead` is set; what `out` holds is lost).
    virtual void closed() {}
    // Closed when true after a turn: by default once the peer has finished
    // and what it sent has been worked through.
    virtual bool finished() const { return eof && !backlog; }
    // Since when it has been idle; nothing while it waits on the
    // instrument's behalf (a pending call, a lock), which is not idleness.
    virtual std::optional<Clock::time_point> idle_since() const { return last_activity; }
    // When process() must run again at the latest.
    virtual Clock::time_point wake(Clock::time_point) const { return Clock::time_point::max(); }

    void on_event(std::uint32_t events, Clock::time_point now) override;

private:
    friend class StreamPool;
    StreamPool* pool_ = nullptr;
    std::size_t max_input_ = 0;
    std::uint32_t watched_ = 0;  // what the loop watches for
};

struct PoolSettings {
    std::size_t max_connections = 16;
    std::string full_reason;  // refusal line once the limit is reached
    std::chrono::milliseconds idle_timeout{600000};
    std::string log_prefix = "fwsim: ";
    bool verbose = false;
    bool say_closed = true;  // with verbose: a line per closed connection
};

// The connections of one or more listeners, under one limit.
class StreamPool {
public:
    // Makes the protocol's stream for an accepted connection.
    using Factory = std::function<std::unique_ptr<Stream>()>;

    StreamPool(EventLoop& loop, PoolSettings settings);
    ~StreamPool();
    StreamPool(const StreamPool&) = delete;
    StreamPool& operator=(const StreamPool&) = delete;

    // Listens on address:port (`port` becomes the bound port) for
    // connections made by `make`, whose input is read up to `max_input`.
    bool listen(const std::string& address, std::uint16_t& port, Factory make,
                std::size_t max_input, std::string& error, const char* what = nullptr);
    void close_listeners();

    // One turn: every live stream works through its input; then what is
    // queued goes out as far as the sockets take it.
    void process(Clock::time_point now);
    void send_all();
    // Before waiting: closes finished and idle streams, forgets closed ones
    // and tells the loop what each waits for.
    void settle(Clock::time_point now);
    Clock::time_point next_wake(Clock::time_point now) const;

    // Sends what fits of `s.out` now; a failing socket closes the stream.
    void flush(Stream& s);
    void close(Stream& s);
    // Closes every stream after sending what fits (a reboot).
    void drop_all();

    void log(const std::string& line) const;

private:
    struct Listener;
    friend class Stream;

    void accept(Listener& l, Clock::time_point now);
    void read(Stream& s, Clock::time_point now);
    void watch(Stream& s);

    EventLoop& loop_;
    PoolSettings settings_;
    std::vector<std::unique_ptr<Listener>> listeners_;
    std::vector<std::unique_ptr<Stream>> streams_;
    ConnectionId next_id_ = 1;
    RefusalLog refusals_;
};

}  // namespace sim
