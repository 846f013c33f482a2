#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace visa::vxi11 {

// Wire helpers for the one portmapper question the library asks (RFC 1833,
// version 2, GETPORT over TCP). Pure functions of bytes, so they can be
// tested and fuzzed without a network.

constexpr uint32_t pmap_prog = 100000;
constexpr uint32_t pmap_vers = 2;
constexpr uint32_t pmap_proc_getport = 3;
constexpr uint32_t ipproto_tcp = 6;

// The complete TCP record (record mark included) asking for the port of
// program `prog` version `vers` over TCP.
std::vector<uint8_t> getport_call(uint32_t xid, uint32_t prog, uint32_t vers);

enum class RecordResult { complete, need_more, bad };

// Looks for one whole record at the start of `data` (RFC 5531 record
// marking: fragments, each behind a big-endian word whose top bit marks the
// last one). On `complete`, `*body` holds the joined fragments and
// `*consumed` the bytes used. A record longer than `max_body` or built from
// more than 16 fragments is `bad`: a portmapper reply is a few dozen bytes.
RecordResult take_record(const uint8_t* data, size_t size, size_t max_body,
                         std::vector<uint8_t>* body, size_t* consumed);

enum class ReplyResult { port, other_xid, bad, refused };

// Decodes a GETPORT reply body. `port` on success (0 means the program is
// not registered); `other_xid` for a reply to some other call; `refused`
// for a well-formed rejection; `bad` for anything malformed.
ReplyResult parse_getport_reply(const uint8_t* body, size_t size, uint32_t xid, uint16_t* port);

}  // namespace visa::vxi11
