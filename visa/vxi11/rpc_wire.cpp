#include "visa/vxi11/rpc_wire.h"

#include <algorithm>

namespace visa::vxi11::rpc {

void put_u32(std::string& out, std::uint32_t v) {
    out += static_cast<char>(v >> 24);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}

std::uint32_t get_u32(std::string_view s, std::size_t at) {
    return get_u32(reinterpret_cast<const std::uint8_t*>(s.data()) + at);
}

void put_call_header(std::uint8_t* out, std::uint32_t xid, std::uint32_t prog, std::uint32_t vers,
                     std::uint32_t proc, std::uint32_t args_size) {
    const std::uint32_t words[11] = {
        last_fragment | (std::uint32_t(call_header_size) - 4 + args_size),
        xid,
        msg_call,
        rpc_version,
        prog,
        vers,
        proc,
        0,  // credentials: AUTH_NONE, empty
        0,
        0,  // verifier: AUTH_NONE, empty
        0};
    for (std::size_t i = 0; i < 11; ++i)
        put_u32(out + 4 * i, words[i]);
}

Reply parse_reply(const std::uint8_t* msg, std::size_t size, std::uint32_t xid,
                  std::size_t* results_at) {
    if (size < 8 || get_u32(msg + 4) != msg_reply) return Reply::malformed;
    if (get_u32(msg) != xid) return Reply::other_xid;
    if (size < 12) return Reply::malformed;
    const std::uint32_t stat = get_u32(msg + 8);
    if (stat == reply_denied) return Reply::denied;
    if (stat != reply_accepted || size < 20) return Reply::malformed;
    const std::uint32_t verf_len = get_u32(msg + 16);
    if (verf_len > max_auth_body) return Reply::malformed;
    const std::size_t at = 20 + (std::size_t(verf_len) + 3) / 4 * 4;
    if (size < at + 4) return Reply::malformed;
    if (get_u32(msg + at) != success) return Reply::failed;
    *results_at = at + 4;
    return Reply::success;
}

RecordResult take_record(const std::uint8_t* data, std::size_t size, std::size_t max_body,
                         std::vector<std::uint8_t>* body, std::size_t* consumed) {
    body->clear();
    std::size_t pos = 0;
    for (int fragments = 0; fragments < 16; ++fragments) {
        if (size - pos < 4) return RecordResult::need_more;
        const std::uint32_t mark = get_u32(data + pos);
        const std::size_t len = mark & ~last_fragment;
        if (len > max_body - body->size()) return RecordResult::bad;
        if (size - pos - 4 < len) return RecordResult::need_more;
        body->insert(body->end(), data + pos + 4, data + pos + 4 + len);
        pos += 4 + len;
        if (mark & last_fragment) {
            *consumed = pos;
            return RecordResult::complete;
        }
    }
    return RecordResult::bad;
}

RecordReader::Status RecordReader::next(std::string& in, std::string& record) {
    std::size_t pos = 0;
    Status status = Status::need_more;
    while (true) {
        if (!in_fragment_) {
            if (in.size() - pos < 4) break;
            const std::uint32_t mark = get_u32(in, pos);
            pos += 4;
            last_ = (mark & last_fragment) != 0;
            fragment_left_ = mark & ~last_fragment;
            in_fragment_ = true;
            if (partial_.size() + fragment_left_ > max_record_) {
                status = Status::too_large;
                break;
            }
        }
        const std::size_t take = std::min(fragment_left_, in.size() - pos);
        partial_.append(in, pos, take);
        pos += take;
        fragment_left_ -= take;
        if (fragment_left_ > 0) break;
        in_fragment_ = false;
        if (last_) {
            record = std::move(partial_);
            partial_.clear();
            status = Status::record;
            break;
        }
    }
    in.erase(0, pos);
    return status;
}

CallParse parse_call(std::string_view msg, CallHeader& header, std::size_t& args_offset) {
    if (msg.size() < 8) return CallParse::malformed;
    header.xid = get_u32(msg, 0);
    if (get_u32(msg, 4) != msg_call) return CallParse::not_a_call;
    if (msg.size() < 24) return CallParse::malformed;
    if (get_u32(msg, 8) != rpc_version) return CallParse::bad_rpc_version;
    header.prog = get_u32(msg, 12);
    header.vers = get_u32(msg, 16);
    header.proc = get_u32(msg, 20);
    std::size_t pos = 24;
    for (int auth = 0; auth < 2; ++auth) {  // credentials, then verifier
        if (msg.size() - pos < 8) return CallParse::malformed;
        const std::uint32_t length = get_u32(msg, pos + 4);
        pos += 8;
        if (length > max_auth_body) return CallParse::malformed;
        const std::size_t padded = (length + 3u) & ~std::size_t{3};
        if (msg.size() - pos < padded) return CallParse::malformed;
        pos += padded;
    }
    args_offset = pos;
    return CallParse::ok;
}

std::string accepted_reply(std::uint32_t xid, AcceptStat stat, std::string_view body) {
    std::string out;
    out.reserve(24 + body.size());
    put_u32(out, xid);
    put_u32(out, msg_reply);
    put_u32(out, 0);  // MSG_ACCEPTED
    put_u32(out, 0);  // verifier AUTH_NONE
    put_u32(out, 0);
    put_u32(out, stat);
    out.append(body);
    return out;
}

std::string prog_mismatch_reply(std::uint32_t xid, std::uint32_t low, std::uint32_t high) {
    std::string body;
    put_u32(body, low);
    put_u32(body, high);
    return accepted_reply(xid, prog_mismatch, body);
}

std::string rpc_mismatch_reply(std::uint32_t xid) {
    std::string out;
    put_u32(out, xid);
    put_u32(out, msg_reply);
    put_u32(out, 1);  // MSG_DENIED
    put_u32(out, 0);  // RPC_MISMATCH
    put_u32(out, rpc_version);
    put_u32(out, rpc_version);
    return out;
}

std::string frame_record(std::string_view msg) {
    std::string out;
    out.reserve(4 + msg.size());
    put_u32(out, last_fragment | static_cast<std::uint32_t>(msg.size()));
    out.append(msg);
    return out;
}

}  // namespace visa::vxi11::rpc
