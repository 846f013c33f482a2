// history: the audit trail, as a table or as events.
#include <map>

#include "commands.h"
#include "exit_codes.h"
#include "workflow/audit.h"

namespace cli {

namespace {

using workflow::TextOf;

std::string or_dash(const std::string& text) {
    return text.empty() ? "-" : text;
}

std::string images_text(const workflow::Json& record) {
    std::string text;
    if (const auto images = record.find("images"); images != record.end() && images->is_array()) {
        for (const workflow::Json& image : *images) {
            if (!text.empty()) text += " ";
            text += TextOf(image, "id") + ":" + TextOf(image, "result");
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
        const std::string attempt = TextOf(record, "attempt");
        if (TextOf(record, "record") == "started") {
            Json row = record;
            row["result"] = "incomplete";
            row["message"] =
                "no final record: the run ended without one (killed, or the machine stopped)";
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
        out.event("finished", Json{{"command", "history"},
                                   {"result", result_word(exit_error)},
                                   {"exit_code", exit_error},
                                   {"message", error}});
        return exit_error;
    }
    for (const std::string& problem : problems)
        out.diagnostic("fwupgrade: warning: audit log " + path + ": " + problem);

    records = join_attempts(records);
    std::vector<const Json*> shown;
    for (const Json& record : records) {
        if (!settings.resource_filter.empty() &&
            TextOf(record, "resource") != settings.resource_filter)
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
        std::string firmware = or_dash(TextOf(*record, "firmware_before"));
        if (!TextOf(*record, "firmware_after").empty())
            firmware += "->" + TextOf(*record, "firmware_after");
        char line[1024];
        std::snprintf(line, sizeof line, "%-24s %-36s %-8s %-8s %-17s %-15s %s",
                      TextOf(*record, "time").c_str(), TextOf(*record, "resource").c_str(),
                      or_dash(TextOf(*record, "model")).c_str(),
                      or_dash(TextOf(*record, "serial")).c_str(), firmware.c_str(),
                      TextOf(*record, "result").c_str(), images_text(*record).c_str());
        out.event("record", Json{{"record", *record}}, line);
    }
    if (shown.empty()) out.text("No upgrade attempts recorded in " + path + ".");
    out.event("finished", Json{{"command", "history"},
                               {"path", path},
                               {"count", shown.size()},
                               {"result", result_word(exit_ok)},
                               {"exit_code", exit_ok}});
    return exit_ok;
}

}  // namespace cli
