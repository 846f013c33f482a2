#include "hislip_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sim {

namespace hs = visa::hislip;
using hs::Header;
using hs::Type;

namespace {

constexpr std::size_t read_chunk = 64 * 1024;
// A client that stops reading its answers stops being served beyond this.
constexpr std::size_t max_output = 8u << 20;
// Input waits in the kernel once this much is buffered and not yet used.
constexpr std::size_t max_input = 2u << 20;
// Longest payload of any message but Data and DataEND (sub-address, lock
// string, error text).
constexpr std::size_t max_control = 1024;
constexpr std::size_t max_pending_replies = 64;
// A release waits this long at most for the data channel to catch up with
// the message id the client names.
constexpr auto release_catch_up = std::chrono::milliseconds(1000);
// The smallest message size a client may announce: room for a header and
// some data.
constexpr std::uint64_t min_client_message = hs::header_size + 64;

constexpr std::uint8_t stb_mav = 0x10;
constexpr std::uint8_t stb_eav = 0x04;

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

struct HislipServer::Connection {
    enum class Role { fresh, sync, async };
    std::uint64_t id = 0;
    int fd = -1;
    Role role = Role::fresh;
    std::uint16_t session = 0;
    hs::Decoder in{max_control};
    std::string out;
    Clock::time_point last_activity;
    std::uint32_t events = 0;  // what epoll watches for
    bool eof = false;
    bool dead = false;
};

struct HislipServer::Session {
    struct LockWait {
        std::string key;  // empty: exclusive
        Clock::time_point until;
    };
    struct ReleaseWait {
        std::uint32_t id = 0;
        Clock::time_point until;
    };

    std::uint16_t id = 0;
    Connection* sync = nullptr;
    Connection* async = nullptr;
    MessageSplitter splitter;
    std::deque<Reply> replies;
    // What the client takes, until it says (AsyncMaximumMessageSize).
    std::uint64_t client_max = (1u << 20) + hs::header_size;
    std::uint32_t last_id = hs::no_message_id;  // of the last Data/DataEND/Trigger
    std::uint32_t data_id = 0;                  // of the data message being received
    bool data_end = false;
    bool clearing = false;  // between AsyncDeviceClear and DeviceClearComplete
    bool shared = false;    // holds the shared lock
    bool backlog = false;   // input left unprocessed to give others a turn
    bool ended = false;
    std::optional<LockWait> lock_wait;
    std::optional<ReleaseWait> release_wait;
};

HislipServer::HislipServer(HislipSettings settings, Instrument& instrument, Transcript transcript)
    : settings_(std::move(settings)), instrument_(instrument), transcript_(std::move(transcript)) {
    port_ = settings_.port;
}

HislipServer::~HislipServer() {
    for (auto& c : connections_)
        if (c->fd >= 0) ::close(c->fd);
    close_listener();
    if (epoll_ >= 0) ::close(epoll_);
}

void HislipServer::log(const std::string& line) const {
    std::fprintf(stderr, "fwsim: hislip: %s\n", line.c_str());
}

bool HislipServer::open(std::string& error) {
    if (epoll_ < 0) epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
        error = std::string("epoll_create1: ") + std::strerror(errno);
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port_);
    ::inet_pton(AF_INET, settings_.address.c_str(), &sa.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0) {
        error = "HiSLIP listener " + settings_.address + ":" + std::to_string(port_) + ": " +
                std::strerror(errno);
        ::close(fd);
        return false;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &listener_;
    if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
        error = std::string("epoll_ctl: ") + std::strerror(errno);
        ::close(fd);
        return false;
    }
    listener_ = fd;
    return true;
}

void HislipServer::close_listener() {
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
}

void HislipServer::hold_lock(std::optional<Clock::time_point> until) {
    internal_hold_ = true;
    internal_until_ = until;
}

bool HislipServer::internal_lock_held(Clock::time_point now) {
    if (internal_hold_ && internal_until_ && now >= *internal_until_) internal_hold_ = false;
    return internal_hold_;
}

bool HislipServer::blocked(const Session& s, Clock::time_point now) {
    if (internal_lock_held(now) || (held_elsewhere_ && held_elsewhere_())) return true;
    if (exclusive_) return *exclusive_ != s.id;
    return !shared_key_.empty() && !s.shared;
}

bool HislipServer::can_grant(const Session& s, const std::string& key, Clock::time_point now) {
    if (internal_lock_held(now) || (exclusive_ && *exclusive_ != s.id)) return false;
    if (held_elsewhere_ && held_elsewhere_()) return false;
    if (!key.empty()) return shared_key_.empty() || shared_key_ == key;
    for (const auto& [id, other] : sessions_)
        if (id != s.id && other.shared && !other.ended) return false;
    return true;
}

bool HislipServer::shared_held() const {
    for (const auto& [id, s] : sessions_)
        if (s.shared && !s.ended) return true;
    return false;
}

std::size_t HislipServer::holders() const {
    std::size_t n = exclusive_ || internal_hold_ ? 1 : 0;
    for (const auto& [id, s] : sessions_)
        n += s.shared && !s.ended ? 1 : 0;
    return n;
}

void HislipServer::send(Connection& c, const Header& h, std::string_view payload) {
    if (c.dead) return;
    c.out += hs::encode(h, payload);
}

void HislipServer::fatal(Connection& c, hs::FatalCode code, const std::string& text) {
    log("connection " + std::to_string(c.id) + ": fatal error " +
        std::to_string(static_cast<int>(code)) + ": " + text);
    send(c, Header{Type::fatal_error, static_cast<std::uint8_t>(code), 0, 0}, text);
    write_to(c);
    if (c.session != 0) {
        end_session(c.session, nullptr);
    } else {
        close_connection(c);
    }
}

void HislipServer::error(Connection& c, hs::ErrorCode code, const std::string& text) {
    if (settings_.verbose)
        log("connection " + std::to_string(c.id) + ": error " +
            std::to_string(static_cast<int>(code)) + ": " + text);
    send(c, Header{Type::error, static_cast<std::uint8_t>(code), 0, 0}, text);
}

void HislipServer::close_connection(Connection& c) {
    if (c.dead) return;
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
    c.dead = true;
}

void HislipServer::end_session(std::uint16_t id, const char* why) {
    const auto it = sessions_.find(id);
    if (it == sessions_.end() || it->second.ended) return;
    Session& s = it->second;
    s.ended = true;
    if (!s.splitter.idle()) transcript_(s.splitter.partial_transcript() + " [connection lost]");
    if (exclusive_ == id) exclusive_.reset();
    if (s.shared) {
        s.shared = false;
        if (!shared_held()) shared_key_.clear();
    }
    for (Connection* c : {s.sync, s.async}) {
        if (c == nullptr) continue;
        write_to(*c);
        close_connection(*c);
    }
    s.sync = s.async = nullptr;
    if (why != nullptr || settings_.verbose)
        log("session " + std::to_string(id) + " ended" + (why ? std::string(": ") + why : ""));
}

void HislipServer::drop_all() {
    for (auto& [id, s] : sessions_)
        end_session(id, nullptr);
    for (auto& c : connections_) {
        write_to(*c);
        close_connection(*c);
    }
    sessions_.clear();
    connections_.clear();
    exclusive_.reset();
    shared_key_.clear();
    reboot_requested_ = false;
}

void HislipServer::accept(Clock::time_point now) {
    for (int k = 0; k < 8; ++k) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        // Connections that never become a session count too: room for every
        // session's two and a few that are still introducing themselves.
        if (connections_.size() >= 2 * settings_.max_sessions + 4) {
            log("connection refused: too many connections");
            ::close(fd);
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_unique<Connection>();
        c->id = next_connection_++;
        c->fd = fd;
        c->last_activity = now;
        c->events = EPOLLIN;
        epoll_event ev{};
        ev.events = c->events;
        ev.data.ptr = c.get();
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            log(std::string("connection refused: epoll_ctl: ") + std::strerror(errno));
            ::close(fd);
            continue;
        }
        if (settings_.verbose) log("connection " + std::to_string(c->id) + " accepted");
        connections_.push_back(std::move(c));
    }
}

void HislipServer::read_from(Connection& c, Clock::time_point now) {
    char buf[read_chunk];
    // A block of data arrives in several pieces: take what is there, up to
    // the input bound, before working on it.
    while (c.in.buffered() < max_input) {
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n > 0) {
            c.in.feed(buf, static_cast<std::size_t>(n));
            c.last_activity = now;
            if (static_cast<std::size_t>(n) < sizeof buf) return;
        } else if (n == 0) {
            c.eof = true;  // what arrived before still counts
            return;
        } else {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                if (c.session != 0) {
                    end_session(c.session, nullptr);
                } else {
                    close_connection(c);
                }
            }
            return;
        }
    }
}

void HislipServer::write_to(Connection& c) {
    while (!c.dead && !c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            c.out.erase(0, static_cast<std::size_t>(n));
        } else {
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
            c.out.clear();
            if (c.session != 0) {
                end_session(c.session, nullptr);
            } else {
                close_connection(c);
            }
            return;
        }
    }
}

void HislipServer::watch(Connection& c) {
    if (c.dead) return;
    std::uint32_t events = 0;
    if (!c.eof && c.in.buffered() < max_input && c.out.size() < max_output) events |= EPOLLIN;
    if (!c.out.empty()) events |= EPOLLOUT;
    if (events == c.events) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = &c;
    ::epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
    c.events = events;
}

void HislipServer::serve(Clock::time_point now) {
    epoll_event events[64];
    const int n = ::epoll_wait(epoll_, events, 64, 0);
    for (int k = 0; k < n; ++k) {
        if (events[k].data.ptr == &listener_) {
            accept(now);
            continue;
        }
        // Connections are erased only at the end of process(), so `c` lives.
        Connection& c = *static_cast<Connection*>(events[k].data.ptr);
        if (c.dead) continue;
        if ((events[k].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 && !c.eof) read_from(c, now);
        if (!c.dead && (events[k].events & EPOLLOUT) != 0) write_to(c);
    }
    process(now);
    for (auto& c : connections_)
        watch(*c);
}

void HislipServer::process_new(Connection& c) {
    Header h;
    switch (c.in.next(&h)) {
        case hs::Decoder::Status::need_more:
            if (c.eof) close_connection(c);
            return;
        case hs::Decoder::Status::bad_header:
            return fatal(c, hs::FatalCode::bad_header, "message does not start with HS");
        case hs::Decoder::Status::too_large:
        case hs::Decoder::Status::data:
            return fatal(c, hs::FatalCode::bad_init_sequence,
                         "expected Initialize or AsyncInitialize, got " +
                             hs::type_name(static_cast<std::uint8_t>(h.type)));
        case hs::Decoder::Status::message:
            break;
    }
    if (h.type == Type::initialize) {
        const std::string_view sub = c.in.payload();
        if (!sub.empty() && !iequals(sub, "hislip0"))
            return fatal(c, hs::FatalCode::unidentified,
                         "no device at sub-address '" + std::string(sub) + "'");
        std::size_t live = 0;
        for (const auto& [id, s] : sessions_)
            live += s.ended ? 0 : 1;
        if (live >= settings_.max_sessions)
            return fatal(c, hs::FatalCode::too_many_clients,
                         "at most " + std::to_string(settings_.max_sessions) + " sessions");
        while (next_session_ == 0 || sessions_.count(next_session_) != 0)
            ++next_session_;
        const std::uint16_t id = next_session_++;
        Session& s = sessions_[id];
        s.id = id;
        s.sync = &c;
        c.role = Connection::Role::sync;
        c.session = id;
        // Bit 0 clear: this server prefers (and only does) synchronized mode.
        send(c, Header{Type::initialize_response, 0,
                       hs::initialize_response_param(hs::version_1_1, id), 0});
        if (settings_.verbose) log("session " + std::to_string(id) + " opened");
        return;
    }
    if (h.type == Type::async_initialize) {
        const auto it = sessions_.find(static_cast<std::uint16_t>(h.param));
        if (h.param > 0xFFFF || it == sessions_.end() || it->second.ended ||
            it->second.async != nullptr)
            return fatal(c, hs::FatalCode::bad_init_sequence,
                         "AsyncInitialize names no session waiting for it");
        it->second.async = &c;
        c.role = Connection::Role::async;
        c.session = it->first;
        send(c, Header{Type::async_initialize_response, 0, hs::server_vendor_id, 0});
        return;
    }
    fatal(c, hs::FatalCode::bad_init_sequence,
          "expected Initialize or AsyncInitialize, got " +
              hs::type_name(static_cast<std::uint8_t>(h.type)));
}

bool HislipServer::feed_data(Session& s, std::string_view piece, bool end, Clock::time_point now) {
    s.splitter.set_block_threshold(settings_.drop_in_block);
    std::size_t pos = 0;
    do {
        std::vector<ProgramMessage> messages;
        s.splitter.set_limit(instrument_.message_limit());
        const auto fed = s.splitter.feed(piece.substr(pos), end, messages);
        pos += fed.consumed;
        for (const ProgramMessage& m : messages) {
            transcript_(m.transcript);
            const Outcome out = instrument_.execute(m);
            if (out.reply) {
                if (s.replies.size() >= max_pending_replies) {
                    s.replies.pop_front();
                    instrument_.errors().push(-410, "Query INTERRUPTED");
                }
                s.replies.push_back(
                    Reply{*out.reply, s.data_id, now + std::chrono::milliseconds(out.delay_ms)});
            }
            if (out.reboot) reboot_requested_ = true;
        }
        if (fed.block_threshold_hit) {
            transcript_(s.splitter.partial_transcript() + " [connection dropped]");
            s.splitter.reset();
            end_session(s.id, "connection dropped in a block");
            return false;
        }
    } while (pos < piece.size());
    return true;
}

void HislipServer::process_sync(Session& s, Clock::time_point now) {
    Connection& c = *s.sync;
    s.backlog = false;
    for (int k = 0;; ++k) {
        if (c.dead || s.ended || c.out.size() >= max_output) return;
        if (k == 256) {
            s.backlog = true;
            return;
        }
        if (c.in.data_left() > 0) {
            const std::string_view piece = c.in.peek(max_input);
            if (piece.empty()) return;
            const bool last = piece.size() == c.in.data_left();
            const std::size_t n = piece.size();
            const bool ok = s.clearing || feed_data(s, piece, s.data_end && last, now);
            c.in.consume(n);
            if (!ok) return;
            continue;
        }
        // Another client's lock holds our messages back, unread, until it goes.
        if (!s.clearing && blocked(s, now)) return;
        Header h;
        switch (c.in.next(&h)) {
            case hs::Decoder::Status::need_more:
                return;
            case hs::Decoder::Status::bad_header:
                return fatal(c, hs::FatalCode::bad_header, "message does not start with HS");
            case hs::Decoder::Status::too_large:
                error(c, hs::ErrorCode::too_large, "payload too long");
                continue;
            case hs::Decoder::Status::data:
                if (s.async == nullptr)
                    return fatal(c, hs::FatalCode::channels_not_up,
                                 "data before the control channel is up");
                if (h.length > settings_.max_message - hs::header_size) {
                    error(c, hs::ErrorCode::too_large,
                          "message of " + std::to_string(h.length) + " bytes, at most " +
                              std::to_string(settings_.max_message - hs::header_size));
                    c.in.drop_data();
                    continue;
                }
                s.last_id = s.data_id = h.param;
                s.data_end = h.type == Type::data_end;
                if (s.clearing) continue;
                if (!s.replies.empty()) {
                    // The answer not yet sent belongs to a query the client
                    // has moved on from.
                    s.replies.clear();
                    send(c, Header{Type::interrupted, 0, h.param, 0});
                    send(*s.async, Header{Type::async_interrupted, 0, h.param, 0});
                }
                if (h.length == 0 && s.data_end && !feed_data(s, {}, true, now)) return;
                continue;
            case hs::Decoder::Status::message:
                break;
        }
        switch (h.type) {
            case Type::device_clear_complete:
                s.clearing = false;
                s.splitter.reset();
                s.replies.clear();
                s.last_id = hs::no_message_id;
                // Synchronized mode is all this server does, whatever was asked.
                send(c, Header{Type::device_clear_acknowledge, 0, 0, 0});
                continue;
            case Type::trigger:
                s.last_id = h.param;
                continue;
            case Type::fatal_error:
                end_session(s.id, "client sent a fatal error");
                return;
            case Type::error:
                continue;
            case Type::initialize:
                return fatal(c, hs::FatalCode::bad_init_sequence, "second Initialize");
            default:
                error(c,
                      static_cast<std::uint8_t>(h.type) >= hs::first_vendor_type
                          ? hs::ErrorCode::unknown_vendor_message
                          : hs::ErrorCode::unknown_type,
                      hs::type_name(static_cast<std::uint8_t>(h.type)) +
                          " is not taken on the data channel");
                continue;
        }
    }
}

void HislipServer::settle_lock_waits(Session& s, Clock::time_point now) {
    if (s.async == nullptr) return;
    if (s.release_wait && (s.last_id == s.release_wait->id || now >= s.release_wait->until)) {
        std::uint8_t code = hs::lock_error;
        if (exclusive_ == s.id) {
            exclusive_.reset();
            code = hs::lock_granted;
        } else if (s.shared) {
            s.shared = false;
            if (!shared_held()) shared_key_.clear();
            code = hs::lock_shared_released;
        }
        send(*s.async, Header{Type::async_lock_response, code, 0, 0});
        s.release_wait.reset();
    }
    if (s.lock_wait) {
        const std::string& key = s.lock_wait->key;
        if (can_grant(s, key, now)) {
            if (key.empty()) {
                exclusive_ = s.id;
            } else {
                s.shared = true;
                shared_key_ = key;
            }
            send(*s.async, Header{Type::async_lock_response, hs::lock_granted, 0, 0});
            s.lock_wait.reset();
        } else if (now >= s.lock_wait->until) {
            send(*s.async, Header{Type::async_lock_response, hs::lock_failed, 0, 0});
            s.lock_wait.reset();
        }
    }
}

void HislipServer::process_async(Session& s, Clock::time_point now) {
    Connection& c = *s.async;
    for (int k = 0; k < 64; ++k) {
        // Answers go out in order: a waiting lock request holds back the rest.
        if (c.dead || s.ended || s.lock_wait || s.release_wait) return;
        Header h;
        switch (c.in.next(&h)) {
            case hs::Decoder::Status::need_more:
                return;
            case hs::Decoder::Status::bad_header:
                return fatal(c, hs::FatalCode::bad_header, "message does not start with HS");
            case hs::Decoder::Status::too_large:
                error(c, hs::ErrorCode::too_large, "payload too long");
                continue;
            case hs::Decoder::Status::data:
                error(c, hs::ErrorCode::unknown_type, "data on the control channel");
                c.in.drop_data();
                continue;
            case hs::Decoder::Status::message:
                break;
        }
        const std::string_view payload = c.in.payload();
        switch (h.type) {
            case Type::async_lock: {
                if (h.control == hs::lock_request) {
                    const std::string key(payload);
                    if (key.empty() ? exclusive_ == s.id : s.shared) {
                        send(c, Header{Type::async_lock_response, hs::lock_error, 0, 0});
                    } else if (can_grant(s, key, now) || h.param > 0) {
                        const auto wait = std::min<std::chrono::milliseconds>(
                            std::chrono::milliseconds(h.param), settings_.max_wait);
                        s.lock_wait = Session::LockWait{key, now + wait};
                        settle_lock_waits(s, now);
                    } else {
                        send(c, Header{Type::async_lock_response, hs::lock_failed, 0, 0});
                    }
                } else if (h.control == 0) {
                    if (exclusive_ != s.id && !s.shared) {
                        send(c, Header{Type::async_lock_response, hs::lock_error, 0, 0});
                    } else {
                        // Released once the data channel has caught up with
                        // the last message the client sent before.
                        s.release_wait = Session::ReleaseWait{h.param, now + release_catch_up};
                        settle_lock_waits(s, now);
                    }
                } else {
                    error(c, hs::ErrorCode::unknown_control, "AsyncLock control code");
                }
                continue;
            }
            case Type::async_remote_local_control:
                send(c, Header{Type::async_remote_local_response, 0, 0, 0});
                continue;
            case Type::async_device_clear:
                s.clearing = true;
                s.splitter.reset();
                s.replies.clear();
                send(c, Header{Type::async_device_clear_acknowledge, 0, 0, 0});
                continue;
            case Type::async_status_query: {
                const bool mav = !s.replies.empty() && s.replies.front().ready_at <= now;
                const bool eav = instrument_.errors().size() != 0;
                const auto stb =
                    static_cast<std::uint8_t>((mav ? stb_mav : 0) | (eav ? stb_eav : 0));
                send(c, Header{Type::async_status_response, stb, 0, 0});
                continue;
            }
            case Type::async_maximum_message_size: {
                std::uint64_t size = 0;
                if (!hs::decode_size(payload, &size)) {
                    error(c, hs::ErrorCode::unidentified, "the size takes 8 bytes");
                    continue;
                }
                s.client_max = std::max(size, min_client_message);
                send(c, Header{Type::async_maximum_message_size_response, 0, 0, 0},
                     hs::encode_size(settings_.max_message));
                continue;
            }
            case Type::async_lock_info: {
                // A VXI-11 link's lock counts as an exclusive holder.
                const bool elsewhere = held_elsewhere_ && held_elsewhere_();
                send(c, Header{Type::async_lock_info_response,
                               static_cast<std::uint8_t>(exclusive_ || internal_lock_held(now) ||
                                                         elsewhere),
                               static_cast<std::uint32_t>(holders() + (elsewhere ? 1 : 0)), 0});
            }
                continue;
            case Type::async_initialize:
                return fatal(c, hs::FatalCode::bad_init_sequence, "second AsyncInitialize");
            case Type::fatal_error:
                end_session(s.id, "client sent a fatal error");
                return;
            case Type::error:
                continue;
            default:
                error(c,
                      static_cast<std::uint8_t>(h.type) >= hs::first_vendor_type
                          ? hs::ErrorCode::unknown_vendor_message
                          : hs::ErrorCode::unknown_type,
                      hs::type_name(static_cast<std::uint8_t>(h.type)) +
                          " is not taken on the control channel");
                continue;
        }
    }
    s.backlog = true;
}

void HislipServer::send_replies(Session& s, Clock::time_point now) {
    if (s.sync == nullptr) return;
    Connection& c = *s.sync;
    const std::uint64_t room = s.client_max - hs::header_size;
    while (!s.replies.empty() && s.replies.front().ready_at <= now && c.out.size() < max_output) {
        const Reply& r = s.replies.front();
        std::string_view rest = r.bytes;
        do {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(rest.size(), room));
            const Type t = n == rest.size() ? Type::data_end : Type::data;
            send(c, Header{t, 0, r.id, 0}, rest.substr(0, n));
            rest.remove_prefix(n);
        } while (!rest.empty());
        s.replies.pop_front();
    }
}

void HislipServer::process(Clock::time_point now) {
    for (auto& c : connections_)
        if (!c->dead && c->role == Connection::Role::fresh) process_new(*c);
    for (auto& [id, s] : sessions_) {
        if (s.ended) continue;
        settle_lock_waits(s, now);
        if (s.sync != nullptr) process_sync(s, now);
        if (!s.ended && s.async != nullptr) process_async(s, now);
        if (!s.ended) send_replies(s, now);
        if (s.ended) continue;
        // The client closed the data channel: what it sent before has been
        // worked through (or waits for a lock that will not come in time).
        if (s.sync != nullptr && s.sync->eof && (s.sync->in.buffered() == 0 || blocked(s, now)))
            end_session(id, nullptr);
    }
    for (auto& c : connections_) {
        if (c->dead) continue;
        // A session is idle only when both its channels are: a long upload
        // says nothing on the control channel.
        Clock::time_point last = c->last_activity;
        bool waiting = false;
        if (const auto it = sessions_.find(c->session); it != sessions_.end()) {
            for (const Connection* other : {it->second.sync, it->second.async})
                if (other != nullptr) last = std::max(last, other->last_activity);
            waiting = it->second.lock_wait.has_value();
        }
        if (!waiting && now - last >= settings_.idle_timeout) {
            log("connection " + std::to_string(c->id) + " idle too long, closed");
            if (c->session != 0) {
                end_session(c->session, nullptr);
            } else {
                close_connection(*c);
            }
        }
        if (!c->dead && !c->out.empty()) write_to(*c);
    }
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = it->second.ended ? sessions_.erase(it) : std::next(it);
    connections_.erase(std::remove_if(connections_.begin(), connections_.end(),
                                      [](const auto& c) { return c->dead; }),
                       connections_.end());
}

Clock::time_point HislipServer::next_wake(Clock::time_point now) const {
    Clock::time_point t = now + std::chrono::seconds(1);
    if (internal_hold_ && internal_until_) t = std::min(t, *internal_until_);
    for (const auto& [id, s] : sessions_) {
        if (s.backlog) return now;
        if (s.lock_wait) t = std::min(t, s.lock_wait->until);
        if (s.release_wait) t = std::min(t, s.release_wait->until);
        if (!s.replies.empty()) t = std::min(t, s.replies.front().ready_at);
    }
    for (const auto& c : connections_)
        t = std::min(t, c->last_activity + settings_.idle_timeout);
    return std::max(t, now);
}

}  // namespace sim
