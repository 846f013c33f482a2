// Writing a whole buffer to a descriptor.
#pragma once

#include <cstddef>
#include <string_view>

namespace platform {

// Writes all `size` bytes of `data` to `fd`, going on after short writes and
// after EINTR. False when a write fails, with errno saying why (EPIPE for a
// reader that went away, EAGAIN for a full non-blocking pipe, ENOSPC, ...);
// part of the bytes may be out by then.
bool write_all(int fd, const void* data, std::size_t size);
inline bool write_all(int fd, std::string_view text) {
    return write_all(fd, text.data(), text.size());
}

}  // namespace platform
