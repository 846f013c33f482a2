#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace visa::vxi11 {

// The one portmapper question the library asks (version 2, GETPORT over
// TCP), over the RPC wire helpers in rpc_wire.h. Pure functions of bytes, so
// they can be tested and fuzzed without a network.

// The complete TCP record (record mark included) asking for the port of
// program `prog` version `vers` over TCP.
std::vector<uint8_t> getport_call(uint32_t xid, uint32_t prog, uint32_t vers);

enum class ReplyResult { port, other_xid, bad, refused };

// Decodes a GETPORT reply body. `port` on success (0 means the program is
// not registered); `other_xid` for a reply to some other call; `refused`
// for a well-formed rejection; `bad` for anything malformed.
ReplyResult parse_getport_reply(const uint8_t* body, size_t size, uint32_t xid, uint16_t* port);

}  // namespace visa::vxi11
