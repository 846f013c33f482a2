#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "visa/net.h"

namespace visa::vxi11 {

// One ONC RPC client conversation over a connected TCP socket (RFC 5531,
// record marking), one call at a time, with an absolute deadline per call.
//
// The RPC library's own client applies its time-out to each poll() and keeps
// reading past replies it discards, so a peer that trickles bytes or answers
// with other transaction ids can hold it for ever. Here every byte is read
// against the caller's deadline, and any reply that is not the answer to the
// call just made ends the conversation: with one call outstanding at a time
// there is nothing else it could legitimately be.
class RpcStream {
public:
    enum class Result {
        ok,         // accepted and successful: results() holds the results
        rejected,   // a well-formed reply refusing the call; the stream stays usable
        timed_out,  // the deadline passed before the whole reply arrived
        closed,     // the peer closed or reset the connection
        garbage,    // a reply that cannot be the answer: wrong id, malformed, too long
    };

    // `fd` is connected, in blocking mode, and stays owned by the caller (the
    // stream sets its receive time-out). Transaction ids count up from
    // `first_xid`.
    RpcStream(int fd, uint32_t prog, uint32_t vers, uint32_t first_xid);

    // Sends one call of procedure `proc` whose arguments are `args` followed
    // by `data` (an opaque's bytes; padding is added here), then waits for its
    // reply until `deadline`. A reply record longer than `max_reply` bytes is
    // garbage. Only ok and rejected leave the stream in step; after any other
    // result it must not be used again.
    Result call(uint32_t proc, const void* args, size_t args_size, const void* data,
                size_t data_size, const net::Deadline& deadline, size_t max_reply);

    // The procedure's results (XDR) of the last ok call.
    const uint8_t* results() const { return record_.data() + results_at_; }
    size_t results_size() const { return record_.size() - results_at_; }

private:
    Result send_call(uint32_t proc, const void* args, size_t args_size, const void* data,
                     size_t data_size, const net::Deadline& deadline);
    Result read_record(const net::Deadline& deadline, size_t max_record);
    Result fill(size_t want, const net::Deadline& deadline);
    // Makes the socket's receive time-out end no later than `deadline`;
    // false once the deadline has passed.
    bool bound_wait(const net::Deadline& deadline);
    Result parse_reply(uint32_t xid);

    int fd_;
    uint32_t prog_;
    uint32_t vers_;
    uint32_t next_xid_;
    std::vector<uint8_t> in_;  // bytes received and not yet taken
    size_t in_begin_ = 0;
    size_t in_end_ = 0;
    std::vector<uint8_t> record_;
    size_t results_at_ = 0;
    int rcv_timeout_ms_ = 0;  // SO_RCVTIMEO in force; 0: none
};

}  // namespace visa::vxi11
