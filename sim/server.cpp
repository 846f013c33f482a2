#include "server.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "accept.h"
#include "portmap.h"

namespace sim {

namespace {

constexpr std::size_t read_chunk = 64 * 1024;
// A peer that stops reading its answers stops being served beyond this.
constexpr std::size_t max_output = 8u << 20;
constexpr std::size_t max_portmap_record = 4096;
constexpr auto retry_bind = std::chrono::milliseconds(100);

std::string errno_text() {
    return std::strerror(errno);
}

int listen_on(const std::string& address, std::uint16_t port, int type, std::uint16_t& bound,
              std::string& error) {
    const int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = "socket: " + errno_text();
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error = "bind " + address + ":" + std::to_string(port) + ": " + errno_text();
        ::close(fd);
        return -1;
    }
    if (type == SOCK_STREAM && ::listen(fd, 16) != 0) {
        error = "listen " + address + ":" + std::to_string(port) + ": " + errno_text();
        ::close(fd);
        return -1;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    bound = ntohs(sa.sin_port);
    return fd;
}

// The broadcast address of the interface that has `address`, or "" when it
// has none (loopback, point-to-point) or no interface has the address.
std::string broadcast_address_of(const std::string& address) {
    in_addr want{};
    if (::inet_pton(AF_INET, address.c_str(), &want) != 1) return {};
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return {};
    std::string found;
    for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        if ((i->ifa_flags & IFF_BROADCAST) == 0 || i->ifa_broadaddr == nullptr) continue;
        const auto* a = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        if (a->sin_addr.s_addr != want.s_addr) continue;
        // An address added without "brd" has none configured, yet the
        // kernel routes its prefix's broadcast address to the interface.
        in_addr broadcast = reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr)->sin_addr;
        const auto* mask = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask);
        if (broadcast.s_addr == 0 && mask != nullptr && ntohl(mask->sin_addr.s_addr) < 0xFFFFFFFEu)
            broadcast.s_addr = a->sin_addr.s_addr | ~mask->sin_addr.s_addr;
        char text[INET_ADDRSTRLEN] = {};
        if (broadcast.s_addr != 0 && ::inet_ntop(AF_INET, &broadcast, text, sizeof text) != nullptr)
            found = text;
        break;
    }
    ::freeifaddrs(list);
    return found;
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

Server::Server(ServerSettings settings, Instrument& instrument, Vxi11Core& core,
               Vxi11Core::Transcript transcript)
    : settings_(std::move(settings)),
      instrument_(instrument),
      core_(core),
      transcript_(transcript),
      hislip_(HislipSettings{settings_.address, settings_.hislip_port,
                             std::max<std::size_t>(1, settings_.max_connections / 2),
                             (1u << 20) + visa::hislip::header_size, settings_.idle_timeout,
                             settings_.idle_timeout, settings_.drop_in_block, settings_.verbose},
              instrument, transcript) {
    portmap_wanted_ = settings_.portmap_port != 0;
    core_.share_lock([this] { return hislip_.holds_lock(); });
    hislip_.share_lock([this] { return core_.link_holds_lock(); });
}

Server::~Server() {
    for (auto& c : connections_)
        close_fd(c->fd);
    close_listeners();
    close_fd(epoll_);
}

void Server::log(const std::string& line) const {
    std::fprintf(stderr, "fwsim: %s\n", line.c_str());
}

bool Server::open(std::string& error) {
    vxi11_port_ = settings_.vxi11_port;
    socket_port_ = settings_.socket_port;
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
        error = "epoll_create1: " + errno_text();
        return false;
    }
    return open_listeners(error);
}

void Server::watch_listener(int& fd) {
    if (fd < 0) return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &fd;
    ::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
}

bool Server::open_listeners(std::string& error) {
    core_listener_ = listen_on(settings_.address, vxi11_port_, SOCK_STREAM, vxi11_port_, error);
    if (core_listener_ < 0) return false;
    scpi_listener_ = listen_on(settings_.address, socket_port_, SOCK_STREAM, socket_port_, error);
    if (scpi_listener_ < 0 || !hislip_.open(error)) {
        close_listeners();
        return false;
    }
    if (portmap_wanted_) {
        std::string why;
        std::uint16_t port = 0;
        portmap_tcp_ = listen_on(settings_.address, settings_.portmap_port, SOCK_STREAM, port, why);
        if (portmap_tcp_ >= 0) {
            portmap_udp_ =
                listen_on(settings_.address, settings_.portmap_port, SOCK_DGRAM, port, why);
        }
        // A broadcast search sends to the interface's broadcast address,
        // which a socket bound to the unicast one never hears. Several
        // instruments in one namespace each hear it, hence the address reuse.
        const std::string broadcast = broadcast_address_of(settings_.address);
        if (portmap_udp_ >= 0 && !broadcast.empty()) {
            portmap_broadcast_ =
                listen_on(broadcast, settings_.portmap_port, SOCK_DGRAM, port, why);
            if (portmap_broadcast_ < 0) close_fd(portmap_udp_);
        }
        if (portmap_tcp_ < 0 || portmap_udp_ < 0) {
            // Fatal: a client asking port 111 of this address would reach
            // whatever else answers there and take it for this instrument.
            error = "portmapper: " + why + " (--no-portmap serves without one)";
            close_listeners();
            return false;
        }
    }
    for (int* fd :
         {&core_listener_, &scpi_listener_, &portmap_tcp_, &portmap_udp_, &portmap_broadcast_})
        watch_listener(*fd);
    return true;
}

void Server::close_listeners() {
    close_fd(core_listener_);
    close_fd(scpi_listener_);
    hislip_.close_listener();
    close_fd(portmap_tcp_);
    close_fd(portmap_udp_);
    close_fd(portmap_broadcast_);
}

void Server::accept_on(int listener, Kind kind, Clock::time_point now) {
    // Bounded: at most a handful per wake-up, so one listener cannot starve the rest.
    for (int k = 0; k < 8; ++k) {
        const int fd = accept_connection(listener);
        if (fd < 0) return;
        if (connections_.size() >= settings_.max_connections) {
            ::close(fd);
            const auto line = refusals_.refused(
                now, "limit of " + std::to_string(settings_.max_connections) + " reached");
            if (line) log(*line);
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->id = next_id_++;
        c->fd = fd;
        c->kind = kind;
        c->last_activity = now;
        c->records = rpc::RecordReader(kind == Kind::portmap_tcp ? max_portmap_record
                                                                 : settings_.max_record);
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

void Server::serve_udp_portmap(int from_fd) {
    std::string buf(65536, '\0');
    for (int k = 0; k < 16; ++k) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(from_fd, buf.data(), buf.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return;
        const PortmapInfo info{settings_.address, vxi11_port_, settings_.portmap_port};
        const auto reply =
            answer_portmap(std::string_view(buf.data(), static_cast<std::size_t>(n)), info);
        if (reply) {
            ::sendto(portmap_udp_, reply->data(), reply->size(), MSG_NOSIGNAL,
                     reinterpret_cast<sockaddr*>(&from), len);
        }
    }
}

void Server::read_from(Connection& c, Clock::time_point now) {
    char buf[read_chunk];
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n > 0) {
        c.in.append(buf, static_cast<std::size_t>(n));
        c.last_activity = now;
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        close_connection(c);
    }
}

void Server::write_to(Connection& c) {
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            c.out.erase(0, static_cast<std::size_t>(n));
        } else {
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
            close_connection(c);
            return;
        }
    }
}

void Server::close_connection(Connection& c) {
    if (c.dead) return;
    if (settings_.verbose) log("connection " + std::to_string(c.id) + " closed");
    if (c.kind == Kind::core) core_.connection_closed(c.id);
    if (c.kind == Kind::scpi && !c.splitter.idle()) {
        transcript_(c.splitter.partial_transcript() + " [connection lost]");
    }
    close_fd(c.fd);
    c.dead = true;
}

void Server::process(Connection& c, Clock::time_point now) {
    if (c.dead) return;
    c.backlog = false;
    try {
        switch (c.kind) {
            case Kind::core:
                process_core(c, now);
                break;
            case Kind::portmap_tcp:
                process_portmap(c);
                break;
            case Kind::scpi:
                process_scpi(c, now);
                break;
        }
    } catch (const std::exception& e) {
        // Whatever one peer provoked (memory exhausted by a huge block, say)
        // costs that peer its connection, not the others theirs.
        log("connection " + std::to_string(c.id) + ": " + e.what() + "; closed");
        close_connection(c);
    }
}

void Server::process_core(Connection& c, Clock::time_point now) {
    // Calls are answered in order; a waiting call holds back the ones behind it.
    for (int k = 0;; ++k) {
        if (c.dead || c.out.size() >= max_output) return;
        if (k == 64) {
            c.backlog = true;
            return;
        }
        Vxi11Core::Step step;
        if (c.pending) {
            step = core_.resume(c.id, *c.pending, now);
            if (step.kind == Vxi11Core::Step::wait) return;
            c.pending.reset();
        } else {
            std::string record;
            const auto status = c.records.next(c.in, record);
            if (status == rpc::RecordReader::Status::need_more) return;
            if (status == rpc::RecordReader::Status::too_large) {
                log("connection " + std::to_string(c.id) + ": RPC record too large, dropped");
                close_connection(c);
                return;
            }
            step = core_.start(c.id, record, c.pending, now);
            if (step.kind == Vxi11Core::Step::wait) {
                if (c.pending) return;
                continue;  // not a call: ignored
            }
        }
        if (step.kind == Vxi11Core::Step::drop) {
            close_connection(c);
            return;
        }
        c.out += rpc::frame_record(step.message);
        c.last_activity = now;
    }
}

void Server::process_portmap(Connection& c) {
    for (int k = 0; !c.dead; ++k) {
        if (k == 16) {
            c.backlog = true;
            return;
        }
        std::string record;
        const auto status = c.records.next(c.in, record);
        if (status == rpc::RecordReader::Status::need_more) return;
        if (status == rpc::RecordReader::Status::too_large) {
            close_connection(c);
            return;
        }
        const PortmapInfo info{settings_.address, vxi11_port_, settings_.portmap_port};
        if (const auto reply = answer_portmap(record, info)) c.out += rpc::frame_record(*reply);
    }
}

void Server::process_scpi(Connection& c, Clock::time_point now) {
    c.splitter.set_block_threshold(settings_.drop_in_block);
    for (int k = 0; !c.in.empty() && c.out.size() < max_output; ++k) {
        if (k == 256) {
            c.backlog = true;
            break;
        }
        std::vector<ProgramMessage> messages;
        c.splitter.set_limit(instrument_.message_limit());
        const auto fed = c.splitter.feed(c.in, false, messages);
        c.in.erase(0, fed.consumed);
        for (const ProgramMessage& m : messages) {
            transcript_(m.transcript);
            const Outcome out = instrument_.execute(m);
            if (out.reply)
                c.replies.push_back(
                    Reply{*out.reply, now + std::chrono::milliseconds(out.delay_ms)});
            if (out.reboot) reboot_pending_ = true;
        }
        if (fed.block_threshold_hit) {
            transcript_(c.splitter.partial_transcript() + " [connection dropped]");
            c.splitter.reset();
            close_connection(c);
            return;
        }
    }
    while (!c.replies.empty() && c.replies.front().ready_at <= now) {
        c.out += c.replies.front().bytes;
        c.replies.pop_front();
    }
}

void Server::reboot(Clock::time_point now) {
    log("rebooting: connections dropped, back in " + std::to_string(settings_.reboot_time.count()) +
        " ms");
    // Listeners go first, so that nobody who has seen the answer to the
    // reboot command can still get a connection in.
    close_listeners();
    for (auto& c : connections_) {
        write_to(*c);  // the answer to the reboot command, if it still fits
        close_connection(*c);
    }
    connections_.clear();
    hislip_.drop_all();
    core_.reset();
    instrument_.power_on();
    reboot_pending_ = false;
    rebooting_until_ = now + settings_.reboot_time;
}

Clock::time_point Server::next_wake(Clock::time_point now) const {
    Clock::time_point t = now + std::chrono::seconds(1);
    if (rebooting_until_) t = std::min(t, *rebooting_until_);
    if (const auto timer = core_.next_timer()) t = std::min(t, *timer);
    for (const auto& c : connections_) {
        if (c->backlog) return now;
        if (c->pending) t = std::min(t, core_.wake_time(*c->pending, now));
        if (!c->replies.empty()) t = std::min(t, c->replies.front().ready_at);
        t = std::min(t, c->last_activity + settings_.idle_timeout);
    }
    t = std::min(t, hislip_.next_wake(now));
    return std::max(t, now);
}

void Server::watch(Connection& c) {
    // Input waits in the kernel while a call is pending or answers pile up.
    const std::size_t in_cap =
        c.kind == Kind::portmap_tcp ? max_portmap_record : settings_.max_record;
    std::uint32_t events = 0;
    if (c.in.size() < in_cap && c.out.size() < max_output) events |= EPOLLIN;
    if (!c.out.empty()) events |= EPOLLOUT;
    if (events == c.events) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = &c;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
    c.events = events;
}

void Server::run(const volatile std::sig_atomic_t& stop, const sigset_t& wait_mask) {
    epoll_event events[32];
    while (stop == 0) {
        auto now = Clock::now();
        if (rebooting_until_ && now >= *rebooting_until_) {
            std::string error;
            if (open_listeners(error)) {
                rebooting_until_.reset();
                log("back after reboot");
            } else {
                log("after reboot: " + error + "; trying again");
                rebooting_until_ = now + retry_bind;
            }
        }

        for (auto& c : connections_)
            process(*c, now);
        hislip_.serve(now, false);
        if (core_.reboot_requested() || reboot_pending_ || hislip_.reboot_requested()) {
            reboot(now);
        }
        for (auto& c : connections_) {
            if (!c->dead && !c->pending && now - c->last_activity >= settings_.idle_timeout) {
                log("connection " + std::to_string(c->id) + " idle too long, closed");
                close_connection(*c);
            }
        }
        connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                          [](const auto& c) { return c->dead; }),
                           connections_.end());
        for (auto& c : connections_)
            watch(*c);
        // HiSLIP keeps a set of its own, readable when any of its sockets is;
        // serve() below looks into it when the wait reports it readable.
        if (hislip_.wait_fd() != hislip_watched_) {
            if (hislip_watched_ >= 0) ::epoll_ctl(epoll_, EPOLL_CTL_DEL, hislip_watched_, nullptr);
            hislip_watched_ = -1;
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.ptr = &hislip_;
            if (hislip_.wait_fd() >= 0 &&
                ::epoll_ctl(epoll_, EPOLL_CTL_ADD, hislip_.wait_fd(), &ev) == 0)
                hislip_watched_ = hislip_.wait_fd();
        }

        const auto wake = next_wake(now);
        // Rounded up: waking a little late is harmless, early only spins.
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
        const int n = ::epoll_pwait(epoll_, events, 32,
                                    static_cast<int>(std::min<long long>(wait, 1000)), &wait_mask);
        if (n < 0) {
            if (errno == EINTR) continue;
            log(std::string("epoll_wait: ") + errno_text());
            return;
        }
        now = Clock::now();
        bool hislip_ready = false;
        for (int k = 0; k < n; ++k) {
            void* const tag = events[k].data.ptr;
            if (tag == &core_listener_) {
                accept_on(core_listener_, Kind::core, now);
            } else if (tag == &scpi_listener_) {
                accept_on(scpi_listener_, Kind::scpi, now);
            } else if (tag == &portmap_tcp_) {
                accept_on(portmap_tcp_, Kind::portmap_tcp, now);
            } else if (tag == &portmap_udp_) {
                serve_udp_portmap(portmap_udp_);
            } else if (tag == &portmap_broadcast_) {
                serve_udp_portmap(portmap_broadcast_);
            } else if (tag == &hislip_) {
                hislip_ready = true;  // served below, with the rest
            } else {
                // Connections are erased only before the wait, so `c` is alive.
                Connection& c = *static_cast<Connection*>(tag);
                if (c.dead) continue;
                if ((events[k].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) read_from(c, now);
                if (!c.dead && (events[k].events & EPOLLOUT) != 0) write_to(c);
            }
        }
        for (auto& c : connections_)
            process(*c, now);
        hislip_.serve(now, hislip_ready);
        if (core_.reboot_requested() || reboot_pending_ || hislip_.reboot_requested()) {
            reboot(now);
            continue;
        }
        for (auto& c : connections_) {
            if (!c->dead && !c->out.empty()) write_to(*c);
        }
    }
}

}  // namespace sim
