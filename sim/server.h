#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "accept.h"
#include "hislip_server.h"
#include "instrument.h"
#include "visa/vxi11/rpc_wire.h"
#include "vxi11_core.h"

namespace sim {

namespace rpc = visa::vxi11::rpc;

struct ServerSettings {
    std::string address;                          // 127.x.y.z, or see AddressScope
    std::uint16_t vxi11_port = 0;                 // 0: ephemeral
    std::uint16_t socket_port = 5025;             // 0: ephemeral
    std::uint16_t portmap_port = rpc::pmap_port;  // 0: none
    std::uint16_t hislip_port = 4880;             // 0: ephemeral
    std::size_t max_connections = 16;
    std::chrono::milliseconds idle_timeout{600000};
    std::chrono::milliseconds reboot_time{2000};
    std::optional<std::uint64_t> drop_in_block;
    std::size_t max_record = (1u << 20) + 4096;  // core channel RPC record cap
    bool verbose = false;
};

// The process's sockets and its single-threaded poll() loop: the VXI-11
// core channel, the portmapper (TCP and UDP) and the raw SCPI socket, all on
// one address (loopback, or an interface of a private network namespace,
// where the portmapper also hears that interface's broadcasts). Every connection has bounded
// buffers and an idle timeout; a misbehaving peer loses its connection, never the process.
class Server {
public:
    Server(ServerSettings settings, Instrument& instrument, Vxi11Core& core,
           Vxi11Core::Transcript transcript);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens on everything asked for (the portmapper unless its
    // port is 0); any listener that cannot bind fails the whole.
    bool open(std::string& error);
    std::uint16_t vxi11_port() const { return vxi11_port_; }
    std::uint16_t socket_port() const { return socket_port_; }
    // The portmapper's port, 0 when none is served.
    std::uint16_t portmap_port() const { return portmap_wanted_ ? settings_.portmap_port : 0; }
    HislipServer& hislip() { return hislip_; }

    // Serves until `stop` becomes non-zero; signals are delivered only while
    // waiting in epoll_pwait with `wait_mask`.
    void run(const volatile std::sig_atomic_t& stop, const sigset_t& wait_mask);

private:
    enum class Kind { core, portmap_tcp, scpi };
    struct Reply {
        std::string bytes;
        Clock::time_point ready_at;
    };
    struct Connection {
        ConnectionId id = 0;
        int fd = -1;
        Kind kind = Kind::core;
        std::string in;
        std::string out;
        rpc::RecordReader records{0};
        std::optional<Vxi11Call> pending;
        MessageSplitter splitter;
        std::deque<Reply> replies;
        Clock::time_point last_activity;
        bool backlog = false;  // input left unprocessed to give others a turn
        bool dead = false;
        std::uint32_t events = 0;  // what epoll watches for
    };

    bool open_listeners(std::string& error);
    void close_listeners();
    void accept_on(int listener, Kind kind, Clock::time_point now);
    // Answers what waits on `from_fd` through the portmapper's own UDP
    // socket, so that every answer comes from this instrument's address.
    void serve_udp_portmap(int from_fd);
    void process(Connection& c, Clock::time_point now);
    void process_core(Connection& c, Clock::time_point now);
    void process_portmap(Connection& c);
    void process_scpi(Connection& c, Clock::time_point now);
    void read_from(Connection& c, Clock::time_point now);
    void write_to(Connection& c);
    void close_connection(Connection& c);
    // Tells epoll what the connection waits for now, when that changed.
    void watch(Connection& c);
    void watch_listener(int& fd);
    void reboot(Clock::time_point now);
    Clock::time_point next_wake(Clock::time_point now) const;
    void log(const std::string& line) const;

    ServerSettings settings_;
    Instrument& instrument_;
    Vxi11Core& core_;
    Vxi11Core::Transcript transcript_;
    int core_listener_ = -1;
    int scpi_listener_ = -1;
    int portmap_tcp_ = -1;
    int portmap_udp_ = -1;
    int portmap_broadcast_ = -1;  // the interface's broadcast address, port 111
    int epoll_ = -1;
    int hislip_watched_ = -1;  // HiSLIP's set, as registered with epoll_
    bool portmap_wanted_ = true;
    std::uint16_t vxi11_port_ = 0;
    std::uint16_t socket_port_ = 0;
    std::vector<std::unique_ptr<Connection>> connections_;
    ConnectionId next_id_ = 1;
    std::optional<Clock::time_point> rebooting_until_;
    RefusalLog refusals_;
    bool reboot_pending_ = false;  // asked for over the raw socket
    HislipServer hislip_;
};

}  // namespace sim
