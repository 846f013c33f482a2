#include "hislip_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "accept.h"
#include "hislip_state.h"

namespace sim {

namespace hs = visa::hislip;
using hs::Header;
using hs::Type;

namespace {

constexpr std::size_t read_chunk = 64 * 1024;

}  // namespace

HislipServer::HislipServer(HislipSettings settings, Instrument& instrument, Transcript transcript)
    : settings_(std::move(settings)), instrument_(instrument), transcript_(std::move(transcript)) {
    port_ = settings_.port;
}

HislipServer::~HislipServer() {
    for (auto& c : connections_)
        if (c->fd >= 0) ::close(c->fd);
    close_listener();
    if (epoll_ >= 0) ::close(epoll_);
}

void HislipServer::log(const std::string& line) const {
    std::fprintf(stderr, "fwsim: hislip: %s\n", line.c_str());
}

bool HislipServer::open(std::string& error) {
    if (epoll_ < 0) epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
        error = std::string("epoll_create1: ") + std::strerror(errno);
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port_);
    ::inet_pton(AF_INET, settings_.address.c_str(), &sa.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0) {
        error = "HiSLIP listener " + settings_.address + ":" + std::to_string(port_) + ": " +
                std::strerror(errno);
        ::close(fd);
        return false;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &listener_;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        error = std::string("epoll_ctl: ") + std::strerror(errno);
        ::close(fd);
        return false;
    }
    listener_ = fd;
    return true;
}

void HislipServer::close_listener() {
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
}

void HislipServer::hold_lock(std::optional<Clock::time_point> until) {
    internal_hold_ = true;
    internal_until_ = until;
}

bool HislipServer::internal_lock_held(Clock::time_point now) {
    if (internal_hold_ && internal_until_ && now >= *internal_until_) internal_hold_ = false;
    return internal_hold_;
}

bool HislipServer::blocked(const Session& s, Clock::time_point now) {
    if (internal_lock_held(now) || (held_elsewhere_ && held_elsewhere_())) return true;
    if (exclusive_) return *exclusive_ != s.id;
    return !shared_key_.empty() && !s.shared;
}

bool HislipServer::can_grant(const Session& s, const std::string& key, Clock::time_point now) {
    if (internal_lock_held(now) || (exclusive_ && *exclusive_ != s.id)) return false;
    if (held_elsewhere_ && held_elsewhere_()) return false;
    if (!key.empty()) return shared_key_.empty() || shared_key_ == key;
    for (const auto& [id, other] : sessions_)
        if (id != s.id && other.shared && !other.ended) return false;
    return true;
}

bool HislipServer::shared_held() const {
    for (const auto& [id, s] : sessions_)
        if (s.shared && !s.ended) return true;
    return false;
}

std::size_t HislipServer::holders() const {
    std::size_t n = exclusive_ || internal_hold_ ? 1 : 0;
    for (const auto& [id, s] : sessions_)
        n += s.shared && !s.ended ? 1 : 0;
    return n;
}

void HislipServer::send(Connection& c, const Header& h, std::string_view payload) {
    if (c.dead) return;
    c.out += hs::encode(h, payload);
}

void HislipServer::fatal(Connection& c, hs::FatalCode code, const std::string& text) {
    log("connection " + std::to_string(c.id) + ": fatal error " +
        std::to_string(static_cast<int>(code)) + ": " + text);
    send(c, Header{Type::fatal_error, static_cast<std::uint8_t>(code), 0, 0}, text);
    write_to(c);
    if (c.session != 0) {
        end_session(c.session, nullptr);
    } else {
        close_connection(c);
    }
}

void HislipServer::error(Connection& c, hs::ErrorCode code, const std::string& text) {
    if (settings_.verbose)
        log("connection " + std::to_string(c.id) + ": error " +
            std::to_string(static_cast<int>(code)) + ": " + text);
    send(c, Header{Type::error, static_cast<std::uint8_t>(code), 0, 0}, text);
}

void HislipServer::close_connection(Connection& c) {
    if (c.dead) return;
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
    c.dead = true;
}

void HislipServer::end_session(std::uint16_t id, const char* why) {
    const auto it = sessions_.find(id);
    if (it == sessions_.end() || it->second.ended) return;
    Session& s = it->second;
    s.ended = true;
    if (!s.splitter.idle()) transcript_(s.splitter.partial_transcript() + " [connection lost]");
    if (exclusive_ == id) exclusive_.reset();
    if (s.shared) {
        s.shared = false;
        if (!shared_held()) shared_key_.clear();
    }
    for (Connection* c : {s.sync, s.async}) {
        if (c == nullptr) continue;
        write_to(*c);
        close_connection(*c);
    }
    s.sync = s.async = nullptr;
    if (why != nullptr || settings_.verbose)
        log("session " + std::to_string(id) + " ended" + (why ? std::string(": ") + why : ""));
}

void HislipServer::drop_all() {
    for (auto& [id, s] : sessions_)
        end_session(id, nullptr);
    for (auto& c : connections_) {
        write_to(*c);
        close_connection(*c);
    }
    sessions_.clear();
    connections_.clear();
    exclusive_.reset();
    shared_key_.clear();
    reboot_requested_ = false;
}

void HislipServer::accept(Clock::time_point now) {
    for (int k = 0; k < 8; ++k) {
        const int fd = accept_connection(listener_);
        if (fd < 0) return;
        // Connections that never become a session count too: room for every
        // session's two and a few that are still introducing themselves.
        if (connections_.size() >= 2 * settings_.max_sessions + 4) {
            ::close(fd);
            if (const auto line = refusals_.refused(now, "too many connections")) log(*line);
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->id = next_connection_++;
        c->fd = fd;
        c->last_activity = now;
        c->events = EPOLLIN;
        if (const auto failure = watch_connection(epoll_, fd, c.get())) {
            log("connection refused: " + *failure);
            ::close(fd);
            continue;
        }
        if (settings_.verbose) log("connection " + std::to_string(c->id) + " accepted");
        connections_.push_back(std::move(c));
    }
}

void HislipServer::read_from(Connection& c, Clock::time_point now) {
    char buf[read_chunk];
    // A block of data arrives in several pieces: take what is there, up to
    // the input bound, before working on it.
    while (c.in.buffered() < max_input) {
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n > 0) {
            c.in.feed(buf, static_cast<std::size_t>(n));
            c.last_activity = now;
            if (static_cast<std::size_t>(n) < sizeof buf) return;
        } else if (n == 0) {
            c.eof = true;  // what arrived before still counts
            return;
        } else {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                if (c.session != 0) {
                    end_session(c.session, nullptr);
                } else {
                    close_connection(c);
                }
            }
            return;
        }
    }
}

void HislipServer::write_to(Connection& c) {
    while (!c.dead && !c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            c.out.erase(0, static_cast<std::size_t>(n));
        } else {
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
            c.out.clear();
            if (c.session != 0) {
                end_session(c.session, nullptr);
            } else {
                close_connection(c);
            }
            return;
        }
    }
}

void HislipServer::watch(Connection& c) {
    if (c.dead) return;
    std::uint32_t events = 0;
    if (!c.eof && c.in.buffered() < max_input && c.out.size() < max_output) events |= EPOLLIN;
    if (!c.out.empty()) events |= EPOLLOUT;
    if (events == c.events) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = &c;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
    c.events = events;
}

void HislipServer::serve(Clock::time_point now, bool ready) {
    epoll_event events[64];
    const int n = ready ? ::epoll_wait(epoll_, events, 64, 0) : 0;
    for (int k = 0; k < n; ++k) {
        if (events[k].data.ptr == &listener_) {
            accept(now);
            continue;
        }
        // Connections are erased only at the end of process(), so `c` lives.
        Connection& c = *static_cast<Connection*>(events[k].data.ptr);
        if (c.dead) continue;
        if ((events[k].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 && !c.eof) read_from(c, now);
        if (!c.dead && (events[k].events & EPOLLOUT) != 0) write_to(c);
    }
    process(now);
    // Answers go out at once, as far as the socket takes them; the rest
    // waits for the socket to become writable.
    for (auto& c : connections_) {
        if (!c->dead && !c->out.empty()) write_to(*c);
        watch(*c);
    }
}

}  // namespace sim
