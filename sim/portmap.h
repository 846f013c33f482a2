#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "visa/vxi11/rpc_wire.h"

namespace sim {

namespace rpc = visa::vxi11::rpc;

struct PortmapInfo {
    std::string address;          // dotted IPv4 of this instrument
    std::uint16_t core_port = 0;  // the VXI-11 core channel (TCP)
    std::uint16_t own_port = rpc::pmap_port;
};

// Answers one portmapper / rpcbind call (RFC 1833): version 2 NULL, GETPORT
// and DUMP, versions 3 and 4 NULL and GETADDR (and GETVERSADDR), which
// clients built on libtirpc try before version 2. Only the VXI-11 core
// channel over TCP is registered; SET and UNSET are refused. Returns the
// reply message (without TCP record mark), or nothing when the message is
// not a call and must be dropped.
std::optional<std::string> answer_portmap(std::string_view msg, const PortmapInfo& info);

// "h1.h2.h3.h4.p1.p2" (RFC 1833 universal address for TCP/UDP over IPv4).
std::string universal_address(std::string_view address, std::uint16_t port);

}  // namespace sim
