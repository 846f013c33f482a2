// The per-user base folders of the XDG base directory convention.
#pragma once

#include <optional>
#include <string>

namespace platform {

enum class XdgBase {
    config,  // $XDG_CONFIG_HOME, else $HOME/.config
    state,   // $XDG_STATE_HOME, else $HOME/.local/state
};

// The folder `which` names. The XDG variable counts only when it is an
// absolute path, as the convention says; HOME only when absolute too, so that
// an unset or odd HOME never turns into "/.config" or a path relative to
// wherever the program was started. Nothing, with `error` set to "neither
// XDG_STATE_HOME nor HOME is set" (or the config variant), when neither
// will do.
std::optional<std::string> xdg_base_dir(XdgBase which, std::string* error = nullptr);

}  // namespace platform
