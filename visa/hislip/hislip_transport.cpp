#include "visa/hislip/hislip_transport.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "visa/failure.h"
#include "visa/log.h"
#include "visa/net.h"
#include "visa/rsrc_name.h"

namespace visa::hislip {
namespace {

// Names this file's lines in the library's log.
constexpr char log_module[] = "visa.hislip";

constexpr size_t recv_chunk = 64 * 1024;
// Closing waits at most this long for the server to close the data channel,
// and drops at most this much of what it still sends meanwhile.
constexpr uint32_t linger_cap_ms = 1000;
constexpr size_t linger_drain_cap = 1024 * 1024;

const char* channel_name(bool sync) {
    return sync ? "data" : "control";
}

// An error text from the peer, made fit for one log line.
std::string printable(std::string_view text) {
    std::string out;
    for (char c : text.substr(0, 200))
        out += (c >= 0x20 && c < 0x7F) ? c : '?';
    return out;
}

ViStatus send_iov(int fd, iovec* iov, int count, const net::Deadline& deadline, size_t* sent) {
    *sent = 0;
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = size_t(count);
        ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                log_error(log_module, "send: %s", std::strerror(errno));
                return VI_ERROR_CONN_LOST;
            }
            pollfd p{fd, POLLOUT, 0};
            int rc = ::poll(&p, 1, deadline.poll_ms());
            if (rc < 0 && errno == EINTR) continue;
            if (rc == 0) return VI_ERROR_TMO;
            if (rc < 0) return VI_ERROR_CONN_LOST;
            continue;
        }
        *sent += size_t(n);
        size_t left = size_t(n);
        while (count > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return VI_SUCCESS;
}

}  // namespace

HislipTransport::~HislipTransport() {
    if (sync_fd_ >= 0) ::close(sync_fd_);
    if (async_fd_ >= 0) ::close(async_fd_);
}

ViStatus HislipTransport::usable() const {
    // The control channel is connected only after the data channel's
    // initialisation; open() uses each channel once it is there.
    if (sync_fd_ < 0 || broken_ || cancelled_) return VI_ERROR_CONN_LOST;
    return VI_SUCCESS;
}

void HislipTransport::cancel() {
    cancelled_ = true;
    // Wakes a call waiting in poll() on either channel; the descriptors stay
    // open until close(), so that call never touches a reused one.
    if (sync_fd_ >= 0) ::shutdown(sync_fd_, SHUT_RDWR);
    if (async_fd_ >= 0) ::shutdown(async_fd_, SHUT_RDWR);
}

void HislipTransport::fail() {
    if (broken_) return;
    broken_ = true;
    // The server sees the session end at once; the descriptors stay until
    // close() so that they are never reused behind our back.
    if (sync_fd_ >= 0) ::shutdown(sync_fd_, SHUT_RDWR);
    if (async_fd_ >= 0) ::shutdown(async_fd_, SHUT_RDWR);
}

ViStatus HislipTransport::protocol_fault(Channel ch, const std::string& what, FatalCode code) {
    log_error(log_module, "%s: %s on the %s channel; session ended", where_.c_str(), what.c_str(),
              channel_name(ch == Channel::sync));
    if (!broken_) {
        // Tell the server why, if its buffer has room now; never wait for it.
        std::string msg = encode(Header{Type::fatal_error, uint8_t(code), 0, 0}, what);
        size_t sent = 0;
        iovec iov{msg.data(), msg.size()};
        send_iov(ch == Channel::sync ? sync_fd_ : async_fd_, &iov, 1, net::Deadline(0), &sent);
    }
    fail();
    return VI_ERROR_IO;
}

ViStatus HislipTransport::peer_error(Channel ch, const Header& h, std::string_view text) {
    const std::string detail = printable(text);
    if (h.type == Type::fatal_error) {
        log_error(log_module,
                  "%s: server ended the session with fatal error %u (%s) on the %s channel: %s",
                  where_.c_str(), unsigned(h.control), fatal_text(h.control),
                  channel_name(ch == Channel::sync), detail.c_str());
        fail();
        return FatalCode(h.control) == FatalCode::too_many_clients ? VI_ERROR_RSRC_BUSY
                                                                   : VI_ERROR_IO;
    }
    log_error(log_module, "%s: server reported error %u (%s) on the %s channel: %s", where_.c_str(),
              unsigned(h.control), error_text(h.control), channel_name(ch == Channel::sync),
              detail.c_str());
    return VI_ERROR_IO;
}

ViStatus HislipTransport::send(Channel ch, const Header& h, const void* payload, size_t size,
                               const net::Deadline& deadline) {
    if (ViStatus st = usable(); st != VI_SUCCESS) return st;
    Header full = h;
    full.length = size;
    uint8_t head[header_size];
    encode_header(full, head);
    iovec iov[2] = {{head, header_size}, {}};
    int parts = 1;
    if (size > 0) iov[parts++] = {const_cast<void*>(payload), size};
    size_t sent = 0;
    const int fd = ch == Channel::sync ? sync_fd_ : async_fd_;
    if (fd < 0) return VI_ERROR_CONN_LOST;
    ViStatus st = send_iov(fd, iov, parts, deadline, &sent);
    if (st == VI_SUCCESS) return st;
    if (st == VI_ERROR_CONN_LOST) {
        log_error(log_module, "%s: connection lost while sending %s", where_.c_str(),
                  type_name(uint8_t(h.type)).c_str());
        fail();
    } else if (sent > 0) {
        // The server now waits for the rest of a message we will not send;
        // nothing later could be framed correctly.
        log_error(
            log_module,
            "%s: time-out in the middle of a %s message (%zu of %zu bytes sent); session ended",
            where_.c_str(), type_name(uint8_t(h.type)).c_str(), sent, header_size + size);
        fail();
    }
    return st;
}

ViStatus HislipTransport::receive(Channel ch, const net::Deadline& deadline) {
    if (ViStatus st = usable(); st != VI_SUCCESS) return st;
    // Messages we drop (stale answers, notices, vendor types) still arrive as
    // data; without this a server sending them without pause would keep the
    // call waiting for ever.
    if (deadline.overdue()) return VI_ERROR_TMO;
    char buf[recv_chunk];
    size_t n = 0;
    const bool sync = ch == Channel::sync;
    if ((sync ? sync_fd_ : async_fd_) < 0) return VI_ERROR_CONN_LOST;
    ViStatus st = net::recv_some(sync ? sync_fd_ : async_fd_, buf, sizeof buf, deadline, &n);
    if (st == VI_ERROR_CONN_LOST) {
        log_error(log_module, "%s: connection lost on the %s channel", where_.c_str(),
                  channel_name(sync));
        fail();
    }
    if (st != VI_SUCCESS) return st;
    (sync ? sync_in_ : async_in_).feed(buf, n);
    return VI_SUCCESS;
}

ViStatus HislipTransport::ask_async(const Header& request, Type answer, Header* reply,
                                    const net::Deadline& deadline) {
    if (ViStatus st = send(Channel::async, request, nullptr, 0, deadline); st != VI_SUCCESS)
        return st;
    return await_async(answer, reply, nullptr, deadline);
}

ViStatus HislipTransport::await_async(Type want, Header* h, std::string* payload,
                                      const net::Deadline& deadline) {
    for (;;) {
        Header m;
        switch (async_in_.next(&m)) {
            case Decoder::Status::need_more:
                if (ViStatus st = receive(Channel::async, deadline); st != VI_SUCCESS) {
                    if (st == VI_ERROR_TMO) {
                        // A late answer would be taken for the next request's
                        // (a lock granted that we reported as refused): end
                        // the session rather than fall out of step.
                        log_error(log_module, "%s: no %s in time; session ended", where_.c_str(),
                                  type_name(uint8_t(want)).c_str());
                        fail();
                    }
                    return st;
                }
                continue;
            case Decoder::Status::bad_header:
                return protocol_fault(Channel::async, "malformed message header",
                                      FatalCode::bad_header);
            case Decoder::Status::too_large:
                if (m.type == Type::fatal_error || m.type == Type::error)
                    return peer_error(Channel::async, m, "(text too long, dropped)");
                log_warning(log_module, "%s: dropped a %s of %llu bytes on the control channel",
                            where_.c_str(), type_name(uint8_t(m.type)).c_str(),
                            static_cast<unsigned long long>(m.length));
                continue;
            case Decoder::Status::data:
                async_in_.drop_data();
                continue;
            case Decoder::Status::message:
                break;
        }
        if (m.type == want) {
            *h = m;
            if (payload != nullptr) payload->assign(async_in_.payload());
            return VI_SUCCESS;
        }
        switch (m.type) {
            case Type::fatal_error:
                return peer_error(Channel::async, m, async_in_.payload());
            case Type::error: {
                ViStatus st = peer_error(Channel::async, m, async_in_.payload());
                // A server without this request tells us so.
                if (ErrorCode(m.control) == ErrorCode::unknown_type ||
                    ErrorCode(m.control) == ErrorCode::unknown_control)
                    return VI_ERROR_NSUP_OPER;
                return st;
            }
            case Type::async_service_request:
            case Type::async_interrupted:
                continue;  // notices nobody here waits for
            default:
                log_warning(log_module, "%s: unexpected %s on the control channel, ignored",
                            where_.c_str(), type_name(uint8_t(m.type)).c_str());
                continue;
        }
    }
}

ViStatus HislipTransport::open(const RsrcName& name, uint32_t timeout_ms) {
    where_ = name.canonical();
    const uint16_t port = name.port != 0 ? name.port : default_port;
    sockaddr_in addr;
    if (!net::resolve_ipv4(name.host, port, &addr)) return VI_ERROR_RSRC_NFOUND;
    net::Deadline deadline(timeout_ms);
    ViStatus st;
    sync_fd_ = net::connect_tcp(addr, deadline, &st);
    if (sync_fd_ < 0) {
        log_error(log_module, "%s: no HiSLIP server at %s", where_.c_str(),
                  net::addr_text(addr).c_str());
        return st;
    }
    where_ += " (" + net::addr_text(addr) + ")";
    // The sub-address is the device name without the port.
    st = handshake(name.device_name.substr(0, name.device_name.find(',')), addr, deadline);
    if (st == VI_ERROR_TMO) log_error(log_module, "%s: session not set up in time", where_.c_str());
    // A connection that failed inside the handshake (the control channel's)
    // has recorded itself.
    const auto met = last_failure();
    if (st < 0 && (!met || met->stage != FWVISA_STAGE_CONNECT))
        record_failure(failure(st, FWVISA_STAGE_HANDSHAKE,
                               st == VI_ERROR_TMO         ? FWVISA_CAUSE_TIMED_OUT
                               : st == VI_ERROR_CONN_LOST ? FWVISA_CAUSE_LOST
                                                          : FWVISA_CAUSE_REJECTED,
                               name.host, port));
    return st;
}

ViStatus HislipTransport::handshake(const std::string& sub_address, const sockaddr_in& addr,
                                    const net::Deadline& deadline) {
    ViStatus st;
    if (st = send(Channel::sync,
                  Header{Type::initialize, 0, initialize_param(version_1_1, client_vendor_id), 0},
                  sub_address.data(), sub_address.size(), deadline);
        st != VI_SUCCESS)
        return st;
    Header h;
    for (;;) {
        Decoder::Status ds = sync_in_.next(&h);
        if (ds == Decoder::Status::need_more) {
            if (st = receive(Channel::sync, deadline); st != VI_SUCCESS) return st;
            continue;
        }
        if (ds != Decoder::Status::message)
            return protocol_fault(Channel::sync, "malformed answer to Initialize");
        if (h.type == Type::fatal_error || h.type == Type::error)
            return peer_error(Channel::sync, h, sync_in_.payload());
        if (h.type != Type::initialize_response)
            return protocol_fault(Channel::sync,
                                  "answer to Initialize is " + type_name(uint8_t(h.type)));
        break;
    }
    version_ = std::min<uint16_t>(version_1_1, uint16_t(h.param >> 16));
    session_id_ = uint16_t(h.param & 0xFFFF);
    overlapped_ = (h.control & prefer_overlapped) != 0;

    async_fd_ = net::connect_tcp(addr, deadline, &st);
    if (async_fd_ < 0) {
        log_error(log_module, "%s: control channel could not be connected", where_.c_str());
        return st;
    }
    if (st = ask_async(Header{Type::async_initialize, 0, session_id_, 0},
                       Type::async_initialize_response, &h, deadline);
        st != VI_SUCCESS)
        return st == VI_ERROR_NSUP_OPER ? VI_ERROR_IO : st;

    const std::string ours = encode_size(client_max_message);
    if (st = send(Channel::async, Header{Type::async_maximum_message_size, 0, 0, 0}, ours.data(),
                  ours.size(), deadline);
        st != VI_SUCCESS)
        return st;
    std::string payload;
    if (st = await_async(Type::async_maximum_message_size_response, &h, &payload, deadline);
        st != VI_SUCCESS)
        return st == VI_ERROR_NSUP_OPER ? VI_ERROR_IO : st;
    uint64_t theirs = 0;
    if (!decode_size(payload, &theirs))
        return protocol_fault(Channel::async, "maximum message size is not 8 bytes");
    // The size counts the whole message; a server that takes no data at all
    // cannot be used.
    if (theirs <= header_size)
        return protocol_fault(Channel::async,
                              "server takes messages of " + std::to_string(theirs) + " bytes only");
    max_payload_ = theirs - header_size;
    return VI_SUCCESS;
}

bool HislipTransport::accept_id(uint32_t id) const {
    if (overlapped_ || id == any_message_id) return true;
    return uint32_t(id - answer_id_) <= uint32_t(last_sent_id_ - answer_id_);
}

ViStatus HislipTransport::send_data(bool end, const ViByte* data, size_t size,
                                    const net::Deadline& deadline) {
    Header h{end ? Type::data_end : Type::data, rmt_delivered_ ? rmt_delivered : uint8_t(0),
             next_id_, 0};
    if (ViStatus st = send(Channel::sync, h, data, size, deadline); st != VI_SUCCESS) return st;
    rmt_delivered_ = false;
    last_sent_id_ = next_id_;
    if (end) answer_id_ = next_id_;
    next_id_ = next_message_id(next_id_);
    return VI_SUCCESS;
}

// Every write goes out before it returns, in messages of at most the size the
// server takes: its count is what was handed to the connection, never bytes
// kept back for a later call. END rides on the last message only; a write of
// nothing with END still sends an empty DataEND, which ends the message.
ViStatus HislipTransport::write(const ViByte* data, size_t count, bool end, uint32_t timeout_ms,
                                size_t* written) {
    *written = 0;
    if (ViStatus st = usable(); st != VI_SUCCESS) return st;
    if (count == 0 && !end) return VI_SUCCESS;
    net::Deadline deadline(timeout_ms);
    size_t off = 0;
    do {
        const size_t take = size_t(std::min<uint64_t>(max_payload_, count - off));
        const bool last = off + take == count;
        if (ViStatus st = send_data(last && end, data + off, take, deadline); st != VI_SUCCESS)
            return st;
        off += take;
        *written = off;
    } while (off < count);
    return VI_SUCCESS;
}

ViStatus HislipTransport::read(ViByte* buf, size_t count, const ReadOptions& opts, size_t* got,
                               ReadStop* why) {
    *got = 0;
    if (ViStatus st = usable(); st != VI_SUCCESS) return st;
    dropped_ = 0;
    const ViStatus st = read_messages(buf, count, opts, got, why);
    if (dropped_ > max_logged_drops)
        log_warning(log_module, "%s: %u more messages dropped on the data channel", where_.c_str(),
                    dropped_ - max_logged_drops);
    return st;
}

bool HislipTransport::log_drop() {
    return ++dropped_ <= max_logged_drops;
}

// Reads message headers on the data channel until a data message answering
// this read begins (in_data_ set) or the channel fails; drops what answers an
// earlier message.
ViStatus HislipTransport::await_data(const net::Deadline& deadline) {
    for (;;) {
        Header h;
        switch (sync_in_.next(&h)) {
            case Decoder::Status::need_more:
                if (ViStatus st = receive(Channel::sync, deadline); st != VI_SUCCESS) return st;
                continue;
            case Decoder::Status::bad_header:
                return protocol_fault(Channel::sync, "malformed message header",
                                      FatalCode::bad_header);
            case Decoder::Status::too_large:
                if (h.type == Type::fatal_error || h.type == Type::error)
                    return peer_error(Channel::sync, h, "(text too long, dropped)");
                if (log_drop())
                    log_warning(log_module, "%s: dropped a %s of %llu bytes on the data channel",
                                where_.c_str(), type_name(uint8_t(h.type)).c_str(),
                                static_cast<unsigned long long>(h.length));
                continue;
            case Decoder::Status::data:
                if (!accept_id(h.param)) {
                    if (log_drop())
                        log_warning(
                            log_module,
                            "%s: dropped %llu bytes answering an earlier message (id 0x%08X)",
                            where_.c_str(), static_cast<unsigned long long>(h.length),
                            unsigned(h.param));
                    sync_in_.drop_data();
                    continue;
                }
                in_data_ = true;
                data_end_ = h.type == Type::data_end;
                return VI_SUCCESS;
            case Decoder::Status::message:
                if (h.type == Type::fatal_error || h.type == Type::error)
                    return peer_error(Channel::sync, h, sync_in_.payload());
                // Interrupted: an answer we gave up on was dropped by the
                // server; anything else has no place here.
                if (h.type != Type::interrupted && log_drop())
                    log_warning(log_module, "%s: unexpected %s on the data channel, ignored",
                                where_.c_str(), type_name(uint8_t(h.type)).c_str());
                continue;
        }
    }
}

// Copies the current data message's bytes into `buf` up to `count`, stopping
// after a terminator when one is asked for; true when it stopped there.
bool HislipTransport::copy_data(ViByte* buf, size_t count, const ReadOptions& opts, size_t* got) {
    bool at_term = false;
    while (sync_in_.data_left() > 0 && *got < count && !at_term) {
        std::string_view piece = sync_in_.peek(count - *got);
        if (piece.empty()) break;
        size_t n = piece.size();
        if (opts.term_char_enabled) {
            const void* hit = std::memchr(piece.data(), opts.term_char, n);
            if (hit != nullptr) {
                n = size_t(static_cast<const char*>(hit) - piece.data()) + 1;
                at_term = true;
            }
        }
        std::memcpy(buf + *got, piece.data(), n);
        sync_in_.consume(n);
        *got += n;
    }
    return at_term;
}

ViStatus HislipTransport::read_messages(ViByte* buf, size_t count, const ReadOptions& opts,
                                        size_t* got, ReadStop* why) {
    net::Deadline deadline(opts.timeout_ms);
    for (;;) {
        if (!in_data_) {
            if (ViStatus st = await_data(deadline); st != VI_SUCCESS) return st;
        }
        const bool at_term = copy_data(buf, count, opts, got);
        if (sync_in_.data_left() == 0) {
            in_data_ = false;
            if (data_end_) {
                rmt_delivered_ = true;
                *why = at_term ? ReadStop::term_char : ReadStop::end;
                return VI_SUCCESS;
            }
        }
        if (at_term) {
            *why = ReadStop::term_char;
            return VI_SUCCESS;
        }
        if (*got == count) {
            *why = ReadStop::count;
            return VI_SUCCESS;
        }
        if (in_data_) {
            if (ViStatus st = receive(Channel::sync, deadline); st != VI_SUCCESS) return st;
        }
    }
}

ViStatus HislipTransport::close(uint32_t timeout_ms) {
    if (sync_fd_ < 0 && async_fd_ < 0) return VI_SUCCESS;
    if (usable() == VI_SUCCESS && async_fd_ >= 0) {
        // Releasing first means the lock is free when we return, not when the
        // server notices the closed connection.
        net::Deadline deadline(std::min<uint32_t>(timeout_ms, linger_cap_ms));
        if (locked_) release(deadline);
        // Half-close both channels: the server reads what is left, ends the
        // session and closes; waiting for that tells us it has read it all.
        ::shutdown(sync_fd_, SHUT_WR);
        ::shutdown(async_fd_, SHUT_WR);
        char sink[4096];
        for (size_t drained = 0; drained < linger_drain_cap;) {
            pollfd p{sync_fd_, POLLIN, 0};
            if (::poll(&p, 1, deadline.poll_ms()) <= 0) break;
            const ssize_t n = ::recv(sync_fd_, sink, sizeof sink, MSG_DONTWAIT);
            if (n <= 0) break;  // the server has closed: all read
            drained += size_t(n);
        }
    }
    if (sync_fd_ >= 0) ::close(sync_fd_);
    if (async_fd_ >= 0) ::close(async_fd_);
    sync_fd_ = async_fd_ = -1;
    return VI_SUCCESS;
}

}  // namespace visa::hislip
