#include <algorithm>
#include <chrono>
#include <thread>

#include "visa/log.h"
#include "visa/net.h"
#include "visa/usbtmc/usbtmc_transport.h"

// The USBTMC transport's lock and its class requests (device clear, status
// byte). Transfers and their recovery are in usbtmc_transport.cpp.

namespace visa::usbtmc {
namespace {

// Names this file's lines in the library's log.
constexpr char log_module[] = "visa.usbtmc";

}  // namespace

ViStatus UsbtmcTransport::lock(uint32_t timeout_ms) {
    if (pipe_ == nullptr) return VI_ERROR_INV_OBJECT;
    if (lost_) return VI_ERROR_CONN_LOST;
    if (locked_) return VI_SUCCESS;
    net::Deadline deadline(timeout_ms);
    for (;;) {
        PipeResult r = claimed_ ? PipeResult::ok : pipe_->claim();
        if (r == PipeResult::ok) break;
        if (r != PipeResult::busy) return fail(r, "claiming the interface for a lock");
        if (deadline.expired()) {
            log_error(log_module,
                      "usb: %s: lock refused: the interface is held by another session or process",
                      name_.c_str());
            return VI_ERROR_TMO;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(5, deadline.poll_ms())));
    }
    claimed_ = true;
    locked_ = true;
    fetch_capabilities();
    return lost_ ? VI_ERROR_CONN_LOST : VI_SUCCESS;
}

ViStatus UsbtmcTransport::unlock(uint32_t /*timeout_ms*/) {
    if (!locked_) return VI_ERROR_SESN_NLOCKED;
    locked_ = false;
    end_operation();
    return VI_SUCCESS;
}

ViStatus UsbtmcTransport::clear(uint32_t timeout_ms) {
    if (ViStatus st = begin(timeout_ms); st != VI_SUCCESS) return st;
    pending_pos_ = pending_end_ = 0;
    const Endpoints& ep = pipe_->endpoints();
    uint8_t reply[initiate_clear_size] = {};
    size_t n = 0;
    PipeResult r = pipe_->control_in(request_type_interface, initiate_clear, 0, ep.interface_number,
                                     reply, initiate_clear_size, control_timeout_ms, &n);
    ViStatus st = VI_SUCCESS;
    if (r != PipeResult::ok || n < 1 || reply[0] != status_success) {
        st = r != PipeResult::ok ? fail(r, "INITIATE_CLEAR") : VI_ERROR_IO;
        if (r == PipeResult::ok)
            log_error(log_module, "%s: INITIATE_CLEAR refused, status 0x%02X", name_.c_str(),
                      unsigned(reply[0]));
    } else {
        std::vector<uint8_t> status;
        uint8_t s = poll_status(request_type_interface, check_clear_status, ep.interface_number,
                                check_clear_size, &status, true);
        if (s != status_success) {
            log_error(log_module, "%s: CHECK_CLEAR_STATUS ended with status 0x%02X", name_.c_str(),
                      unsigned(s));
            st = lost_ ? VI_ERROR_CONN_LOST : VI_ERROR_IO;
        }
    }
    if (!lost_ && pipe_->clear_halt(ep.bulk_out) == PipeResult::no_device) lost_ = true;
    end_operation();
    return lost_ ? VI_ERROR_CONN_LOST : st;
}

ViStatus UsbtmcTransport::read_stb(uint32_t timeout_ms, uint16_t* stb) {
    if (pipe_ != nullptr && !pipe_->endpoints().usb488 && !(caps_ && caps_->usb488))
        return VI_ERROR_NSUP_OPER;
    if (ViStatus st = begin(timeout_ms); st != VI_SUCCESS) return st;
    const Endpoints& ep = pipe_->endpoints();
    const uint8_t tag = tags_->next_stb();
    uint8_t reply[read_status_byte_size] = {};
    size_t n = 0;
    ViStatus st = VI_SUCCESS;
    PipeResult r =
        pipe_->control_in(request_type_interface, read_status_byte, tag, ep.interface_number, reply,
                          read_status_byte_size, control_timeout_ms, &n);
    if (r != PipeResult::ok) {
        st = fail(r, "READ_STATUS_BYTE");
    } else if (n < read_status_byte_size || reply[0] != status_success || reply[1] != tag) {
        log_error(log_module, "%s: READ_STATUS_BYTE refused, status 0x%02X", name_.c_str(),
                  unsigned(reply[0]));
        st = VI_ERROR_IO;
    } else if (ep.interrupt_in == 0) {
        *stb = reply[2];
    } else {
        // The byte comes on Interrupt-IN, tagged 0x80|bTag; SRQ notices
        // (0x81) may come first and are skipped.
        net::Deadline deadline(timeout_ms);
        st = VI_ERROR_TMO;
        for (int i = 0; i < max_drain_transfers && st == VI_ERROR_TMO; ++i) {
            uint8_t note[2] = {};
            r = pipe_->interrupt_in(note, sizeof note, deadline.remaining_ms(), &n);
            if (r != PipeResult::ok) {
                st = fail(r, "Interrupt-IN");
                break;
            }
            if (n == 2 && note[0] == (0x80 | tag)) {
                *stb = note[1];
                st = VI_SUCCESS;
            }
        }
    }
    end_operation();
    return st;
}

}  // namespace visa::usbtmc
