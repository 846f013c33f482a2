#include "visa/hislip/message.h"

#include <algorithm>
#include <cstring>

namespace visa::hislip {
namespace {

// Consumed bytes are dropped from the front of the buffer whenever it
// empties, or once at least this many make up at least half of it: the
// buffer stays near what is in flight, and each byte is moved at most about
// once.
constexpr size_t compact_after = 64 * 1024;

void put_be(uint8_t* out, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out[i] = uint8_t(v & 0xFF);
        v >>= 8;
    }
}

uint64_t get_be(const uint8_t* in, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = v << 8 | in[i];
    return v;
}

const char* const type_names[] = {
    "Initialize",
    "InitializeResponse",
    "FatalError",
    "Error",
    "AsyncLock",
    "AsyncLockResponse",
    "Data",
    "DataEND",
    "DeviceClearComplete",
    "DeviceClearAcknowledge",
    "AsyncRemoteLocalControl",
    "AsyncRemoteLocalResponse",
    "Trigger",
    "Interrupted",
    "AsyncInterrupted",
    "AsyncMaximumMessageSize",
    "AsyncMaximumMessageSizeResponse",
    "AsyncInitialize",
    "AsyncInitializeResponse",
    "AsyncDeviceClear",
    "AsyncServiceRequest",
    "AsyncStatusQuery",
    "AsyncStatusResponse",
    "AsyncDeviceClearAcknowledge",
    "AsyncLockInfo",
    "AsyncLockInfoResponse",
};
static_assert(sizeof type_names / sizeof type_names[0] == first_reserved_type);

}  // namespace

void encode_header(const Header& h, uint8_t out[header_size]) {
    out[0] = 'H';
    out[1] = 'S';
    out[2] = uint8_t(h.type);
    out[3] = h.control;
    put_be(out + 4, h.param, 4);
    put_be(out + 8, h.length, 8);
}

std::string encode(Header h, std::string_view payload) {
    h.length = payload.size();
    std::string out(header_size, '\0');
    encode_header(h, reinterpret_cast<uint8_t*>(out.data()));
    out.append(payload);
    return out;
}

bool decode_header(const uint8_t in[header_size], Header* out) {
    if (in[0] != 'H' || in[1] != 'S') return false;
    out->type = Type(in[2]);
    out->control = in[3];
    out->param = uint32_t(get_be(in + 4, 4));
    out->length = get_be(in + 8, 8);
    return true;
}

std::string encode_size(uint64_t size) {
    std::string out(8, '\0');
    put_be(reinterpret_cast<uint8_t*>(out.data()), size, 8);
    return out;
}

bool decode_size(std::string_view payload, uint64_t* size) {
    if (payload.size() != 8) return false;
    *size = get_be(reinterpret_cast<const uint8_t*>(payload.data()), 8);
    return true;
}

std::string type_name(uint8_t type) {
    if (type < first_reserved_type) return type_names[type];
    return "type " + std::to_string(type);
}

void Decoder::feed(const void* data, size_t size) {
    compact();
    buf_.append(static_cast<const char*>(data), size);
    discard_skipped();
}

void Decoder::discard_skipped() {
    size_t drop = size_t(std::min<uint64_t>(skip_, buf_.size() - pos_));
    pos_ += drop;
    skip_ -= drop;
}

void Decoder::compact() {
    if (pos_ == buf_.size()) {
        buf_.clear();
        pos_ = 0;
    } else if (pos_ >= compact_after && pos_ >= buf_.size() - pos_) {
        buf_.erase(0, pos_);
        pos_ = 0;
    }
}

Decoder::Status Decoder::next(Header* h) {
    payload_ = {};
    discard_skipped();
    if (skip_ > 0 || data_left_ > 0 || buffered() < header_size) return Status::need_more;
    const auto* p = reinterpret_cast<const uint8_t*>(buf_.data() + pos_);
    if (!decode_header(p, h)) return Status::bad_header;
    if (is_data(h->type)) {
        pos_ += header_size;
        data_left_ = h->length;
        return Status::data;
    }
    if (h->length > max_control_) {
        pos_ += header_size;
        skip_ = h->length;
        discard_skipped();
        return Status::too_large;
    }
    if (buffered() - header_size < h->length) return Status::need_more;
    payload_ = std::string_view(buf_).substr(pos_ + header_size, size_t(h->length));
    pos_ += header_size + size_t(h->length);
    return Status::message;
}

std::string_view Decoder::peek(size_t max) const {
    size_t n = size_t(std::min<uint64_t>({data_left_, buffered(), max}));
    return std::string_view(buf_).substr(pos_, n);
}

void Decoder::consume(size_t n) {
    n = size_t(std::min<uint64_t>({data_left_, buffered(), n}));
    pos_ += n;
    data_left_ -= n;
}

void Decoder::drop_data() {
    skip_ += data_left_;
    data_left_ = 0;
    discard_skipped();
}

void Decoder::reset() {
    buf_.clear();
    pos_ = 0;
    skip_ = 0;
    data_left_ = 0;
    payload_ = {};
}

const char* fatal_text(uint8_t code) {
    switch (FatalCode(code)) {
        case FatalCode::unidentified:
            return "unidentified error";
        case FatalCode::bad_header:
            return "poorly formed message header";
        case FatalCode::channels_not_up:
            return "attempt to use a connection without both channels";
        case FatalCode::bad_init_sequence:
            return "invalid initialization sequence";
        case FatalCode::too_many_clients:
            return "server refused the connection: too many clients";
    }
    return code >= first_vendor_type ? "device-defined error" : "reserved error code";
}

const char* error_text(uint8_t code) {
    switch (ErrorCode(code)) {
        case ErrorCode::unidentified:
            return "unidentified error";
        case ErrorCode::unknown_type:
            return "unrecognized message type";
        case ErrorCode::unknown_control:
            return "unrecognized control code";
        case ErrorCode::unknown_vendor_message:
            return "unrecognized vendor-defined message";
        case ErrorCode::too_large:
            return "message too large";
    }
    return code >= first_vendor_type ? "device-defined error" : "reserved error code";
}

// Sends all of `iov` before the deadline. `*sent` counts what went out.
}  // namespace visa::hislip
