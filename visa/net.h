#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "visa.h"

namespace visa::net {

// A point in time after which an operation gives up; VI_TMO_INFINITE never
// expires.
class Deadline {
public:
    explicit Deadline(uint32_t timeout_ms);
    // The time-out it was made with, for saying how long was waited.
    uint32_t span_ms() const { return span_ms_; }
    // The same deadline moved `ms` later (an infinite one stays infinite).
    Deadline later_by(uint32_t ms) const;
    bool infinite() const { return infinite_; }
    bool expired() const;
    // For loops that receive until something complete has arrived: false
    // until the deadline has passed and one look at the socket was made after
    // it. A peer that never stops sending thus cannot hold such a loop past
    // its time, while a time-out of 0 still takes what is already there.
    bool overdue() const;
    // Milliseconds left, for poll(): -1 when infinite, 0 once expired.
    int poll_ms() const;
    // Milliseconds left as a wire value: VI_TMO_INFINITE when infinite.
    uint32_t remaining_ms() const;

private:
    bool infinite_;
    uint32_t span_ms_;
    mutable bool looked_late_ = false;
    std::chrono::steady_clock::time_point at_;
};

// Resolves `host` to an IPv4 address with `port`. Returns false when the name
// does not resolve, and then logs and keeps the reason as the failure detail
// of VI_ERROR_RSRC_NFOUND ("resolving <host>: <why>").
bool resolve_ipv4(const std::string& host, uint16_t port, sockaddr_in* out);

// Connects a TCP socket with TCP_NODELAY to `addr` before the deadline.
// Returns the descriptor (blocking mode, close-on-exec) or -1 with `*status`
// VI_ERROR_RSRC_NFOUND (refused, unreachable, or no answer in time). The
// cause, with address and port, becomes that status's failure detail (see
// log.h), so viStatusDesc can say "connecting to 127.0.0.2:5025: connection
// refused" to whoever opened the resource.
int connect_tcp(const sockaddr_in& addr, const Deadline& deadline, ViStatus* status);

// Waits for `events` (poll's) on `fd` until the deadline. Returns 1 ready,
// 0 timed out, -1 error.
int wait_for(int fd, short events, const Deadline& deadline);

// Sends all of `data` (no SIGPIPE). Returns VI_SUCCESS, VI_ERROR_TMO or
// VI_ERROR_CONN_LOST; `*sent` counts what went out.
ViStatus send_all(int fd, const void* data, size_t size, const Deadline& deadline, size_t* sent);

// Receives between 1 and `size` bytes. Returns VI_SUCCESS, VI_ERROR_TMO, or
// VI_ERROR_CONN_LOST when the peer closed or reset the connection.
ViStatus recv_some(int fd, void* data, size_t size, const Deadline& deadline, size_t* got);

std::string addr_text(const sockaddr_in& addr);

// A time in milliseconds as people read it: "2 s", "0.5 s".
std::string seconds_text(uint32_t ms);

// Holds SIGPIPE blocked on this thread for its lifetime and swallows one that
// our own write raised. Used around code that writes to a socket with plain
// write() (the RPC library), so a vanished peer becomes an error, not the
// death of the program.
class SigpipeGuard {
public:
    SigpipeGuard();
    ~SigpipeGuard();
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    bool was_pending_ = false;
    bool was_blocked_ = false;
};

}  // namespace visa::net
