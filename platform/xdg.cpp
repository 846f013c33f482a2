#include "platform/xdg.h"

#include <cstdlib>

namespace platform {

std::optional<std::string> xdg_base_dir(XdgBase which, std::string* error) {
    const bool config = which == XdgBase::config;
    const char* variable = config ? "XDG_CONFIG_HOME" : "XDG_STATE_HOME";
    if (const char* base = std::getenv(variable); base && base[0] == '/') return std::string(base);
    if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        return std::string(home) + (config ? "/.config" : "/.local/state");
    if (error) *error = std::string("neither ") + variable + " nor HOME is set";
    return std::nullopt;
}

}  // namespace platform
