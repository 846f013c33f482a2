#include "rpc_wire.h"

namespace sim::rpc {

namespace {

constexpr std::uint32_t rpc_version = 2;
constexpr std::uint32_t max_auth_body = 400;  // RFC 5531 opaque_auth limit

}  // namespace

void put_u32(std::string& out, std::uint32_t v) {
    out += static_cast<char>(v >> 24);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}

std::uint32_t get_u32(std::string_view s, std::size_t at) {
    const auto b = [&](std::size_t k) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + k]));
    };
    return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

RecordReader::Status RecordReader::next(std::string& in, std::string& record) {
    std::size_t pos = 0;
    Status status = Status::need_more;
    while (true) {
        if (!in_fragment_) {
            if (in.size() - pos < 4) break;
            const std::uint32_t mark = get_u32(in, pos);
            pos += 4;
            last_ = (mark & 0x80000000u) != 0;
            fragment_left_ = mark & 0x7fffffffu;
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
    put_u32(out, 0x80000000u | static_cast<std::uint32_t>(msg.size()));
    out.append(msg);
    return out;
}

}  // namespace sim::rpc
