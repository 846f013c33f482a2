#include "workflow/upgrade_watch.h"

#include <cstdio>
#include <cstring>

#include "workflow/identity.h"
#include "workflow/visa_extension.h"

namespace workflow {

namespace {

std::string StatusHex(long status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string WithoutLineEnds(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

}  // namespace

IdentifyWatch::IdentifyWatch() {
    m_watch.context = this;
    m_watch.on_locked = [](void* context, const char*) {
        auto* self = static_cast<IdentifyWatch*>(context);
        self->m_locked = true;
        // Right after the refused lock, before a close forgets it.
        self->m_lockRefusal = LastConnectFailure();
    };
    m_watch.on_visa_error = [](void* context, ViStatus status, const char* function, const char*) {
        auto* self = static_cast<IdentifyWatch*>(context);
        if (self->m_status != VI_SUCCESS) return;  // what follows is consequence
        self->m_status = status;
        self->m_function = function ? function : "";
    };
    m_installed = update_add_observer(&m_watch);
}

IdentifyWatch::~IdentifyWatch() {
    if (m_installed) update_remove_observer(&m_watch);
}

IdentifyFailure IdentifyWatch::Failure(const std::string& resource,
                                       const std::string& reply) const {
    using Kind = IdentifyFailure::Kind;
    IdentifyFailure failure;
    if (m_locked) {
        failure.m_kind = Kind::Locked;
    } else if (!reply.empty()) {
        failure.m_kind = Kind::OtherModel;
        failure.m_reply = WithoutLineEnds(reply);
        failure.m_model = SplitIdentity(failure.m_reply).model;
    } else {
        // Only a connection that could not be opened is "unreachable";
        // a link that opened and then said nothing is not.
        failure.m_kind = m_function == "viOpen" ? Kind::Unreachable : Kind::NoReply;
        SetAddress(resource, failure);
        if (const auto met = LastConnectFailure(); met && met->m_status == m_status)
            failure.m_reason = met->m_text;
        if (failure.m_reason.empty() && !m_function.empty())
            failure.m_reason = m_function + " failed (" + StatusHex(m_status) + ")";
    }
    return failure;
}

std::optional<ConnectFailure> IdentifyWatch::Met() const {
    return m_locked ? m_lockRefusal : LastConnectFailure();
}

TransferWatch::TransferWatch()
    : m_events(EngineEvents::Callbacks{nullptr,
                                       [this](std::int64_t sent, std::int64_t, bool blockEnd) {
                                           if (blockEnd) m_confirmed = sent;
                                       },
                                       [this] { m_programming = true; }}) {}

bool TransferWatch::Opened() const {
    // Blocks and the error queue's reading come only after the initialise.
    return BytesSent() > 0 || !m_events.Failure().m_scpiErrors.empty();
}

Cause TransferWatch::FailureCause() const {
    return CauseOf(m_events.Failure(), LastConnectFailure());
}

InstrumentIdentity IdentityOf(const std::string& reply) {
    InstrumentIdentity identity;
    identity.m_reply = reply;
    const IdentityFields fields = SplitIdentity(WithoutLineEnds(reply));
    identity.m_maker = fields.maker;
    identity.m_model = fields.model;
    identity.m_serial = fields.serial;
    identity.m_firmware = fields.firmware;
    return identity;
}

}  // namespace workflow
