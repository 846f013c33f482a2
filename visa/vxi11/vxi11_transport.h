#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "visa/net.h"
#include "visa/transport.h"

namespace visa::vxi11 {

class RpcStream;

// VXI-11 core channel over ONC RPC/TCP: portmapper lookup on port 111, one
// link (create_link) per session, kept on one connection for the session's
// life because links and locks belong to it.
//
// Every write goes out in device_write calls of at most the link's
// maxRecvSize and returns once the instrument has acknowledged them. Each
// call runs against one deadline, the caller's time-out plus reply_margin_ms
// (the instrument is given the time-out itself, so its own answer comes
// first). A reply that does not arrive by then, or that cannot be the answer
// to the call, loses the link: the stream is out of step and nothing read
// from it later could be trusted. From then on every call answers
// VI_ERROR_CONN_LOST at once.
class Vxi11Transport final : public Transport {
public:
    // How much longer than its own time-out a call waits for a reply.
    static constexpr uint32_t reply_margin_ms = 500;

    Vxi11Transport();
    ~Vxi11Transport() override;

    ViStatus open(const RsrcName& name, uint32_t timeout_ms) override;
    ViStatus write(const ViByte* data, size_t count, bool end, uint32_t timeout_ms,
                   size_t* written) override;
    ViStatus read(ViByte* buf, size_t count, const ReadOptions& opts, size_t* got,
                  ReadStop* why) override;
    ViStatus lock(uint32_t timeout_ms) override;
    ViStatus unlock(uint32_t timeout_ms) override;
    ViStatus clear(uint32_t timeout_ms) override;
    ViStatus read_stb(uint32_t timeout_ms, uint16_t* stb) override;
    ViStatus trigger(uint32_t timeout_ms) override;
    // Shuts the connection down under a call in progress.
    void cancel() override;
    ViStatus close(uint32_t timeout_ms) override;

    // Creates the link over `fd`, an already connected socket the transport
    // then owns, instead of finding the instrument through open(). For tests
    // and fuzzing, which feed the connection themselves; transaction ids
    // count up from `first_xid`.
    ViStatus open_on(int fd, const std::string& device, const std::string& where,
                     uint32_t timeout_ms, uint32_t first_xid);

    // The largest piece a write is cut to: the link's maxRecvSize, capped.
    size_t max_piece() const { return max_piece_; }
    bool lost() const { return lost_; }

private:
    // Makes one call, waiting for its reply until `deadline` plus the
    // margin; on VI_SUCCESS the stream holds its results. Loses the link
    // when the stream broke.
    ViStatus rpc(uint32_t proc, const void* args, size_t args_size, const void* data,
                 size_t data_size, const net::Deadline& deadline, size_t max_reply,
                 const char* what);
    // Decodes the results of the last call with `decode`, an XDR routine for
    // `*into`; results that do not decode lose the link.
    template <class Decode, class T>
    ViStatus results(Decode decode, T* into, const char* what);
    // A call whose arguments are the Generic parameters of this link.
    ViStatus generic_call(uint32_t proc, const char* what, uint32_t timeout_ms);
    ViStatus make_link(const std::string& device, uint32_t timeout_ms);
    ViStatus lookup_port(uint32_t timeout_ms, uint16_t* port);

    std::unique_ptr<RpcStream> stream_;
    int fd_ = -1;
    long lid_ = 0;
    bool linked_ = false;
    bool lost_ = false;
    std::atomic<bool> cancelled_{false};
    size_t max_piece_ = 1024;
    std::string where_;  // resource and host:port, for the log
    std::string host_;
    uint16_t port_ = 0;  // the core's, once the portmapper named it
};

}  // namespace visa::vxi11
