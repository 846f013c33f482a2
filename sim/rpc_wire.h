#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace sim::rpc {

// ONC RPC v2 (RFC 5531) as much as a server needs.
constexpr std::uint32_t msg_call = 0;
constexpr std::uint32_t msg_reply = 1;

enum AcceptStat : std::uint32_t {
    success = 0,
    prog_unavail = 1,
    prog_mismatch = 2,
    proc_unavail = 3,
    garbage_args = 4,
    system_err = 5,
};

// Reassembles TCP record-marked records (RFC 5531 section 11): each fragment
// has a big-endian word, bit 31 = last fragment, bits 0-30 = its length.
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

// Prefixes one last-fragment record mark.
std::string frame_record(std::string_view msg);

void put_u32(std::string& out, std::uint32_t v);
std::uint32_t get_u32(std::string_view s, std::size_t at);

}  // namespace sim::rpc
