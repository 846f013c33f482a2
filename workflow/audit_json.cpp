// The audit record as a JSON line and back: one type that the writers fill
// and history reads, so that the two cannot come to disagree on a field.
#include "workflow/audit.h"

namespace workflow {

namespace {

Json ImageToJson(const AuditImage& image, bool started) {
    Json json = {{"id", image.id},
                 {"file", image.file},
                 {"size", image.size >= 0 ? Json(image.size) : Json()},
                 {"sha256", TextOrNull(image.sha256)}};
    if (started) return json;
    json["result"] = image.result;
    json["duration_ms"] = image.durationMs;
    return json;
}

const char* CauseKindWord(IdentifyFailure::Kind kind) {
    using Kind = IdentifyFailure::Kind;
    switch (kind) {
        case Kind::Unreachable:
            return "unreachable";
        case Kind::NoReply:
            return "no reply";
        case Kind::Locked:
            return "locked";
        case Kind::OtherModel:
            return "other model";
        case Kind::None:
            break;
    }
    return "";
}

// The cause as fields: only those that apply to its kind.
Json CauseToJson(const IdentifyFailure& cause) {
    using Kind = IdentifyFailure::Kind;
    Json json = {{"kind", CauseKindWord(cause.m_kind)}};
    if (cause.m_kind == Kind::Unreachable || cause.m_kind == Kind::NoReply) {
        json["host"] = TextOrNull(cause.m_host);
        json["port"] = cause.m_port > 0 ? Json(cause.m_port) : Json();
        json["reason"] = TextOrNull(cause.m_reason);
    } else if (cause.m_kind == Kind::Locked) {
        json["holder"] = TextOrNull(cause.m_holder);
        json["since"] = TextOrNull(cause.m_since);
    } else if (cause.m_kind == Kind::OtherModel) {
        json["model"] = TextOrNull(cause.m_model);
    }
    return json;
}

// What every line begins with: who did what, where and when.
Json HeaderToJson(const AuditRecord& record) {
    return {{"schema", kAuditSchema},
            {"record", record.kind},
            {"attempt", TextOrNull(record.attempt)},
            {"time", record.time},
            {"tool", record.tool},
            {"user", record.user},
            {"host", record.host},
            {"resource", record.resource}};
}

// The line added after a final record once the restart was tried.
Json RestartToJson(const AuditRecord& record) {
    Json json = HeaderToJson(record);
    json["restart_sent"] = record.restartSent < 0 ? Json() : Json(record.restartSent == 1);
    return json;
}

IdentifyFailure::Kind CauseKindOf(const std::string& word) {
    using Kind = IdentifyFailure::Kind;
    for (const Kind kind : {Kind::Unreachable, Kind::NoReply, Kind::Locked, Kind::OtherModel})
        if (word == CauseKindWord(kind)) return kind;
    return Kind::None;
}

IdentifyFailure CauseFromJson(const Json& json) {
    IdentifyFailure cause;
    cause.m_kind = CauseKindOf(TextOf(json, "kind"));
    cause.m_host = TextOf(json, "host");
    cause.m_port = static_cast<int>(IntegerOf(json, "port"));
    cause.m_reason = TextOf(json, "reason");
    cause.m_holder = TextOf(json, "holder");
    cause.m_since = TextOf(json, "since");
    cause.m_model = TextOf(json, "model");
    return cause;
}

AuditImage ImageFromJson(const Json& json) {
    AuditImage image;
    image.id = TextOf(json, "id");
    image.file = TextOf(json, "file");
    image.size = IntegerOf(json, "size", -1);
    image.sha256 = TextOf(json, "sha256");
    image.result = TextOf(json, "result");
    image.durationMs = IntegerOf(json, "duration_ms");
    return image;
}

// true, false or null (not tried) as 1, 0 or -1.
int RestartSentOf(const Json& json) {
    const auto it = json.find("restart_sent");
    if (it == json.end() || !it->is_boolean()) return -1;
    return it->get<bool>() ? 1 : 0;
}

}  // namespace

const char* AuditCauseWord(const IdentifyFailure& cause) {
    return CauseKindWord(cause.m_kind);
}

Json AuditRecordToJson(const AuditRecord& record) {
    if (record.kind == "restart") return RestartToJson(record);
    Json images = Json::array();
    const bool started = record.kind == "started";
    // A started line written once the instrument told who it is says so.
    const bool identified = !started || !record.identity.empty();
    for (const AuditImage& image : record.images)
        images.push_back(ImageToJson(image, started));
    Json json = HeaderToJson(record);
    json["release"] = TextOrNull(record.release);
    if (identified) {
        json["identity"] = TextOrNull(record.identity);
        json["model"] = TextOrNull(record.model);
        json["serial"] = TextOrNull(record.serial);
        json["firmware_before"] = TextOrNull(record.firmwareBefore);
    }
    if (!started) {
        json["firmware_after"] = TextOrNull(record.firmwareAfter);
        json["restart_sent"] = record.restartSent < 0 ? Json() : Json(record.restartSent == 1);
    }
    json["verification"] = TextOrNull(record.verification);
    json["fingerprint"] = TextOrNull(record.fingerprint);
    if (!record.verificationNote.empty()) json["verification_note"] = record.verificationNote;
    if (!started) {
        json["result"] = record.result;
        json["message"] = TextOrNull(record.message);
        if (record.cause.m_kind != IdentifyFailure::Kind::None)
            json["cause"] = CauseToJson(record.cause);
    }
    json["images"] = std::move(images);
    if (!started) json["duration_ms"] = record.durationMs;
    return json;
}

AuditRecord AuditRecordFromJson(const Json& json) {
    AuditRecord record;
    // The first layout had neither a kind nor an attempt: each line was a
    // final record of its own.
    record.kind = TextOf(json, "record", "final");
    record.attempt = TextOf(json, "attempt");
    record.time = TextOf(json, "time");
    record.tool = TextOf(json, "tool");
    record.user = TextOf(json, "user");
    record.host = TextOf(json, "host");
    record.resource = TextOf(json, "resource");
    record.release = TextOf(json, "release");
    record.identity = TextOf(json, "identity");
    record.model = TextOf(json, "model");
    record.serial = TextOf(json, "serial");
    record.firmwareBefore = TextOf(json, "firmware_before");
    record.firmwareAfter = TextOf(json, "firmware_after");
    record.restartSent = RestartSentOf(json);
    record.verification = TextOf(json, "verification");
    record.fingerprint = TextOf(json, "fingerprint");
    record.verificationNote = TextOf(json, "verification_note");
    record.result = TextOf(json, "result");
    if (const auto it = json.find("cause"); it != json.end() && it->is_object())
        record.cause = CauseFromJson(*it);
    record.message = TextOf(json, "message");
    if (const auto it = json.find("images"); it != json.end() && it->is_array())
        for (const Json& image : *it)
            if (image.is_object()) record.images.push_back(ImageFromJson(image));
    record.durationMs = IntegerOf(json, "duration_ms");
    return record;
}

}  // namespace workflow
