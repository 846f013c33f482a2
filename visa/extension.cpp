#include "visa/extension.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "platform/abstract_socket.h"
#include "visa/instrument_key.h"
#include "visa/rsrc_name.h"

namespace visa::ext {
namespace {

// Copies `text` into `out[N]`; false when it does not fit.
template <size_t N>
bool put(char (&out)[N], const std::string& text) {
    if (text.size() >= N) return false;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return true;
}

// Hands `full` to a caller's struct of `size` bytes: as much as both know.
template <class T>
void hand_over(const T& full, T* out) {
    const uint32_t size = out->size;
    std::memcpy(out, &full, std::min<size_t>(size, sizeof full));
    out->size = size;
}

// Seconds since the epoch at which the machine booted, from /proc/stat.
long long boot_time() {
    std::ifstream in("/proc/stat");
    std::string word;
    long long btime = -1;
    while (in >> word)
        if (word == "btime" && (in >> btime)) return btime;
    return -1;
}

}  // namespace

std::string process_start_utc(long pid) {
    if (pid <= 0) return {};
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces and parentheses: fields count from
    // the last ')'; the start time is field 22, the 20th after it.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return {};
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    for (int i = 0; i < 20 && fields >> field; ++i) {
    }
    const long long boot = boot_time();
    const long ticks = ::sysconf(_SC_CLK_TCK);
    if (!fields || boot < 0 || ticks <= 0) return {};
    char* end = nullptr;
    const long long since_boot = std::strtoll(field.c_str(), &end, 10);
    if (end == field.c_str() || *end != '\0' || since_boot < 0) return {};
    const std::time_t at = std::time_t(boot + since_boot / ticks);
    std::tm utc{};
    if (::gmtime_r(&at, &utc) == nullptr) return {};
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

fwvisa_status fill_failure(const std::optional<Failure>& failure, fwvisa_failure* out) {
    if (out == nullptr || out->size < sizeof(fwvisa_failure)) return FWVISA_E_ARGUMENT;
    if (!failure) return FWVISA_NOTHING;
    fwvisa_failure full{};
    full.status = failure->status;
    full.stage = failure->stage;
    full.cause = failure->cause;
    full.sys_errno = failure->sys_errno;
    full.elapsed_ms = failure->elapsed_ms;
    full.port = failure->port;
    // Texts cut to fit: each is for people, and a cut one still says most.
    std::snprintf(full.host, sizeof full.host, "%s", failure->host.c_str());
    std::snprintf(full.text, sizeof full.text, "%s", failure->text.c_str());
    if (!failure->lock_name.empty()) {
        const platform::NameOwner owner = platform::owner_of(failure->lock_name);
        std::snprintf(full.holder, sizeof full.holder, "%s", platform::describe(owner).c_str());
        if (owner.known)
            std::snprintf(full.since, sizeof full.since, "%s",
                          process_start_utc(owner.pid).c_str());
    }
    hand_over(full, out);
    return FWVISA_OK;
}

fwvisa_status fill_resource(const char* resource, fwvisa_resource* out) {
    if (resource == nullptr || out == nullptr || out->size < sizeof(fwvisa_resource))
        return FWVISA_E_ARGUMENT;
    const std::optional<RsrcName> name = parse_rsrc_name(resource);
    if (!name) return FWVISA_E_NOT_RESOURCE;
    fwvisa_resource full{};
    full.protocol = int32_t(name->kind) + 1;  // RsrcKind lists them in the header's order
    full.intf_type = name->intf_type();
    full.board = name->board;
    full.port = name->port;
    full.usb_vendor = name->usb_vendor;
    full.usb_model = name->usb_model;
    full.usb_interface = int16_t(name->usb_interface);
    const char* interface = full.intf_type == VI_INTF_TCPIP ? "TCPIP"
                            : full.intf_type == VI_INTF_USB ? "USB"
                                                            : "ASRL";
    if (!put(full.interface_name, interface) || !put(full.host, name->host) ||
        !put(full.device_name, name->device_name) || !put(full.usb_serial, name->usb_serial) ||
        !put(full.rsrc_class, name->rsrc_class()) || !put(full.canonical, name->canonical()))
        return FWVISA_E_NOT_RESOURCE;
    hand_over(full, out);
    return FWVISA_OK;
}

fwvisa_status fill_instrument_key(const char* resource, char* key, size_t key_size) {
    if (resource == nullptr || key == nullptr || key_size == 0) return FWVISA_E_ARGUMENT;
    const std::optional<RsrcName> name = parse_rsrc_name(resource);
    if (!name) return FWVISA_E_NOT_RESOURCE;
    const std::string text = instrument_key(*name);
    if (text.size() >= key_size) return FWVISA_E_ARGUMENT;
    std::memcpy(key, text.c_str(), text.size() + 1);
    return FWVISA_OK;
}

}  // namespace visa::ext
