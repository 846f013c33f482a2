#include "visa/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/shown_text.h"

namespace visa {
namespace {

// Where lines go when not to stderr. Read under the mutex, called outside it.
struct Route {
    fwvisa_log_fn callback = nullptr;
    LogSink sink = nullptr;  // the level-less form
    void* user = nullptr;
    Level least = Level::debug;
};
std::mutex route_mutex;
Route route;
std::atomic<bool> routed{false};

struct FailureDetail {
    ViStatus status = VI_SUCCESS;
    std::string text;
};
thread_local FailureDetail last_failure;

void vlog(Level level, const char* module, const char* fmt, va_list ap)
    __attribute__((format(printf, 3, 0)));

void vlog(Level level, const char* module, const char* fmt, va_list ap) {
    Route to;
    if (routed.load()) {
        std::lock_guard<std::mutex> hold(route_mutex);
        to = route;
    }
    const bool routed_here = to.callback != nullptr || to.sink != nullptr;
    if (!routed_here && !log_enabled()) return;
    if (to.callback != nullptr && level > to.least) return;
    char line[1024];
    int at = std::snprintf(line, sizeof line, "%s: ", module);
    if (at < 0 || size_t(at) >= sizeof line) at = 0;
    std::vsnprintf(line + at, sizeof line - size_t(at), fmt, ap);
    if (to.callback != nullptr) {
        to.callback(int32_t(level), line, to.user);
        return;
    }
    if (to.sink != nullptr) {
        to.sink(line);
        return;
    }
    // One fprintf per line so lines from different threads do not interleave.
    // Lines carry what peers sent (replies, service names): written out, a
    // control character cannot drive the terminal or fake a line.
    std::fprintf(stderr, "%s\n", platform::escape_controls(line).c_str());
}

void set_route(Route r) {
    std::lock_guard<std::mutex> hold(route_mutex);
    route = r;
    routed.store(r.callback != nullptr || r.sink != nullptr);
}

}  // namespace

bool log_enabled() {
    static const bool enabled = [] {
        const char* v = std::getenv("FW_VISA_LOG");
        return v != nullptr && std::strcmp(v, "1") == 0;
    }();
    return enabled;
}

bool log_active() {
    return log_enabled() || routed.load();
}

#define FWVISA_LOG_AT(name, level)                        \
    void name(const char* module, const char* fmt, ...) { \
        va_list ap;                                       \
        va_start(ap, fmt);                                \
        vlog(level, module, fmt, ap);                     \
        va_end(ap);                                       \
    }
FWVISA_LOG_AT(log_error, Level::error)
FWVISA_LOG_AT(log_warning, Level::warning)
FWVISA_LOG_AT(log, Level::info)
FWVISA_LOG_AT(log_debug, Level::debug)
#undef FWVISA_LOG_AT

void set_log_sink(LogSink to) {
    set_route(Route{.sink = to});
}

void set_log_callback(fwvisa_log_fn callback, void* user, Level least) {
    set_route(Route{.callback = callback, .user = user, .least = least});
}

void set_failure_detail(ViStatus status, std::string text) {
    last_failure = {status, std::move(text)};
}

std::string failure_detail(ViStatus status) {
    return last_failure.status == status ? last_failure.text : std::string();
}

}  // namespace visa
