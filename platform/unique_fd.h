// An owned file descriptor: closed exactly once, when its owner goes.
#pragma once

#include <unistd.h>

#include <utility>

namespace platform {

// Move-only owner of one descriptor. A moved-from owner holds nothing, so a
// descriptor handed on is never closed twice; -1 means "none".
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    explicit operator bool() const noexcept { return valid(); }

    // Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(fd_, -1); }

    // Closes what is held and holds `fd` instead. Linux frees the descriptor
    // even when close is interrupted, so it is never retried (a retry could
    // close a descriptor another thread was just given).
    void reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd);
        if (old >= 0) ::close(old);
    }

private:
    int fd_ = -1;
};

}  // namespace platform
