// fwupgrade's subcommands. Each returns the process's exit status
// (exit_codes.h) and reports through `out`.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "options.h"
#include "output.h"
#include "workflow/identity.h"
#include "workflow/json_fields.h"
#include "workflow/outcome.h"
#include "workflow/release_verify.h"

namespace workflow {
class EngineEvents;
}

namespace cli {

int run_list(const CommandLine& settings, Output& out);
int run_identify(const CommandLine& settings, Output& out);
int run_upgrade(const CommandLine& settings, Output& out);
int run_history(const CommandLine& settings, Output& out);
int run_verify(const CommandLine& settings, Output& out);
// check, and upgrade --dry-run (check.cpp).
int run_check(const CommandLine& settings, Output& out);
// --skip-current for one instrument (check.cpp): when it already runs the
// release's version, says so, ends the run's events and returns exit_ok;
// -1 when the upgrade is to go on.
int skip_if_current(const CommandLine& settings, Output& out, const std::string& resource);

// The policy a run checks its release under: the administrator's policy file
// (workflow::kPolicyPath), then --require-signature (which only ever adds the
// requirement) and the --keyring files (which count only where the policy
// file allows them). False, with the reason, when the policy file cannot be
// read, is malformed or could have been written by someone other than root:
// a run must then not go on.
bool load_run_policy(const CommandLine& settings, workflow::VerifyPolicy& policy,
                     std::string& error);

// The verification event's "note": kSignatureNotCheckedNote when it applies, else null.
workflow::Json verification_note(const workflow::ReleaseVerification& result);

// The resources of the command line, named as every event names them (bare
// addresses rewritten), one per instrument: each other name of one goes to
// `same` with the first, and an "instrument" event says it is `done_once`
// (batch.cpp).
std::vector<std::string> distinct_resources(const CommandLine& settings, Output& out,
                                            std::vector<std::pair<std::string, std::string>>& same,
                                            const char* done_once);
// The resources discovery lists (batch.cpp).
std::vector<std::string> discovered_resources(Output& out);
// Why --all leaves out the instrument found at `resource`, from its
// identification's fields (identification_json); empty when it is chosen.
// `missing`: left out because it did not answer or is not an accepted model.
// `by_serial` remembers the instruments chosen, so that a second name of one
// is left out.
std::string all_skip_reason(const CommandLine& settings, const workflow::Json& identified,
                            const std::string& resource,
                            std::map<std::string, std::string>& by_serial, bool& missing);

// One upgrade in this process (upgrade.cpp); the batch runner starts one
// process per instrument that runs this.
int upgrade_one(const CommandLine& settings, Output& out, const std::string& resource);
// Several instruments, each in a child process (batch.cpp).
int upgrade_batch(const CommandLine& settings, Output& out);

// An identification as the upgrade run makes it, with what the command line
// wants to show about it.
struct Identification {
    std::string resource;  // after the bare-address rewrite
    bool answered = false;
    bool accepted = false;
    bool locked = false;  // refused because another session holds the lock
    std::string reply;    // line end removed
    workflow::IdentityFields fields;
    workflow::Cause cause;  // why it is not accepted; None when it is
};
// Why identification `id` accepted nothing: a foreign model's reply, else
// what the engine's events and the library's record (`connect`) told.
workflow::Cause identification_cause(const Identification& id, const workflow::EngineEvents& events,
                                     const std::optional<workflow::ConnectFailure>& connect);
// Queries the instrument; the engine's printed lines are dropped: the cause
// says more.
Identification identify(const std::string& instrument);
// The identification's fields as an event's members, "reason" among them
// (null when accepted).
workflow::Json identification_json(const Identification& id);

// The "finished" event's fields of `command` that ended with `code`, its
// sentence and, for a failure, its "reason".
workflow::Json finished_fields(const char* command, int code, const workflow::Cause& cause);

// Waits, bounded, until the restarted instrument answers again. An answer
// counts once the instrument has been seen silent, or after `settle_s`, so
// that the old firmware answering just before it goes down is not taken for
// the new one.
struct BackAfterRestart {
    bool back = false;
    bool interrupted = false;
    Identification id;
};
BackAfterRestart wait_until_back(const std::string& resource, int timeout_s, int settle_s);

// The name people know an image by ("Host Application" for "HPAP").
std::string image_name(const std::string& id);

// The resolved release directory: absolute, ending in '/'.
std::string release_directory(const std::string& given);

}  // namespace cli
