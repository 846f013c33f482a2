// The standard VISA entry points of a program, forwarded to the library the
// run uses: the built-in one (linked in under other names, see
// builtin_names.h) or another implementation loaded with dlopen, as chosen by
// FW_VISA_LIBRARY or the configuration file's "library =" line. The engine
// calls the standard names and never knows which library answers.

#include "visa/loader.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/root_owned.h"
#include "visa/discovery.h"
#include "visa/log.h"

extern "C" {
#define FWVISA_BUILTIN_DECL(name, required, params, args) \
    ViStatus _VI_FUNC fwvisa_builtin_##name params;
FWVISA_FUNCTIONS(FWVISA_BUILTIN_DECL)
#undef FWVISA_BUILTIN_DECL
#define FWVISA_EXT_BUILTIN_DECL(name, params, args) \
    fwvisa_status _VI_FUNC fwvisa_builtin_##name params;
FWVISA_EXT_FUNCTIONS(FWVISA_EXT_BUILTIN_DECL)
#undef FWVISA_EXT_BUILTIN_DECL
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
#define FWVISA_EXT_STUB(name, params, args)              \
    fwvisa_status _VI_FUNC name##_not_supported params { \
        return FWVISA_E_UNSUPPORTED;                     \
    }
FWVISA_EXT_FUNCTIONS(FWVISA_EXT_STUB)
#undef FWVISA_EXT_STUB
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
    log_error(log_module, "%s", lib.error.c_str());
#define FWVISA_NOT_LOADED(name, required, params, args) lib.name = &name##_not_loaded;
    FWVISA_FUNCTIONS(FWVISA_NOT_LOADED)
#undef FWVISA_NOT_LOADED
#define FWVISA_EXT_NOT_LOADED(name, params, args) lib.name = &name##_not_supported;
    FWVISA_EXT_FUNCTIONS(FWVISA_EXT_NOT_LOADED)
#undef FWVISA_EXT_NOT_LOADED
    lib.viStatusDesc = &describe_not_loaded;
}

std::string refusal_head(const std::string& library, const std::string& config_path) {
    return "refusing library " + library + " from " + config_path + ": ";
}
constexpr char as_root[] = " (running as root)";

LibraryChoice choose_active() {
    std::string config_path = discovery_config_path();
    bool found = false;
    DiscoveryConfig cfg = read_discovery_config(config_path, &found);
    LibraryChoice choice = choose_library(std::getenv(env_name), cfg.library, config_path);
    if (!choice.from_config_file || choice.path.empty() || ::geteuid() != 0) return choice;
    // Root takes the line only from a file nobody else can have written,
    // and from what that very file says, read again through the descriptor
    // that was checked.
    std::string why;
    const int fd =
        platform::open_root_owned(config_path, O_RDONLY | O_NONBLOCK | O_NOCTTY, why, nullptr);
    if (fd < 0) {
        choice.refusal = refusal_head(choice.path, config_path) + why + as_root;
        return choice;
    }
    cfg = read_discovery_config("/proc/self/fd/" + std::to_string(fd), &found);
    ::close(fd);
    return choose_library(std::getenv(env_name), cfg.library, config_path);
}

VisaLibrary refused(const std::string& path, std::string why) {
    VisaLibrary lib;
    lib.path = path;
    make_unusable(lib, std::move(why));
    return lib;
}

VisaLibrary load_active(const LibraryChoice& choice) {
    if (choice.path.empty()) return builtin_library();
    if (!choice.refusal.empty()) return refused(choice.path, choice.refusal);
    if (!choice.from_config_file || ::geteuid() != 0) return load_library(choice.path);
    std::string refusal;
    const int fd = open_config_library_as_root(choice.path, choice.source, refusal);
    if (fd < 0) return refused(choice.path, refusal);
    VisaLibrary lib = load_library_fd(fd, choice.path);
    // The mapping stays; the descriptor is no longer needed.
    ::close(fd);
    return lib;
}

// dlopen's `name` (a path or /proc/self/fd/N), shown as `path`.
VisaLibrary load_named(const std::string& name, const std::string& path) {
    VisaLibrary lib;
    lib.path = path;
    try {
        ::dlerror();
        lib.handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib.handle == nullptr) {
            const char* why = ::dlerror();
            make_unusable(lib, "cannot load the VISA library " + path + ": " +
                                   (why != nullptr ? why : "unknown reason"));
            return lib;
        }
        std::string missing;
// `params` is a whole parameter list, which cannot be parenthesised.
#define FWVISA_RESOLVE(name, is_required, params, args)               \
    if (void* sym = ::dlsym(lib.handle, #name); sym != nullptr) {     \
        /* NOLINTNEXTLINE(bugprone-macro-parentheses) */              \
        lib.name = reinterpret_cast<ViStatus(_VI_FUNC*) params>(sym); \
    } else {                                                          \
        lib.name = &name##_not_supported;                             \
        if ((is_required) && missing.empty()) missing = #name;        \
    }
        FWVISA_FUNCTIONS(FWVISA_RESOLVE)
#undef FWVISA_RESOLVE
// Another maker's library has none of these: looked up, never required.
#define FWVISA_EXT_RESOLVE(name, params, args)                             \
    if (void* sym = ::dlsym(lib.handle, #name); sym != nullptr) {          \
        /* NOLINTNEXTLINE(bugprone-macro-parentheses) */                   \
        lib.name = reinterpret_cast<fwvisa_status(_VI_FUNC*) params>(sym); \
    } else {                                                               \
        lib.name = &name##_not_supported;                                  \
    }
        FWVISA_EXT_FUNCTIONS(FWVISA_EXT_RESOLVE)
#undef FWVISA_EXT_RESOLVE
        if (!missing.empty())
            make_unusable(lib, "the VISA library " + path + " lacks " + missing +
                                   ", which this program needs");
    } catch (const std::bad_alloc&) {
        make_unusable(lib, "out of memory loading " + path);
    }
    return lib;
}

}  // namespace

VisaLibrary builtin_library() {
    VisaLibrary lib;
#define FWVISA_BUILTIN(name, required, params, args) lib.name = &fwvisa_builtin_##name;
    FWVISA_FUNCTIONS(FWVISA_BUILTIN)
#undef FWVISA_BUILTIN
#define FWVISA_EXT_BUILTIN(name, params, args) lib.name = &fwvisa_builtin_##name;
    FWVISA_EXT_FUNCTIONS(FWVISA_EXT_BUILTIN)
#undef FWVISA_EXT_BUILTIN
    return lib;
}

VisaLibrary load_library(const std::string& path) {
    return load_named(path, path);
}

VisaLibrary load_library_fd(int fd, const std::string& path) {
    return load_named("/proc/self/fd/" + std::to_string(fd), path);
}

int open_config_library_as_root(const std::string& library, const std::string& config_path,
                                std::string& refusal) {
    const std::string head = refusal_head(library, config_path);
    if (library.empty() || library.front() != '/') {
        refusal = head + "not an absolute path" + as_root;
        return -1;
    }
    std::string why;
    const int fd = platform::open_root_owned(library, O_RDONLY, why, nullptr);
    if (fd < 0) refusal = head + why + as_root;
    return fd;
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
#define FWVISA_EXT_FORWARD(name, params, args)   \
    fwvisa_status _VI_FUNC name params {         \
        return visa::active_library().name args; \
    }
FWVISA_EXT_FUNCTIONS(FWVISA_EXT_FORWARD)
#undef FWVISA_EXT_FORWARD

// Answered here, for the library the program chose, whichever it is.
fwvisa_status _VI_FUNC fwvisa_library_in_use(fwvisa_library* out) {
    if (out == nullptr || out->size < sizeof(fwvisa_library)) return FWVISA_E_ARGUMENT;
    try {
        const visa::LibraryChoice& choice = visa::active_choice();
        const visa::VisaLibrary& lib = visa::active_library();
        fwvisa_library full{};
        full.builtin = choice.path.empty() ? 1 : 0;
        full.usable = lib.usable() ? 1 : 0;
        std::snprintf(full.path, sizeof full.path, "%s", choice.path.c_str());
        std::snprintf(full.source, sizeof full.source, "%s", choice.source.c_str());
        std::snprintf(full.error, sizeof full.error, "%s", lib.error.c_str());
        const uint32_t size = out->size;
        std::memcpy(out, &full, sizeof full);
        out->size = size;
        return FWVISA_OK;
    } catch (const std::bad_alloc&) {
        return FWVISA_E_SYSTEM;
    }
}
}
