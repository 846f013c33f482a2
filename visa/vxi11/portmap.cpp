#include "visa/vxi11/portmap.h"

namespace visa::vxi11 {
namespace {

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v >> 24));
    out.push_back(uint8_t(v >> 16));
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

uint32_t get_u32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// Bounds-checked reader over a reply body.
class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool u32(uint32_t* v) {
        if (n_ - pos_ < 4) return false;
        *v = get_u32(p_ + pos_);
        pos_ += 4;
        return true;
    }
    bool skip(size_t n) {
        if (n_ - pos_ < n) return false;
        pos_ += n;
        return true;
    }

private:
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
};

}  // namespace

std::vector<uint8_t> getport_call(uint32_t xid, uint32_t prog, uint32_t vers) {
    std::vector<uint8_t> out;
    put_u32(out, 0x80000000u | 56u);  // one last fragment of 56 bytes
    put_u32(out, xid);
    put_u32(out, 0);  // CALL
    put_u32(out, 2);  // RPC version
    put_u32(out, pmap_prog);
    put_u32(out, pmap_vers);
    put_u32(out, pmap_proc_getport);
    put_u32(out, 0);  // credential AUTH_NONE, empty
    put_u32(out, 0);
    put_u32(out, 0);  // verifier AUTH_NONE, empty
    put_u32(out, 0);
    put_u32(out, prog);
    put_u32(out, vers);
    put_u32(out, ipproto_tcp);
    put_u32(out, 0);
    return out;
}

RecordResult take_record(const uint8_t* data, size_t size, size_t max_body,
                         std::vector<uint8_t>* body, size_t* consumed) {
    body->clear();
    size_t pos = 0;
    for (int fragments = 0; fragments < 16; ++fragments) {
        if (size - pos < 4) return RecordResult::need_more;
        uint32_t mark = get_u32(data + pos);
        size_t len = mark & 0x7FFFFFFFu;
        if (len > max_body - body->size()) return RecordResult::bad;
        if (size - pos - 4 < len) return RecordResult::need_more;
        body->insert(body->end(), data + pos + 4, data + pos + 4 + len);
        pos += 4 + len;
        if (mark & 0x80000000u) {
            *consumed = pos;
            return RecordResult::complete;
        }
    }
    return RecordResult::bad;
}

ReplyResult parse_getport_reply(const uint8_t* body, size_t size, uint32_t xid, uint16_t* port) {
    Reader r(body, size);
    uint32_t reply_xid, type, stat;
    if (!r.u32(&reply_xid) || !r.u32(&type)) return ReplyResult::bad;
    if (type != 1) return ReplyResult::bad;
    if (reply_xid != xid) return ReplyResult::other_xid;
    if (!r.u32(&stat)) return ReplyResult::bad;
    if (stat == 1) return ReplyResult::refused;  // MSG_DENIED
    if (stat != 0) return ReplyResult::bad;
    uint32_t flavor, verf_len, accept;
    if (!r.u32(&flavor) || !r.u32(&verf_len)) return ReplyResult::bad;
    if (verf_len > 400 || !r.skip((verf_len + 3) & ~3u)) return ReplyResult::bad;
    if (!r.u32(&accept)) return ReplyResult::bad;
    if (accept != 0) return ReplyResult::refused;
    uint32_t value;
    if (!r.u32(&value) || value > 0xFFFF) return ReplyResult::bad;
    // Trailing bytes are tolerated: some peers pad replies.
    *port = uint16_t(value);
    return ReplyResult::port;
}

}  // namespace visa::vxi11
