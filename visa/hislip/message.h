#pragma once

// HiSLIP messages on the wire: the numbers, the 16-byte header, and a
// decoder that splits a byte stream into messages. Pure functions and plain
// data, shared by the VISA library and the simulator.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace visa::hislip {

// One TCP port carries both channels.
constexpr uint16_t default_port = 4880;

// Protocol version as major<<8 | minor. We speak 1.1 where the peer does and
// fall back to the lower of the two versions.
constexpr uint16_t version_1_0 = 0x0100;
constexpr uint16_t version_1_1 = 0x0101;

// "FW" as a two-character vendor id, in the low 16 bits of Initialize.
constexpr uint16_t client_vendor_id = 0x4657;
// "FS", the simulator's id in AsyncInitializeResponse.
constexpr uint32_t server_vendor_id = 0x4653;

// Message ids start here and step by 2; "last sent id" before anything was
// sent is this minus 2.
constexpr uint32_t first_message_id = 0xFFFFFF00u;
constexpr uint32_t no_message_id = first_message_id - 2;
// A server may stamp unsolicited or overlapped data with this id.
constexpr uint32_t any_message_id = 0xFFFFFFFFu;

constexpr size_t header_size = 16;

enum class Type : uint8_t {
    initialize = 0,
    initialize_response = 1,
    fatal_error = 2,
    error = 3,
    async_lock = 4,
    async_lock_response = 5,
    data = 6,
    data_end = 7,
    device_clear_complete = 8,
    device_clear_acknowledge = 9,
    async_remote_local_control = 10,
    async_remote_local_response = 11,
    trigger = 12,
    interrupted = 13,
    async_interrupted = 14,
    async_maximum_message_size = 15,
    async_maximum_message_size_response = 16,
    async_initialize = 17,
    async_initialize_response = 18,
    async_device_clear = 19,
    async_service_request = 20,
    async_status_query = 21,
    async_status_response = 22,
    async_device_clear_acknowledge = 23,
    async_lock_info = 24,
    async_lock_info_response = 25,
};
// Types from here to 127 are reserved; 128 to 255 belong to vendors.
constexpr uint8_t first_reserved_type = 26;
constexpr uint8_t first_vendor_type = 128;

// FatalError codes (the connection is closed after one).
enum class FatalCode : uint8_t {
    unidentified = 0,
    bad_header = 1,
    channels_not_up = 2,
    bad_init_sequence = 3,
    too_many_clients = 4,
};

// Error codes (the offending message is discarded; the session goes on).
enum class ErrorCode : uint8_t {
    unidentified = 0,
    unknown_type = 1,
    unknown_control = 2,
    unknown_vendor_message = 3,
    too_large = 4,
};

// What a Fatal or Error message's code means, for the log; vendor codes and
// reserved ones get a word too.
const char* fatal_text(uint8_t code);
const char* error_text(uint8_t code);

// Control bits.
constexpr uint8_t rmt_delivered = 0x01;      // Data, DataEND, Trigger, AsyncStatusQuery
constexpr uint8_t prefer_overlapped = 0x01;  // InitializeResponse, clear acknowledgements
constexpr uint8_t lock_request = 1;          // AsyncLock: 1 request, 0 release

// AsyncLockResponse control codes.
enum LockResult : uint8_t {
    lock_failed = 0,   // request: not granted in time
    lock_granted = 1,  // request granted; release: exclusive lock released
    lock_shared_released = 2,
    lock_error = 3,  // request: already held; release: nothing held
};

struct Header {
    Type type = Type::initialize;
    uint8_t control = 0;
    uint32_t param = 0;
    uint64_t length = 0;  // payload bytes that follow
};

// Writes the 16 header bytes to `out`.
void encode_header(const Header& h, uint8_t out[header_size]);

// The header followed by `payload` (h.length is set from it).
std::string encode(Header h, std::string_view payload = {});

// The header in `in` (16 bytes). False when it does not start with "HS".
bool decode_header(const uint8_t in[header_size], Header* out);

// Initialize's parameter: major<<24 | minor<<16 | vendor id.
constexpr uint32_t initialize_param(uint16_t version, uint16_t vendor) {
    return uint32_t(version) << 16 | vendor;
}
// InitializeResponse's parameter: server version<<16 | session id.
constexpr uint32_t initialize_response_param(uint16_t version, uint16_t session) {
    return uint32_t(version) << 16 | session;
}

// AsyncMaximumMessageSize and its response carry one 8-byte big-endian size.
std::string encode_size(uint64_t size);
// False unless `payload` is exactly 8 bytes.
bool decode_size(std::string_view payload, uint64_t* size);

// The message id after `id` (wraps modulo 2^32).
constexpr uint32_t next_message_id(uint32_t id) {
    return id + 2;
}

// Readable name of a message type for log lines ("DataEND", "type 77").
std::string type_name(uint8_t type);

// True for the two types whose payload is the instrument's data.
constexpr bool is_data(Type t) {
    return t == Type::data || t == Type::data_end;
}

// Splits a byte stream into messages. Headers are checked as they complete.
// Data and DataEND payloads are handed out piece by piece as they arrive,
// never buffered whole; every other payload is buffered only up to
// `max_control_payload` bytes. So a peer's length field never decides an
// allocation.
class Decoder {
public:
    explicit Decoder(size_t max_control_payload) : max_control_(max_control_payload) {}

    enum class Status {
        message,     // a whole message: `*h`, and its payload in payload()
        data,        // a Data/DataEND header: its payload comes through peek()
        need_more,   // feed more bytes
        bad_header,  // the stream does not start with "HS": give up on it
        too_large,   // `*h` announces a payload over the limit; it is dropped
                     // as it arrives and next() goes on after it
    };

    // Appends bytes received from the peer.
    void feed(const void* data, size_t size);

    // The next message or data header. Call only when data_left() is 0.
    Status next(Header* h);

    // The payload of the message next() last returned as `message`; valid
    // until the next call of feed() or next().
    std::string_view payload() const { return payload_; }

    // Payload bytes of the current data message not yet taken or dropped.
    uint64_t data_left() const { return data_left_; }
    // Up to `max` payload bytes of the current data message, as many as have
    // arrived (possibly none); valid until the next call of feed() or next().
    std::string_view peek(size_t max) const;
    // Uses the first `n` bytes that peek() showed.
    void consume(size_t n);
    // Drops the rest of the current data message as it arrives.
    void drop_data();

    // Bytes fed and not yet used (including any still to drop).
    size_t buffered() const { return buf_.size() - pos_; }
    // Forgets everything fed (the stream is being abandoned).
    void reset();

private:
    void discard_skipped();
    void compact();

    size_t max_control_;
    std::string buf_;
    size_t pos_ = 0;
    uint64_t skip_ = 0;       // payload bytes still to drop
    uint64_t data_left_ = 0;  // payload bytes of the current data message
    std::string_view payload_;
};

}  // namespace visa::hislip
