#include <cstring>

#include "visa/hislip/hislip_transport.h"
#include "visa/log.h"
#include "visa/net.h"

// The HiSLIP transport's operations on the asynchronous channel: lock,
// unlock, device clear and the status byte. The data channel and the
// connection are in hislip_transport.cpp.

namespace visa::hislip {
namespace {

// Names this file's lines in the library's log.
constexpr char log_module[] = "visa.hislip";

// The server is told the caller's lock time-out; its answer may take this
// much longer to arrive. Kept inside the half second by which every call may
// overrun its time-out, with room for the session's own lock table.
constexpr uint32_t answer_grace_ms = 300;

uint32_t with_grace(uint32_t ms) {
    if (ms == VI_TMO_INFINITE || ms > VI_TMO_INFINITE - answer_grace_ms) return VI_TMO_INFINITE;
    return ms + answer_grace_ms;
}

}  // namespace

ViStatus HislipTransport::lock(uint32_t timeout_ms) {
    if (ViStatus st = usable(); st != VI_SUCCESS) return st;
    net::Deadline deadline(with_grace(timeout_ms));
    // An empty lock string asks for the exclusive lock.
    Header h;
    if (ViStatus st = ask_async(Header{Type::async_lock, lock_request, timeout_ms, 0},
                                Type::async_lock_response, &h, deadline);
        st != VI_SUCCESS)
        return st;
    switch (h.control) {
        case lock_granted:
            locked_ = true;
            return VI_SUCCESS;
        case lock_failed: {
            std::string holders;
            // Only for the log line: never worth overrunning the call or
            // ending the session over an answer that comes too late.
            if (version_ >= version_1_1 && !deadline.expired() &&
                ask_async(Header{Type::async_lock_info, 0, 0, 0}, Type::async_lock_info_response,
                          &h, deadline) == VI_SUCCESS)
                holders = h.control != 0 ? " (held exclusively)"
                                         : " (" + std::to_string(h.param) + " shared holders)";
            log_error(log_module, "%s: the instrument is locked by another client%s",
                      where_.c_str(), holders.c_str());
            return VI_ERROR_TMO;
        }
        default:
            log_error(log_module, "%s: lock request refused (code %u)", where_.c_str(),
                      unsigned(h.control));
            return VI_ERROR_IO;
    }
}

ViStatus HislipTransport::unlock(uint32_t timeout_ms) {
    return release(net::Deadline(timeout_ms));
}

ViStatus HislipTransport::release(const net::Deadline& deadline) {
    if (ViStatus st = usable(); st != VI_SUCCESS) return st;
    // The id tells the server to release only after what we sent before.
    Header h;
    if (ViStatus st = ask_async(Header{Type::async_lock, 0, last_sent_id_, 0},
                                Type::async_lock_response, &h, deadline);
        st != VI_SUCCESS)
        return st;
    locked_ = false;
    if (h.control == lock_granted || h.control == lock_shared_released) return VI_SUCCESS;
    return VI_ERROR_SESN_NLOCKED;
}

ViStatus HislipTransport::clear(uint32_t timeout_ms) {
    if (ViStatus st = usable(); st != VI_SUCCESS) return st;
    net::Deadline deadline(timeout_ms);
    Header h;
    if (ViStatus st = ask_async(Header{Type::async_device_clear, 0, 0, 0},
                                Type::async_device_clear_acknowledge, &h, deadline);
        st != VI_SUCCESS)
        return st;
    // Whatever the data channel still brings before the acknowledgement
    // belongs to the time before the clear.
    if (in_data_) sync_in_.drop_data();
    in_data_ = false;
    // We ask for synchronized mode: it is the one in which stale answers can
    // be told from current ones.
    if (ViStatus st =
            send(Channel::sync, Header{Type::device_clear_complete, 0, 0, 0}, nullptr, 0, deadline);
        st != VI_SUCCESS)
        return st;
    for (;;) {
        Decoder::Status ds = sync_in_.next(&h);
        if (ds == Decoder::Status::need_more) {
            if (ViStatus st = receive(Channel::sync, deadline); st != VI_SUCCESS) {
                // The server still waits to finish the clear; nothing sent
                // now would be taken as we mean it.
                if (st == VI_ERROR_TMO) {
                    log_error(log_module,
                              "%s: device clear not acknowledged in time; session ended",
                              where_.c_str());
                    fail();
                }
                return st;
            }
            continue;
        }
        if (ds == Decoder::Status::bad_header)
            return protocol_fault(Channel::sync, "malformed message header", FatalCode::bad_header);
        if (ds == Decoder::Status::data) {
            sync_in_.drop_data();
            continue;
        }
        if (ds != Decoder::Status::message) continue;
        if (h.type == Type::fatal_error || h.type == Type::error)
            return peer_error(Channel::sync, h, sync_in_.payload());
        if (h.type == Type::device_clear_acknowledge) break;
    }
    overlapped_ = (h.control & prefer_overlapped) != 0;
    next_id_ = first_message_id;
    last_sent_id_ = answer_id_ = no_message_id;
    rmt_delivered_ = false;
    return VI_SUCCESS;
}

ViStatus HislipTransport::read_stb(uint32_t timeout_ms, ViUInt16* stb) {
    if (ViStatus st = usable(); st != VI_SUCCESS) return st;
    net::Deadline deadline(timeout_ms);
    Header q{Type::async_status_query, rmt_delivered_ ? rmt_delivered : uint8_t(0), last_sent_id_,
             0};
    if (ViStatus st = send(Channel::async, q, nullptr, 0, deadline); st != VI_SUCCESS) return st;
    rmt_delivered_ = false;
    Header h;
    if (ViStatus st = await_async(Type::async_status_response, &h, nullptr, deadline);
        st != VI_SUCCESS)
        return st;
    *stb = h.control;
    return VI_SUCCESS;
}

}  // namespace visa::hislip
