// Opening a file that root, or the administrator's policy, relies on: one
// that nobody but root can have written or replaced.
#pragma once

#include <string>

namespace platform {

// Opens `path` (absolute) with `flags` (O_NOFOLLOW and O_CLOEXEC added) when
// the file and every folder above it are owned by root and writable by
// neither group nor others. A folder that is sticky and owned by root (as
// /tmp) counts as safe too: nobody can remove or rename another's entry
// there. Symlinks among the folders are followed when root owns them, and
// what they lead to is checked in turn; the file itself must not be one.
//
// Each step is opened relative to the folder checked before it and checked
// with fstat on what was opened, so nothing can be swapped in between the
// check and the use of the descriptor returned.
//
// Returns the descriptor, or -1 with `error` naming the file or folder and
// the rule it breaks ("folder /home/bob is not owned by root"). `missing`,
// when given, is set when the file or a folder does not exist, which is said
// only once every folder above it was found safe (a file removed by someone
// who must not can never read as "missing").
//
// `owner` is a second owner taken as root is: tests that do not run as root
// pass their own uid; every product caller leaves it at 0.
int open_root_owned(const std::string& path, int flags, std::string& error, bool* missing = nullptr,
                    unsigned owner = 0);

// The same, for `name` inside the folder `dir_fd`, which the caller has
// opened with open_root_owned; `shown` is its full path, for `error`.
int open_root_owned_at(int dir_fd, const std::string& name, const std::string& shown, int flags,
                       std::string& error, unsigned owner = 0, bool* missing = nullptr);

}  // namespace platform
