#include "platform/regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {

RegularFile open_regular(const std::string& path, unsigned long long cap) {
    RegularFile file;
    // O_NONBLOCK: opening a FIFO with no writer returns at once instead of
    // waiting for one; O_NOCTTY: a terminal put there never becomes ours.
    file.fd.reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!file.fd) {
        file.error = errno;
        file.refusal = file.error == ENOENT ? FileRefusal::missing : FileRefusal::unreadable;
        return file;
    }
    file.refusal = check_regular(file.fd.get(), cap, &file.info, &file.error);
    if (file.refusal != FileRefusal::none) file.fd.reset();
    return file;
}

FileRefusal check_regular(int fd, unsigned long long cap, struct stat* info, int* error) {
    if (::fstat(fd, info) != 0) {
        *error = errno;
        return FileRefusal::unreadable;
    }
    if (!S_ISREG(info->st_mode)) return FileRefusal::not_regular;
    if (static_cast<unsigned long long>(info->st_size) > cap) return FileRefusal::too_large;
    return FileRefusal::none;
}

const char* file_kind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

std::string refusal_text(const RegularFile& file, unsigned long long cap) {
    switch (file.refusal) {
        case FileRefusal::none:
            return {};
        case FileRefusal::missing:
        case FileRefusal::unreadable:
            return std::strerror(file.error);
        case FileRefusal::not_regular: {
            const std::string kind = file_kind(file.info.st_mode);
            return kind == "not a regular file" ? kind : "not a regular file (" + kind + ")";
        }
        case FileRefusal::too_large:
            return "larger than " + std::to_string(cap) + " bytes";
    }
    return {};
}

bool read_capped(int fd, std::size_t cap, std::string* text, int* error) {
    text->clear();
    *error = 0;
    char chunk[16384];
    while (text->size() <= cap) {
        const std::size_t want = std::min(sizeof chunk, cap + 1 - text->size());
        const ssize_t n = ::read(fd, chunk, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = errno;
            return false;
        }
        if (n == 0) return true;
        text->append(chunk, static_cast<std::size_t>(n));
    }
    return false;
}

}  // namespace platform
