#include "visa/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace visa {

bool log_enabled() {
    static const bool enabled = [] {
        const char* v = std::getenv("FW_VISA_LOG");
        return v != nullptr && std::strcmp(v, "1") == 0;
    }();
    return enabled;
}

void log(const char* fmt, ...) {
    if (!log_enabled()) return;
    char line[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    // One fprintf per line so lines from different threads do not interleave.
    std::fprintf(stderr, "visa: %s\n", line);
}

}  // namespace visa
