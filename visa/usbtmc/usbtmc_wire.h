#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

// The USBTMC and USB488 wire: message ids, class requests, status codes and
// the 12-byte Bulk-OUT and Bulk-IN headers (USBTMC 1.0 §3.2-3.3, §4.2;
// USBTMC-USB488 1.0 §3.2, §4.3). Shared by the transport and the emulated
// instrument in the tests, so each number is written once.
namespace visa::usbtmc {

// Interface class and subclass of a USBTMC interface; protocol 1 is USB488.
inline constexpr uint8_t interface_class = 0xFE;
inline constexpr uint8_t interface_subclass = 0x03;
inline constexpr uint8_t protocol_usb488 = 0x01;

inline constexpr size_t header_size = 12;

// MsgID of a Bulk-OUT header (and of the DEV_DEP_MSG_IN reply).
enum MsgId : uint8_t {
    dev_dep_msg_out = 1,
    request_dev_dep_msg_in = 2,
    dev_dep_msg_in = 2,
    vendor_specific_out = 126,
    request_vendor_specific_in = 127,
    usb488_trigger = 128,
};

// Class-specific control requests (bRequest).
enum Request : uint8_t {
    initiate_abort_bulk_out = 1,
    check_abort_bulk_out_status = 2,
    initiate_abort_bulk_in = 3,
    check_abort_bulk_in_status = 4,
    initiate_clear = 5,
    check_clear_status = 6,
    get_capabilities = 7,
    indicator_pulse = 64,
    read_status_byte = 128,
};

// bmRequestType: device-to-host, class, recipient endpoint / interface.
inline constexpr uint8_t request_type_endpoint = 0xA2;
inline constexpr uint8_t request_type_interface = 0xA1;

// USB_REQ_CLEAR_FEATURE with ENDPOINT_HALT, to an endpoint.
inline constexpr uint8_t request_clear_feature = 0x01;
inline constexpr uint8_t feature_endpoint_halt = 0x00;

// USBTMC_status values in the first byte of a class request's reply.
enum Status : uint8_t {
    status_success = 0x01,
    status_pending = 0x02,
    status_interrupt_in_busy = 0x20,
    status_failed = 0x80,
    status_transfer_not_in_progress = 0x81,
    status_split_not_in_progress = 0x82,
    status_split_in_progress = 0x83,
};

// Reply lengths (wLength) of the requests above.
inline constexpr uint16_t capabilities_size = 0x18;
inline constexpr uint16_t initiate_abort_size = 2;
inline constexpr uint16_t check_abort_size = 8;
inline constexpr uint16_t initiate_clear_size = 1;
inline constexpr uint16_t check_clear_size = 2;
inline constexpr uint16_t read_status_byte_size = 3;

// bmTransferAttributes bits.
inline constexpr uint8_t attr_eom = 0x01;
inline constexpr uint8_t attr_term_char = 0x02;  // request: enabled; reply: ended on it

// A Bulk-OUT header of DEV_DEP_MSG_OUT carrying `size` data bytes, EOM on
// the last one when `eom`. Writes header_size bytes to `out`.
void encode_msg_out(uint8_t tag, uint32_t size, bool eom, uint8_t* out);

// A REQUEST_DEV_DEP_MSG_IN header asking for at most `max` bytes, ending at
// `term_char` too when `use_term_char`.
void encode_request_in(uint8_t tag, uint32_t max, bool use_term_char, uint8_t term_char,
                       uint8_t* out);

// Zero bytes that bring `header_size + size` to a multiple of 4.
inline size_t padding_for(size_t size) {
    return (4 - (header_size + size) % 4) % 4;
}

// Any Bulk header, decoded. Only MsgID, the bTag pair, the size and the
// attributes are meaningful on the wire we use.
struct Header {
    uint8_t msg_id = 0;
    uint8_t tag = 0;
    uint32_t size = 0;
    uint8_t attributes = 0;
    uint8_t term_char = 0;
};

// Decodes `header_size` bytes; nothing when the inverse tag byte does not
// match (the header is corrupt or the stream is out of step).
std::optional<Header> decode_header(const uint8_t* in);

// What GET_CAPABILITIES reports, the parts we act on.
struct Capabilities {
    bool term_char = false;  // the device can end a Bulk-IN transfer on TermChar
    bool usb488 = false;     // bcdUSB488 is not 0
    bool ieee4882 = false;   // USB488 interface capabilities: a 488.2 interface
};

// Decodes a GET_CAPABILITIES reply of `size` bytes; nothing when it is short
// or its status is not SUCCESS.
std::optional<Capabilities> decode_capabilities(const uint8_t* in, size_t size);

// The bTag sequences of one device, shared by every session of this process
// that opens it: a device may check that each transfer's bTag differs from the
// previous transfer's, whichever session sent it. Safe from any thread.
class DeviceTags {
public:
    // The sequences of the device that `device_key` names (vendor, product
    // and serial); they live as long as the process, so a session opened
    // later goes on where the last one stopped.
    static DeviceTags& of(const std::string& device_key);

    // Bulk-OUT headers: 1..255, never 0.
    uint8_t next_bulk();
    // READ_STATUS_BYTE: 2..127.
    uint8_t next_stb();

private:
    std::mutex mutex_;
    uint8_t last_bulk_ = 0;
    uint8_t last_stb_ = 1;
};

}  // namespace visa::usbtmc
