#pragma once

#include <rpc/rpc.h>

namespace visa::vxi11 {

// A device_read reply (VXI-11 B.6.4: error, reason, opaque data) decoded
// straight into the caller's buffer. The data length is bounded by `cap`,
// the bytes asked for: the decoder rpcgen generates would accept, and
// allocate, any length a peer claims. A longer reply fails to decode.
struct ReadReply {
    long error = 0;
    long reason = 0;
    char* data = nullptr;  // caller's buffer, `cap` bytes
    u_int len = 0;         // valid only when decoding succeeded
    u_int cap = 0;
};

bool_t xdr_read_reply(XDR* xdrs, ReadReply* reply);

}  // namespace visa::vxi11
