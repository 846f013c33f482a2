#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "visa.h"

namespace visa {

struct RsrcName;

// Why a transport read stopped. The session maps it to a completion code.
enum class ReadStop {
    end,        // the peer marked the last byte with END
    term_char,  // the last byte is the termination character (only when enabled)
    count,      // the buffer is full
};

// Options the session hands to each read.
struct ReadOptions {
    uint32_t timeout_ms = 2000;  // VI_TMO_INFINITE for no limit
    bool term_char_enabled = false;
    uint8_t term_char = '\n';
};

// What a transport learnt about its instrument while opening it; the session
// answers the identity attributes from it. Empty strings and -1 are unknown.
struct DeviceIdentity {
    uint16_t manufacturer_id = 0;  // USB idVendor
    uint16_t model_code = 0;       // USB idProduct
    std::string manufacturer_name;
    std::string model_name;
    std::string serial_number;
    int usb_interface = -1;        // the interface actually opened
    int usb_protocol = -1;         // its bInterfaceProtocol: 0 USBTMC, 1 USB488
    std::optional<bool> ieee4882;  // the instrument says it speaks IEEE 488.2
};

// Moves bytes to and from one instrument. A transport knows its wire and
// nothing else: attributes, END suppression, completion codes, the lock table
// and status texts live in the session. All calls come from one thread at a
// time (the session serialises them), except cancel(); none throws.
//
// What every transport promises:
// - A call returns within its time-out plus a small margin of the
//   transport's own, documented beside it, whatever the instrument sends or
//   fails to send. VI_TMO_INFINITE is the one way to wait without limit.
// - A status tells what happened on the wire. A failure is never reported
//   as success, and success means done: written bytes were accepted by the
//   instrument (or, on a bare byte stream, handed to the kernel), a lock is
//   held by the instrument, a released one is released.
// - Once the connection is known to be broken (the peer closed it, or the
//   stream is out of step after a missing or malformed reply) every later
//   call fails at once with VI_ERROR_CONN_LOST, without touching the wire,
//   and close() releases what is left without waiting.
// - Counts (`*written`, `*got`) are filled in on failure too.
class Transport {
public:
    virtual ~Transport() = default;

    // Called once, before anything else. Connects to `name` within `timeout_ms`
    // (VI_TMO_INFINITE allowed). Returns VI_SUCCESS, VI_ERROR_RSRC_NFOUND when
    // nothing answers there, VI_ERROR_RSRC_BUSY, VI_ERROR_TMO or VI_ERROR_IO.
    virtual ViStatus open(const RsrcName& name, uint32_t timeout_ms) = 0;

    // Sends `count` bytes; `end` asks for END after the last one. Returns
    // when the instrument has taken them all, or on the first failure; stores
    // the bytes it took in `*written`. A write of 0 bytes without END sends
    // nothing. Returns VI_SUCCESS, VI_ERROR_TMO, VI_ERROR_RSRC_LOCKED,
    // VI_ERROR_CONN_LOST or VI_ERROR_IO.
    virtual ViStatus write(const ViByte* data, size_t count, bool end, uint32_t timeout_ms,
                           size_t* written) = 0;

    // Reads at most `count` (> 0) bytes into `buf`, stopping after END, after
    // the termination character when enabled, or when `count` bytes arrived.
    // Stores the bytes read in `*got` (also on failure) and the reason in
    // `*why` on success. Returns VI_SUCCESS, VI_ERROR_TMO, VI_ERROR_RSRC_LOCKED,
    // VI_ERROR_CONN_LOST or VI_ERROR_IO.
    virtual ViStatus read(ViByte* buf, size_t count, const ReadOptions& opts, size_t* got,
                          ReadStop* why) = 0;

    // Takes the instrument's own exclusive lock (one that other clients of the
    // instrument see), waiting at most `timeout_ms`. VI_ERROR_TMO when another
    // client holds it.
    virtual ViStatus lock(uint32_t timeout_ms) {
        (void)timeout_ms;
        return VI_ERROR_NSUP_OPER;
    }

    // Releases the lock taken by lock(), waiting at most `timeout_ms` for the
    // instrument to confirm. VI_ERROR_SESN_NLOCKED if the instrument says none
    // is held; any other failure is the transport's.
    virtual ViStatus unlock(uint32_t timeout_ms) {
        (void)timeout_ms;
        return VI_ERROR_NSUP_OPER;
    }

    // Sends the instrument a trigger (viAssertTrigger) within `timeout_ms`.
    virtual ViStatus trigger(uint32_t timeout_ms) {
        (void)timeout_ms;
        return VI_ERROR_NSUP_OPER;
    }

    // Device clear: the instrument and the transport drop pending input and
    // output.
    virtual ViStatus clear(uint32_t timeout_ms) {
        (void)timeout_ms;
        return VI_ERROR_NSUP_OPER;
    }

    // Reads the instrument's status byte (viReadSTB) within `timeout_ms`.
    virtual ViStatus read_stb(uint32_t timeout_ms, uint16_t* stb) {
        (void)timeout_ms;
        (void)stb;
        return VI_ERROR_NSUP_OPER;
    }

    // The instrument's identity, once open() succeeded; nothing when this
    // transport learns none.
    virtual std::optional<DeviceIdentity> identity() const { return std::nullopt; }

    // The one call that may come from another thread, while a call other
    // than open() or close() is in progress: the session is being closed.
    // Makes that call return at once (VI_ERROR_CONN_LOST), and every later
    // one too; close() then releases without waiting for the instrument. A
    // transport whose calls are bounded by short time-outs of their own may
    // keep the default, which does nothing.
    virtual void cancel() {}

    // Called once, last (also after a failed open). Ends the conversation
    // within `timeout_ms` and releases the connection, even when that fails;
    // the status says whether the instrument confirmed the end (on a lost
    // connection: VI_ERROR_CONN_LOST, at once). The transport is unusable
    // afterwards.
    virtual ViStatus close(uint32_t timeout_ms) = 0;
};

}  // namespace visa
