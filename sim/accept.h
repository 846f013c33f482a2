#pragma once
// What the stream pool does when a client connects: take the connection, and
// report refusals without flooding the log.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace sim {

// Takes one waiting connection from `listener`, non-blocking, with Nagle's
// algorithm off so that answers go out as soon as they are written, never
// held back for the acknowledgement of an earlier one. -1 when none waits.
int accept_connection(int listener);

// Refused connections, reported at most once a second with the count of
// those not reported, so that a client hammering a full instrument costs a
// line a second rather than one per attempt.
class RefusalLog {
public:
    using Clock = std::chrono::steady_clock;
    // The line to write for a connection refused now because of `why`, or
    // nothing when a line went out less than a second ago.
    std::optional<std::string> refused(Clock::time_point now, const std::string& why);

private:
    std::optional<Clock::time_point> last_;
    std::uint64_t unreported_ = 0;
};

}  // namespace sim
