#include "workflow/identify_failure.h"

#include <optional>

#include "workflow/identification.h"
#include "workflow/visa_extension.h"

namespace workflow {

namespace {

// The ports a first connection goes to when the resource names none.
constexpr int kPortmapperPort = 111;
constexpr int kHislipPort = 4880;

}  // namespace

void SetAddress(const std::string& resource, IdentifyFailure& failure) {
    const std::optional<ParsedResource> name = ParseResource(resource);
    if (!name) return;
    if (name->m_protocol == "vxi11") {
        failure.m_host = name->m_host;
        failure.m_port = kPortmapperPort;
    } else if (name->m_protocol == "hislip") {
        failure.m_host = name->m_host;
        failure.m_port = name->m_port != 0 ? name->m_port : kHislipPort;
    } else if (name->m_protocol == "socket") {
        failure.m_host = name->m_host;
        failure.m_port = name->m_port;
    }
}

const char* AuditResultOf(const IdentifyFailure& failure) {
    using Kind = IdentifyFailure::Kind;
    switch (failure.m_kind) {
        case Kind::None:
            return nullptr;
        case Kind::Unreachable:
            return "unreachable";
        case Kind::NoReply:
            return "not identified";
        case Kind::Locked:
            return "locked";
        case Kind::OtherModel:
            return "not accepted";
    }
    return nullptr;
}

std::string DescribeIdentifyFailure(const IdentifyFailure& failure) {
    using Kind = IdentifyFailure::Kind;
    const std::string reason = failure.m_reason.empty() ? "" : ": " + failure.m_reason;
    switch (failure.m_kind) {
        case Kind::None:
            return {};
        case Kind::Unreachable:
            if (failure.m_host.empty()) return "not reachable" + reason;
            return "not reachable at " + failure.m_host + ":" + std::to_string(failure.m_port) +
                   reason;
        case Kind::NoReply:
            return "no identification reply" + reason;
        case Kind::Locked: {
            std::string text = "locked by ";
            text += failure.m_holder.empty() ? "another session" : failure.m_holder;
            if (!failure.m_since.empty()) text += " since " + failure.m_since;
            return text;
        }
        case Kind::OtherModel:
            return (failure.m_model.empty() ? "answered \"" + failure.m_reply + "\""
                                            : "answered as model " + failure.m_model) +
                   ", not an accepted model (" + AcceptedModelsText() + ")";
    }
    return {};
}

}  // namespace workflow
