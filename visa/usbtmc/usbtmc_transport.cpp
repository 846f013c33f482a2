#include "visa/usbtmc/usbtmc_transport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "visa/failure.h"
#include "visa/instrument_key.h"
#include "visa/log.h"
#include "visa/net.h"
#include "visa/rsrc_name.h"

namespace visa::usbtmc {
namespace {

// Names this file's lines in the library's log.
constexpr char log_module[] = "visa.usbtmc";

// Bounds on the polling loops, so a device that answers PENDING for ever
// cannot hang a session.
constexpr int max_status_polls = 200;
// A read gives up after this many transfers in a row with no data and no EOM.
constexpr int max_empty_transfers = 1000;
// How long an unlocked operation waits for another handle's claim to end
// (another process in the middle of its own operation) before it reports the
// instrument locked.
constexpr uint32_t claim_grace_ms = 50;

constexpr const char* udev_rule = "70-fwvisa-usbtmc.rules";

size_t round_up(size_t n, size_t unit) {
    return (n + unit - 1) / unit * unit;
}

}  // namespace

UsbtmcTransport::UsbtmcTransport() : opener_(&open_usbtmc_pipe) {}

UsbtmcTransport::UsbtmcTransport(PipeOpener opener) : opener_(std::move(opener)) {}

UsbtmcTransport::~UsbtmcTransport() = default;

void UsbtmcTransport::pause() {
    if (poll_interval_ms_ > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_interval_ms_));
}

ViStatus UsbtmcTransport::fail(PipeResult r, const char* what) {
    log_error(log_module, "%s: %s: %s", name_.c_str(), what, pipe_result_text(r));
    switch (r) {
        case PipeResult::timeout:
            return VI_ERROR_TMO;
        case PipeResult::no_device:
            lost_ = true;
            return VI_ERROR_CONN_LOST;
        case PipeResult::busy:
            return VI_ERROR_RSRC_LOCKED;
        default:
            return VI_ERROR_IO;
    }
}

ViStatus UsbtmcTransport::open(const RsrcName& name, uint32_t /*timeout_ms*/) {
    name_ = name.canonical();
    tags_ = &DeviceTags::of(instrument_key(name));
    std::string detail;
    PipeResult r = opener_(name, &pipe_, &detail);
    if (r == PipeResult::access) {
        // The device is there but its node is closed to this user: say which
        // node, and what opens it.
        std::string text = "no permission to open the USB device " + detail +
                           "; install the udev rule " + udev_rule +
                           " and plug the instrument in again";
        log_error(log_module, "%s: %s", name_.c_str(), text.c_str());
        record_failure_with_detail(failure(VI_ERROR_RSRC_BUSY, FWVISA_STAGE_DEVICE,
                                           FWVISA_CAUSE_REFUSED, {}, 0, text, EACCES));
        return VI_ERROR_RSRC_BUSY;
    }
    if (r == PipeResult::not_found || r == PipeResult::no_device) {
        log_error(log_module, "%s: no such USBTMC interface on the bus", name_.c_str());
        record_failure(failure(VI_ERROR_RSRC_NFOUND, FWVISA_STAGE_DEVICE, FWVISA_CAUSE_NOT_FOUND));
        return VI_ERROR_RSRC_NFOUND;
    }
    if (r != PipeResult::ok || pipe_ == nullptr) {
        log_error(log_module, "%s: opening %s failed: %s", name_.c_str(), detail.c_str(),
                  pipe_result_text(r));
        return VI_ERROR_IO;
    }
    identity_.manufacturer_id = name.usb_vendor;
    identity_.model_code = name.usb_model;
    identity_.serial_number = name.usb_serial;
    identity_.manufacturer_name = pipe_->manufacturer();
    identity_.model_name = pipe_->product();
    identity_.usb_interface = pipe_->endpoints().interface_number;
    identity_.usb_protocol = pipe_->endpoints().protocol;
    r = pipe_->claim();
    if (r == PipeResult::busy) {
        // Someone else holds the interface (a lock); capabilities are asked
        // for at the first operation that gets it.
        return VI_SUCCESS;
    }
    if (r != PipeResult::ok) {
        ViStatus st = fail(r, "claiming the interface");
        return st == VI_ERROR_CONN_LOST ? VI_ERROR_RSRC_NFOUND : st;
    }
    claimed_ = true;
    fetch_capabilities();
    end_operation();
    return lost_ ? VI_ERROR_RSRC_NFOUND : VI_SUCCESS;
}

std::optional<DeviceIdentity> UsbtmcTransport::identity() const {
    if (pipe_ == nullptr) return std::nullopt;
    DeviceIdentity id = identity_;
    // Known once an operation got the interface and asked for them.
    if (caps_) id.ieee4882 = caps_->ieee4882;
    return id;
}

void UsbtmcTransport::fetch_capabilities() {
    if (caps_) return;
    uint8_t reply[capabilities_size] = {};
    size_t n = 0;
    PipeResult r = pipe_->control_in(request_type_interface, get_capabilities, 0,
                                     pipe_->endpoints().interface_number, reply, capabilities_size,
                                     control_timeout_ms, &n);
    if (r == PipeResult::no_device) lost_ = true;
    if (r == PipeResult::ok) caps_ = decode_capabilities(reply, n);
    if (!caps_) {
        // Without them, nothing optional is used: the host scans for the
        // termination character itself.
        log_warning(log_module, "%s: GET_CAPABILITIES failed (%s); assuming none", name_.c_str(),
                    pipe_result_text(r));
        caps_ = Capabilities{};
    }
}

ViStatus UsbtmcTransport::begin(uint32_t timeout_ms) {
    if (pipe_ == nullptr) return VI_ERROR_INV_OBJECT;
    if (lost_) return VI_ERROR_CONN_LOST;
    if (claimed_) return VI_SUCCESS;
    net::Deadline grace(std::min(timeout_ms, claim_grace_ms));
    for (;;) {
        PipeResult r = pipe_->claim();
        if (r == PipeResult::ok) break;
        if (r != PipeResult::busy || grace.expired()) {
            if (r == PipeResult::busy)
                log_error(log_module, "%s: the interface is held by another session or process",
                          name_.c_str());
            return r == PipeResult::busy ? VI_ERROR_RSRC_LOCKED : fail(r, "claiming the interface");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    claimed_ = true;
    fetch_capabilities();
    return lost_ ? VI_ERROR_CONN_LOST : VI_SUCCESS;
}

void UsbtmcTransport::end_operation() {
    if (claimed_ && !locked_) {
        pipe_->release();
        claimed_ = false;
    }
}

ViStatus UsbtmcTransport::write(const ViByte* data, size_t count, bool end, uint32_t timeout_ms,
                                size_t* written) {
    *written = 0;
    if (count == 0) return lost_ ? VI_ERROR_CONN_LOST : VI_SUCCESS;
    if (ViStatus st = begin(timeout_ms); st != VI_SUCCESS) return st;
    net::Deadline deadline(timeout_ms);
    // Whole packets per transfer, so that only the last transfer of a
    // message ends in a short packet.
    const size_t packet = pipe_->endpoints().bulk_out_packet;
    const size_t transfer = std::max(packet, max_transfer_ / packet * packet);
    const size_t per_transfer = std::max<size_t>(4, (transfer - header_size) & ~size_t{3});
    ViStatus st = VI_SUCCESS;
    while (*written < count) {
        const size_t n = std::min(per_transfer, count - *written);
        const bool last = *written + n == count;
        size_t sent = 0;
        st = write_transfer(data + *written, n, last && end, deadline.remaining_ms(), &sent);
        *written += sent;
        if (st != VI_SUCCESS) break;
    }
    end_operation();
    return st;
}

ViStatus UsbtmcTransport::write_transfer(const ViByte* data, size_t size, bool eom,
                                         uint32_t timeout_ms, size_t* sent) {
    *sent = 0;
    const uint8_t tag = tags_->next_bulk();
    const size_t total = header_size + size + padding_for(size);
    if (out_buf_.size() < total) out_buf_.resize(total);
    encode_msg_out(tag, uint32_t(size), eom, out_buf_.data());
    std::memcpy(out_buf_.data() + header_size, data, size);
    std::memset(out_buf_.data() + header_size + size, 0, total - header_size - size);
    size_t done = 0;
    PipeResult r = pipe_->bulk_out(out_buf_.data(), total, timeout_ms, &done);
    if (r == PipeResult::ok && done == total) {
        *sent = size;
        return VI_SUCCESS;
    }
    if (r == PipeResult::ok) r = PipeResult::io;
    ViStatus st = fail(r, "Bulk-OUT transfer");
    if (!lost_) abort_bulk_out(tag);
    return st;
}

ViStatus UsbtmcTransport::request_in(size_t max, const ReadOptions& opts, uint32_t timeout_ms) {
    const uint8_t tag = tags_->next_bulk();
    request_tag_ = tag;
    const bool device_term = opts.term_char_enabled && caps_ && caps_->term_char;
    uint8_t header[header_size];
    encode_request_in(tag, uint32_t(max), device_term, opts.term_char, header);
    size_t done = 0;
    PipeResult r = pipe_->bulk_out(header, header_size, timeout_ms, &done);
    if (r == PipeResult::ok && done == header_size) return VI_SUCCESS;
    if (r == PipeResult::ok) r = PipeResult::io;
    ViStatus st = fail(r, "sending REQUEST_DEV_DEP_MSG_IN");
    if (!lost_) abort_bulk_out(tag);
    return st;
}

ViStatus UsbtmcTransport::receive_in(size_t max, uint32_t timeout_ms, Header* header) {
    const uint8_t tag = request_tag_;
    const size_t packet = pipe_->endpoints().bulk_in_packet;
    const size_t total = round_up(header_size + max + 3, packet);
    if (in_buf_.size() < total) in_buf_.resize(total);
    size_t n = 0;
    PipeResult r = pipe_->bulk_in(in_buf_.data(), total, timeout_ms, &n);
    if (r == PipeResult::ok && n == 0) {
        // A zero-length packet that closed an earlier transfer of whole
        // packets; the reply follows it.
        r = pipe_->bulk_in(in_buf_.data(), total, timeout_ms, &n);
    }
    if (r != PipeResult::ok) {
        ViStatus st = fail(r, "Bulk-IN transfer");
        if (!lost_) {
            if (r == PipeResult::stall) pipe_->clear_halt(pipe_->endpoints().bulk_in);
            abort_bulk_in(tag);
        }
        return st;
    }
    const char* fault = nullptr;
    std::optional<Header> h;
    if (n < header_size || !(h = decode_header(in_buf_.data())))
        fault = "malformed DEV_DEP_MSG_IN header";
    else if (h->msg_id != dev_dep_msg_in)
        fault = "unexpected MsgID in the Bulk-IN header";
    else if (h->tag != tag)
        fault = "bTag mismatch in the Bulk-IN header";
    else if (h->size > max)
        fault = "more data than requested";
    else if (n < header_size + h->size)
        fault = "transfer shorter than its header says";
    if (fault != nullptr) {
        log_error(log_module, "%s: %s (request bTag %u, got %zu bytes)", name_.c_str(), fault,
                  unsigned(tag), n);
        abort_bulk_in(tag);
        return VI_ERROR_IO;
    }
    *header = *h;
    pending_pos_ = header_size;
    pending_end_ = header_size + h->size;
    pending_eom_ = (h->attributes & attr_eom) != 0;
    return VI_SUCCESS;
}

size_t UsbtmcTransport::take_pending(ViByte* buf, size_t count, const ReadOptions& opts,
                                     bool* at_term) {
    *at_term = false;
    const uint8_t* src = in_buf_.data() + pending_pos_;
    size_t take = std::min(pending_end_ - pending_pos_, count);
    if (opts.term_char_enabled) {
        auto hit = static_cast<const uint8_t*>(std::memchr(src, opts.term_char, take));
        if (hit != nullptr) {
            take = size_t(hit - src) + 1;
            *at_term = true;
        }
    }
    std::memcpy(buf, src, take);
    pending_pos_ += take;
    return take;
}

ViStatus UsbtmcTransport::read(ViByte* buf, size_t count, const ReadOptions& opts, size_t* got,
                               ReadStop* why) {
    *got = 0;
    if (ViStatus st = begin(opts.timeout_ms); st != VI_SUCCESS) return st;
    net::Deadline deadline(opts.timeout_ms);
    const size_t max_data = std::max<size_t>(4, max_transfer_ - header_size);
    ViStatus st = VI_SUCCESS;
    int empty = 0;
    for (;;) {
        if (pending_pos_ < pending_end_) {
            bool at_term = false;
            *got += take_pending(buf + *got, count - *got, opts, &at_term);
            if (at_term) {
                *why = ReadStop::term_char;
                break;
            }
            if (pending_pos_ == pending_end_ && pending_eom_) {
                *why = ReadStop::end;
                break;
            }
            if (*got == count) {
                *why = ReadStop::count;
                break;
            }
        }
        if (deadline.expired() && *got > 0) {
            st = VI_ERROR_TMO;
            break;
        }
        Header h;
        const size_t max = std::min(count - *got, max_data);
        st = request_in(max, opts, deadline.remaining_ms());
        if (st == VI_SUCCESS) st = receive_in(max, deadline.remaining_ms(), &h);
        if (st != VI_SUCCESS) break;
        if (h.size == 0 && (h.attributes & attr_eom) == 0 && ++empty > max_empty_transfers) {
            log_error(log_module, "%s: %d empty transfers without EOM", name_.c_str(),
                      max_empty_transfers);
            st = VI_ERROR_IO;
            break;
        }
    }
    end_operation();
    return st;
}

uint8_t UsbtmcTransport::poll_status(uint8_t type, uint8_t request, uint16_t index, uint16_t size,
                                     std::vector<uint8_t>* reply, bool drain_in) {
    reply->assign(size, 0);
    for (int i = 0; i < max_status_polls; ++i) {
        size_t n = 0;
        PipeResult r =
            pipe_->control_in(type, request, 0, index, reply->data(), size, control_timeout_ms, &n);
        if (r == PipeResult::no_device) lost_ = true;
        if (r != PipeResult::ok || n < 1) return status_failed;
        if ((*reply)[0] != status_pending) return (*reply)[0];
        if (drain_in && n >= 2 && ((*reply)[1] & 0x01) != 0) drain_bulk_in();
        pause();
    }
    log_error(log_module, "%s: request %u still pending after %d polls", name_.c_str(),
              unsigned(request), max_status_polls);
    return status_pending;
}

void UsbtmcTransport::drain_bulk_in() {
    const size_t packet = pipe_->endpoints().bulk_in_packet;
    const size_t size = std::max(packet, round_up(4096, packet));
    if (in_buf_.size() < size) in_buf_.resize(size);
    for (int i = 0; i < max_drain_transfers; ++i) {
        size_t n = 0;
        PipeResult r = pipe_->bulk_in(in_buf_.data(), size, control_timeout_ms, &n);
        if (r == PipeResult::no_device) lost_ = true;
        if (r != PipeResult::ok || n < size) return;  // a short packet ends the transfer
    }
}

void UsbtmcTransport::abort_bulk_out(uint8_t tag) {
    const Endpoints& ep = pipe_->endpoints();
    uint8_t reply[initiate_abort_size] = {};
    size_t n = 0;
    PipeResult r =
        pipe_->control_in(request_type_endpoint, initiate_abort_bulk_out, tag, ep.bulk_out, reply,
                          initiate_abort_size, control_timeout_ms, &n);
    if (r == PipeResult::no_device) {
        lost_ = true;
        return;
    }
    if (r == PipeResult::ok && n >= 1 && reply[0] == status_success) {
        std::vector<uint8_t> status;
        uint8_t s = poll_status(request_type_endpoint, check_abort_bulk_out_status, ep.bulk_out,
                                check_abort_size, &status, false);
        if (s != status_success)
            log_warning(log_module, "%s: aborting Bulk-OUT bTag %u ended with status 0x%02X",
                        name_.c_str(), unsigned(tag), unsigned(s));
    } else {
        log_warning(log_module, "%s: INITIATE_ABORT_BULK_OUT bTag %u: %s, status 0x%02X",
                    name_.c_str(), unsigned(tag), pipe_result_text(r), unsigned(reply[0]));
    }
    // The endpoint is halted after an abort, and may be stalled after a
    // failure the device refused; clearing resets both data toggles.
    r = pipe_->clear_halt(ep.bulk_out);
    if (r == PipeResult::no_device) lost_ = true;
}

void UsbtmcTransport::abort_bulk_in(uint8_t tag) {
    pending_pos_ = pending_end_ = 0;
    const Endpoints& ep = pipe_->endpoints();
    uint8_t reply[initiate_abort_size] = {};
    size_t n = 0;
    PipeResult r = pipe_->control_in(request_type_endpoint, initiate_abort_bulk_in, tag, ep.bulk_in,
                                     reply, initiate_abort_size, control_timeout_ms, &n);
    if (r == PipeResult::no_device) {
        lost_ = true;
        return;
    }
    if (r != PipeResult::ok || n < 1 || reply[0] != status_success) {
        // FAILED: nothing queued for that tag; the endpoint is idle already.
        log_warning(log_module, "%s: INITIATE_ABORT_BULK_IN bTag %u: %s, status 0x%02X",
                    name_.c_str(), unsigned(tag), pipe_result_text(r), unsigned(reply[0]));
        return;
    }
    // The device ends what it was sending with a short packet; read to it.
    drain_bulk_in();
    std::vector<uint8_t> status;
    uint8_t s = poll_status(request_type_endpoint, check_abort_bulk_in_status, ep.bulk_in,
                            check_abort_size, &status, true);
    if (s != status_success)
        log_warning(log_module, "%s: aborting Bulk-IN bTag %u ended with status 0x%02X",
                    name_.c_str(), unsigned(tag), unsigned(s));
}

ViStatus UsbtmcTransport::close(uint32_t /*timeout_ms*/) {
    locked_ = false;
    end_operation();
    pipe_.reset();
    return VI_SUCCESS;
}

}  // namespace visa::usbtmc
