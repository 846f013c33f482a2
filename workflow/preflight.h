// What an upgrade run would find about one instrument before it writes,
// found without writing: this machine's run lock on it, who it says it is,
// and whether its VISA lock is free. The instrument hears "*IDN?" only,
// asked under an exclusive VISA lock that is given back at once; the run
// locks are taken and given back too.
#pragma once

#include <optional>
#include <string>

#include "workflow/identity.h"
#include "workflow/outcome.h"

namespace workflow {

struct InstrumentProbe {
    bool m_runLockFree = true;  // false: another run of this machine owns it
    std::string m_runLockWhy;   // then: who holds it, in a sentence
    bool m_answered = false;
    bool m_accepted = false;
    std::string m_reply;  // the identification reply, line end removed
    IdentityFields m_fields;
    std::optional<bool> m_visaLockFree;  // unknown when not asked
    // Why no instrument that may be upgraded answered, as a cause
    // (Kind::None when one did): a held run lock with its holder, a held
    // VISA lock, no connection or no reply (completed with what the library
    // recorded on the probing thread), another model.
    Cause m_cause;
    std::string m_engineText;  // what the engine printed meanwhile
};

// Probes `resource` (a VISA resource string) as a run of `tool` would
// begin. Several may run at once on different threads: each uses an engine
// of its own.
InstrumentProbe ProbeInstrument(const std::string& resource, const std::string& tool);

}  // namespace workflow
