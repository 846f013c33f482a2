#include "portmap.h"

#include "rpc_wire.h"

namespace sim {

namespace {

constexpr std::uint32_t ipproto_tcp = 6;
constexpr std::uint32_t ipproto_udp = 17;
constexpr std::uint32_t max_rpcb_string = 256;

// Reads an XDR string<> at `pos`; false if it does not fit.
bool get_string(std::string_view msg, std::size_t& pos, std::string& out) {
    if (msg.size() - pos < 4) return false;
    const std::uint32_t n = rpc::get_u32(msg, pos);
    pos += 4;
    const std::size_t padded = (static_cast<std::size_t>(n) + 3) & ~std::size_t{3};
    if (n > max_rpcb_string || msg.size() - pos < padded) return false;
    out.assign(msg.substr(pos, n));
    pos += padded;
    return true;
}

void put_string(std::string& out, std::string_view s) {
    rpc::put_u32(out, static_cast<std::uint32_t>(s.size()));
    out.append(s);
    out.append((4 - s.size() % 4) % 4, '\0');
}

void put_mapping(std::string& out, std::uint32_t prog, std::uint32_t vers, std::uint32_t prot,
                 std::uint32_t port) {
    rpc::put_u32(out, 1);  // another entry follows
    rpc::put_u32(out, prog);
    rpc::put_u32(out, vers);
    rpc::put_u32(out, prot);
    rpc::put_u32(out, port);
}

}  // namespace

std::string universal_address(std::string_view address, std::uint16_t port) {
    return std::string(address) + "." + std::to_string(port >> 8) + "." +
           std::to_string(port & 0xff);
}

std::optional<std::string> answer_portmap(std::string_view msg, const PortmapInfo& info) {
    rpc::CallHeader h;
    std::size_t pos = 0;
    switch (rpc::parse_call(msg, h, pos)) {
        case rpc::CallParse::ok:
            break;
        case rpc::CallParse::bad_rpc_version:
            return rpc::rpc_mismatch_reply(h.xid);
        case rpc::CallParse::not_a_call:
        case rpc::CallParse::malformed:
            return std::nullopt;
    }
    if (h.prog != portmap_program) return rpc::accepted_reply(h.xid, rpc::prog_unavail);
    if (h.vers < 2 || h.vers > 4) return rpc::prog_mismatch_reply(h.xid, 2, 4);

    std::string body;
    if (h.proc == 0) {
        return rpc::accepted_reply(h.xid, rpc::success);
    }
    if (h.proc == 1 || h.proc == 2) {  // SET, UNSET: registrations are fixed
        rpc::put_u32(body, 0);
        return rpc::accepted_reply(h.xid, rpc::success, body);
    }
    if (h.vers == 2) {
        if (h.proc == 3) {  // GETPORT(mapping) -> port
            if (msg.size() - pos < 16) return rpc::accepted_reply(h.xid, rpc::garbage_args);
            const std::uint32_t prog = rpc::get_u32(msg, pos);
            const std::uint32_t vers = rpc::get_u32(msg, pos + 4);
            const std::uint32_t prot = rpc::get_u32(msg, pos + 8);
            const bool ours =
                prog == vxi11_core_program && vers == vxi11_core_version && prot == ipproto_tcp;
            const bool self =
                prog == portmap_program && (prot == ipproto_tcp || prot == ipproto_udp);
            rpc::put_u32(body, ours ? info.core_port : self ? info.own_port : 0);
            return rpc::accepted_reply(h.xid, rpc::success, body);
        }
        if (h.proc == 4) {  // DUMP -> list of mappings
            put_mapping(body, portmap_program, 2, ipproto_tcp, info.own_port);
            put_mapping(body, portmap_program, 2, ipproto_udp, info.own_port);
            put_mapping(body, vxi11_core_program, vxi11_core_version, ipproto_tcp, info.core_port);
            rpc::put_u32(body, 0);
            return rpc::accepted_reply(h.xid, rpc::success, body);
        }
        return rpc::accepted_reply(h.xid, rpc::proc_unavail);
    }
    // rpcbind 3 and 4: GETADDR (3) and, in 4, GETVERSADDR (9) take
    // rpcb{prog, vers, netid, addr, owner} and answer a universal address,
    // empty when nothing is registered.
    if (h.proc == 3 || (h.vers == 4 && h.proc == 9)) {
        if (msg.size() - pos < 8) return rpc::accepted_reply(h.xid, rpc::garbage_args);
        const std::uint32_t prog = rpc::get_u32(msg, pos);
        const std::uint32_t vers = rpc::get_u32(msg, pos + 4);
        pos += 8;
        std::string netid, addr, owner;
        if (!get_string(msg, pos, netid) || !get_string(msg, pos, addr) ||
            !get_string(msg, pos, owner)) {
            return rpc::accepted_reply(h.xid, rpc::garbage_args);
        }
        std::string answer;
        if (prog == vxi11_core_program && vers == vxi11_core_version && netid == "tcp") {
            answer = universal_address(info.address, info.core_port);
        } else if (prog == portmap_program && (netid == "tcp" || netid == "udp")) {
            answer = universal_address(info.address, info.own_port);
        }
        put_string(body, answer);
        return rpc::accepted_reply(h.xid, rpc::success, body);
    }
    return rpc::accepted_reply(h.xid, rpc::proc_unavail);
}

}  // namespace sim
