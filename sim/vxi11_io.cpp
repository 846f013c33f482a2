#include <algorithm>

#include "vxi11_core.h"
#include "vxi11_reply.h"

// The core's I/O procedures: write, read, status byte, clear and the rest,
// once the link and the lock let them through.

namespace sim {

namespace rpc = visa::vxi11::rpc;
using vxi11_reply::encode;
using vxi11_reply::ok_reply;

namespace {

// A single read hands over at most this much; the client reads again.
constexpr std::uint32_t max_read_chunk = 1u << 20;

}  // namespace

// I/O procedures: another link's lock refuses them, or delays them with waitlock.
Vxi11Core::Step Vxi11Core::io_call(Vxi11Call& call, Link& link, Clock::time_point now) {
    const int gate = lock_gate(call, now);
    if (gate < 0) return {Step::wait, {}};
    switch (call.proc) {
        case device_write:
        case device_read:
        case device_readstb:
        case device_clear:
        case device_trigger:
        case device_remote:
        case device_local:
        case device_docmd:
            if (gate != 0) return error_reply(call, gate);
            break;
        default:
            return {Step::reply, rpc::accepted_reply(call.xid, rpc::proc_unavail)};
    }
    switch (call.proc) {
        case device_write:
            return do_write(call, link, now);
        case device_read:
            return do_read(call, link, now);
        case device_readstb: {
            const bool mav = !link.out.empty() && link.out.front().ready_at <= now;
            const bool eav = instrument_.errors().size() != 0;
            Device_ReadStbResp r{VXI11_ERR_NONE, 0};
            r.stb = static_cast<u_char>((mav ? 0x10 : 0) | (eav ? 0x04 : 0));
            return {Step::reply, ok_reply(call.xid, encode(xdr_Device_ReadStbResp, r))};
        }
        case device_clear:
            // Device clear: input and output of this link are flushed.
            link.splitter.reset();
            link.out.clear();
            return error_reply(call, VXI11_ERR_NONE);
        case device_docmd:
            return error_reply(call, VXI11_ERR_NOT_SUPPORTED);
        default:  // trigger, remote, local: accepted, nothing to do
            return error_reply(call, VXI11_ERR_NONE);
    }
}

Vxi11Core::Step Vxi11Core::do_write(Vxi11Call& call, Link& link, Clock::time_point now) {
    if (settings_.refuse_write && ++writes_seen_ == *settings_.refuse_write) {
        transcript_("[device_write " + std::to_string(writes_seen_) + " refused, " +
                    std::to_string(call.data.size()) + " bytes]");
        Device_WriteResp r{VXI11_ERR_IO, 0};
        return {Step::reply, ok_reply(call.xid, encode(xdr_Device_WriteResp, r))};
    }
    std::int32_t error = VXI11_ERR_NONE;
    std::uint64_t slow_ms = 0;
    if (settings_.accept_bytes_per_ms) {
        // A slow device: what the time-out leaves time for is taken, the rest
        // is not, and the answer comes when the taking is done.
        const std::uint64_t rate = std::max<std::uint32_t>(*settings_.accept_bytes_per_ms, 1);
        const std::uint64_t limit_ms = static_cast<std::uint64_t>(
            std::min<std::chrono::milliseconds>(std::chrono::milliseconds(call.io_timeout),
                                                settings_.max_wait)
                .count());
        slow_ms = (call.data.size() + rate - 1) / rate;
        if (slow_ms > limit_ms) {
            call.data.resize(static_cast<std::size_t>(
                std::min<std::uint64_t>(rate * limit_ms, call.data.size())));
            slow_ms = limit_ms;
            error = VXI11_ERR_IO_TIMEOUT;
        }
    }
    // A write cut short carries no END: its last bytes are not the message's.
    const bool end = (call.flags & VXI11_FLAG_END) != 0 && error == VXI11_ERR_NONE;
    const std::string_view data = call.data;
    std::uint64_t defer_ms = slow_ms;
    std::size_t pos = 0;
    link.splitter.set_block_threshold(settings_.drop_in_block);
    do {
        std::vector<ProgramMessage> messages;
        link.splitter.set_limit(instrument_.message_limit());
        const auto fed = link.splitter.feed(data.substr(pos), end, messages);
        pos += fed.consumed;
        for (const ProgramMessage& m : messages) {
            transcript_(m.transcript);
            const Outcome out = instrument_.execute(m);
            if (out.reply) {
                if (link.out.size() >= settings_.max_pending_replies) {
                    link.out.pop_front();
                    instrument_.errors().push(-410, "Query INTERRUPTED");
                }
                link.out.push_back(
                    Reply{*out.reply, 0, now + std::chrono::milliseconds(out.delay_ms)});
            } else {
                defer_ms = std::max<std::uint64_t>(defer_ms, out.delay_ms);
            }
            if (out.reboot) reboot_requested_ = true;
        }
        if (fed.block_threshold_hit) {
            transcript_(link.splitter.partial_transcript() + " [connection dropped]");
            link.splitter.reset();
            return {Step::drop, {}};
        }
    } while (pos < data.size());
    Device_WriteResp r{error, static_cast<u_long>(call.data.size())};
    std::string reply = ok_reply(call.xid, encode(xdr_Device_WriteResp, r));
    call.data.clear();
    if (defer_ms > 0) {
        call.done_reply = std::move(reply);
        call.done_at = now + std::chrono::milliseconds(defer_ms);
        return {Step::wait, {}};
    }
    return {Step::reply, std::move(reply)};
}

Vxi11Core::Step Vxi11Core::do_read(Vxi11Call& call, Link& link, Clock::time_point now) {
    Device_ReadResp r{};
    if (link.out.empty() || link.out.front().ready_at > now) {
        if (now < deadline(call, call.io_timeout)) return {Step::wait, {}};
        r.error = VXI11_ERR_IO_TIMEOUT;
        return {Step::reply, ok_reply(call.xid, encode(xdr_Device_ReadResp, r))};
    }
    Reply& front = link.out.front();
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
    if (front.pos == front.bytes.size()) link.out.pop_front();
    r.reason = reason;
    r.data.data_len = static_cast<u_int>(chunk.size());
    r.data.data_val = chunk.data();
    return {Step::reply, ok_reply(call.xid, encode(xdr_Device_ReadResp, r, chunk.size()))};
}

}  // namespace sim
