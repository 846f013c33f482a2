#pragma once
// What every protocol does with a stream of program messages: split it
// into messages, have the instrument execute each, and queue each answer
// until it is due. One per VXI-11 link, HiSLIP session and raw-socket
// connection.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "instrument.h"
#include "scpi_framing.h"

namespace sim {

using Clock = std::chrono::steady_clock;
using Transcript = std::function<void(std::string_view line)>;

// An answer of the instrument, sent when it is due.
struct Reply {
    std::string bytes;
    std::uint32_t tag = 0;  // the protocol's (HiSLIP: the id of the message it answers)
    Clock::time_point ready_at;
    std::size_t pos = 0;  // bytes of it already handed out
};

class ProgramInput {
public:
    static constexpr std::size_t unlimited = std::numeric_limits<std::size_t>::max();

    struct Settings {
        std::optional<std::uint64_t> drop_in_block;
        // Answers kept unread; one more pushes out the oldest, with a -410
        // "Query INTERRUPTED" on the error queue.
        std::size_t max_replies = unlimited;
    };

    ProgramInput(Instrument& instrument, const Transcript& transcript, Settings settings);

    struct Fed {
        std::size_t consumed = 0;    // bytes of the data taken
        std::size_t messages = 0;    // messages executed
        bool dropped = false;        // the block threshold was reached: drop the connection
        bool reboot = false;         // a message asked the instrument to reboot
        std::uint32_t quiet_ms = 0;  // longest delay of a message without an answer
    };

    // Feeds `data` (whose last byte carried END when `end`): each message is
    // executed at once and its answer queued, stamped `tag`. Stops after
    // `max_messages` messages, or once the connection is to be dropped (the
    // transcript then says so).
    Fed feed(std::string_view data, bool end, std::uint32_t tag, Clock::time_point now,
             std::size_t max_messages = unlimited);

    std::deque<Reply>& replies() { return replies_; }
    const std::deque<Reply>& replies() const { return replies_; }
    // An answer is there to be read now (the status byte's MAV).
    bool answer_ready(Clock::time_point now) const {
        return !replies_.empty() && replies_.front().ready_at <= now;
    }
    // Moves the answers due by `now` to `out`.
    void send_due(std::string& out, Clock::time_point now);
    // Device clear: the message in progress and the answers are forgotten.
    void clear();
    // The connection went away: a message cut short goes to the transcript.
    void lost();

private:
    void execute(const ProgramMessage& m, std::uint32_t tag, Clock::time_point now, Fed& fed);

    Instrument& instrument_;
    const Transcript& transcript_;
    Settings settings_;
    MessageSplitter splitter_;
    std::deque<Reply> replies_;
};

}  // namespace sim
