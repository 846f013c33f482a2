// Opening a file that must be a regular one, which a user (or anyone who can
// write to their folders) may have replaced with a FIFO, a device or a
// larger file than any of ours.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "platform/unique_fd.h"

namespace platform {

// Why open_regular refused a file.
enum class FileRefusal {
    none,
    missing,      // no file by that name (ENOENT)
    unreadable,   // any other failure to open or fstat it (`error` says which)
    not_regular,  // a FIFO, device, socket or directory
    too_large,    // larger than the cap
};

struct RegularFile {
    UniqueFd fd;          // open for reading when accepted
    struct stat info {};  // of the descriptor, when it could be had
    FileRefusal refusal = FileRefusal::none;
    int error = 0;  // errno, for missing and unreadable
    explicit operator bool() const { return refusal == FileRefusal::none; }
};

inline constexpr unsigned long long no_cap = ~0ULL;

// Opens `path` for reading without blocking (a FIFO with no writer, a
// terminal or a device named in its place never holds us up; none becomes
// our controlling terminal) and accepts it only when fstat says it is a
// regular file of at most `cap` bytes. The descriptor is close-on-exec.
RegularFile open_regular(const std::string& path, unsigned long long cap);

// The same checks on a descriptor already open (left open either way).
FileRefusal check_regular(int fd, unsigned long long cap, struct stat* info, int* error);

// "a FIFO", "a directory", "a character device", "a block device",
// "a socket", or "not a regular file".
const char* file_kind(mode_t mode);

// A sentence for the refusal: the errno's text, "not a regular file (a FIFO)",
// or "larger than <cap> bytes".
std::string refusal_text(const RegularFile& file, unsigned long long cap);

// Reads the rest of `fd` into `text` (replacing it); false with `error` set
// on a read error, or with `error` 0 when there was more than `cap` (at most
// cap + 1 bytes are read, so a file that grew is told from one that fits).
bool read_capped(int fd, std::size_t cap, std::string* text, int* error);

}  // namespace platform
