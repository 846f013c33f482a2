#include "workflow/visa_extension.h"

#include <cstring>
#include <iterator>
#include <mutex>

#include "fwvisa_ext.h"
#include "visa.h"

namespace workflow {
namespace {

const char* StageWord(int32_t stage) {
    switch (stage) {
        case FWVISA_STAGE_RESOLVE:
            return "resolve";
        case FWVISA_STAGE_CONNECT:
            return "connect";
        case FWVISA_STAGE_PORTMAPPER:
            return "portmapper";
        case FWVISA_STAGE_LINK:
            return "link";
        case FWVISA_STAGE_HANDSHAKE:
            return "handshake";
        case FWVISA_STAGE_LOCK:
            return "lock";
        case FWVISA_STAGE_DEVICE:
            return "device";
        case FWVISA_STAGE_IO:
            return "io";
        default:
            return "";
    }
}

const char* CauseWord(int32_t cause) {
    static const char* const kWords[] = {"",          "refused",   "timed out", "unreachable",
                                         "not found", "malformed", "rejected",  "held",
                                         "lost"};
    return cause >= 0 && cause < int32_t(std::size(kWords)) ? kWords[cause] : "";
}

// A fixed-size text field of the library's, which a library of another
// version might leave unterminated.
template <size_t N>
std::string Text(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

}  // namespace

std::optional<ConnectFailure> LastConnectFailure() {
    fwvisa_failure f{};
    f.size = sizeof f;
    if (fwvisa_last_failure(VI_NULL, &f) != FWVISA_OK) return std::nullopt;
    ConnectFailure out;
    out.m_status = f.status;
    out.m_stage = StageWord(f.stage);
    out.m_cause = CauseWord(f.cause);
    out.m_host = Text(f.host);
    out.m_port = f.port;
    out.m_errno = f.sys_errno;
    out.m_elapsedS = f.elapsed_ms / 1000.0;
    out.m_holder = Text(f.holder);
    out.m_since = Text(f.since);
    out.m_text = Text(f.text);
    return out;
}

std::optional<ParsedResource> ParseResource(const std::string& resource, std::string* why) {
    fwvisa_resource r{};
    r.size = sizeof r;
    const fwvisa_status st = fwvisa_parse_resource(resource.c_str(), &r);
    if (st == FWVISA_E_NOT_RESOURCE && why != nullptr)
        *why = "\"" + resource + "\" is not a VISA resource string";
    if (st != FWVISA_OK) return std::nullopt;
    ParsedResource out;
    static const char* const kProtocols[] = {"", "vxi11", "hislip", "socket", "usbtmc", "serial"};
    out.m_interface = Text(r.interface_name);
    if (r.protocol > 0 && r.protocol < int32_t(std::size(kProtocols)))
        out.m_protocol = kProtocols[r.protocol];
    out.m_board = r.board;
    out.m_host = Text(r.host);
    out.m_port = r.port;
    out.m_deviceName = Text(r.device_name);
    out.m_class = Text(r.rsrc_class);
    out.m_canonical = Text(r.canonical);
    return out;
}

std::optional<std::string> InstrumentKey(const std::string& resource) {
    char key[512];
    if (fwvisa_instrument_key(resource.c_str(), key, sizeof key) != FWVISA_OK) return std::nullopt;
    return std::string(key);
}

LanSearch SearchLan(std::chrono::milliseconds window) {
    LanSearch out;
    fwvisa_search search{};
    search.size = sizeof search;
    search.window_ms = window.count() <= 0 ? 0 : uint32_t(window.count());
    const fwvisa_status st = fwvisa_search_lan(
        &search,
        [](const fwvisa_found* found, void* user) {
            auto* into = static_cast<LanSearch*>(user);
            into->m_found.push_back(Text(found->resource));
            into->m_how.push_back(Text(found->how));
        },
        &out);
    if (st == FWVISA_E_UNSUPPORTED) return {};
    out.m_supported = true;
    if (st != FWVISA_OK) {
        out.m_error = "the LAN search could not run";
        return out;
    }
    out.m_noNetwork = search.destinations == 0;
    out.m_mdnsSkipped = Text(search.mdns_skipped);
    return out;
}

namespace {

std::mutex g_sinkMutex;
LogSink g_sink;

void ToSink(int32_t level, const char* line, void*) {
    LogSink sink;
    {
        std::lock_guard<std::mutex> hold(g_sinkMutex);
        sink = g_sink;
    }
    if (sink) sink(static_cast<LogLevel>(level), line);
}

}  // namespace

bool SetLibraryLog(LogSink sink, LogLevel least) {
    const bool wanted = static_cast<bool>(sink);
    {
        std::lock_guard<std::mutex> hold(g_sinkMutex);
        g_sink = std::move(sink);
    }
    return fwvisa_set_log_callback(wanted ? &ToSink : nullptr, nullptr,
                                   static_cast<int32_t>(least)) == FWVISA_OK;
}

VisaLibraryInUse LibraryInUse() {
    fwvisa_library lib{};
    lib.size = sizeof lib;
    VisaLibraryInUse out;
    if (fwvisa_library_in_use(&lib) != FWVISA_OK) return out;
    out.m_builtin = lib.builtin != 0;
    out.m_usable = lib.usable != 0;
    out.m_path = Text(lib.path);
    out.m_source = Text(lib.source);
    out.m_error = Text(lib.error);
    return out;
}

}  // namespace workflow
