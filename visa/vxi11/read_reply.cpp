#include "visa/vxi11/read_reply.h"

namespace visa::vxi11 {

bool_t xdr_read_reply(XDR* xdrs, ReadReply* reply) {
    if (!xdr_long(xdrs, &reply->error) || !xdr_long(xdrs, &reply->reason)) return FALSE;
    // With a non-null buffer xdr_bytes decodes in place and refuses lengths
    // over the maximum before touching it.
    char* p = reply->data;
    u_int len = 0;
    if (!xdr_bytes(xdrs, &p, &len, reply->cap)) return FALSE;
    reply->len = len;
    return TRUE;
}

}  // namespace visa::vxi11
