#include "visa/vxi11/portmap.h"

#include "visa/vxi11/rpc_wire.h"

namespace visa::vxi11 {

std::vector<uint8_t> getport_call(uint32_t xid, uint32_t prog, uint32_t vers) {
    constexpr uint32_t args_size = 16;  // mapping{prog, vers, prot, port}
    std::vector<uint8_t> out(rpc::call_header_size + args_size);
    rpc::put_call_header(out.data(), xid, rpc::pmap_prog, rpc::pmap_vers, rpc::pmap_proc_getport,
                         args_size);
    uint8_t* args = out.data() + rpc::call_header_size;
    rpc::put_u32(args, prog);
    rpc::put_u32(args + 4, vers);
    rpc::put_u32(args + 8, rpc::ipproto_tcp);
    rpc::put_u32(args + 12, 0);
    return out;
}

ReplyResult parse_getport_reply(const uint8_t* body, size_t size, uint32_t xid, uint16_t* port) {
    size_t at = 0;
    switch (rpc::parse_reply(body, size, xid, &at)) {
        case rpc::Reply::success:
            break;
        case rpc::Reply::other_xid:
            return ReplyResult::other_xid;
        case rpc::Reply::denied:
        case rpc::Reply::failed:
            return ReplyResult::refused;
        case rpc::Reply::malformed:
            return ReplyResult::bad;
    }
    if (size - at < 4) return ReplyResult::bad;
    const uint32_t value = rpc::get_u32(body + at);
    if (value > 0xFFFF) return ReplyResult::bad;
    // Trailing bytes are tolerated: some peers pad replies.
    *port = uint16_t(value);
    return ReplyResult::port;
}

}  // namespace visa::vxi11
