#include "platform/utc_time.h"

#include <cstdio>
#include <ctime>

namespace platform {

std::string utc_timestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    // Floored, so that a time before 1970 does not get negative milliseconds.
    const auto millis = floor<milliseconds>(when.time_since_epoch());
    const auto seconds = floor<std::chrono::seconds>(millis);
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm utc{};
    gmtime_r(&whole, &utc);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>((millis - seconds).count()));
    return text;
}

}  // namespace platform
