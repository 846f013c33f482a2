#include "hislip_server.h"

#include <algorithm>
#include <cstdio>

#include "hislip_state.h"

namespace sim {

namespace hs = visa::hislip;
using hs::Header;
using hs::Type;

namespace {

PoolSettings pool_settings(const HislipSettings& s) {
    PoolSettings p;
    // Connections that never become a session count too: room for every
    // session's two and a few that are still introducing themselves.
    p.max_connections = 2 * s.max_sessions + 4;
    p.full_reason = "too many connections";
    p.idle_timeout = s.idle_timeout;
    p.log_prefix = "fwsim: hislip: ";
    p.verbose = s.verbose;
    p.say_closed = false;  // sessions say when they end
    return p;
}

}  // namespace

HislipServer::HislipServer(EventLoop& loop, HislipSettings settings, Instrument& instrument,
                           Transcript transcript)
    : settings_(std::move(settings)),
      instrument_(instrument),
      transcript_(std::move(transcript)),
      pool_(loop, pool_settings(settings_)),
      port_(settings_.port) {}

HislipServer::~HislipServer() = default;

void HislipServer::log(const std::string& line) const {
    pool_.log(line);
}

bool HislipServer::open(std::string& error) {
    return pool_.listen(
        settings_.address, port_, [this] { return std::make_unique<Connection>(*this); }, max_input,
        error, "HiSLIP listener");
}

void HislipServer::close_listener() {
    pool_.close_listeners();
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
    pool_.flush(c);
    if (c.session != 0) {
        end_session(c.session, nullptr);
    } else {
        pool_.close(c);
    }
}

void HislipServer::error(Connection& c, hs::ErrorCode code, const std::string& text) {
    if (settings_.verbose)
        log("connection " + std::to_string(c.id) + ": error " +
            std::to_string(static_cast<int>(code)) + ": " + text);
    send(c, Header{Type::error, static_cast<std::uint8_t>(code), 0, 0}, text);
}

void HislipServer::end_session(std::uint16_t id, const char* why) {
    const auto it = sessions_.find(id);
    if (it == sessions_.end() || it->second.ended) return;
    Session& s = it->second;
    s.ended = true;
    s.input.lost();
    if (exclusive_ == id) exclusive_.reset();
    if (s.shared) {
        s.shared = false;
        if (!shared_held()) shared_key_.clear();
    }
    for (Connection* c : {s.sync, s.async}) {
        if (c == nullptr) continue;
        pool_.flush(*c);
        pool_.close(*c);
    }
    s.sync = s.async = nullptr;
    if (why != nullptr || settings_.verbose)
        log("session " + std::to_string(id) + " ended" + (why ? std::string(": ") + why : ""));
}

// A session is idle only when both its channels are (a long upload says
// nothing on the control channel), and never while it waits for the lock.
std::optional<Clock::time_point> HislipServer::idle_since(const Connection& c) const {
    Clock::time_point last = c.last_activity;
    if (const auto it = sessions_.find(c.session); it != sessions_.end()) {
        for (const Connection* other : {it->second.sync, it->second.async})
            if (other != nullptr) last = std::max(last, other->last_activity);
        if (it->second.lock_wait) return std::nullopt;
    }
    return last;
}

void HislipServer::drop_all() {
    for (auto& [id, s] : sessions_)
        end_session(id, nullptr);
    pool_.drop_all();
    sessions_.clear();
    exclusive_.reset();
    shared_key_.clear();
    reboot_requested_ = false;
}

void HislipServer::process(Clock::time_point now) {
    pool_.process(now);  // new connections introduce themselves
    for (auto& [id, s] : sessions_) {
        if (s.ended) continue;
        try {
            serve_session(s, now);
        } catch (const std::exception& e) {
            // Whatever one client provoked costs that client its session.
            log("session " + std::to_string(id) + ": " + e.what());
            end_session(id, "closed");
        }
    }
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = it->second.ended ? sessions_.erase(it) : std::next(it);
}

void HislipServer::serve_session(Session& s, Clock::time_point now) {
    settle_lock_waits(s, now);
    if (s.sync != nullptr) process_sync(s, now);
    if (!s.ended && s.async != nullptr) process_async(s, now);
    if (!s.ended) send_replies(s, now);
    if (s.ended || s.sync == nullptr || !s.sync->eof) return;
    // The client closed the data channel: what it sent before has been
    // worked through, or waits for a lock that will not come in time, or is
    // a message it never finished.
    const Connection& c = *s.sync;
    if (c.decoder.buffered() == 0 || blocked(s, now) ||
        (!s.backlog && c.out.size() < max_stream_output))
        end_session(s.id, nullptr);
}

Clock::time_point HislipServer::next_wake(Clock::time_point now) const {
    Clock::time_point t = pool_.next_wake(now);
    if (internal_hold_ && internal_until_) t = std::min(t, *internal_until_);
    for (const auto& [id, s] : sessions_) {
        if (s.backlog) return now;
        if (s.lock_wait) t = std::min(t, s.lock_wait->until);
        if (s.release_wait) t = std::min(t, s.release_wait->until);
        if (!s.input.replies().empty()) t = std::min(t, s.input.replies().front().ready_at);
    }
    return t;
}

}  // namespace sim
