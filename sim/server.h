#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "event_loop.h"
#include "hislip_server.h"
#include "instrument.h"
#include "portmap.h"
#include "stream_pool.h"
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

// The process's sockets on its one event loop: the VXI-11 core channel, the
// portmapper (TCP and UDP), the raw SCPI socket and HiSLIP, all on one
// address (loopback, or an interface of a private network namespace, where
// the portmapper also hears that interface's broadcasts). Every connection
// goes through the shared stream pool, with bounded buffers and an idle
// timeout; a misbehaving peer loses its connection, never the process.
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
    // waiting, with `wait_mask`.
    void run(const volatile std::sig_atomic_t& stop, const sigset_t& wait_mask);

private:
    class CoreStream;
    class ScpiStream;
    class PortmapStream;
    class UdpPortmap;

    bool open_listeners(std::string& error);
    bool open_portmap(std::string& error);
    void close_listeners();
    // Answers what waits on `from_fd` through the portmapper's own UDP
    // socket, so that every answer comes from this instrument's address.
    void serve_udp_portmap(int from_fd);
    PortmapInfo portmap_info() const;
    // One turn of every protocol, then the reboot a command asked for or
    // the answers sent.
    void serve(Clock::time_point now);
    void reboot(Clock::time_point now);
    void reopen_after_reboot(Clock::time_point now);
    Clock::time_point next_wake(Clock::time_point now) const;
    void log(const std::string& line) const;

    ServerSettings settings_;
    Instrument& instrument_;
    Vxi11Core& core_;
    Vxi11Core::Transcript transcript_;
    EventLoop loop_;
    StreamPool streams_;  // core channel, raw socket, portmapper over TCP
    std::unique_ptr<UdpPortmap> portmap_udp_;
    std::unique_ptr<UdpPortmap> portmap_broadcast_;  // the interface's broadcast address
    bool portmap_wanted_ = true;
    std::uint16_t vxi11_port_ = 0;
    std::uint16_t socket_port_ = 0;
    std::optional<Clock::time_point> rebooting_until_;
    bool reboot_pending_ = false;  // asked for over the raw socket
    HislipServer hislip_;
};

}  // namespace sim
