#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "visa/transport.h"

struct __rpc_client;

namespace visa::vxi11 {

// VXI-11 core channel over ONC RPC/TCP: portmapper lookup on port 111, one
// link (create_link) per session, kept on one connection for the session's
// life because links and locks belong to it.
//
// Writes without END are held back and sent together, in pieces of at most
// the link's maxRecvSize: nothing is lost by it (no END means the instrument
// cannot act on a partial message), and large uploads in small writes then
// cost one RPC per maxRecvSize instead of one per write. Held bytes go out
// before any read, lock, unlock, and on close; clear drops them.
class Vxi11Transport final : public Transport {
public:
    Vxi11Transport() = default;
    ~Vxi11Transport() override;

    ViStatus open(const RsrcName& name, uint32_t timeout_ms) override;
    ViStatus write(const ViByte* data, size_t count, bool end, uint32_t timeout_ms,
                   size_t* written) override;
    ViStatus read(ViByte* buf, size_t count, const ReadOptions& opts, size_t* got,
                  ReadStop* why) override;
    ViStatus lock(uint32_t timeout_ms) override;
    ViStatus unlock() override;
    ViStatus clear(uint32_t timeout_ms) override;
    ViStatus read_stb(uint32_t timeout_ms, uint16_t* stb) override;
    ViStatus trigger(uint32_t timeout_ms) override;
    ViStatus close(uint32_t timeout_ms) override;

    // The piece size writes are cut to: maxRecvSize, capped.
    size_t max_piece() const { return max_piece_; }

private:
    // Turns a failed RPC (an enum clnt_stat) into a status; marks the
    // connection lost when the stream broke.
    ViStatus rpc_failed(int clnt_status, const char* what);
    ViStatus send_piece(const ViByte* data, size_t size, bool end, uint32_t timeout_ms,
                        size_t* acked);
    ViStatus flush_held(uint32_t timeout_ms);
    ViStatus lookup_port(uint32_t timeout_ms, uint16_t* port);

    __rpc_client* client_ = nullptr;
    int fd_ = -1;
    long lid_ = 0;
    bool linked_ = false;
    bool lost_ = false;
    size_t max_piece_ = 1024;
    std::vector<ViByte> held_;
    std::string where_;  // resource and host:port, for the log
    std::string host_;
};

}  // namespace visa::vxi11
