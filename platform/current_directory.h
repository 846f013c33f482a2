// The process's current directory.
#pragma once

#include <string>

namespace platform {

// Makes `path` the process's current directory; false if it cannot be (no
// such folder, not a folder, no permission to enter it).
bool change_directory(const std::string& path);

}  // namespace platform
