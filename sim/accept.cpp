#include "accept.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace sim {

int accept_connection(int listener) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

std::optional<std::string> watch_connection(int epoll, int fd, void* tag) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = tag;
    if (::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev) == 0) return std::nullopt;
    return std::string("epoll_ctl: ") + std::strerror(errno);
}

std::optional<std::string> RefusalLog::refused(Clock::time_point now, const std::string& why) {
    ++unreported_;
    if (last_ && now - *last_ < std::chrono::seconds(1)) return std::nullopt;
    std::string line = "connection refused: " + why;
    if (unreported_ > 1)
        line += " (" + std::to_string(unreported_) + " refused since the last report)";
    last_ = now;
    unreported_ = 0;
    return line;
}

}  // namespace sim
