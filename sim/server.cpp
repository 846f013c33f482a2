#include "server.h"

#include <algorithm>
#include <cstdio>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include "platform/unique_fd.h"

namespace sim {

namespace {

constexpr std::size_t max_portmap_record = 4096;
constexpr auto retry_bind = std::chrono::milliseconds(100);
// Units worked through per connection and turn before the others get theirs.
constexpr int calls_per_turn = 64;
constexpr int portmap_calls_per_turn = 16;
constexpr std::size_t messages_per_turn = 256;
constexpr int datagrams_per_wake = 16;

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

PoolSettings pool_settings(const ServerSettings& s) {
    PoolSettings p;
    p.max_connections = s.max_connections;
    p.full_reason = "limit of " + std::to_string(s.max_connections) + " reached";
    p.idle_timeout = s.idle_timeout;
    p.verbose = s.verbose;
    return p;
}

}  // namespace

// The VXI-11 core channel: RPC records to the core, its replies back, in
// order; a waiting call holds back the ones behind it.
class Server::CoreStream : public Stream {
public:
    explicit CoreStream(Server& server) : server_(server), records_(server.settings_.max_record) {}

    void process(Clock::time_point now) override;
    void closed() override { server_.core_.connection_closed(id); }
    std::optional<Clock::time_point> idle_since() const override {
        if (pending_) return std::nullopt;
        return last_activity;
    }
    Clock::time_point wake(Clock::time_point now) const override {
        return pending_ ? server_.core_.wake_time(*pending_, now) : Clock::time_point::max();
    }

private:
    // The next step: the waiting call's, or a new record's; nothing when
    // there is none to take now.
    std::optional<Vxi11Core::Step> next_step(Clock::time_point now);

    Server& server_;
    rpc::RecordReader records_;
    std::optional<Vxi11Call> pending_;
};

std::optional<Vxi11Core::Step> Server::CoreStream::next_step(Clock::time_point now) {
    Vxi11Core& core = server_.core_;
    for (;;) {
        if (pending_) {
            auto step = core.resume(id, *pending_, now);
            if (step.kind == Vxi11Core::Step::wait) return std::nullopt;
            pending_.reset();
            return step;
        }
        std::string record;
        const auto status = records_.next(in, record);
        if (status == rpc::RecordReader::Status::need_more) return std::nullopt;
        if (status == rpc::RecordReader::Status::too_large) {
            server_.log("connection " + std::to_string(id) + ": RPC record too large, dropped");
            return Vxi11Core::Step{Vxi11Core::Step::drop, {}};
        }
        auto step = core.start(id, record, pending_, now);
        // Waiting without a pending call: not a call, ignored.
        if (step.kind != Vxi11Core::Step::wait) return step;
        if (pending_) return std::nullopt;
    }
}

void Server::CoreStream::process(Clock::time_point now) {
    for (int k = 0; !dead && out.size() < max_stream_output; ++k) {
        if (k == calls_per_turn) {
            backlog = true;
            return;
        }
        const auto step = next_step(now);
        if (!step) return;
        if (step->kind == Vxi11Core::Step::drop) {
            server_.streams_.close(*this);
            return;
        }
        out += rpc::frame_record(step->message);
        last_activity = now;
    }
}

// The raw SCPI socket: program messages end at LF, answers go out as they
// come due.
class Server::ScpiStream : public Stream {
public:
    explicit ScpiStream(Server& server)
        : server_(server),
          input_(server.instrument_, server.transcript_, {server.settings_.drop_in_block}) {}

    void process(Clock::time_point now) override {
        if (!in.empty() && out.size() < max_stream_output) {
            const auto fed = input_.feed(in, false, 0, now, messages_per_turn);
            in.erase(0, fed.consumed);
            if (fed.reboot) server_.reboot_pending_ = true;
            if (fed.dropped) return server_.streams_.close(*this);
            backlog = !in.empty() && fed.messages >= messages_per_turn;
        }
        input_.send_due(out, now);
    }
    void closed() override { input_.lost(); }
    Clock::time_point wake(Clock::time_point) const override {
        const auto& replies = input_.replies();
        return replies.empty() ? Clock::time_point::max() : replies.front().ready_at;
    }

private:
    Server& server_;
    ProgramInput input_;
};

class Server::PortmapStream : public Stream {
public:
    explicit PortmapStream(Server& server) : server_(server), records_(max_portmap_record) {}

    void process(Clock::time_point) override {
        for (int k = 0; !dead; ++k) {
            if (k == portmap_calls_per_turn) {
                backlog = true;
                return;
            }
            std::string record;
            const auto status = records_.next(in, record);
            if (status == rpc::RecordReader::Status::need_more) return;
            if (status == rpc::RecordReader::Status::too_large)
                return server_.streams_.close(*this);
            if (const auto reply = answer_portmap(record, server_.portmap_info()))
                out += rpc::frame_record(*reply);
        }
    }

private:
    Server& server_;
    rpc::RecordReader records_;
};

// A UDP socket of the portmapper: its own address's, or its interface's
// broadcast address's.
class Server::UdpPortmap final : public EventSink {
public:
    UdpPortmap(Server& server, int fd) : server_(server), fd_(fd) {}
    UdpPortmap(const UdpPortmap&) = delete;
    UdpPortmap& operator=(const UdpPortmap&) = delete;

    int fd() const { return fd_.get(); }
    void on_event(std::uint32_t, Clock::time_point) override {
        server_.serve_udp_portmap(fd_.get());
    }

private:
    Server& server_;
    platform::UniqueFd fd_;
};

Server::Server(ServerSettings settings, Instrument& instrument, Vxi11Core& core,
               Vxi11Core::Transcript transcript)
    : settings_(std::move(settings)),
      instrument_(instrument),
      core_(core),
      transcript_(std::move(transcript)),
      streams_(loop_, pool_settings(settings_)),
      hislip_(loop_,
              HislipSettings{settings_.address, settings_.hislip_port,
                             std::max<std::size_t>(1, settings_.max_connections / 2),
                             (1u << 20) + visa::hislip::header_size, settings_.idle_timeout,
                             settings_.idle_timeout, settings_.drop_in_block, settings_.verbose},
              instrument, transcript_) {
    portmap_wanted_ = settings_.portmap_port != 0;
    core_.share_lock([this] { return hislip_.holds_lock(); });
    hislip_.share_lock([this] { return core_.link_holds_lock(); });
}

Server::~Server() = default;

void Server::log(const std::string& line) const {
    std::fprintf(stderr, "fwsim: %s\n", line.c_str());
}

PortmapInfo Server::portmap_info() const {
    return PortmapInfo{settings_.address, vxi11_port_, settings_.portmap_port};
}

bool Server::open(std::string& error) {
    vxi11_port_ = settings_.vxi11_port;
    socket_port_ = settings_.socket_port;
    return loop_.open(error) && open_listeners(error);
}

bool Server::open_listeners(std::string& error) {
    const auto core = [this] { return std::make_unique<CoreStream>(*this); };
    const auto scpi = [this] { return std::make_unique<ScpiStream>(*this); };
    if (streams_.listen(settings_.address, vxi11_port_, core, settings_.max_record, error) &&
        streams_.listen(settings_.address, socket_port_, scpi, settings_.max_record, error) &&
        hislip_.open(error) && (!portmap_wanted_ || open_portmap(error)))
        return true;
    close_listeners();
    return false;
}

bool Server::open_portmap(std::string& error) {
    std::string why;
    std::uint16_t port = settings_.portmap_port;
    const auto tcp = [this] { return std::make_unique<PortmapStream>(*this); };
    bool ok = streams_.listen(settings_.address, port, tcp, max_portmap_record, why);
    // A broadcast search sends to the interface's broadcast address, which
    // a socket bound to the unicast one never hears. Several instruments in
    // one namespace each hear it, hence the address reuse.
    const std::string broadcast = broadcast_address_of(settings_.address);
    for (const auto& [address, sink] :
         {std::pair{settings_.address, &portmap_udp_}, std::pair{broadcast, &portmap_broadcast_}}) {
        if (!ok || address.empty()) continue;
        const int fd = listen_on(address, settings_.portmap_port, SOCK_DGRAM, port, why);
        ok = fd >= 0;
        if (!ok) continue;
        *sink = std::make_unique<UdpPortmap>(*this, fd);
        if (const auto failure = loop_.add(fd, EPOLLIN, sink->get())) {
            why = *failure;
            ok = false;
        }
    }
    // Fatal: a client asking port 111 of this address would reach whatever
    // else answers there and take it for this instrument.
    if (!ok) error = "portmapper: " + why + " (--no-portmap serves without one)";
    return ok;
}

void Server::close_listeners() {
    streams_.close_listeners();
    hislip_.close_listener();
    portmap_udp_.reset();
    portmap_broadcast_.reset();
}

void Server::serve_udp_portmap(int from_fd) {
    std::string buf(65536, '\0');
    for (int k = 0; k < datagrams_per_wake; ++k) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(from_fd, buf.data(), buf.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return;
        const auto reply = answer_portmap(std::string_view(buf.data(), static_cast<std::size_t>(n)),
                                          portmap_info());
        if (reply && portmap_udp_) {
            ::sendto(portmap_udp_->fd(), reply->data(), reply->size(), MSG_NOSIGNAL,
                     reinterpret_cast<sockaddr*>(&from), len);
        }
    }
}

void Server::reboot(Clock::time_point now) {
    log("rebooting: connections dropped, back in " + std::to_string(settings_.reboot_time.count()) +
        " ms");
    // Listeners go first, so that nobody who has seen the answer to the
    // reboot command can still get a connection in. The answer itself goes
    // out if it still fits.
    close_listeners();
    streams_.drop_all();
    hislip_.drop_all();
    core_.reset();
    instrument_.power_on();
    reboot_pending_ = false;
    rebooting_until_ = now + settings_.reboot_time;
}

void Server::reopen_after_reboot(Clock::time_point now) {
    if (!rebooting_until_ || now < *rebooting_until_) return;
    std::string error;
    if (open_listeners(error)) {
        rebooting_until_.reset();
        log("back after reboot");
    } else {
        log("after reboot: " + error + "; trying again");
        rebooting_until_ = now + retry_bind;
    }
}

Clock::time_point Server::next_wake(Clock::time_point now) const {
    Clock::time_point t = now + std::chrono::seconds(1);
    if (rebooting_until_) t = std::min(t, *rebooting_until_);
    if (const auto timer = core_.next_timer()) t = std::min(t, *timer);
    t = std::min({t, streams_.next_wake(now), hislip_.next_wake(now)});
    return std::max(t, now);
}

void Server::serve(Clock::time_point now) {
    streams_.process(now);
    hislip_.process(now);
    if (core_.reboot_requested() || reboot_pending_ || hislip_.reboot_requested()) {
        reboot(now);
        return;
    }
    streams_.send_all();
    hislip_.send_all();
}

void Server::run(const volatile std::sig_atomic_t& stop, const sigset_t& wait_mask) {
    while (stop == 0) {
        const auto now = Clock::now();
        reopen_after_reboot(now);
        // Timers that came due, and whatever the last turn freed for others
        // (a lock released lets a waiting call of another connection on).
        serve(now);
        streams_.settle(now);
        hislip_.settle(now);
        std::string error;
        if (!loop_.wait(next_wake(now), wait_mask, error)) {
            log(error);
            return;
        }
        serve(Clock::now());
    }
}

}  // namespace sim
