#include "workflow/upgrade_watch.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "visa.h"
#include "visa/log.h"
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

// "connection refused", "no route to the host", "no answer": what a
// connection met, in the words a person checking cables needs.
std::string ErrnoWords(int error) {
    switch (error) {
        case 0:
            return {};
        case ETIMEDOUT:
            return "no answer";
        case ECONNREFUSED:
            return "connection refused";
        case EHOSTUNREACH:
        case ENETUNREACH:
            return "no route to the host";
        default:
            return std::strerror(error);
    }
}

std::string Where(const Cause& cause) {
    if (cause.m_host.empty()) return {};
    return " at " + cause.m_host + (cause.m_port > 0 ? ":" + std::to_string(cause.m_port) : "");
}

// The sentence of an unreachable or silent instrument: where, what it met
// and for how long, as far as known.
std::string ConnectionSentence(const Cause& cause, const std::string& reason) {
    std::string text = cause.m_kind == Cause::Kind::Unreachable
                           ? "not reachable" + Where(cause)
                           : "no identification reply" + Where(cause);
    std::string met = ErrnoWords(cause.m_errno);
    if (met.empty()) met = reason;
    if (!met.empty()) text += ": " + met;
    if (cause.m_elapsedS > 0) {
        char after[32];
        std::snprintf(after, sizeof after, " after %.1f s", cause.m_elapsedS);
        text += after;
    }
    return text;
}

}  // namespace

IdentifyWatch::IdentifyWatch() {
    m_watch.context = this;
    m_watch.on_locked = [](void* context, const char*) {
        static_cast<IdentifyWatch*>(context)->m_locked = true;
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
        if (m_status != VI_SUCCESS) failure.m_reason = visa::failure_detail(m_status);
        if (failure.m_reason.empty() && !m_function.empty())
            failure.m_reason = m_function + " failed (" + StatusHex(m_status) + ")";
    }
    return failure;
}

TransferWatch::TransferWatch() {
    m_watch.context = this;
    m_watch.on_bytes_sent = [](void* context, const char*, int64_t sent, int64_t) {
        auto* self = static_cast<TransferWatch*>(context);
        if (sent > self->m_bytesSent) self->m_bytesSent = sent;
    };
    m_watch.on_block_sent = [](void* context, const char*, int64_t sent, int64_t) {
        auto* self = static_cast<TransferWatch*>(context);
        if (sent > self->m_bytesSent) self->m_bytesSent = sent;
        self->m_confirmed = sent;
    };
    m_watch.on_programming = [](void* context, const char*) {
        static_cast<TransferWatch*>(context)->m_programming = true;
    };
    m_watch.on_visa_error = [](void* context, ViStatus status, const char* function, const char*) {
        auto* self = static_cast<TransferWatch*>(context);
        if (self->m_status != VI_SUCCESS) return;
        self->m_status = status;
        self->m_function = function ? function : "";
    };
    m_watch.on_locked = [](void* context, const char*) {
        static_cast<TransferWatch*>(context)->m_locked = true;
    };
    m_watch.on_scpi_error = [](void* context, const char* entry) {
        if (entry) static_cast<TransferWatch*>(context)->m_scpiErrors.push_back(entry);
    };
    m_installed = update_add_observer(&m_watch);
}

TransferWatch::~TransferWatch() {
    if (m_installed) update_remove_observer(&m_watch);
}

Cause TransferWatch::FailureCause(const std::string& image) const {
    Cause cause;
    cause.m_kind = Cause::Kind::Transfer;
    cause.m_operation = "image";
    cause.m_scpiErrors = m_scpiErrors;
    for (std::string& entry : cause.m_scpiErrors)
        entry = WithoutLineEnds(entry);
    cause.m_sentence = "sending " + image + " failed";
    if (m_locked) {
        // Another session took the instrument between two operations.
        cause.m_kind = Cause::Kind::Locked;
        cause.m_sentence += ": another session holds the instrument's lock";
    } else if (m_status != VI_SUCCESS) {
        cause.m_status = m_status;
        cause.m_statusText = StatusWords(m_status);
        cause.m_sentence += ": " + m_function + " returned " +
                            (cause.m_statusText.empty() ? StatusHex(m_status) : cause.m_statusText);
    }
    if (!cause.m_scpiErrors.empty()) {
        cause.m_sentence +=
            m_status != VI_SUCCESS ? "; the instrument said " : ": the instrument said ";
        for (std::size_t i = 0; i < cause.m_scpiErrors.size(); ++i)
            cause.m_sentence += (i ? ", " : "") + cause.m_scpiErrors[i];
    }
    return cause;
}

std::string StatusWords(long status) {
    ViChar words[256] = {};
    if (viStatusDesc(VI_NULL, static_cast<ViStatus>(status), words) < VI_SUCCESS) return {};
    return words;
}

Cause IdentifyCause(const IdentifyFailure& failure) {
    using Kind = IdentifyFailure::Kind;
    Cause cause;
    switch (failure.m_kind) {
        case Kind::None:
            return cause;
        case Kind::Unreachable:
        case Kind::NoReply:
            cause.m_kind = failure.m_kind == Kind::Unreachable ? Cause::Kind::Unreachable
                                                               : Cause::Kind::NoReply;
            cause.m_host = failure.m_host;
            cause.m_port = failure.m_port;
            break;
        case Kind::OtherModel:
            cause.m_kind = Cause::Kind::NotAccepted;
            cause.m_model = failure.m_model;
            cause.m_reply = failure.m_reply;
            break;
        case Kind::Locked:
            cause.m_kind = Cause::Kind::Locked;
            cause.m_holder = failure.m_holder;
            cause.m_since = failure.m_since;
            break;
    }
    const std::optional<ConnectFailure> known =
        cause.m_kind == Cause::Kind::NotAccepted ? std::nullopt : LastConnectFailure();
    if (known) {
        cause.m_stage = known->m_stage;
        if (!known->m_host.empty()) {
            cause.m_host = known->m_host;
            cause.m_port = known->m_port;
        }
        cause.m_errno = known->m_errno;
        cause.m_elapsedS = known->m_elapsedS;
        if (cause.m_holder.empty()) cause.m_holder = known->m_holder;
        if (cause.m_since.empty()) cause.m_since = known->m_since;
    }
    if (cause.m_kind == Cause::Kind::Unreachable || cause.m_kind == Cause::Kind::NoReply) {
        const std::string reason = known && !known->m_text.empty() && failure.m_reason.empty()
                                       ? known->m_text
                                       : failure.m_reason;
        cause.m_sentence = ConnectionSentence(cause, reason);
    } else {
        IdentifyFailure told = failure;
        told.m_holder = cause.m_holder;
        told.m_since = cause.m_since;
        cause.m_sentence = DescribeIdentifyFailure(told);
    }
    return cause;
}

Cause PlainCause(Cause::Kind kind, const std::string& sentence, const std::string& file) {
    Cause cause;
    cause.m_kind = kind;
    cause.m_sentence = sentence;
    cause.m_file = file;
    return cause;
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
