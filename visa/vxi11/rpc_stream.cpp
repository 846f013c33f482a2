#include "visa/vxi11/rpc_stream.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include "visa/log.h"
#include "visa/vxi11/rpc_wire.h"

namespace visa::vxi11 {
namespace {

// Names this file's lines in the library's log.
constexpr char log_module[] = "visa.vxi11";

// A reply may come in many fragments, but not in endless empty ones.
constexpr int max_fragments = 4096;
// Received bytes are taken in chunks of this size.
constexpr size_t in_chunk = 64 * 1024;

}  // namespace

RpcStream::RpcStream(int fd, uint32_t prog, uint32_t vers, uint32_t first_xid)
    : fd_(fd), prog_(prog), vers_(vers), next_xid_(first_xid), in_(in_chunk) {}

RpcStream::Result RpcStream::call(uint32_t proc, const void* args, size_t args_size,
                                  const void* data, size_t data_size, const net::Deadline& deadline,
                                  size_t max_reply) {
    const uint32_t xid = next_xid_++;
    Result r = send_call(proc, args, args_size, data, data_size, deadline);
    if (r != Result::ok) return r;
    r = read_record(deadline, max_reply);
    if (r != Result::ok) return r;
    return parse_reply(xid);
}

RpcStream::Result RpcStream::send_call(uint32_t proc, const void* args, size_t args_size,
                                       const void* data, size_t data_size,
                                       const net::Deadline& deadline) {
    const size_t pad = (4 - data_size % 4) % 4;
    const size_t body = 40 + args_size + data_size + pad;
    if (body >= rpc::last_fragment) return Result::garbage;
    uint8_t head[rpc::call_header_size];
    rpc::put_call_header(head, next_xid_ - 1, prog_, vers_, proc,
                         uint32_t(args_size + data_size + pad));
    static const uint8_t zeros[4] = {};
    iovec iov[4] = {{head, sizeof head},
                    {const_cast<void*>(args), args_size},
                    {const_cast<void*>(data), data_size},
                    {const_cast<uint8_t*>(zeros), pad}};
    int first = 0;
    size_t left = sizeof head + args_size + data_size + pad;
    while (left > 0) {
        msghdr msg{};
        msg.msg_iov = iov + first;
        msg.msg_iovlen = size_t(4 - first);
        ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                int w = net::wait_for(fd_, POLLOUT, deadline);
                if (w == 0) return Result::timed_out;
                if (w < 0) return Result::closed;
                continue;
            }
            log_error(log_module, "sending an RPC call: %s", std::strerror(errno));
            return Result::closed;
        }
        left -= size_t(n);
        size_t done = size_t(n);
        while (first < 4 && done >= iov[first].iov_len) {
            done -= iov[first].iov_len;
            ++first;
        }
        if (first < 4) {
            iov[first].iov_base = static_cast<uint8_t*>(iov[first].iov_base) + done;
            iov[first].iov_len -= done;
        }
    }
    return Result::ok;
}

// A blocking recv() bounded by the socket's receive time-out costs one system
// call where poll() and recv() cost two, which is a good part of a small
// call's time. The time-out is set only when the one in force could outlast
// the deadline, and then to somewhat less than what is left, so that a run of
// calls with the same time-out sets it once; a recv() that times out early
// just goes round again.
bool RpcStream::bound_wait(const net::Deadline& deadline) {
    const int left = deadline.poll_ms();  // -1: infinite
    if (left == 0) return false;
    if (left < 0 || (rcv_timeout_ms_ > 0 && rcv_timeout_ms_ <= left)) return true;
    const int set = left > 8 ? left - left / 8 : left;
    timeval tv{set / 1000, (set % 1000) * 1000};
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return false;
    rcv_timeout_ms_ = set;
    return true;
}

RpcStream::Result RpcStream::fill(size_t want, const net::Deadline& deadline) {
    while (in_end_ - in_begin_ < want) {
        if (in_begin_ > 0) {
            std::memmove(in_.data(), in_.data() + in_begin_, in_end_ - in_begin_);
            in_end_ -= in_begin_;
            in_begin_ = 0;
        }
        if (!bound_wait(deadline)) return Result::timed_out;
        ssize_t n = ::recv(fd_, in_.data() + in_end_, in_.size() - in_end_, 0);
        if (n > 0) {
            in_end_ += size_t(n);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n < 0) log_error(log_module, "receiving an RPC reply: %s", std::strerror(errno));
        return Result::closed;
    }
    return Result::ok;
}

RpcStream::Result RpcStream::read_record(const net::Deadline& deadline, size_t max_record) {
    record_.clear();
    for (int fragments = 0;; ++fragments) {
        if (fragments == max_fragments) return Result::garbage;
        Result r = fill(4, deadline);
        if (r != Result::ok) return r;
        const uint32_t mark = rpc::get_u32(in_.data() + in_begin_);
        in_begin_ += 4;
        size_t left = mark & ~rpc::last_fragment;
        if (left > max_record - record_.size()) return Result::garbage;
        while (left > 0) {
            r = fill(1, deadline);
            if (r != Result::ok) return r;
            const size_t take = std::min(left, in_end_ - in_begin_);
            record_.insert(record_.end(), in_.data() + in_begin_, in_.data() + in_begin_ + take);
            in_begin_ += take;
            left -= take;
        }
        if (mark & rpc::last_fragment) return Result::ok;
    }
}

RpcStream::Result RpcStream::parse_reply(uint32_t xid) {
    switch (rpc::parse_reply(record_.data(), record_.size(), xid, &results_at_)) {
        case rpc::Reply::success:
            return Result::ok;
        case rpc::Reply::denied:
        case rpc::Reply::failed:
            return Result::rejected;
        case rpc::Reply::other_xid:
        case rpc::Reply::malformed:
            break;
    }
    return Result::garbage;
}

}  // namespace visa::vxi11
