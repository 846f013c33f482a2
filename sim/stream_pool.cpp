#include "stream_pool.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/unique_fd.h"

namespace sim {

namespace {

constexpr std::size_t read_chunk = 64 * 1024;
// Bounded: at most a handful per wake-up, so one listener cannot starve the rest.
constexpr int accepts_per_wake = 8;

}  // namespace

struct StreamPool::Listener final : EventSink {
    StreamPool* pool = nullptr;
    platform::UniqueFd fd;
    Factory make;
    std::size_t max_input = 0;

    void on_event(std::uint32_t, Clock::time_point now) override { pool->accept(*this, now); }
};

void Stream::on_event(std::uint32_t events, Clock::time_point now) {
    // Streams are forgotten only between waits, so a closed one is still here.
    if (dead) return;
    const bool ended_before = eof;
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0 && !eof) pool_->read(*this, now);
    if (!dead && (events & EPOLLOUT) != 0) pool_->flush(*this);
    // Hang-up or error again after the peer's EOF: nothing can be sent
    // either, and watching on would only spin.
    if (!dead && ended_before && (events & (EPOLLHUP | EPOLLERR)) != 0) pool_->close(*this);
}

StreamPool::StreamPool(EventLoop& loop, PoolSettings settings)
    : loop_(loop), settings_(std::move(settings)) {}

StreamPool::~StreamPool() = default;

void StreamPool::log(const std::string& line) const {
    std::fprintf(stderr, "%s%s\n", settings_.log_prefix.c_str(), line.c_str());
}

bool StreamPool::listen(const std::string& address, std::uint16_t& port, Factory make,
                        std::size_t max_input, std::string& error, const char* what) {
    auto l = std::make_unique<Listener>();
    l->pool = this;
    l->make = std::move(make);
    l->max_input = max_input;
    l->fd.reset(listen_on(address, port, SOCK_STREAM, port, error, what));
    if (!l->fd) return false;
    if (const auto failure = loop_.add(l->fd.get(), EPOLLIN, l.get())) {
        error = *failure;
        return false;
    }
    listeners_.push_back(std::move(l));
    return true;
}

void StreamPool::close_listeners() {
    listeners_.clear();
}

void StreamPool::accept(Listener& l, Clock::time_point now) {
    for (int k = 0; k < accepts_per_wake; ++k) {
        platform::UniqueFd fd(accept_connection(l.fd.get()));
        if (!fd) return;
        if (streams_.size() >= settings_.max_connections) {
            fd.reset();
            if (const auto line = refusals_.refused(now, settings_.full_reason)) log(*line);
            continue;
        }
        std::unique_ptr<Stream> s = l.make();
        s->id = next_id_++;
        s->last_activity = now;
        s->pool_ = this;
        s->max_input_ = l.max_input;
        s->watched_ = EPOLLIN;
        if (const auto failure = loop_.add(fd.get(), EPOLLIN, s.get())) {
            log("connection refused: " + *failure);
            continue;
        }
        s->fd = std::move(fd);
        if (settings_.verbose) log("connection " + std::to_string(s->id) + " accepted");
        streams_.push_back(std::move(s));
    }
}

void StreamPool::read(Stream& s, Clock::time_point now) {
    char buf[read_chunk];
    // What is there, up to the input bound, before working on it: a block
    // of data arrives in several pieces.
    while (s.buffered() < s.max_input_) {
        const ssize_t n = ::recv(s.fd.get(), buf, sizeof buf, 0);
        if (n > 0) {
            s.take(std::string_view(buf, static_cast<std::size_t>(n)));
            s.last_activity = now;
            if (static_cast<std::size_t>(n) < sizeof buf) return;
        } else if (n == 0) {
            s.eof = true;
            return;
        } else {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) close(s);
            return;
        }
    }
}

void StreamPool::flush(Stream& s) {
    while (!s.dead && !s.out.empty()) {
        const ssize_t n = ::send(s.fd.get(), s.out.data(), s.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            s.out.erase(0, static_cast<std::size_t>(n));
        } else {
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
            s.out.clear();
            close(s);
            return;
        }
    }
}

void StreamPool::close(Stream& s) {
    if (s.dead) return;
    if (settings_.verbose && settings_.say_closed)
        log("connection " + std::to_string(s.id) + " closed");
    // Marked first: a protocol that closes the stream's partner comes back here.
    s.dead = true;
    s.closed();
    s.fd.reset();
}

void StreamPool::process(Clock::time_point now) {
    for (auto& s : streams_) {
        if (s->dead) continue;
        s->backlog = false;
        try {
            s->process(now);
        } catch (const std::exception& e) {
            // Whatever one peer provoked (memory exhausted by a huge block,
            // say) costs that peer its connection, not the others theirs.
            log("connection " + std::to_string(s->id) + ": " + e.what() + "; closed");
            close(*s);
        }
    }
}

void StreamPool::send_all() {
    for (auto& s : streams_)
        if (!s->dead && !s->out.empty()) flush(*s);
}

void StreamPool::settle(Clock::time_point now) {
    for (auto& s : streams_) {
        if (s->dead) continue;
        if (s->finished()) {
            flush(*s);
            close(*s);
            continue;
        }
        const auto since = s->idle_since();
        if (since && now - *since >= settings_.idle_timeout) {
            log("connection " + std::to_string(s->id) + " idle too long, closed");
            close(*s);
        }
    }
    streams_.erase(
        std::remove_if(streams_.begin(), streams_.end(), [](const auto& s) { return s->dead; }),
        streams_.end());
    for (auto& s : streams_)
        watch(*s);
}

void StreamPool::watch(Stream& s) {
    // Input waits in the kernel while answers pile up or the protocol holds
    // what it has not used yet.
    std::uint32_t events = 0;
    if (!s.eof && s.buffered() < s.max_input_ && s.out.size() < max_stream_output)
        events |= EPOLLIN;
    if (!s.out.empty()) events |= EPOLLOUT;
    if (events == s.watched_) return;
    loop_.modify(s.fd.get(), events, &s);
    s.watched_ = events;
}

Clock::time_point StreamPool::next_wake(Clock::time_point now) const {
    Clock::time_point t = Clock::time_point::max();
    for (const auto& s : streams_) {
        if (s->dead) continue;
        if (s->backlog) return now;
        t = std::min(t, s->wake(now));
        if (const auto since = s->idle_since()) t = std::min(t, *since + settings_.idle_timeout);
    }
    return t;
}

void StreamPool::drop_all() {
    for (auto& s : streams_) {
        flush(*s);
        close(*s);
    }
    streams_.clear();
}

}  // namespace sim
