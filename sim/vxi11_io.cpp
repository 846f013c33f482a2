#include <algorithm>

#include "vxi11_core.h"
#include "vxi11_reply.h"

// The core's I/O procedures: write, read, status byte and clear, once the
// link and the lock let them through.

namespace sim {

namespace rpc = visa::vxi11::rpc;
using vxi11_reply::encode;
using vxi11_reply::ok_reply;

namespace {

// A single read hands over at most this much; the client reads again.
constexpr std::uint32_t max_read_chunk = 1u << 20;

}  // namespace

// Trigger, remote, local, enable SRQ: accepted, nothing to do.
Vxi11Core::Step Vxi11Core::do_accept(ConnectionId, Vxi11Call& call, Link*, Clock::time_point) {
    return error_reply(call, VXI11_ERR_NONE);
}

Vxi11Core::Step Vxi11Core::do_unsupported(ConnectionId, Vxi11Call& call, Link*, Clock::time_point) {
    return error_reply(call, VXI11_ERR_NOT_SUPPORTED);
}

Vxi11Core::Step Vxi11Core::do_readstb(ConnectionId, Vxi11Call& call, Link* link,
                                      Clock::time_point now) {
    const bool mav = link->input.answer_ready(now);
    const bool eav = instrument_.errors().size() != 0;
    Device_ReadStbResp r{VXI11_ERR_NONE, 0};
    r.stb = static_cast<u_char>((mav ? 0x10 : 0) | (eav ? 0x04 : 0));
    return {Step::reply, ok_reply(call.xid, encode(xdr_Device_ReadStbResp, r))};
}

// Device clear: input and output of this link are flushed.
Vxi11Core::Step Vxi11Core::do_clear(ConnectionId, Vxi11Call& call, Link* link, Clock::time_point) {
    link->input.clear();
    return error_reply(call, VXI11_ERR_NONE);
}

std::uint64_t Vxi11Core::take_slowly(Vxi11Call& call, std::int32_t& error) const {
    if (!settings_.accept_bytes_per_ms) return 0;
    // A slow device: what the time-out leaves time for is taken, the rest
    // is not, and the answer comes when the taking is done.
    const std::uint64_t rate = std::max<std::uint32_t>(*settings_.accept_bytes_per_ms, 1);
    const auto limit_ms = static_cast<std::uint64_t>(
        std::min<std::chrono::milliseconds>(std::chrono::milliseconds(call.io_timeout),
                                            settings_.max_wait)
            .count());
    const std::uint64_t slow_ms = (call.data.size() + rate - 1) / rate;
    if (slow_ms <= limit_ms) return slow_ms;
    call.data.resize(
        static_cast<std::size_t>(std::min<std::uint64_t>(rate * limit_ms, call.data.size())));
    error = VXI11_ERR_IO_TIMEOUT;
    return limit_ms;
}

Vxi11Core::Step Vxi11Core::do_write(ConnectionId, Vxi11Call& call, Link* link,
                                    Clock::time_point now) {
    if (settings_.refuse_write && ++writes_seen_ == *settings_.refuse_write) {
        transcript_("[device_write " + std::to_string(writes_seen_) + " refused, " +
                    std::to_string(call.data.size()) + " bytes]");
        Device_WriteResp r{VXI11_ERR_IO, 0};
        return {Step::reply, ok_reply(call.xid, encode(xdr_Device_WriteResp, r))};
    }
    std::int32_t error = VXI11_ERR_NONE;
    const std::uint64_t slow_ms = take_slowly(call, error);
    // A write cut short carries no END: its last bytes are not the message's.
    const bool end = (call.flags & VXI11_FLAG_END) != 0 && error == VXI11_ERR_NONE;
    const auto fed = link->input.feed(call.data, end, 0, now);
    if (fed.reboot) reboot_requested_ = true;
    if (fed.dropped) return {Step::drop, {}};
    Device_WriteResp r{error, static_cast<u_long>(call.data.size())};
    std::string reply = ok_reply(call.xid, encode(xdr_Device_WriteResp, r));
    call.data.clear();
    const std::uint64_t defer_ms = std::max<std::uint64_t>(slow_ms, fed.quiet_ms);
    if (defer_ms > 0) {
        call.done_reply = std::move(reply);
        call.done_at = now + std::chrono::milliseconds(defer_ms);
        return {Step::wait, {}};
    }
    return {Step::reply, std::move(reply)};
}

Vxi11Core::Step Vxi11Core::do_read(ConnectionId, Vxi11Call& call, Link* link,
                                   Clock::time_point now) {
    Device_ReadResp r{};
    if (!link->input.answer_ready(now)) {
        if (now < deadline(call, call.io_timeout)) return {Step::wait, {}};
        r.error = VXI11_ERR_IO_TIMEOUT;
        return {Step::reply, ok_reply(call.xid, encode(xdr_Device_ReadResp, r))};
    }
    auto& replies = link->input.replies();
    Reply& front = replies.front();
    const std::string_view rest = std::string_view(front.bytes).substr(front.pos);
    std::size_t n = std::min<std::size_t>({rest.size(), call.request_size, max_read_chunk});
    std::int32_t reason = 0;
    if ((call.flags & VXI11_FLAG_TERMCHRSET) != 0) {
        const std::size_t at = rest.substr(0, n).find(call.term_char);
        if (at != std::string_view::npos) {
            n = at + 1;
            reason |= VXI11_REASON_CHR;
        }
    }
    if (n == rest.size()) reason |= VXI11_REASON_END;
    if (n == call.request_size) reason |= VXI11_REASON_REQCNT;
    std::string chunk(rest.substr(0, n));
    front.pos += n;
    if (front.pos == front.bytes.size()) replies.pop_front();
    r.reason = reason;
    r.data.data_len = static_cast<u_int>(chunk.size());
    r.data.data_val = chunk.data();
    return {Step::reply, ok_reply(call.xid, encode(xdr_Device_ReadResp, r, chunk.size()))};
}

}  // namespace sim
