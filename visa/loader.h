#pragma once

#include <string>

#include "visa/api_functions.h"

namespace visa {

// One VISA implementation's entry points. Every pointer is set: a function
// that a loaded library lacks and the program can do without answers
// VI_ERROR_NSUP_OPER, and an unusable library's functions all answer
// VI_ERROR_LIBRARY_NFOUND, which its viStatusDesc explains with the reason
// the active library could not be used.
struct VisaLibrary {
    std::string path;   // as handed to dlopen; "" for the built-in library
    std::string error;  // why it cannot be used, naming it (and the missing function); "" if usable
    // dlopen's handle. Never closed: sessions and threads of the library may
    // be alive until the process ends.
    void* handle = nullptr;

// `name` is a declarator and `params` a whole parameter list: neither can be
// parenthesised.
// NOLINTNEXTLINE(bugprone-macro-parentheses)
#define FWVISA_POINTER(name, required, params, args) ViStatus(_VI_FUNC* name) params = nullptr;
    FWVISA_FUNCTIONS(FWVISA_POINTER)
#undef FWVISA_POINTER
// The extension's, FWVISA_E_UNSUPPORTED where the library lacks them.
// NOLINTNEXTLINE(bugprone-macro-parentheses)
#define FWVISA_EXT_POINTER(name, params, args) fwvisa_status(_VI_FUNC* name) params = nullptr;
    FWVISA_EXT_FUNCTIONS(FWVISA_EXT_POINTER)
#undef FWVISA_EXT_POINTER

    bool usable() const {
        return error.empty();
    }
};

// The library built into this program.
VisaLibrary builtin_library();

// Loads the VISA implementation at `path` (a path, or a file name that the
// dynamic loader searches for) and resolves every function by its standard
// name. Never throws; failures are in `error`.
VisaLibrary load_library(const std::string& path);

// The same for the file open at `fd` (loaded as /proc/self/fd/N, so that
// what is loaded is the very file that was checked), named `path` in
// `error` and VisaLibrary::path. `fd` stays open.
VisaLibrary load_library_fd(int fd, const std::string& path);

// Which implementation a run uses, and who said so.
struct LibraryChoice {
    std::string path;    // "" for the built-in library
    std::string source;  // "FW_VISA_LIBRARY", the configuration file's path, or "default"
    bool from_config_file = false;  // named by the configuration file's "library =" line
    // Set by active_choice() for a process running as root when the
    // configuration file itself (or a folder above it) could have been
    // written by someone else: why its library must not be loaded.
    std::string refusal;
};

// The environment variable (when set and not empty) wins over the
// configuration file's "library =" line; neither means the built-in library.
// The value "builtin" names the built-in library in both.
LibraryChoice choose_library(const char* env_value, const std::string& config_library,
                             const std::string& config_path);

// For a process running as root: opens `library`, named by the "library ="
// line of the configuration file at `config_path`, for load_library_fd. It
// must be an absolute path (a bare name is searched for where no check can
// follow) and no symlink, and it and every folder above it must be root's and
// writable by root alone (see platform/root_owned.h); otherwise a user's
// configuration would run the user's code as root. Returns the descriptor,
// or -1 with `refusal` naming the file or folder and the rule ("refusing
// library L from C: folder /home/bob is not owned by root (running as
// root)"). The environment's FW_VISA_LIBRARY is the invoking user's own
// choice and is never checked.
int open_config_library_as_root(const std::string& library, const std::string& config_path,
                                std::string& refusal);

// This process's choice and its library, made and loaded once, on first use,
// from FW_VISA_LIBRARY and the configuration file.
const LibraryChoice& active_choice();
const VisaLibrary& active_library();

}  // namespace visa
