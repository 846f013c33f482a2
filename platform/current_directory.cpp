#include "platform/current_directory.h"

#include <unistd.h>

namespace platform {

bool change_directory(const std::string& path) {
    return ::chdir(path.c_str()) == 0;
}

}  // namespace platform
