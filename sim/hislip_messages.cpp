#include <algorithm>
#include <cstdio>
#include <cstring>

#include "hislip_server.h"
#include "hislip_state.h"
#include "scpi_framing.h"

// The HiSLIP conversation: what each message asks of a session, the lock,
// and the replies. hislip_server.cpp moves the bytes.

namespace sim {

namespace hs = visa::hislip;
using hs::Header;
using hs::Type;

namespace {

constexpr std::size_t max_pending_replies = 64;
// A release waits this long at most for the data channel to catch up with
// the message id the client names.
constexpr auto release_catch_up = std::chrono::milliseconds(1000);
// The smallest message size a client may announce: room for a header and
// some data.
constexpr std::uint64_t min_client_message = hs::header_size + 64;

constexpr std::uint8_t stb_mav = 0x10;
constexpr std::uint8_t stb_eav = 0x04;

}  // namespace

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
