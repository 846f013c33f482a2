#include "workflow/outcome.h"

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

Json ReasonJson(const Cause& cause) {
    Json reason = Json::object();
    reason["kind"] = KindWord(cause.m_kind);
    reason["message"] = cause.m_sentence;
    return reason;
}

}  // namespace workflow
