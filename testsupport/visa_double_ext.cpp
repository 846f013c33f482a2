// The double's answers to the library's extension (fwvisa_ext.h): resource
// strings read by the real parser, the rest scripted.
#include <cstdio>
#include <cstring>
#include <optional>

#include "fwvisa_ext.h"
#include "visa/extension.h"
#include "visa_double.h"

namespace visa_double {
namespace {

struct Extension {
    bool present = true;
    std::optional<fwvisa_failure> failure;
    std::vector<std::string> lan;
    fwvisa_log_fn log = nullptr;
    void* log_user = nullptr;
};

Extension& extension() {
    static Extension e;
    return e;
}

}  // namespace

void reset_extension() {
    extension() = Extension{};
}

void set_extension(bool present) {
    extension().present = present;
}

void set_last_failure(const fwvisa_failure& failure) {
    extension().failure = failure;
}

void set_lan_found(std::vector<std::string> resources) {
    extension().lan = std::move(resources);
}

void log_line(int32_t level, const std::string& line) {
    if (extension().log != nullptr) extension().log(level, line.c_str(), extension().log_user);
}

}  // namespace visa_double

using visa_double::extension;

extern "C" {

fwvisa_status _VI_FUNC fwvisa_last_failure(ViSession, fwvisa_failure* out) {
    if (!extension().present) return FWVISA_E_UNSUPPORTED;
    if (out == nullptr || out->size < sizeof *out) return FWVISA_E_ARGUMENT;
    if (!extension().failure) return FWVISA_NOTHING;
    *out = *extension().failure;
    out->size = sizeof *out;
    return FWVISA_OK;
}

fwvisa_status _VI_FUNC fwvisa_parse_resource(const char* resource, fwvisa_resource* out) {
    if (!extension().present) return FWVISA_E_UNSUPPORTED;
    return visa::ext::fill_resource(resource, out);
}

fwvisa_status _VI_FUNC fwvisa_instrument_key(const char* resource, char* key, size_t key_size) {
    if (!extension().present) return FWVISA_E_UNSUPPORTED;
    return visa::ext::fill_instrument_key(resource, key, key_size);
}

fwvisa_status _VI_FUNC fwvisa_search_lan(fwvisa_search* search, fwvisa_found_fn each, void* user) {
    if (!extension().present) return FWVISA_E_UNSUPPORTED;
    if (search == nullptr || search->size < sizeof *search) return FWVISA_E_ARGUMENT;
    search->found = 0;
    search->destinations = 1;
    search->mdns_skipped[0] = '\0';
    for (const std::string& resource : extension().lan) {
        fwvisa_found one{};
        one.size = sizeof one;
        std::snprintf(one.resource, sizeof one.resource, "%s", resource.c_str());
        std::snprintf(one.how, sizeof one.how, "%s", "VXI-11 broadcast");
        if (each != nullptr) each(&one, user);
        ++search->found;
    }
    return FWVISA_OK;
}

fwvisa_status _VI_FUNC fwvisa_set_log_callback(fwvisa_log_fn fn, void* user, int32_t) {
    if (!extension().present) return FWVISA_E_UNSUPPORTED;
    extension().log = fn;
    extension().log_user = user;
    return FWVISA_OK;
}

fwvisa_status _VI_FUNC fwvisa_ext_version(void) {
    return extension().present ? FWVISA_EXT_VERSION : FWVISA_E_UNSUPPORTED;
}

fwvisa_status _VI_FUNC fwvisa_library_in_use(fwvisa_library* out) {
    if (out == nullptr || out->size < sizeof *out) return FWVISA_E_ARGUMENT;
    const uint32_t size = out->size;
    std::memset(out, 0, sizeof *out);
    out->size = size;
    out->builtin = 1;
    out->usable = 1;
    std::snprintf(out->source, sizeof out->source, "%s", "default");
    return FWVISA_OK;
}

}  // extern "C"
