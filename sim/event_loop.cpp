#include "event_loop.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/unique_fd.h"

namespace sim {

namespace {

constexpr int max_events = 64;

std::string errno_text() {
    return std::strerror(errno);
}

}  // namespace

EventLoop::~EventLoop() = default;

bool EventLoop::open(std::string& error) {
    if (epoll_) return true;
    epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (epoll_) return true;
    error = "epoll_create1: " + errno_text();
    return false;
}

std::optional<std::string> EventLoop::add(int fd, std::uint32_t events, EventSink* sink) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = sink;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) == 0) return std::nullopt;
    return "epoll_ctl: " + errno_text();
}

void EventLoop::modify(int fd, std::uint32_t events, EventSink* sink) {
    epoll_event ev{};
    ev.events = events;
    ev.data.ptr = sink;
    ::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &ev);
}

bool EventLoop::wait(Clock::time_point wake, const sigset_t& mask, std::string& error) {
    const auto now = Clock::now();
    // Rounded up: waking a little late is harmless, early only spins.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::max(wake, now) - now);
    epoll_event events[max_events];
    const int n = ::epoll_pwait(epoll_.get(), events, max_events,
                                static_cast<int>(std::min<long long>(wait.count(), 1000)), &mask);
    if (n < 0) {
        if (errno == EINTR) return true;
        error = "epoll_wait: " + errno_text();
        return false;
    }
    const auto woke = Clock::now();
    for (int k = 0; k < n; ++k)
        static_cast<EventSink*>(events[k].data.ptr)->on_event(events[k].events, woke);
    return true;
}

int listen_on(const std::string& address, std::uint16_t port, int type, std::uint16_t& bound,
              std::string& error, const char* what) {
    platform::UniqueFd fd(::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) {
        error = "socket: " + errno_text();
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error = (what ? what : "bind") + (" " + address) + ":" + std::to_string(port) + ": " +
                errno_text();
        return -1;
    }
    if (type == SOCK_STREAM && ::listen(fd.get(), 16) != 0) {
        error = (what ? what : "listen") + (" " + address) + ":" + std::to_string(port) + ": " +
                errno_text();
        return -1;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &len);
    bound = ntohs(sa.sin_port);
    return fd.release();
}

}  // namespace sim
