#pragma once
// The simulator's one event loop: every socket of every server (listeners,
// datagram sockets, connections of all three protocols) in one epoll set,
// each reported to the object that owns it.

#include <chrono>
#include <csignal>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/unique_fd.h"

namespace sim {

using Clock = std::chrono::steady_clock;

// Something the loop watches, told what its descriptor reported.
class EventSink {
public:
    virtual void on_event(std::uint32_t events, Clock::time_point now) = 0;

protected:
    ~EventSink() = default;
};

class EventLoop {
public:
    EventLoop() = default;
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    bool open(std::string& error);
    // Watches `fd` for `events` on behalf of `sink`; the reason on failure.
    // A descriptor leaves the set when it is closed.
    std::optional<std::string> add(int fd, std::uint32_t events, EventSink* sink);
    void modify(int fd, std::uint32_t events, EventSink* sink);

    // Waits until `wake` at the latest (a second at most), letting signals in
    // only through `mask` while waiting, and reports what became ready to
    // its sinks. False, with the reason, when waiting fails other than by a
    // signal. Sinks must outlive the call: owners free them only between waits.
    bool wait(Clock::time_point wake, const sigset_t& mask, std::string& error);

private:
    platform::UniqueFd epoll_;
};

// A socket of `type` (SOCK_STREAM: listening) bound to address:port, or -1
// with the reason ("bind A:P: ...", or "<what> A:P: ..." when `what` is
// given). `bound` gets the port it has (an ephemeral one for 0).
int listen_on(const std::string& address, std::uint16_t port, int type, std::uint16_t& bound,
              std::string& error, const char* what = nullptr);

}  // namespace sim
