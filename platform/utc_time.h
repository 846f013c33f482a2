// Time stamps for records and events.
#pragma once

#include <chrono>
#include <string>

namespace platform {

// `when` as ISO 8601 UTC with milliseconds, "2026-12-07T10:15:00.123Z";
// always 24 characters for years 1000 to 9999.
std::string utc_timestamp(std::chrono::system_clock::time_point when);
inline std::string utc_now() {
    return utc_timestamp(std::chrono::system_clock::now());
}

}  // namespace platform
