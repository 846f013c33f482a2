// Why a run found no instrument it may upgrade, as values: the audit trail
// and the command line each say it in their own words, and neither has to
// read the other's text to know what happened.
#pragma once

#include <string>

namespace workflow {

struct IdentifyFailure {
    enum class Kind {
        None,         // nothing failed (or identification was not tried)
        Unreachable,  // no connection could be made to m_host:m_port
        NoReply,      // connected (or the link broke), but no reply came
        Locked,       // another session or run holds the instrument
        OtherModel,   // it answered, but not as a model this program upgrades
    };
    Kind m_kind = Kind::None;
    // Unreachable: where the first connection goes (the portmapper for
    // VXI-11); empty host and port 0 for a resource that is not on a network.
    std::string m_host;
    int m_port = 0;
    // Unreachable, NoReply: what the connection met, in plain words, when
    // the caller knows it (empty otherwise).
    std::string m_reason;
    // Locked: who holds the instrument and since when, when known.
    std::string m_holder;
    std::string m_since;
    // OtherModel: the reply's model field and the whole reply.
    std::string m_model;
    std::string m_reply;
};

// Sets m_host and m_port from a VISA resource string.
void SetAddress(const std::string& resource, IdentifyFailure& failure);

// The audit result for the failure: "unreachable", "not identified",
// "locked" or "not accepted"; null for Kind::None.
const char* AuditResultOf(const IdentifyFailure& failure);

// One sentence for the audit record ("not reachable at 127.0.0.5:111: ...").
std::string DescribeIdentifyFailure(const IdentifyFailure& failure);

}  // namespace workflow
