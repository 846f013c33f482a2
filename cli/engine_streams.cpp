#include "engine_streams.h"

#include <cmath>
#include <cstdio>

namespace cli {

namespace {

std::string size_text(double bytes) {
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    else if (bytes < 1024.0 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", bytes / 1024);
    else
        std::snprintf(text, sizeof text, "%.1f MiB", bytes / (1024.0 * 1024));
    return text;
}

}  // namespace

std::string progress_text(int64_t sent, int64_t total, double seconds) {
    std::string text = size_text(static_cast<double>(sent));
    if (total > 0) {
        text += " of " + size_text(static_cast<double>(total)) + "  " +
                std::to_string(sent * 100 / total) + "%";
    }
    // A rate from the first moments says nothing yet.
    if (seconds < 0.2 || sent <= 0) return text;
    const double rate = static_cast<double>(sent) / seconds;
    text += "  " + size_text(rate) + "/s";
    if (total > sent) {
        const auto left = static_cast<long>(std::ceil(static_cast<double>(total - sent) / rate));
        char when[32];
        if (left >= 60)
            std::snprintf(when, sizeof when, "%ld:%02ld left", left / 60, left % 60);
        else
            std::snprintf(when, sizeof when, "%ld s left", left);
        text += "  " + std::string(when);
    }
    return text;
}

}  // namespace cli
