// Reading a small text file that a user (or anyone who can write to the
// user's folders) may have replaced with something else.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace platform {

// The cap each of the program's configuration files is read with: a few
// lines in practice, so anything near this size is not one of ours.
inline constexpr std::size_t small_file_cap = 1 << 20;

// Why read_small_file gave nothing.
enum class ReadFailure {
    missing,      // no file by that name (ENOENT)
    not_regular,  // a FIFO, device, socket or directory
    too_large,    // more than the cap
    unreadable,   // any other failure to open or read
};

struct SmallFile {
    std::string text;
    unsigned owner = 0;  // uid of the file read (a symlink's target)
    unsigned mode = 0;   // its permission bits (st_mode & 07777)
};

// Reads the whole regular file at `path` (a symlink to one is fine) when it
// holds at most `cap` bytes. Opened without blocking and checked with fstat
// before any read, so a FIFO with no writer, a terminal or /dev/urandom
// never blocks or spins; at most cap + 1 bytes are ever read. A larger file
// is refused, never cut short. On failure returns nothing, with
// "reading <path>: <why>" in `error` and the kind in `failure` when given.
std::optional<SmallFile> read_small_file(const std::string& path, std::size_t cap,
                                         std::string* error = nullptr,
                                         ReadFailure* failure = nullptr);

}  // namespace platform
