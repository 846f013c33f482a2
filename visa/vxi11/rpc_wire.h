#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace visa::vxi11::rpc {

// ONC RPC v2 (RFC 5531) on TCP, as much as the library's client and the
// simulator's servers need: numbers, big-endian words, record marking, call
// headers and reply headers. Pure functions of bytes, so both ends share one
// copy and it can be fuzzed without a network.

constexpr std::uint32_t msg_call = 0;
constexpr std::uint32_t msg_reply = 1;
constexpr std::uint32_t rpc_version = 2;
constexpr std::uint32_t reply_accepted = 0;
constexpr std::uint32_t reply_denied = 1;
// An authentication body is at most 400 bytes.
constexpr std::uint32_t max_auth_body = 400;

enum AcceptStat : std::uint32_t {
    success = 0,
    prog_unavail = 1,
    prog_mismatch = 2,
    proc_unavail = 3,
    garbage_args = 4,
    system_err = 5,
};

// Record marking: each fragment is behind a big-endian word whose top bit
// marks the last fragment and whose other bits give its length.
constexpr std::uint32_t last_fragment = 0x80000000u;

// The portmapper (RFC 1833): version 2 answers GETPORT, 3 and 4 GETADDR.
constexpr std::uint16_t pmap_port = 111;
constexpr std::uint32_t pmap_prog = 100000;
constexpr std::uint32_t pmap_vers = 2;
constexpr std::uint32_t pmap_proc_getport = 3;
constexpr std::uint32_t ipproto_tcp = 6;
constexpr std::uint32_t ipproto_udp = 17;

inline void put_u32(std::uint8_t* p, std::uint32_t v) {
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

inline std::uint32_t get_u32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
           std::uint32_t(p[3]);
}

void put_u32(std::string& out, std::uint32_t v);
std::uint32_t get_u32(std::string_view s, std::size_t at);

// The record mark and call header of a call with AUTH_NONE credentials and
// verifier, sent as one last fragment whose arguments are `args_size` bytes.
constexpr std::size_t call_header_size = 44;
void put_call_header(std::uint8_t* out, std::uint32_t xid, std::uint32_t prog, std::uint32_t vers,
                     std::uint32_t proc, std::uint32_t args_size);

enum class Reply {
    success,    // accepted and successful: the results start at `*results_at`
    other_xid,  // a reply, but to some other call
    denied,     // a well-formed MSG_DENIED
    failed,     // accepted, but not successful (no such program, bad arguments, ...)
    malformed,  // not a reply, or cut short
};

// Reads the header of a reply record to call `xid`.
Reply parse_reply(const std::uint8_t* msg, std::size_t size, std::uint32_t xid,
                  std::size_t* results_at);

enum class RecordResult { complete, need_more, bad };

// Looks for one whole record at the start of `data`. On `complete`, `*body`
// holds the joined fragments and `*consumed` the bytes used. A record longer
// than `max_body` or built from more than 16 fragments is `bad`: for the
// short replies this is used for (the portmapper's) that is no peer's need.
RecordResult take_record(const std::uint8_t* data, std::size_t size, std::size_t max_body,
                         std::vector<std::uint8_t>* body, std::size_t* consumed);

// Reassembles records from a stream, a piece at a time.
class RecordReader {
public:
    explicit RecordReader(std::size_t max_record) : max_record_(max_record) {}

    enum class Status { need_more, record, too_large };

    // Takes bytes from the front of `in` (consumed ones are erased) and
    // completes at most one record into `record`. too_large is final: the
    // peer is not following the protocol and the connection should go.
    Status next(std::string& in, std::string& record);

    bool idle() const { return partial_.empty() && !in_fragment_; }

private:
    std::size_t max_record_;
    std::string partial_;
    bool in_fragment_ = false;
    bool last_ = false;
    std::size_t fragment_left_ = 0;
};

// Prefixes one last-fragment record mark.
std::string frame_record(std::string_view msg);

// Servers' side.

struct CallHeader {
    std::uint32_t xid = 0;
    std::uint32_t prog = 0;
    std::uint32_t vers = 0;
    std::uint32_t proc = 0;
};

enum class CallParse { ok, not_a_call, bad_rpc_version, malformed };

// Parses a call message; on ok, `args_offset` is where the arguments start.
// bad_rpc_version still fills `xid` so that the caller can answer it.
CallParse parse_call(std::string_view msg, CallHeader& header, std::size_t& args_offset);

// An accepted reply with AUTH_NONE verifier; `body` is appended as given.
std::string accepted_reply(std::uint32_t xid, AcceptStat stat, std::string_view body = {});
// PROG_MISMATCH with the supported version range.
std::string prog_mismatch_reply(std::uint32_t xid, std::uint32_t low, std::uint32_t high);
// MSG_DENIED / RPC_MISMATCH for calls that are not RPC version 2.
std::string rpc_mismatch_reply(std::uint32_t xid);

}  // namespace visa::vxi11::rpc
