#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "visa/lan/found.h"

namespace visa::lan {

// Where a search sends its portmapper question: an interface's broadcast
// address (port 111), or in tests any address and port.
struct Destination {
    sockaddr_in addr{};
    std::string interface;  // for the log ("eth0"); may be empty
    // The interface's index: answers count only when they come in on it from
    // an address of its networks (see networks.h). 0 (tests): only an answer
    // from `addr` itself counts.
    unsigned ifindex = 0;
};

// The broadcast address, port 111, of every interface that is up, can
// broadcast, is not loopback and has an IPv4 address. Sends nothing.
std::vector<Destination> broadcast_destinations();

// What a datagram that came back is.
enum class Answer {
    instrument,  // a VXI-11 core is registered at the sender
    oversized,   // more than max_answer bytes
    garbage,     // not an RPC reply, or cut short
    other_xid,   // a reply to some other call
    refused,     // a well-formed rejection
    no_core,     // accepted, but port 0: no VXI-11 core registered
};
constexpr std::size_t max_answer = 1024;

// Judges one received datagram of `size` bytes (the whole size, even where
// fewer were kept) against call `xid`. Pure, for tests and fuzzing.
Answer judge_answer(const uint8_t* data, std::size_t size, uint32_t xid);
const char* answer_text(Answer answer);

// Sends one portmapper GETPORT for the VXI-11 core to each destination from
// one UDP socket and collects answers for `window_ms`, then returns the
// instruments that answered, one per sender address, in the order they
// answered. Without destinations it returns at once. Each send and each
// answer taken or ignored is logged with why. An answer from an address that
// is loopback, or not on a network of the interface it came in on, is
// ignored: anyone on the link can forge a sender.
std::vector<Found> vxi11_broadcast(const std::vector<Destination>& destinations,
                                   uint32_t window_ms);

}  // namespace visa::lan
