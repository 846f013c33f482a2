#include "visa/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "visa/failure.h"
#include "visa/log.h"

namespace visa::net {

// Names this file's lines in the library's log.
constexpr char log_module[] = "visa.net";

Deadline::Deadline(uint32_t timeout_ms)
    : infinite_(timeout_ms == VI_TMO_INFINITE),
      span_ms_(timeout_ms),
      at_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms)) {}

Deadline Deadline::later_by(uint32_t ms) const {
    Deadline moved = *this;
    moved.at_ += std::chrono::milliseconds(ms);
    return moved;
}

bool Deadline::expired() const {
    return !infinite_ && std::chrono::steady_clock::now() >= at_;
}

bool Deadline::overdue() const {
    if (!expired()) return false;
    if (looked_late_) return true;
    looked_late_ = true;
    return false;
}

int Deadline::poll_ms() const {
    if (infinite_) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    at_ - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : int(left);
}

uint32_t Deadline::remaining_ms() const {
    if (infinite_) return VI_TMO_INFINITE;
    return uint32_t(poll_ms());
}

bool resolve_ipv4(const std::string& host, uint16_t port, sockaddr_in* out) {
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &out->sin_addr) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0 || res == nullptr) {
        const std::string why = "resolving " + host + ": " + gai_strerror(rc);
        log_error(log_module, "%s", why.c_str());
        record_failure_with_detail(failure(VI_ERROR_RSRC_NFOUND, FWVISA_STAGE_RESOLVE,
                                           FWVISA_CAUSE_NOT_FOUND, host, port, why));
        return false;
    }
    out->sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
    freeaddrinfo(res);
    return true;
}

std::string addr_text(const sockaddr_in& addr) {
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(addr.sin_port));
}

std::string seconds_text(uint32_t ms) {
    char text[32];
    if (ms % 1000 == 0)
        std::snprintf(text, sizeof text, "%u s", unsigned(ms / 1000));
    else
        std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
    return text;
}

namespace {

// A connection that failed: logged, and kept for viStatusDesc, with the
// cause in the words a person checking cables and addresses needs.
void connect_failed(const sockaddr_in& addr, int error, const Deadline& deadline) {
    std::string cause;
    switch (error) {
        case 0:
        case ETIMEDOUT:
            cause = deadline.infinite() ? "no answer"
                                        : "no answer in " + seconds_text(deadline.span_ms());
            break;
        case ECONNREFUSED:
            cause = "connection refused";
            break;
        case EHOSTUNREACH:
        case ENETUNREACH:
            cause = "no route to the host";
            break;
        default:
            cause = std::strerror(error);
    }
    const std::string why = "connecting to " + addr_text(addr) + ": " + cause;
    log_error(log_module, "%s", why.c_str());
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &addr.sin_addr, host, sizeof host);
    record_failure_with_detail(failure(VI_ERROR_RSRC_NFOUND, FWVISA_STAGE_CONNECT,
                                       cause_of_errno(error), host, ntohs(addr.sin_port), why,
                                       error == 0 ? ETIMEDOUT : error));
}

}  // namespace

int connect_tcp(const sockaddr_in& addr, const Deadline& deadline, ViStatus* status) {
    *status = VI_ERROR_RSRC_NFOUND;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        log_error(log_module, "socket: %s", std::strerror(errno));
        *status = VI_ERROR_SYSTEM_ERROR;
        return -1;
    }
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (rc < 0 && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        do {
            rc = ::poll(&p, 1, deadline.poll_ms());
        } while (rc < 0 && errno == EINTR);
        if (rc == 0) {
            connect_failed(addr, 0, deadline);
            ::close(fd);
            return -1;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (rc < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
        if (err != 0) {
            errno = err;
            rc = -1;
        } else {
            rc = 0;
        }
    }
    if (rc < 0) {
        connect_failed(addr, errno, deadline);
        ::close(fd);
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    *status = VI_SUCCESS;
    return fd;
}

int wait_for(int fd, short events, const Deadline& deadline) {
    pollfd p{fd, events, 0};
    for (;;) {
        int rc = ::poll(&p, 1, deadline.poll_ms());
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return -1;
        return rc == 0 ? 0 : 1;
    }
}

ViStatus send_all(int fd, const void* data, size_t size, const Deadline& deadline, size_t* sent) {
    *sent = 0;
    auto p = static_cast<const char*>(data);
    while (*sent < size) {
        ssize_t n = ::send(fd, p + *sent, size - *sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            *sent += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int w = wait_for(fd, POLLOUT, deadline);
            if (w == 0) return VI_ERROR_TMO;
            if (w < 0) return VI_ERROR_CONN_LOST;
            continue;
        }
        log_error(log_module, "send: %s", std::strerror(errno));
        return VI_ERROR_CONN_LOST;
    }
    return VI_SUCCESS;
}

ViStatus recv_some(int fd, void* data, size_t size, const Deadline& deadline, size_t* got) {
    *got = 0;
    for (;;) {
        ssize_t n = ::recv(fd, data, size, MSG_DONTWAIT);
        if (n > 0) {
            *got = size_t(n);
            return VI_SUCCESS;
        }
        if (n == 0) {
            log_error(log_module, "recv: peer closed the connection");
            return VI_ERROR_CONN_LOST;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            int w = wait_for(fd, POLLIN, deadline);
            if (w == 0) return VI_ERROR_TMO;
            if (w < 0) return VI_ERROR_CONN_LOST;
            continue;
        }
        log_error(log_module, "recv: %s", std::strerror(errno));
        return VI_ERROR_CONN_LOST;
    }
}

SigpipeGuard::SigpipeGuard() {
    sigset_t pipe_set, old;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
    was_blocked_ = sigismember(&old, SIGPIPE) == 1;
}

SigpipeGuard::~SigpipeGuard() {
    sigset_t pipe_set;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    if (!was_pending_) {
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            timespec zero{0, 0};
            while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
            }
        }
    }
    if (!was_blocked_) pthread_sigmask(SIG_UNBLOCK, &pipe_set, nullptr);
}

}  // namespace visa::net
