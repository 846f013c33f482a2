#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "visa.h"
#include "visa/net.h"

namespace visa::vxi11 {

enum class PortQuery {
    port,           // `*port` is set; 0 means the host has no core registered
    no_connection,  // nothing accepted the connection; `*status` says why
    malformed,      // an answer to our call that is malformed or a refusal
    no_answer,      // no usable answer in time; `*status` is the last I/O status
};

// Asks the portmapper at `addr` (TCP) on which port the VXI-11 core channel
// listens, all within `deadline`. Replies to other calls are skipped; a few
// records of a few KiB bound a talkative or hostile peer.
PortQuery query_core_port(const sockaddr_in& addr, uint32_t xid, const net::Deadline& deadline,
                          uint16_t* port, ViStatus* status);

}  // namespace visa::vxi11
