#include "workflow/audit_journal.h"

// Where in the source the entry was sent from tells an administrator nothing.
#define SD_JOURNAL_SUPPRESS_LOCATION

#include <sys/uio.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

#include "workflow/audit.h"

namespace workflow {

namespace {

// How much an administrator needs to look: a failed or doubtful upgrade is
// an error, one that did not get under way a warning, a good one a notice.
int Priority(const AuditRecord& record) {
    if (record.kind == "started") return LOG_INFO;
    if (record.kind == "restart") return record.restartSent == 0 ? LOG_WARNING : LOG_INFO;
    if (record.result == kAuditOk || record.result == "declined") return LOG_NOTICE;
    if (record.result == kAuditFailed || record.result == kAuditUnknown) return LOG_ERR;
    return LOG_WARNING;
}

// "K7141HA S135", or whichever of the two is known.
std::string InstrumentText(const AuditRecord& record) {
    std::string text = record.model;
    if (!record.serial.empty()) text += (text.empty() ? "" : " ") + record.serial;
    return text.empty() ? "" : " (" + text + ")";
}

std::string MessageText(const AuditRecord& record) {
    const std::string what = "firmware upgrade of " + record.resource + InstrumentText(record);
    if (record.kind == "started") return what + " started by " + record.user;
    if (record.kind == "restart")
        return what + ": restart " + (record.restartSent == 1 ? "sent" : "not sent");
    std::string text = what + " by " + record.user + ": " + record.result;
    if (!record.message.empty()) text += ": " + record.message;
    return text;
}

// "HPAP:ok HUBL:not attempted", as the history shows them.
std::string ImagesText(const AuditRecord& record) {
    std::string text;
    for (const AuditImage& image : record.images) {
        if (!text.empty()) text += " ";
        text += image.id + (image.result.empty() ? "" : ":" + image.result);
    }
    return text;
}

void Add(std::vector<std::string>& fields, const char* key, const std::string& value) {
    if (!value.empty()) fields.push_back(std::string(key) + "=" + value);
}

}  // namespace

std::vector<std::string> AuditJournalFields(const AuditRecord& record) {
    std::vector<std::string> fields;
    Add(fields, "MESSAGE", MessageText(record));
    Add(fields, "PRIORITY", std::to_string(Priority(record)));
    Add(fields, "MESSAGE_ID", kAuditJournalMessageId);
    Add(fields, "SYSLOG_IDENTIFIER", record.tool == "window" ? "firmware-update" : record.tool);
    Add(fields, "FW_RECORD", record.kind);
    Add(fields, "FW_ATTEMPT", record.attempt);
    Add(fields, "FW_TOOL", record.tool);
    Add(fields, "FW_USER", record.user);
    Add(fields, "FW_RESOURCE", record.resource);
    Add(fields, "FW_RELEASE", record.release);
    Add(fields, "FW_MODEL", record.model);
    Add(fields, "FW_SERIAL", record.serial);
    Add(fields, "FW_FIRMWARE_BEFORE", record.firmwareBefore);
    Add(fields, "FW_FIRMWARE_AFTER", record.firmwareAfter);
    Add(fields, "FW_VERIFICATION", record.verification);
    Add(fields, "FW_SIGNER", record.fingerprint);
    if (record.kind != "started") Add(fields, "FW_RESULT", record.result);
    Add(fields, "FW_CAUSE", AuditCauseWord(record.cause));
    if (record.restartSent >= 0) Add(fields, "FW_RESTART_SENT", record.restartSent ? "1" : "0");
    Add(fields, "FW_IMAGES", ImagesText(record));
    for (const AuditImage& image : record.images)
        Add(fields, "FW_SHA256", image.sha256);
    if (record.kind == "final") Add(fields, "FW_DURATION_MS", std::to_string(record.durationMs));
    return fields;
}

bool SendAuditToJournal(const AuditRecord& record) {
    const std::vector<std::string> fields = AuditJournalFields(record);
    std::vector<iovec> vectors;
    vectors.reserve(fields.size());
    for (const std::string& field : fields)
        vectors.push_back({const_cast<char*>(field.data()), field.size()});
    // Values with line feeds (a message) go out in the journal's binary-safe
    // form; no journal at all is -ENOENT or the like, and nothing to report.
    return sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size())) >= 0;
}

}  // namespace workflow
