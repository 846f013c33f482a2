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

#define FWVISA_POINTER(name, required, params, args) ViStatus(_VI_FUNC* name) params = nullptr;
    FWVISA_FUNCTIONS(FWVISA_POINTER)
#undef FWVISA_POINTER

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

// Which implementation a run uses, and who said so.
struct LibraryChoice {
    std::string path;    // "" for the built-in library
    std::string source;  // "FW_VISA_LIBRARY", the configuration file's path, or "default"
    bool from_config_file = false;  // named by the configuration file's "library =" line
    // Set by active_choice() for a process running as root: why the
    // configuration file's library must not be loaded ("" when it may), and
    // the library's path with its symlinks resolved, which is what is loaded.
    std::string refusal;
    std::string resolved;
};

// The environment variable (when set and not empty) wins over the
// configuration file's "library =" line; neither means the built-in library.
// The value "builtin" names the built-in library in both.
LibraryChoice choose_library(const char* env_value, const std::string& config_library,
                             const std::string& config_path);

// Why a process running as root must not load `library`, named by the
// "library =" line of the configuration file at `config_path` (whose owner
// and permission bits were `config_owner` and `config_mode` when it was
// read): "" when it may, and then `*resolved` holds the library's path with
// every symlink resolved. Both the file and the library (after resolving)
// must be owned by root and writable by neither group nor others, and the
// library must be an absolute path, as a bare name is searched for where no
// check can follow. Otherwise a user's configuration would run the user's
// code as root. The environment's FW_VISA_LIBRARY is the invoking user's own
// choice and is never checked.
std::string refuse_config_library_as_root(const std::string& library,
                                          const std::string& config_path, unsigned config_owner,
                                          unsigned config_mode, std::string* resolved);

// This process's choice and its library, made and loaded once, on first use,
// from FW_VISA_LIBRARY and the configuration file.
const LibraryChoice& active_choice();
const VisaLibrary& active_library();

}  // namespace visa
