#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "visa/lan/found.h"

namespace visa::lan {

// The DNS-SD service types instruments announce, and the simulator with them.
inline constexpr char mdns_vxi11[] = "_vxi-11._tcp";
inline constexpr char mdns_hislip[] = "_hislip._tcp";
inline constexpr char mdns_scpi_raw[] = "_scpi-raw._tcp";

// Why mDNS was skipped when the daemon that does it for us is absent.
inline constexpr char avahi_not_running[] = "avahi-daemon is not running";

// The resource string a resolved service stands for: _vxi-11._tcp gives
// TCPIP0::<address>::inst0::INSTR, _hislip._tcp TCPIP0::<address>::hislip0::INSTR
// (with ",<port>" after hislip0 unless the port is HiSLIP's own), and
// _scpi-raw._tcp TCPIP0::<address>::<port>::SOCKET. Empty for another type, or
// for a raw socket or HiSLIP service on port 0.
std::string mdns_resource(std::string_view type, std::string_view address, uint16_t port);

struct MdnsSearch {
    std::vector<Found> found;  // in the order resolved, each resource once
    std::string skipped;       // why no browse was made; empty when it was
};

// Browses the three service types on IPv4 through avahi-daemon (over the
// system D-Bus) and resolves each instance, until `window_ms` has passed or
// every browser has reported all it knows and every resolution is done. With
// a window of 0 it only finds out whether the daemon answers. Never starts
// the daemon. A service whose address is loopback, or not on a network of the
// interface it was heard on, is ignored (networks.h).
MdnsSearch mdns_browse(uint32_t window_ms);

}  // namespace visa::lan
