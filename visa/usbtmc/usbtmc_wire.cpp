#include "visa/usbtmc/usbtmc_wire.h"

#include <cstring>
#include <map>
#include <memory>

namespace visa::usbtmc {
namespace {

void put_le32(uint32_t v, uint8_t* out) {
    out[0] = uint8_t(v);
    out[1] = uint8_t(v >> 8);
    out[2] = uint8_t(v >> 16);
    out[3] = uint8_t(v >> 24);
}

uint32_t get_le32(const uint8_t* in) {
    return uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
}

void start(uint8_t msg_id, uint8_t tag, uint8_t* out) {
    std::memset(out, 0, header_size);
    out[0] = msg_id;
    out[1] = tag;
    out[2] = uint8_t(~tag);
}

}  // namespace

void encode_msg_out(uint8_t tag, uint32_t size, bool eom, uint8_t* out) {
    start(dev_dep_msg_out, tag, out);
    put_le32(size, out + 4);
    out[8] = eom ? attr_eom : 0;
}

void encode_request_in(uint8_t tag, uint32_t max, bool use_term_char, uint8_t term_char,
                       uint8_t* out) {
    start(request_dev_dep_msg_in, tag, out);
    put_le32(max, out + 4);
    if (use_term_char) {
        out[8] = attr_term_char;
        out[9] = term_char;
    }
}

std::optional<Header> decode_header(const uint8_t* in) {
    if (uint8_t(~in[1]) != in[2]) return std::nullopt;
    Header h;
    h.msg_id = in[0];
    h.tag = in[1];
    h.size = get_le32(in + 4);
    h.attributes = in[8];
    h.term_char = in[9];
    return h;
}

std::optional<Capabilities> decode_capabilities(const uint8_t* in, size_t size) {
    if (size < 16 || in[0] != status_success) return std::nullopt;
    Capabilities c;
    c.term_char = (in[5] & 0x01) != 0;
    c.usb488 = in[12] != 0 || in[13] != 0;
    c.ieee4882 = c.usb488 && (in[14] & 0x04) != 0;
    return c;
}

DeviceTags& DeviceTags::of(const std::string& device_key) {
    static std::mutex registry_mutex;
    // Never freed: a device's last tag must outlive its sessions.
    static auto* registry = new std::map<std::string, std::unique_ptr<DeviceTags>>;
    std::lock_guard<std::mutex> g(registry_mutex);
    auto& tags = (*registry)[device_key];
    if (!tags) tags = std::make_unique<DeviceTags>();
    return *tags;
}

uint8_t DeviceTags::next_bulk() {
    std::lock_guard<std::mutex> g(mutex_);
    last_bulk_ = uint8_t(last_bulk_ == 255 ? 1 : last_bulk_ + 1);
    return last_bulk_;
}

uint8_t DeviceTags::next_stb() {
    std::lock_guard<std::mutex> g(mutex_);
    last_stb_ = uint8_t(last_stb_ >= 127 ? 2 : last_stb_ + 1);
    return last_stb_;
}

}  // namespace visa::usbtmc
