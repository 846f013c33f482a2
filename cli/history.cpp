// history: the audit trail, as a table or as events.
#include <map>

#include "commands.h"
#include "exit_codes.h"
#include "workflow/audit.h"

namespace cli {

namespace {

std::string or_dash(const std::string& text) {
    return text.empty() ? "-" : text;
}

std::string images_text(const workflow::Json& record) {
    std::string text;
    if (const workflow::Json* images = record.Find("images")) {
        for (const workflow::Json& image : images->Items()) {
            if (!text.empty()) text += " ";
            text += image.TextOf("id") + ":" + image.TextOf("result");
        }
    }
    return or_dash(text);
}

// One row per attempt: an attempt's final record takes the place of its
// started record; a started record without one (the run was killed, or the
// machine stopped) is shown as "incomplete".
std::vector<workflow::Json> join_attempts(const std::vector<workflow::Json>& records) {
    using workflow::Json;
    std::vector<Json> rows;
    std::map<std::string, std::size_t> started;  // attempt -> row
    for (const Json& record : records) {
        const std::string attempt = record.TextOf("attempt");
        if (record.TextOf("record") == "started") {
            Json row = record;
            row.Set("result", "incomplete");
            row.Set("message",
                    "no final record: the run ended without one (killed, or the "
                    "machine stopped)");
            started[attempt] = rows.size();
            rows.push_back(std::move(row));
            continue;
        }
        if (const auto it = started.find(attempt); !attempt.empty() && it != started.end()) {
            rows[it->second] = record;
            started.erase(it);
            continue;
        }
        rows.push_back(record);
    }
    return rows;
}

}  // namespace

int run_history(const CommandLine& settings, Output& out) {
    using workflow::Json;
    const std::string path = workflow::AuditLogPath();
    std::vector<Json> records;
    std::vector<std::string> problems;
    std::string error;
    if (!workflow::ReadAuditLog(path, records, problems, error)) {
        out.diagnostic("fwupgrade: " + error);
        out.event("finished", Json::MakeObject()
                                  .Set("command", "history")
                                  .Set("result", result_word(exit_error))
                                  .Set("exit_code", exit_error)
                                  .Set("message", error));
        return exit_error;
    }
    for (const std::string& problem : problems)
        out.diagnostic("fwupgrade: warning: audit log " + path + ": " + problem);

    records = join_attempts(records);
    std::vector<const Json*> shown;
    for (const Json& record : records) {
        if (!settings.resource_filter.empty() &&
            record.TextOf("resource") != settings.resource_filter)
            continue;
        shown.push_back(&record);
    }
    if (settings.limit > 0 && shown.size() > static_cast<std::size_t>(settings.limit))
        shown.erase(shown.begin(), shown.end() - settings.limit);

    if (!out.json() && !shown.empty()) {
        char line[512];
        std::snprintf(line, sizeof line, "%-24s %-36s %-8s %-8s %-17s %-15s %s", "TIME", "RESOURCE",
                      "MODEL", "SERIAL", "FIRMWARE", "RESULT", "IMAGES");
        out.text(line);
    }
    for (const Json* record : shown) {
        std::string firmware = or_dash(record->TextOf("firmware_before"));
        if (!record->TextOf("firmware_after").empty())
            firmware += "->" + record->TextOf("firmware_after");
        char line[1024];
        std::snprintf(line, sizeof line, "%-24s %-36s %-8s %-8s %-17s %-15s %s",
                      record->TextOf("time").c_str(), record->TextOf("resource").c_str(),
                      or_dash(record->TextOf("model")).c_str(),
                      or_dash(record->TextOf("serial")).c_str(), firmware.c_str(),
                      record->TextOf("result").c_str(), images_text(*record).c_str());
        out.event("record", Json::MakeObject().Set("record", *record), line);
    }
    if (shown.empty()) out.text("No upgrade attempts recorded in " + path + ".");
    out.event("finished", Json::MakeObject()
                              .Set("command", "history")
                              .Set("path", path)
                              .Set("count", shown.size())
                              .Set("result", result_word(exit_ok))
                              .Set("exit_code", exit_ok));
    return exit_ok;
}

}  // namespace cli
