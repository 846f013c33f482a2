#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "scpi_framing.h"

namespace sim {

struct ErrorEntry {
    int code = 0;
    std::string text;
};

// The SCPI error queue: FIFO of at most `capacity` entries; an error that
// finds it full replaces the newest entry with -350 "Queue overflow".
class ErrorQueue {
public:
    static constexpr std::size_t capacity = 32;

    void push(int code, std::string text);
    // Oldest entry, or 0 "No error" when empty.
    ErrorEntry pop();
    void clear() { entries_.clear(); }
    std::size_t size() const { return entries_.size(); }

    // "<code>,\"<text>\"\n" with an explicit sign: +0, -222, +5.
    static std::string format(const ErrorEntry& e);

private:
    std::deque<ErrorEntry> entries_;
};

// An error-queue entry pushed after a given command has run.
struct ErrorInjection {
    std::string header;            // normalised, see normalise_header()
    std::uint64_t occurrence = 0;  // 0: every time, else only the N-th (from 1)
    ErrorEntry entry;
};

struct InstrumentConfig {
    std::string idn;                                     // complete identity reply, with its LF
    std::string idn_after_reboot;                        // replaces idn once rebooted; empty: none
    std::map<std::string, std::uint32_t> sector_sizes;   // image id -> bytes (0 allowed)
    std::optional<std::string> init_reply;               // replaces the initialise reply text
    std::map<std::uint64_t, std::string> block_replies;  // N-th block of a transfer -> reply text
    std::vector<ErrorInjection> errors_after;
    std::map<std::string, std::string> replies;    // normalised header -> reply text instead
    std::set<std::string> no_reply;                // normalised query headers
    std::map<std::string, std::uint32_t> slow_ms;  // normalised header -> delay
};

// Default image ids and their flash sector sizes.
std::map<std::string, std::uint32_t> default_sector_sizes();

// Identity reply for a model name: K7141HA, K7142HA, K7141B or "other"
// (an identity no supported model has). Empty when the name is unknown.
std::string identity_for_model(std::string_view model, std::string_view serial,
                               std::string_view firmware);

// Upper-cases a header and drops a leading ':' so that "diag:upd:SSIZ?" and
// ":DIAG:UPD:SSIZ?" name the same fault target.
std::string normalise_header(std::string_view header);

// True when `header` (as sent: any case, optional leading ':') matches a SCPI
// pattern such as "SYSTem:ERRor[:NEXT]?": each node by its short form (the
// upper-case letters) or long form, [ ] nodes optional, '?' must agree.
bool header_matches(std::string_view pattern, std::string_view header);

// What the instrument does in answer to one program message.
struct Outcome {
    std::optional<std::string> reply;  // response message, with its LF
    std::uint32_t delay_ms = 0;        // reply (or completion) only after this
    bool reboot = false;               // drop everything and restart
};

// Keeps a completed image: id and exactly the bytes received. Returns an
// error text on failure, empty on success.
using ImageStore = std::function<std::string(const std::string& id, std::string_view data)>;

// The instrument's side of the command set: identity, error queue, update
// mode and the image transfer (initialise, blocks, done). No I/O of its own
// except through the ImageStore, so it can be driven directly by tests.
class Instrument {
public:
    Instrument(InstrumentConfig config, ImageStore store);

    Outcome execute(const ProgramMessage& message);

    // Largest program message worth buffering right now: an open transfer
    // allows its block size plus room for the header.
    std::size_t message_limit() const;

    // Power-on state: error queue empty, not in update mode, no transfer.
    void power_on();

    bool update_mode() const { return update_mode_; }
    bool transfer_open() const { return transfer_.has_value(); }
    std::uint64_t transfer_received() const { return transfer_ ? transfer_->data.size() : 0; }
    ErrorQueue& errors() { return errors_; }

    // Codes the update commands reply with (besides 0 for success).
    enum Code : int {
        code_state = 1,      // not in update mode, or no transfer open
        code_image = 2,      // unknown image id
        code_range = 3,      // sizes out of range or inconsistent
        code_too_large = 4,  // message longer than the instrument buffers
        code_malformed = 5,  // missing or malformed parameters or block
    };

private:
    struct Transfer {
        std::string id;
        std::uint64_t block_size = 0;
        std::uint64_t length = 0;
        std::uint64_t blocks = 0;
        std::string data;
    };

    // A command of the set: its header pattern and what it does with its
    // parameters; its reply, if it has one.
    struct Command {
        const char* pattern;
        std::optional<std::string> (Instrument::*run)(std::string_view params);
    };
    static const Command commands_[];

    std::optional<std::string> run_unit(std::string_view unit, bool overflow);
    std::optional<std::string> run_overflowed(std::string_view header);
    // What the fault options make of a command's reply once it has run.
    void apply_faults(const std::string& key, std::optional<std::string>& reply);
    std::optional<std::string> identify(std::string_view params);
    std::optional<std::string> clear_status(std::string_view params);
    std::optional<std::string> reset(std::string_view params);
    std::optional<std::string> operation_complete(std::string_view params);
    std::optional<std::string> next_error(std::string_view params);
    std::optional<std::string> update_start(std::string_view params);
    std::optional<std::string> update_end(std::string_view params);
    std::optional<std::string> sector_size(std::string_view params);
    std::optional<std::string> update_init(std::string_view params);
    std::optional<std::string> update_block(std::string_view params);
    std::optional<std::string> update_done(std::string_view params);
    std::optional<std::string> scpi_debug(std::string_view params);
    std::optional<std::string> host_reboot(std::string_view params);
    std::string init_result(std::string_view params);
    std::string block_result(std::string_view params);
    std::string code_reply(int code, int scpi_code, const char* text);

    InstrumentConfig config_;
    ImageStore store_;
    ErrorQueue errors_;
    bool update_mode_ = false;
    bool reboot_ = false;
    std::uint32_t delay_ms_ = 0;
    std::optional<Transfer> transfer_;
    std::map<std::string, std::uint64_t> executed_;  // header -> times run
};

}  // namespace sim
