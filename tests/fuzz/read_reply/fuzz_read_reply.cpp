// A whole RPC reply carrying a device_read result, as a peer could send it.
// The first two bytes choose how many bytes the read asked for; the data may
// never land beyond that, whatever length the reply claims.
#include <rpc/rpc.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "visa/vxi11/read_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const u_int cap = u_int(data[0]) << 8 | data[1];
    std::vector<char> buf(cap + 1, '\x5A');  // one guard byte past the buffer
    visa::vxi11::ReadReply reply;
    reply.data = buf.data();
    reply.cap = cap;

    rpc_msg msg{};
    msg.acpted_rply.ar_verf = _null_auth;
    msg.acpted_rply.ar_results.where = reinterpret_cast<caddr_t>(&reply);
    msg.acpted_rply.ar_results.proc = reinterpret_cast<xdrproc_t>(visa::vxi11::xdr_read_reply);
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char*>(const_cast<uint8_t*>(data + 2)), u_int(size - 2),
                  XDR_DECODE);
    const bool decoded = xdr_replymsg(&x, &msg);
    // The RPC library stores wire words into C enums unchecked; read them as
    // the integers they are.
    int reply_stat, accept_stat;
    std::memcpy(&reply_stat, &msg.rm_reply.rp_stat, sizeof reply_stat);
    std::memcpy(&accept_stat, &msg.acpted_rply.ar_stat, sizeof accept_stat);
    if (decoded && reply_stat == MSG_ACCEPTED && accept_stat == SUCCESS && reply.len > cap)
        std::abort();
    if (buf[cap] != '\x5A') std::abort();
    // Only an accepted reply holds a verifier; a denied one reuses its memory.
    if (reply_stat == MSG_ACCEPTED) {
        x.x_op = XDR_FREE;
        xdr_opaque_auth(&x, &msg.acpted_rply.ar_verf);
    }
    xdr_destroy(&x);
    return 0;
}
