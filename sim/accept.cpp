#include "accept.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace sim {

int accept_connection(int listener) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return -1;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
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
