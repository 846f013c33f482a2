#include "visa/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/shown_text.h"

namespace visa {
namespace {

std::atomic<LogSink> sink{nullptr};

struct FailureDetail {
    ViStatus status = VI_SUCCESS;
    std::string text;
};
thread_local FailureDetail last_failure;

}  // namespace

bool log_enabled() {
    static const bool enabled = [] {
        const char* v = std::getenv("FW_VISA_LOG");
        return v != nullptr && std::strcmp(v, "1") == 0;
    }();
    return enabled;
}

bool log_active() {
    return log_enabled() || sink.load() != nullptr;
}

void log(const char* module, const char* fmt, ...) {
    LogSink to = sink.load();
    if (!log_enabled() && to == nullptr) return;
    char line[1024];
    int at = std::snprintf(line, sizeof line, "%s: ", module);
    if (at < 0 || size_t(at) >= sizeof line) at = 0;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line + at, sizeof line - size_t(at), fmt, ap);
    va_end(ap);
    if (to != nullptr) {
        to(line);
        return;
    }
    // One fprintf per line so lines from different threads do not interleave.
    // Lines carry what peers sent (replies, service names): written out, a
    // control character cannot drive the terminal or fake a line.
    std::fprintf(stderr, "%s\n", platform::escape_controls(line).c_str());
}

void set_log_sink(LogSink to) {
    sink.store(to);
}

void set_failure_detail(ViStatus status, std::string text) {
    last_failure = {status, std::move(text)};
}

std::string failure_detail(ViStatus status) {
    return last_failure.status == status ? last_failure.text : std::string();
}

}  // namespace visa
