#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "visa/transport.h"

namespace visa::socket {

// Raw TCP to host:port (a SOCKET resource). A byte stream has no END, so
// reads end only at the termination character (when enabled), at the count,
// or at the time-out. Bytes received past a termination character are kept
// for the next read.
class SocketTransport final : public Transport {
public:
    SocketTransport() = default;
    ~SocketTransport() override;

    ViStatus open(const RsrcName& name, uint32_t timeout_ms) override;
    ViStatus write(const ViByte* data, size_t count, bool end, uint32_t timeout_ms,
                   size_t* written) override;
    ViStatus read(ViByte* buf, size_t count, const ReadOptions& opts, size_t* got,
                  ReadStop* why) override;
    // Drops input received but not yet read; the instrument is not told.
    ViStatus clear(uint32_t timeout_ms) override;
    // Shuts the connection down under a call in progress.
    void cancel() override;
    // Half-closes, then waits up to min(timeout_ms, 1 s) for the peer to
    // close its side, so the instrument has read every byte when this returns.
    // A byte stream has no conversation to end: a peer already gone is no
    // failure of the close (the call that found it gone said so), and it
    // returns VI_SUCCESS at once.
    ViStatus close(uint32_t timeout_ms) override;

private:
    int fd_ = -1;
    std::string peer_;
    bool lost_ = false;
    std::atomic<bool> cancelled_{false};
    std::vector<ViByte> pending_;  // received, not yet handed out
    size_t pending_pos_ = 0;
};

}  // namespace visa::socket
