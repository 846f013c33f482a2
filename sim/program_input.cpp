#include "program_input.h"

#include <algorithm>
#include <vector>

namespace sim {

ProgramInput::ProgramInput(Instrument& instrument, const Transcript& transcript, Settings settings)
    : instrument_(instrument), transcript_(transcript), settings_(settings) {
    splitter_.set_block_threshold(settings_.drop_in_block);
}

ProgramInput::Fed ProgramInput::feed(std::string_view data, bool end, std::uint32_t tag,
                                     Clock::time_point now, std::size_t max_messages) {
    Fed fed;
    std::vector<ProgramMessage> messages;
    do {
        messages.clear();
        // Executing a message may change the limit that applies to the next.
        splitter_.set_limit(instrument_.message_limit());
        const auto step = splitter_.feed(data.substr(fed.consumed), end, messages);
        fed.consumed += step.consumed;
        for (const ProgramMessage& m : messages)
            execute(m, tag, now, fed);
        if (step.block_threshold_hit) {
            transcript_(splitter_.partial_transcript() + " [connection dropped]");
            splitter_.reset();
            fed.dropped = true;
            return fed;
        }
    } while (fed.consumed < data.size() && fed.messages < max_messages);
    return fed;
}

void ProgramInput::execute(const ProgramMessage& m, std::uint32_t tag, Clock::time_point now,
                           Fed& fed) {
    transcript_(m.transcript);
    const Outcome out = instrument_.execute(m);
    ++fed.messages;
    if (out.reboot) fed.reboot = true;
    if (!out.reply) {
        fed.quiet_ms = std::max(fed.quiet_ms, out.delay_ms);
        return;
    }
    if (replies_.size() >= settings_.max_replies) {
        replies_.pop_front();
        instrument_.errors().push(-410, "Query INTERRUPTED");
    }
    replies_.push_back(Reply{*out.reply, tag, now + std::chrono::milliseconds(out.delay_ms)});
}

void ProgramInput::send_due(std::string& out, Clock::time_point now) {
    while (answer_ready(now)) {
        out += replies_.front().bytes;
        replies_.pop_front();
    }
}

void ProgramInput::clear() {
    splitter_.reset();
    replies_.clear();
}

void ProgramInput::lost() {
    if (!splitter_.idle()) transcript_(splitter_.partial_transcript() + " [connection lost]");
}

}  // namespace sim
