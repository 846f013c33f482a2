#include <algorithm>
#include <cstdio>
#include <cstring>

#include "hislip_server.h"
#include "hislip_state.h"
#include "scpi_framing.h"

// The HiSLIP conversation: what each message asks of a session, the lock,
// and the replies. hislip_server.cpp keeps the sessions.

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
// Messages worked through per channel and turn before the others get theirs.
constexpr int sync_messages_per_turn = 256;
constexpr int async_messages_per_turn = 64;

constexpr std::uint8_t stb_mav = 0x10;
constexpr std::uint8_t stb_eav = 0x04;

std::string expected_initialize(const Header& h) {
    return "expected Initialize or AsyncInitialize, got " +
           hs::type_name(static_cast<std::uint8_t>(h.type));
}

}  // namespace

// What the data channel takes besides Data and DataEND; anything else is
// answered with an Error.
const HislipServer::Handling HislipServer::data_channel_[] = {
    {Type::device_clear_complete, &HislipServer::on_clear_complete},
    {Type::trigger, &HislipServer::on_trigger},
    {Type::fatal_error, &HislipServer::on_client_fatal},
    {Type::error, &HislipServer::on_client_error},
    {Type::initialize, &HislipServer::on_second_initialize},
};

// What the control channel takes; anything else is answered with an Error.
const HislipServer::Handling HislipServer::control_channel_[] = {
    {Type::async_lock, &HislipServer::on_lock},
    {Type::async_remote_local_control, &HislipServer::on_remote_local},
    {Type::async_device_clear, &HislipServer::on_device_clear},
    {Type::async_status_query, &HislipServer::on_status_query},
    {Type::async_maximum_message_size, &HislipServer::on_max_message_size},
    {Type::async_lock_info, &HislipServer::on_lock_info},
    {Type::async_initialize, &HislipServer::on_second_async_initialize},
    {Type::fatal_error, &HislipServer::on_client_fatal},
    {Type::error, &HislipServer::on_client_error},
};

void HislipServer::process_new(Connection& c) {
    Header h;
    switch (c.decoder.next(&h)) {
        case hs::Decoder::Status::need_more:
            if (c.eof) pool_.close(c);
            return;
        case hs::Decoder::Status::bad_header:
            return fatal(c, hs::FatalCode::bad_header, "message does not start with HS");
        case hs::Decoder::Status::too_large:
        case hs::Decoder::Status::data:
            return fatal(c, hs::FatalCode::bad_init_sequence, expected_initialize(h));
        case hs::Decoder::Status::message:
            break;
    }
    if (h.type == Type::initialize) return initialize(c);
    if (h.type == Type::async_initialize) return async_initialize(c, h);
    fatal(c, hs::FatalCode::bad_init_sequence, expected_initialize(h));
}

void HislipServer::initialize(Connection& c) {
    const std::string_view sub = c.decoder.payload();
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
    Session& s = sessions_
                     .try_emplace(id, ProgramInput(instrument_, transcript_,
                                                   {settings_.drop_in_block, max_pending_replies}))
                     .first->second;
    s.id = id;
    s.sync = &c;
    c.role = Connection::Role::sync;
    c.session = id;
    // Bit 0 clear: this server prefers (and only does) synchronized mode.
    send(c, Header{Type::initialize_response, 0, hs::initialize_response_param(hs::version_1_1, id),
                   0});
    if (settings_.verbose) log("session " + std::to_string(id) + " opened");
}

void HislipServer::async_initialize(Connection& c, const Header& h) {
    const auto it = sessions_.find(static_cast<std::uint16_t>(h.param));
    if (h.param > 0xFFFF || it == sessions_.end() || it->second.ended ||
        it->second.async != nullptr)
        return fatal(c, hs::FatalCode::bad_init_sequence,
                     "AsyncInitialize names no session waiting for it");
    it->second.async = &c;
    c.role = Connection::Role::async;
    c.session = it->first;
    send(c, Header{Type::async_initialize_response, 0, hs::server_vendor_id, 0});
}

std::optional<HislipServer::Flow> HislipServer::trouble(Connection& c, hs::Decoder::Status status) {
    switch (status) {
        case hs::Decoder::Status::need_more:
            return Flow::stop;
        case hs::Decoder::Status::bad_header:
            fatal(c, hs::FatalCode::bad_header, "message does not start with HS");
            return Flow::stop;
        case hs::Decoder::Status::too_large:
            error(c, hs::ErrorCode::too_large, "payload too long");
            return Flow::next;
        case hs::Decoder::Status::data:
        case hs::Decoder::Status::message:
            break;
    }
    return std::nullopt;
}

HislipServer::Flow HislipServer::dispatch(std::span<const Handling> table, const char* channel,
                                          Session& s, Connection& c, const Header& h,
                                          Clock::time_point now) {
    for (const Handling& row : table)
        if (row.type == h.type) return (this->*row.handle)(s, c, h, now);
    const auto type = static_cast<std::uint8_t>(h.type);
    error(c,
          type >= hs::first_vendor_type ? hs::ErrorCode::unknown_vendor_message
                                        : hs::ErrorCode::unknown_type,
          hs::type_name(type) + " is not taken on the " + channel + " channel");
    return Flow::next;
}

bool HislipServer::feed_data(Session& s, std::string_view piece, bool end, Clock::time_point now) {
    const auto fed = s.input.feed(piece, end, s.data_id, now);
    if (fed.reboot) reboot_requested_ = true;
    if (!fed.dropped) return true;
    end_session(s.id, "connection dropped in a block");
    return false;
}

// The payload of the data message being received, as far as it has come.
HislipServer::Flow HislipServer::take_data(Session& s, Connection& c, Clock::time_point now) {
    const std::string_view piece = c.decoder.peek(max_input);
    if (piece.empty()) return Flow::stop;
    const bool last = piece.size() == c.decoder.data_left();
    const std::size_t n = piece.size();
    const bool ok = s.clearing || feed_data(s, piece, s.data_end && last, now);
    c.decoder.consume(n);
    return ok ? Flow::next : Flow::stop;
}

HislipServer::Flow HislipServer::data_header(Session& s, Connection& c, const Header& h,
                                             Clock::time_point now) {
    if (s.async == nullptr) {
        fatal(c, hs::FatalCode::channels_not_up, "data before the control channel is up");
        return Flow::stop;
    }
    if (h.length > settings_.max_message - hs::header_size) {
        error(c, hs::ErrorCode::too_large,
              "message of " + std::to_string(h.length) + " bytes, at most " +
                  std::to_string(settings_.max_message - hs::header_size));
        c.decoder.drop_data();
        return Flow::next;
    }
    s.last_id = s.data_id = h.param;
    s.data_end = h.type == Type::data_end;
    if (s.clearing) return Flow::next;
    if (!s.input.replies().empty()) {
        // The answer not yet sent belongs to a query the client has moved on from.
        s.input.replies().clear();
        send(c, Header{Type::interrupted, 0, h.param, 0});
        send(*s.async, Header{Type::async_interrupted, 0, h.param, 0});
    }
    if (h.length == 0 && s.data_end && !feed_data(s, {}, true, now)) return Flow::stop;
    return Flow::next;
}

void HislipServer::process_sync(Session& s, Clock::time_point now) {
    Connection& c = *s.sync;
    s.backlog = false;
    for (int k = 0;; ++k) {
        if (c.dead || s.ended || c.out.size() >= max_stream_output) return;
        if (k == sync_messages_per_turn) {
            s.backlog = true;
            return;
        }
        Flow flow = Flow::next;
        if (c.decoder.data_left() > 0) {
            flow = take_data(s, c, now);
        } else if (!s.clearing && blocked(s, now)) {
            // Another client's lock holds our messages back, unread, until it goes.
            return;
        } else {
            Header h;
            const auto status = c.decoder.next(&h);
            if (const auto t = trouble(c, status)) {
                flow = *t;
            } else if (status == hs::Decoder::Status::data) {
                flow = data_header(s, c, h, now);
            } else {
                flow = dispatch(data_channel_, "data", s, c, h, now);
            }
        }
        if (flow == Flow::stop) return;
    }
}

void HislipServer::process_async(Session& s, Clock::time_point now) {
    Connection& c = *s.async;
    for (int k = 0; k < async_messages_per_turn; ++k) {
        // Answers go out in order: a waiting lock request holds back the rest.
        if (c.dead || s.ended || s.lock_wait || s.release_wait) return;
        Header h;
        const auto status = c.decoder.next(&h);
        Flow flow = Flow::next;
        if (const auto t = trouble(c, status)) {
            flow = *t;
        } else if (status == hs::Decoder::Status::data) {
            error(c, hs::ErrorCode::unknown_type, "data on the control channel");
            c.decoder.drop_data();
        } else {
            flow = dispatch(control_channel_, "control", s, c, h, now);
        }
        if (flow == Flow::stop) return;
    }
    s.backlog = true;
}

HislipServer::Flow HislipServer::on_clear_complete(Session& s, Connection& c, const Header&,
                                                   Clock::time_point) {
    s.clearing = false;
    s.input.clear();
    s.last_id = hs::no_message_id;
    // Synchronized mode is all this server does, whatever was asked.
    send(c, Header{Type::device_clear_acknowledge, 0, 0, 0});
    return Flow::next;
}

HislipServer::Flow HislipServer::on_trigger(Session& s, Connection&, const Header& h,
                                            Clock::time_point) {
    s.last_id = h.param;
    return Flow::next;
}

HislipServer::Flow HislipServer::on_client_fatal(Session& s, Connection&, const Header&,
                                                 Clock::time_point) {
    end_session(s.id, "client sent a fatal error");
    return Flow::stop;
}

HislipServer::Flow HislipServer::on_client_error(Session&, Connection&, const Header&,
                                                 Clock::time_point) {
    return Flow::next;
}

HislipServer::Flow HislipServer::on_second_initialize(Session&, Connection& c, const Header&,
                                                      Clock::time_point) {
    fatal(c, hs::FatalCode::bad_init_sequence, "second Initialize");
    return Flow::stop;
}

HislipServer::Flow HislipServer::on_second_async_initialize(Session&, Connection& c, const Header&,
                                                            Clock::time_point) {
    fatal(c, hs::FatalCode::bad_init_sequence, "second AsyncInitialize");
    return Flow::stop;
}

HislipServer::Flow HislipServer::on_lock(Session& s, Connection& c, const Header& h,
                                         Clock::time_point now) {
    if (h.control == hs::lock_request) {
        const std::string key(c.decoder.payload());
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
            // Released once the data channel has caught up with the last
            // message the client sent before.
            s.release_wait = Session::ReleaseWait{h.param, now + release_catch_up};
            settle_lock_waits(s, now);
        }
    } else {
        error(c, hs::ErrorCode::unknown_control, "AsyncLock control code");
    }
    return Flow::next;
}

HislipServer::Flow HislipServer::on_remote_local(Session&, Connection& c, const Header&,
                                                 Clock::time_point) {
    send(c, Header{Type::async_remote_local_response, 0, 0, 0});
    return Flow::next;
}

HislipServer::Flow HislipServer::on_device_clear(Session& s, Connection& c, const Header&,
                                                 Clock::time_point) {
    s.clearing = true;
    s.input.clear();
    send(c, Header{Type::async_device_clear_acknowledge, 0, 0, 0});
    return Flow::next;
}

HislipServer::Flow HislipServer::on_status_query(Session& s, Connection& c, const Header&,
                                                 Clock::time_point now) {
    const bool mav = s.input.answer_ready(now);
    const bool eav = instrument_.errors().size() != 0;
    const auto stb = static_cast<std::uint8_t>((mav ? stb_mav : 0) | (eav ? stb_eav : 0));
    send(c, Header{Type::async_status_response, stb, 0, 0});
    return Flow::next;
}

HislipServer::Flow HislipServer::on_max_message_size(Session& s, Connection& c, const Header&,
                                                     Clock::time_point) {
    std::uint64_t size = 0;
    if (!hs::decode_size(c.decoder.payload(), &size)) {
        error(c, hs::ErrorCode::unidentified, "the size takes 8 bytes");
        return Flow::next;
    }
    s.client_max = std::max(size, min_client_message);
    send(c, Header{Type::async_maximum_message_size_response, 0, 0, 0},
         hs::encode_size(settings_.max_message));
    return Flow::next;
}

HislipServer::Flow HislipServer::on_lock_info(Session&, Connection& c, const Header&,
                                              Clock::time_point now) {
    // A VXI-11 link's lock counts as an exclusive holder.
    const bool elsewhere = held_elsewhere_ && held_elsewhere_();
    const bool exclusive = exclusive_ || internal_lock_held(now) || elsewhere;
    send(c, Header{Type::async_lock_info_response, static_cast<std::uint8_t>(exclusive),
                   static_cast<std::uint32_t>(holders() + (elsewhere ? 1 : 0)), 0});
    return Flow::next;
}

void HislipServer::settle_release(Session& s, Clock::time_point now) {
    if (!s.release_wait || (s.last_id != s.release_wait->id && now < s.release_wait->until)) return;
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

void HislipServer::settle_lock_waits(Session& s, Clock::time_point now) {
    if (s.async == nullptr) return;
    settle_release(s, now);
    if (!s.lock_wait) return;
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

void HislipServer::send_replies(Session& s, Clock::time_point now) {
    if (s.sync == nullptr) return;
    Connection& c = *s.sync;
    const std::uint64_t room = s.client_max - hs::header_size;
    auto& replies = s.input.replies();
    while (s.input.answer_ready(now) && c.out.size() < max_stream_output) {
        const Reply& r = replies.front();
        std::string_view rest = r.bytes;
        do {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(rest.size(), room));
            const Type t = n == rest.size() ? Type::data_end : Type::data;
            send(c, Header{t, 0, r.tag, 0}, rest.substr(0, n));
            rest.remove_prefix(n);
        } while (!rest.empty());
        replies.pop_front();
    }
}

}  // namespace sim
