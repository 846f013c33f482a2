#include "visa/socket/socket_transport.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "visa/log.h"
#include "visa/net.h"
#include "visa/rsrc_name.h"

namespace visa::socket {
namespace {

// Names this file's lines in the library's log.
constexpr char log_module[] = "visa.socket";

constexpr size_t recv_chunk = 64 * 1024;
// Closing waits at most this long for the peer to close its side, and
// discards at most this much of what it still sends meanwhile.
constexpr uint32_t linger_cap_ms = 1000;
constexpr size_t linger_drain_cap = 1024 * 1024;

}  // namespace

SocketTransport::~SocketTransport() {
    if (fd_ >= 0) ::close(fd_);
}

ViStatus SocketTransport::open(const RsrcName& name, uint32_t timeout_ms) {
    sockaddr_in addr;
    if (!net::resolve_ipv4(name.host, name.port, &addr)) return VI_ERROR_RSRC_NFOUND;
    ViStatus st;
    fd_ = net::connect_tcp(addr, net::Deadline(timeout_ms), &st);
    peer_ = net::addr_text(addr);
    if (fd_ < 0)
        log_error(log_module, "%s: no socket service at %s", name.canonical().c_str(),
                  peer_.c_str());
    return st;
}

ViStatus SocketTransport::write(const ViByte* data, size_t count, bool /*end*/, uint32_t timeout_ms,
                                size_t* written) {
    *written = 0;
    if (lost_) return VI_ERROR_CONN_LOST;
    ViStatus st = net::send_all(fd_, data, count, net::Deadline(timeout_ms), written);
    if (st == VI_ERROR_CONN_LOST) {
        lost_ = true;
        log_error(log_module, "%s: connection lost while writing", peer_.c_str());
    }
    return st;
}

ViStatus SocketTransport::read(ViByte* buf, size_t count, const ReadOptions& opts, size_t* got,
                               ReadStop* why) {
    *got = 0;
    net::Deadline deadline(opts.timeout_ms);
    for (;;) {
        // Hand out what is buffered, up to the termination character.
        size_t avail = pending_.size() - pending_pos_;
        if (avail > 0) {
            size_t take = std::min(avail, count - *got);
            const ViByte* src = pending_.data() + pending_pos_;
            bool at_term = false;
            if (opts.term_char_enabled) {
                auto hit = static_cast<const ViByte*>(std::memchr(src, opts.term_char, take));
                if (hit != nullptr) {
                    take = size_t(hit - src) + 1;
                    at_term = true;
                }
            }
            std::memcpy(buf + *got, src, take);
            *got += take;
            pending_pos_ += take;
            if (pending_pos_ == pending_.size()) {
                pending_.clear();
                pending_pos_ = 0;
            }
            if (at_term) {
                *why = ReadStop::term_char;
                return VI_SUCCESS;
            }
            if (*got == count) {
                *why = ReadStop::count;
                return VI_SUCCESS;
            }
        }
        if (lost_) return VI_ERROR_CONN_LOST;
        pending_.resize(recv_chunk);
        pending_pos_ = 0;
        size_t n = 0;
        ViStatus st = net::recv_some(fd_, pending_.data(), pending_.size(), deadline, &n);
        pending_.resize(n);
        if (st != VI_SUCCESS) {
            if (st == VI_ERROR_CONN_LOST) {
                lost_ = true;
                log_error(log_module, "%s: connection lost while reading", peer_.c_str());
            }
            return st;
        }
    }
}

ViStatus SocketTransport::clear(uint32_t /*timeout_ms*/) {
    pending_.clear();
    pending_pos_ = 0;
    return lost_ ? VI_ERROR_CONN_LOST : VI_SUCCESS;
}

void SocketTransport::cancel() {
    cancelled_ = true;
    // Wakes a read or write waiting in poll(); the descriptor stays open
    // until close(), so it cannot be reused under that call.
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
}

ViStatus SocketTransport::close(uint32_t timeout_ms) {
    if (fd_ < 0) return VI_SUCCESS;
    if (!lost_ && !cancelled_) {
        // Half-close and wait, briefly, for the instrument to close its side: a
        // byte stream has no reply to the last message, so this is the only way
        // to know it has read everything before the session is gone.
        ::shutdown(fd_, SHUT_WR);
        net::Deadline deadline(std::min<uint32_t>(timeout_ms, linger_cap_ms));
        ViByte sink[4096];
        for (size_t drained = 0; drained < linger_drain_cap;) {
            size_t n = 0;
            if (net::recv_some(fd_, sink, sizeof sink, deadline, &n) != VI_SUCCESS) break;
            drained += n;
        }
    }
    ::close(fd_);
    fd_ = -1;
    return VI_SUCCESS;
}

}  // namespace visa::socket
