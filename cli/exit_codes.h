// What fwupgrade's exit status tells a script. Documented in the man page
// and docs/fwupgrade.md; the numbers never change meaning.
#pragma once

#include <string_view>

namespace cli {

enum ExitCode : int {
    exit_ok = 0,              // everything asked for was done
    exit_error = 1,           // anything else: unreadable release, audit log for history, ...
    exit_usage = 2,           // bad command line; nothing was sent to an instrument
    exit_not_found = 3,       // no answer, or not a model this program upgrades (not_accepted)
    exit_locked = 4,          // another session holds the instrument's lock
    exit_image_failed = 5,    // an image transfer failed
    exit_interrupted = 6,     // stopped by SIGINT or SIGTERM
    exit_declined = 7,        // the Host application warning was answered no
    exit_batch_failed = 8,    // several instruments: not every one succeeded
    exit_not_back = 9,        // --wait: no answer after the restart in time
    exit_verify_failed = 10,  // the release failed its SHA256SUMS or signature check
    exit_not_changed = 11,    // --wait: back, but with the firmware it had before
};

// The word the JSON events and the summary use for an exit status.
inline const char* result_word(int code) {
    switch (code) {
        case exit_ok:
            return "ok";
        case exit_usage:
            return "usage";
        case exit_not_found:
            return "not_found";
        case exit_locked:
            return "locked";
        case exit_image_failed:
            return "failed";
        case exit_interrupted:
            return "interrupted";
        case exit_declined:
            return "declined";
        case exit_batch_failed:
            return "batch_failed";
        case exit_not_back:
            return "not_back";
        case exit_verify_failed:
            return "verify_failed";
        case exit_not_changed:
            return "not_changed";
        default:
            return "error";
    }
}

// The same where the cause's kind (workflow::KindWord) tells more: under
// 3, an instrument that answered as a model this program does not upgrade
// is "not_accepted"; every other 3 stays "not_found".
inline const char* result_word(int code, std::string_view kind) {
    if (code == exit_not_found && kind == "not_accepted") return "not_accepted";
    return result_word(code);
}

}  // namespace cli
