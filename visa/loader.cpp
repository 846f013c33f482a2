// The standard VISA entry points of a program, forwarded to the library the
// run uses: the built-in one (linked in under other names, see
// builtin_names.h) or another implementation loaded with dlopen, as chosen by
// FW_VISA_LIBRARY or the configuration file's "library =" line. The engine
// calls the standard names and never knows which library answers.

#include "visa/loader.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "visa/discovery.h"
#include "visa/log.h"

extern "C" {
#define FWVISA_BUILTIN_DECL(name, required, params, args) \
    ViStatus _VI_FUNC fwvisa_builtin_##name params;
FWVISA_FUNCTIONS(FWVISA_BUILTIN_DECL)
#undef FWVISA_BUILTIN_DECL
}

namespace visa {
namespace {

// Names this file's lines in the library's log.
constexpr char log_module[] = "visa.loader";

constexpr char env_name[] = "FW_VISA_LIBRARY";
constexpr char builtin_word[] = "builtin";

// Stand-ins with each function's signature: one for a library that could
// not be loaded, one for a function a loaded library lacks.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#define FWVISA_STUBS(name, required, params, args)  \
    ViStatus _VI_FUNC name##_not_loaded params {    \
        return VI_ERROR_LIBRARY_NFOUND;             \
    }                                               \
    ViStatus _VI_FUNC name##_not_supported params { \
        return VI_ERROR_NSUP_OPER;                  \
    }
FWVISA_FUNCTIONS(FWVISA_STUBS)
#undef FWVISA_STUBS
#pragma GCC diagnostic pop

// viStatusDesc of a library that could not be loaded: the reason, in place
// of the standard sentence, so that whoever reports the failure names the
// library and what is wrong with it.
ViStatus _VI_FUNC describe_not_loaded(ViObject obj, ViStatus status, ViChar desc[]) {
    if (desc == nullptr) return VI_ERROR_INV_PARAMETER;
    if (status != VI_ERROR_LIBRARY_NFOUND) return fwvisa_builtin_viStatusDesc(obj, status, desc);
    std::snprintf(desc, 256, "VI_ERROR_LIBRARY_NFOUND: %s", active_library().error.c_str());
    return VI_SUCCESS;
}

void make_unusable(VisaLibrary& lib, std::string why) {
    lib.error = std::move(why);
    log(log_module, "%s", lib.error.c_str());
#define FWVISA_NOT_LOADED(name, required, params, args) lib.name = &name##_not_loaded;
    FWVISA_FUNCTIONS(FWVISA_NOT_LOADED)
#undef FWVISA_NOT_LOADED
    lib.viStatusDesc = &describe_not_loaded;
}

LibraryChoice choose_active() {
    std::string config_path = discovery_config_path();
    bool found = false;
    DiscoveryConfig cfg = read_discovery_config(config_path, &found);
    LibraryChoice choice = choose_library(std::getenv(env_name), cfg.library, config_path);
    if (choice.from_config_file && !choice.path.empty() && ::geteuid() == 0) {
        choice.refusal = refuse_config_library_as_root(choice.path, config_path, cfg.file_owner,
                                                       cfg.file_mode, &choice.resolved);
    }
    return choice;
}

VisaLibrary load_active(const LibraryChoice& choice) {
    if (choice.path.empty()) return builtin_library();
    if (!choice.refusal.empty()) {
        VisaLibrary lib;
        lib.path = choice.path;
        make_unusable(lib, choice.refusal);
        return lib;
    }
    // The checked file itself, so that a symlink changed after the check
    // cannot lead elsewhere.
    return load_library(choice.resolved.empty() ? choice.path : choice.resolved);
}

// Whether a file with this owner and these permission bits may hand code to root.
const char* unsafe_for_root(unsigned owner, unsigned mode) {
    if (owner != 0) return "not owned by root";
    if ((mode & (S_IWGRP | S_IWOTH)) != 0) return "writable by group or others";
    return nullptr;
}

}  // namespace

VisaLibrary builtin_library() {
    VisaLibrary lib;
#define FWVISA_BUILTIN(name, required, params, args) lib.name = &fwvisa_builtin_##name;
    FWVISA_FUNCTIONS(FWVISA_BUILTIN)
#undef FWVISA_BUILTIN
    return lib;
}

VisaLibrary load_library(const std::string& path) {
    VisaLibrary lib;
    lib.path = path;
    try {
        ::dlerror();
        lib.handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib.handle == nullptr) {
            const char* why = ::dlerror();
            make_unusable(lib, "cannot load the VISA library " + path + ": " +
                                   (why != nullptr ? why : "unknown reason"));
            return lib;
        }
        std::string missing;
#define FWVISA_RESOLVE(name, is_required, params, args)               \
    if (void* sym = ::dlsym(lib.handle, #name); sym != nullptr) {     \
        lib.name = reinterpret_cast<ViStatus(_VI_FUNC*) params>(sym); \
    } else {                                                          \
        lib.name = &name##_not_supported;                             \
        if ((is_required) && missing.empty()) missing = #name;        \
    }
        FWVISA_FUNCTIONS(FWVISA_RESOLVE)
#undef FWVISA_RESOLVE
        if (!missing.empty())
            make_unusable(lib, "the VISA library " + path + " lacks " + missing +
                                   ", which this program needs");
    } catch (const std::bad_alloc&) {
        make_unusable(lib, "out of memory loading " + path);
    }
    return lib;
}

std::string refuse_config_library_as_root(const std::string& library,
                                          const std::string& config_path, unsigned config_owner,
                                          unsigned config_mode, std::string* resolved) {
    const std::string head = "refusing library " + library + " from " + config_path + ": ";
    const std::string tail = " (running as root)";
    if (const char* why = unsafe_for_root(config_owner, config_mode))
        return head + config_path + " is " + why + tail;
    if (library.empty() || library.front() != '/') return head + "not an absolute path" + tail;
    char real[PATH_MAX];
    if (::realpath(library.c_str(), real) == nullptr) return head + std::strerror(errno) + tail;
    struct stat info {};
    if (::stat(real, &info) != 0) return head + std::strerror(errno) + tail;
    if (const char* why = unsafe_for_root(info.st_uid, info.st_mode & 07777)) {
        // Name the file checked when a symlink led there.
        return head + (library == real ? std::string() : std::string(real) + " is ") + why + tail;
    }
    if (resolved) *resolved = real;
    return {};
}

LibraryChoice choose_library(const char* env_value, const std::string& config_library,
                             const std::string& config_path) {
    LibraryChoice choice;
    if (env_value != nullptr && env_value[0] != '\0') {
        choice.path = env_value;
        choice.source = env_name;
    } else if (!config_library.empty()) {
        choice.path = config_library;
        choice.source = config_path;
        choice.from_config_file = true;
    } else {
        choice.source = "default";
    }
    if (choice.path == builtin_word) choice.path.clear();
    return choice;
}

const LibraryChoice& active_choice() {
    // Leaked on purpose: the choice and the library stay valid for calls made
    // from static destructors and other threads during exit.
    static const LibraryChoice& choice = *new LibraryChoice(choose_active());
    return choice;
}

const VisaLibrary& active_library() {
    static const VisaLibrary& lib = *new VisaLibrary(load_active(active_choice()));
    return lib;
}

}  // namespace visa

extern "C" {
#define FWVISA_FORWARD(name, required, params, args) \
    ViStatus _VI_FUNC name params {                  \
        return visa::active_library().name args;     \
    }
FWVISA_FUNCTIONS(FWVISA_FORWARD)
#undef FWVISA_FORWARD
}
