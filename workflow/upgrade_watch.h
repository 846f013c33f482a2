// What the engine tells a run while it talks to the instrument, and the
// typed causes the run reports from it. Used by the run (workflow/upgrade.cpp)
// only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update.h"
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

private:
    update_observer m_watch{};
    bool m_installed = false;
    bool m_locked = false;
    ViStatus m_status = VI_SUCCESS;
    std::string m_function;
};

// One image transfer as the engine told it: the bytes the instrument took,
// whether it had the whole image, the first VISA call that failed and what
// the instrument's error queue said.
class TransferWatch {
public:
    TransferWatch();
    ~TransferWatch();
    TransferWatch(const TransferWatch&) = delete;
    TransferWatch& operator=(const TransferWatch&) = delete;

    // False when the engine could not take the watch: then nothing is known.
    bool Installed() const { return m_installed; }
    std::int64_t BytesSent() const { return m_bytesSent; }
    // Of them, those in blocks the instrument answered.
    std::int64_t BytesConfirmed() const { return m_confirmed; }
    // The instrument's transfer was opened: from then on the engine closes
    // it on every path.
    bool Opened() const { return m_bytesSent > 0 || !m_scpiErrors.empty(); }
    bool LinkLost() const { return m_status == VI_ERROR_CONN_LOST; }
    // The instrument had every byte of the image and began to program it.
    bool Programming() const { return m_programming; }
    // The failed image's cause, of kind Transfer.
    Cause FailureCause(const std::string& image) const;

private:
    update_observer m_watch{};
    bool m_installed = false;
    std::int64_t m_bytesSent = 0;
    std::int64_t m_confirmed = 0;
    bool m_programming = false;
    bool m_locked = false;
    ViStatus m_status = VI_SUCCESS;
    std::string m_function;
    std::vector<std::string> m_scpiErrors;
};

// The cause of a failed identification: what the VISA library recorded of
// the connection when it says, else the facts the run gathered.
Cause IdentifyCause(const IdentifyFailure& failure);

// A cause of `kind` told by `sentence` alone (file, verification, usage,
// declined, interrupted).
Cause PlainCause(Cause::Kind kind, const std::string& sentence, const std::string& file = {});

// The VISA library's words for `status` ("" when it has none).
std::string StatusWords(long status);

// Who the reply says the instrument is.
InstrumentIdentity IdentityOf(const std::string& reply);

}  // namespace workflow
