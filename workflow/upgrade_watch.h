// What the engine tells a run while it talks to the instrument, and the
// typed causes the run reports from it. Used by the run (workflow/upgrade.cpp)
// only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "update.h"
#include "workflow/engine_events.h"
#include "workflow/identify_failure.h"
#include "workflow/outcome.h"

namespace workflow {

// What the engine told while it identified: whether another session held
// the instrument, and the first VISA call that failed.
class IdentifyWatch {
public:
    IdentifyWatch();
    ~IdentifyWatch();
    IdentifyWatch(const IdentifyWatch&) = delete;
    IdentifyWatch& operator=(const IdentifyWatch&) = delete;

    // Why identifying `resource` gave `reply` and no accepted instrument.
    IdentifyFailure Failure(const std::string& resource, const std::string& reply) const;
    // What the library recorded of it: of the refused lock, read as it was
    // refused, else of the connection, read now.
    std::optional<ConnectFailure> Met() const;

private:
    update_observer m_watch{};
    bool m_installed = false;
    bool m_locked = false;
    std::optional<ConnectFailure> m_lockRefusal;
    ViStatus m_status = VI_SUCCESS;
    std::string m_function;
};

// One image transfer as the engine told it: the bytes sent and those the
// instrument answered for, whether it had the whole image, and why it failed.
class TransferWatch {
public:
    TransferWatch();

    // False when the engine could not take the watch: then nothing is known.
    bool Installed() const { return m_events.Installed(); }
    std::int64_t BytesSent() const { return m_events.BytesSent(); }
    // Of them, those in blocks the instrument answered.
    std::int64_t BytesConfirmed() const { return m_confirmed; }
    // The instrument had every byte of the image and began to program it.
    bool Programming() const { return m_programming; }
    // The instrument's transfer was opened: from then on the engine closes
    // it on every path.
    bool Opened() const;
    bool LinkLost() const { return m_events.Failure().m_status == VI_ERROR_CONN_LOST; }
    // Why the image failed, with what the library recorded of the link.
    Cause FailureCause() const;

private:
    std::int64_t m_confirmed = 0;
    bool m_programming = false;
    EngineEvents m_events;  // last: its callbacks reach the members above
};

// Who the reply says the instrument is.
InstrumentIdentity IdentityOf(const std::string& reply);

}  // namespace workflow
