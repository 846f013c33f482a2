#include "workflow/outcome.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "visa.h"
#include "workflow/identification.h"
#include "workflow/identity.h"

namespace workflow {

const char* KindWord(Cause::Kind kind) {
    switch (kind) {
        case Cause::Kind::None:
            return "";
        case Cause::Kind::Unreachable:
            return "unreachable";
        case Cause::Kind::NoReply:
            return "no_reply";
        case Cause::Kind::NotAccepted:
            return "not_accepted";
        case Cause::Kind::Locked:
            return "locked";
        case Cause::Kind::Transfer:
            return "transfer";
        case Cause::Kind::Verification:
            return "verification";
        case Cause::Kind::File:
            return "file";
        case Cause::Kind::Interrupted:
            return "interrupted";
        case Cause::Kind::Declined:
            return "declined";
        case Cause::Kind::NotChanged:
            return "not_changed";
        case Cause::Kind::Usage:
            return "usage";
    }
    return "";
}

namespace {

// Seconds to the millisecond, or null when not known.
Json SecondsOrNull(double value) {
    return value > 0 ? Json(static_cast<double>(std::llround(value * 1000)) / 1000) : Json();
}

Json IntegerOrNull(long long value) {
    return value != 0 ? Json(value) : Json();
}

// Seconds as people read them: "2.0 s".
std::string SecondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

// " at 127.0.0.5:111" (with `preposition` "at"), or "" for a resource not
// on a network.
std::string AddressText(const Cause& cause, const char* preposition = "at") {
    if (cause.m_host.empty()) return "";
    return std::string(" ") + preposition + " " + cause.m_host +
           (cause.m_port > 0 ? ":" + std::to_string(cause.m_port) : "");
}

std::string Lowered(std::string text) {
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z')
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

// Where the connection went and what it met, from the library's record;
// `what` is the caller's words when the record has none.
void TakeConnection(Cause& cause, const std::optional<ConnectFailure>& connect, std::string what) {
    if (connect) {
        cause.m_stage = connect->m_stage;
        if (!connect->m_host.empty()) {
            cause.m_host = connect->m_host;
            cause.m_port = connect->m_port;
        }
        cause.m_errno = connect->m_errno;
        if (connect->m_elapsedS > 0) cause.m_elapsedS = connect->m_elapsedS;
        if (connect->m_errno != 0)
            what = Lowered(std::strerror(connect->m_errno));
        else if (!connect->m_text.empty())
            what = connect->m_text;
    }
    const std::string stage = cause.m_stage.empty() ? "" : " (" + cause.m_stage + ")";
    // A refusal that came at once says nothing by its time.
    const std::string after =
        cause.m_elapsedS >= 0.1 ? " after " + SecondsText(cause.m_elapsedS) : "";
    if (cause.m_kind == Cause::Kind::Unreachable) {
        cause.m_sentence = "not reachable" + AddressText(cause) + stage +
                           (what.empty() ? "" : ": " + what) + after;
    } else if (what.empty()) {
        cause.m_sentence = "connected" + AddressText(cause, "to") + ", but no reply" +
                           (cause.m_elapsedS > 0 ? " within " + SecondsText(cause.m_elapsedS) : "");
    } else {
        cause.m_sentence = "no reply" + AddressText(cause, "from") + stage + ": " + what + after;
    }
}

// "viWrite failed: VI_ERROR_IO: ...", or "" when no VISA call failed.
std::string CallText(long status, const std::string& function) {
    if (status == VI_SUCCESS) return "";
    return (function.empty() ? std::string("a VISA call") : function) +
           " failed: " + StatusText(status);
}

Cause LockedCause(std::string holder, std::string since,
                  const std::optional<ConnectFailure>& connect) {
    Cause cause;
    cause.m_kind = Cause::Kind::Locked;
    if (connect && !connect->m_holder.empty()) {
        holder = connect->m_holder;
        since = connect->m_since;
    }
    cause.m_holder = std::move(holder);
    cause.m_since = std::move(since);
    if (connect && !connect->m_text.empty()) {
        cause.m_sentence = connect->m_text;
        return cause;
    }
    cause.m_sentence =
        "locked by " + (cause.m_holder.empty() ? std::string("another session") : cause.m_holder);
    if (!cause.m_since.empty()) cause.m_sentence += " since " + cause.m_since;
    return cause;
}

}  // namespace

Json ReasonJson(const Cause& cause) {
    using Kind = Cause::Kind;
    if (!cause.failed()) return {};
    Json reason = Json::object();
    reason["kind"] = KindWord(cause.m_kind);
    reason["message"] = cause.m_sentence;
    switch (cause.m_kind) {
        case Kind::Unreachable:
        case Kind::NoReply:
            reason["host"] = TextOrNull(cause.m_host);
            reason["port"] = IntegerOrNull(cause.m_port);
            reason["stage"] = TextOrNull(cause.m_stage);
            reason["errno"] = IntegerOrNull(cause.m_errno);
            reason["elapsed_s"] = SecondsOrNull(cause.m_elapsedS);
            break;
        case Kind::NotAccepted:
            reason["model"] = TextOrNull(cause.m_model);
            reason["reply"] = cause.m_reply;
            break;
        case Kind::Locked:
            reason["holder"] = TextOrNull(cause.m_holder);
            reason["since"] = TextOrNull(cause.m_since);
            break;
        case Kind::Transfer: {
            reason["status"] = IntegerOrNull(cause.m_status);
            reason["status_text"] = TextOrNull(cause.m_statusText);
            reason["operation"] = TextOrNull(cause.m_operation);
            reason["scpi_errors"] = cause.m_scpiErrors;
            break;
        }
        case Kind::File:
        case Kind::Verification:
            reason["file"] = TextOrNull(cause.m_file);
            break;
        default:
            break;
    }
    return reason;
}

Cause MakeCause(Cause::Kind kind, std::string sentence, std::string file) {
    Cause cause;
    cause.m_kind = kind;
    cause.m_sentence = std::move(sentence);
    cause.m_file = std::move(file);
    return cause;
}

std::string StatusText(long status) {
    ViChar description[256] = "";
    if (viStatusDesc(VI_NULL, static_cast<ViStatus>(status), description) >= VI_SUCCESS &&
        description[0] != '\0')
        return description;
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(status));
    return code;
}

Cause CauseOf(const EngineFailure& failure, const std::optional<ConnectFailure>& connect) {
    if (failure.m_locked) return LockedCause({}, {}, connect);
    Cause cause;
    if (failure.m_operation == "identify") {
        // Only a connection that could not be opened is "unreachable"; a
        // link that opened and then said nothing is not.
        cause.m_kind =
            failure.m_function == "viOpen" ? Cause::Kind::Unreachable : Cause::Kind::NoReply;
        IdentifyFailure where;
        SetAddress(failure.m_resource, where);
        cause.m_host = where.m_host;
        cause.m_port = where.m_port;
        cause.m_elapsedS = failure.m_elapsedS;
        const bool timedOut = failure.m_status == VI_ERROR_TMO && failure.m_function == "viRead";
        TakeConnection(cause, connect,
                       timedOut ? "" : CallText(failure.m_status, failure.m_function));
        return cause;
    }
    cause.m_kind = Cause::Kind::Transfer;
    cause.m_status = failure.m_status;
    cause.m_statusText = failure.m_status != VI_SUCCESS ? StatusText(failure.m_status) : "";
    cause.m_operation = failure.m_operation;
    cause.m_scpiErrors = failure.m_scpiErrors;
    const std::string call = CallText(failure.m_status, failure.m_function);
    const std::string what = failure.m_operation == "image" ? std::string("the image transfer")
                             : failure.m_operation.empty()
                                 ? std::string("the transfer")
                                 : "the " + failure.m_operation + " command";
    cause.m_sentence = what + " failed" + (call.empty() ? "" : ": " + call);
    if (connect && !connect->m_text.empty()) cause.m_sentence += " (" + connect->m_text + ")";
    for (std::size_t i = 0; i < failure.m_scpiErrors.size(); ++i)
        cause.m_sentence +=
            (i == 0 ? "; the instrument reported " : ", ") + failure.m_scpiErrors[i];
    return cause;
}

Cause CauseOf(const IdentifyFailure& failure, const std::optional<ConnectFailure>& connect) {
    using Kind = IdentifyFailure::Kind;
    switch (failure.m_kind) {
        case Kind::None:
            return {};
        case Kind::Locked:
            return LockedCause(failure.m_holder, failure.m_since, connect);
        case Kind::OtherModel:
            return NotAcceptedCause(failure.m_reply);
        case Kind::Unreachable:
        case Kind::NoReply:
            break;
    }
    Cause cause;
    cause.m_kind =
        failure.m_kind == Kind::Unreachable ? Cause::Kind::Unreachable : Cause::Kind::NoReply;
    cause.m_host = failure.m_host;
    cause.m_port = failure.m_port;
    TakeConnection(cause, connect, failure.m_reason);
    return cause;
}

Cause NotAcceptedCause(const std::string& reply) {
    Cause cause;
    cause.m_kind = Cause::Kind::NotAccepted;
    cause.m_reply = reply;
    while (!cause.m_reply.empty() && (cause.m_reply.back() == '\n' || cause.m_reply.back() == '\r'))
        cause.m_reply.pop_back();
    cause.m_model = SplitIdentity(cause.m_reply).model;
    cause.m_sentence =
        (cause.m_model.empty() ? "answered \"" + cause.m_reply + "\""
                               : "answered as model " + cause.m_model) +
        ", which this program does not upgrade (accepted models: " + AcceptedModelsText() + ")";
    return cause;
}

}  // namespace workflow
