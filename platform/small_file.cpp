#include "platform/small_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {

namespace {

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

}  // namespace

std::optional<SmallFile> read_small_file(const std::string& path, std::size_t cap,
                                         std::string* error, ReadFailure* failure) {
    auto fail = [&](ReadFailure why, const std::string& text) -> std::optional<SmallFile> {
        if (error) *error = "reading " + path + ": " + text;
        if (failure) *failure = why;
        return std::nullopt;
    };
    // O_NONBLOCK: opening a FIFO with no writer returns at once instead of
    // waiting for one; O_NOCTTY: a terminal put there never becomes ours.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int saved = errno;
        return fail(saved == ENOENT ? ReadFailure::missing : ReadFailure::unreadable,
                    std::strerror(saved));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        const int saved = errno;
        ::close(fd);
        return fail(ReadFailure::unreadable, std::strerror(saved));
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        std::string what = kind_of(info.st_mode);
        if (what != "not a regular file") what = "not a regular file (" + what + ")";
        return fail(ReadFailure::not_regular, what);
    }
    const std::string too_large = "larger than " + std::to_string(cap) + " bytes";
    if (static_cast<unsigned long long>(info.st_size) > cap) {
        ::close(fd);
        return fail(ReadFailure::too_large, too_large);
    }

    SmallFile file;
    file.owner = info.st_uid;
    file.mode = info.st_mode & 07777;
    // Up to one byte beyond the cap: that tells a file that grew since
    // fstat (or that reports no size, as /proc's do) from one that fits.
    file.text.reserve(static_cast<std::size_t>(info.st_size) + 1);
    char chunk[16384];
    while (file.text.size() <= cap) {
        const std::size_t want = std::min(sizeof chunk, cap + 1 - file.text.size());
        const ssize_t n = ::read(fd, chunk, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int saved = errno;
            ::close(fd);
            return fail(ReadFailure::unreadable, std::strerror(saved));
        }
        if (n == 0) break;
        file.text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (file.text.size() > cap) return fail(ReadFailure::too_large, too_large);
    return file;
}

}  // namespace platform
