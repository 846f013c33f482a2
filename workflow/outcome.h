// What happened, as values: why a run, an image or an instrument failed, and
// how far a run got. The window, the command line and the audit each say it
// in their own words from these; none reads another's printed text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "workflow/identify_failure.h"
#include "workflow/json_fields.h"
#include "workflow/release_verify.h"
#include "workflow/visa_extension.h"

namespace workflow {

enum class UpgradeEnd;

// Why something failed. Only the fields of its kind are set.
struct Cause {
    enum class Kind {
        None,          // nothing failed
        Unreachable,   // no connection could be made
        NoReply,       // connected (or the link broke), but no reply came
        NotAccepted,   // it answered, but not as a model this program upgrades
        Locked,        // another session or run holds the instrument
        Transfer,      // an engine operation failed while talking to the instrument
        Verification,  // the release failed its checksums or signature
        File,          // an image or release file cannot be used as it is
        Interrupted,   // the operator or a signal asked to stop
        Declined,      // the operator answered No to the erase warning
        NotChanged,    // after the restart the firmware field is the same as before
        Usage,         // the input cannot be used (no instrument, a text too long)
    };
    Kind m_kind = Kind::None;

    // Unreachable, NoReply: where the connection went and what it met.
    std::string m_stage;  // "resolve", "connect", "portmapper", "link", "handshake", "reply", ...
    std::string m_host;   // empty for a resource that is not on a network
    int m_port = 0;
    int m_errno = 0;        // the system's error number, 0 when none
    double m_elapsedS = 0;  // how long it tried
    // NotAccepted: the reply's model field and the whole reply.
    std::string m_model;
    std::string m_reply;
    // Locked: who holds it and since when, when known.
    std::string m_holder;
    std::string m_since;
    // Transfer: the VISA status of the failed call and its words, the
    // operation ("identify", "start", "image", "end", "reboot") and the
    // instrument's error queue when it said something.
    long m_status = 0;
    std::string m_statusText;
    std::string m_operation;
    std::vector<std::string> m_scpiErrors;
    // File, Verification: the file concerned.
    std::string m_file;

    // One sentence for people, without a trailing period's line break:
    // "not reachable at 127.0.0.5:111: connection refused after 0.0 s".
    std::string m_sentence;

    bool failed() const { return m_kind != Kind::None; }
};

// The word for a cause's kind in JSON and the audit: "unreachable",
// "no_reply", "not_accepted", "locked", "transfer", "verification", "file",
// "interrupted", "declined", "not_changed", "usage"; "" for None.
const char* KindWord(Cause::Kind kind);

// The `reason` object of a JSON event: {"kind", "message", and the fields of
// its kind}; a field not known is null. Unreachable, NoReply: "host", "port",
// "stage", "errno", "elapsed_s"; NotAccepted: "model", "reply"; Locked:
// "holder", "since"; Transfer: "status", "status_text", "operation",
// "scpi_errors" (an array); File, Verification: "file". Null for None.
Json ReasonJson(const Cause& cause);

// A cause that is only its kind and its sentence (and the file, for File
// and Verification).
Cause MakeCause(Cause::Kind kind, std::string sentence, std::string file = {});

// The VISA library's words for a status ("VI_ERROR_TMO: ..."), or its
// number in hex when the library has none.
std::string StatusText(long status);

// What the engine's typed events told of an operation that failed.
struct EngineFailure {
    std::string m_resource;
    std::string m_operation;  // "identify", "start", "image", "end", "reboot"
    long m_status = 0;        // of the first VISA call that failed; 0 when none did
    std::string m_function;   // "viOpen", "viWrite", ...
    bool m_locked = false;    // another session held the instrument's lock
    std::vector<std::string> m_scpiErrors;
    double m_elapsedS = 0;  // how long the operation had run when it failed
};

// Why an engine operation failed, completed with what the library recorded
// of the connection when it says (`connect`, from LastConnectFailure() on
// the operation's thread): Locked when the lock was held; for an
// identification whose open failed Unreachable, else NoReply; Transfer for
// any other operation.
Cause CauseOf(const EngineFailure& failure, const std::optional<ConnectFailure>& connect);

// Why a run's identification found no instrument it may upgrade, from the
// run's typed failure, completed like the above.
Cause CauseOf(const IdentifyFailure& failure, const std::optional<ConnectFailure>& connect);

// An identification reply of a model this program does not upgrade.
Cause NotAcceptedCause(const std::string& reply);

// Who the instrument said it is.
struct InstrumentIdentity {
    std::string m_reply;  // the *IDN? reply as received
    std::string m_maker, m_model, m_serial, m_firmware;
};

// One image of a run.
struct ImageOutcome {
    const char* m_id = "";  // "HPAP", "HREC", "HBRM" or "HUBL"
    std::string m_name;     // for people: "Host Application"
    std::string m_path;
    bool m_attempted = false;  // the engine was asked to send it
    bool m_ok = false;
    std::int64_t m_bytesSent = 0;  // bytes the instrument is known to have taken
    std::int64_t m_total = -1;     // the file's size, -1 when unknown
    Cause m_cause;                 // when it failed
};

// How a run ended and everything a person needs to decide what to do next.
struct RunOutcome {
    UpgradeEnd m_end{};
    Cause m_cause;  // None for a complete run
    std::string m_resource;
    InstrumentIdentity m_identity;  // empty when identification was not reached
    ReleaseVerification m_verification;
    std::vector<ImageOutcome> m_images;  // in the order they were (or would have been) sent
    bool m_updateModeEntered = false;    // DIAG:UPD:START went out and was taken
    bool m_doneSent = false;             // DIAG:UPD:DONE went out
    bool m_restartSent = false;          // the restart went out whole
    // Nothing was written to the instrument's flash that a second run could
    // not simply write again: true where running the upgrade again is safe.
    bool m_safeToRetry = true;
};

}  // namespace workflow
