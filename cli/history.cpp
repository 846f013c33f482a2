// history: the audit trail, as a table or as events.
#include <algorithm>
#include <array>
#include <functional>
#include <map>
#include <optional>
#include <unordered_set>

#include "commands.h"
#include "exit_codes.h"
#include "platform/shown_text.h"
#include "workflow/audit.h"
#include "workflow/audit_reader.h"
#include "workflow/visa_extension.h"

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

// One row per attempt, met newest first: an attempt's final record stands
// for it where the final record is, completed by a restart line after it;
// without a final record, its newest started record (which names the
// instrument once it answered) is shown as "incomplete" where it is.
class AttemptRows {
public:
    // The row `record` makes, or nothing when it makes none of its own.
    std::optional<workflow::Json> Row(workflow::Json record) {
        const std::string attempt = TextOf(record, "attempt");
        const std::string kind = TextOf(record, "record");
        if (kind == "restart") {
            if (!attempt.empty() && !Shown(attempt) && m_restarts.size() < kMaxPending)
                m_restarts[attempt] = record.value("restart_sent", workflow::Json());
            return std::nullopt;
        }
        // An attempt seen already has its row; the rest of its lines add none.
        if (!attempt.empty() && !m_shown.insert(std::hash<std::string>{}(attempt)).second &&
            kind == "started")
            return std::nullopt;
        if (kind == "started") {
            record["result"] = "incomplete";
            record["message"] =
                "no final record: the run ended without one (killed, or the machine stopped)";
            return record;
        }
        if (const auto it = m_restarts.find(attempt); !attempt.empty() && it != m_restarts.end()) {
            record["restart_sent"] = it->second;
            m_restarts.erase(it);
        }
        return record;
    }

private:
    bool Shown(const std::string& attempt) const {
        return m_shown.count(std::hash<std::string>{}(attempt)) > 0;
    }

    // Restart lines whose final record has not come by yet: a few at most.
    static constexpr std::size_t kMaxPending = 1000;
    // The attempts met, by a hash of their id: a few bytes each, so that a
    // filter that reads the whole log stays small.
    std::unordered_set<std::size_t> m_shown;
    std::map<std::string, workflow::Json> m_restarts;
};

// Whether two resource strings name the same resource: compared in the
// library's canonical spelling ("TCPIP0::h::INSTR" is "TCPIP0::h::inst0::INSTR"),
// or as written when either does not parse.
bool same_resource(const std::string& a, const std::string& b) {
    const std::optional<workflow::ParsedResource> x = workflow::ParseResource(a);
    const std::optional<workflow::ParsedResource> y = workflow::ParseResource(b);
    return x && y ? x->m_canonical == y->m_canonical : a == b;
}

// Whether `record` passes the command line's filters. A record's host is
// the host part of its resource, whichever LAN protocol it names; a
// resource without one (USB, serial, unparsable) matches no --host.
bool wanted(const CommandLine& settings, const workflow::Json& record) {
    if (!settings.resource_filter.empty() &&
        !same_resource(TextOf(record, "resource"), settings.resource_filter))
        return false;
    if (!settings.serial_filter.empty() && TextOf(record, "serial") != settings.serial_filter)
        return false;
    if (!settings.host_filter.empty()) {
        const std::optional<workflow::ParsedResource> name =
            workflow::ParseResource(TextOf(record, "resource"));
        if (!name || name->m_host != settings.host_filter) return false;
    }
    return true;
}

constexpr std::size_t kColumns = 9;
using Row = std::array<std::string, kColumns>;

Row row_of(const workflow::Json& record) {
    std::string firmware = or_dash(TextOf(record, "firmware_before"));
    if (!TextOf(record, "firmware_after").empty())
        firmware += "->" + TextOf(record, "firmware_after");
    return {TextOf(record, "time"),
            or_dash(TextOf(record, "tool")),
            or_dash(TextOf(record, "user")),
            TextOf(record, "resource"),
            or_dash(TextOf(record, "model")),
            or_dash(TextOf(record, "serial")),
            firmware,
            TextOf(record, "result"),
            images_text(record)};
}

// How wide a cell is shown: the output writes its control characters out.
std::size_t shown_width(const std::string& cell) {
    return platform::escape_controls(cell).size();
}

// Each column as wide as its widest cell, the last one unpadded.
std::string row_text(const Row& row, const std::array<std::size_t, kColumns>& widths) {
    std::string line;
    for (std::size_t i = 0; i < kColumns; ++i) {
        line += row[i];
        if (i + 1 == kColumns) break;
        const std::size_t width = shown_width(row[i]);
        line += std::string(widths[i] - std::min(widths[i], width) + 1, ' ');
    }
    return line;
}

// The table (or the events) of `shown`, oldest first; `any` tells whether
// the log holds any record at all.
void print_rows(Output& out, const std::vector<workflow::Json>& shown, bool any,
                const std::string& path) {
    using workflow::Json;
    const Row heading{"TIME",   "TOOL",     "USER",   "RESOURCE", "MODEL",
                      "SERIAL", "FIRMWARE", "RESULT", "IMAGES"};
    std::vector<Row> rows;
    std::array<std::size_t, kColumns> widths{};
    for (std::size_t i = 0; i < kColumns; ++i)
        widths[i] = heading[i].size();
    for (const Json& record : shown) {
        rows.push_back(row_of(record));
        for (std::size_t i = 0; i < kColumns; ++i)
            widths[i] = std::max(widths[i], shown_width(rows.back()[i]));
    }
    if (!out.json() && !shown.empty()) out.text(row_text(heading, widths));
    for (std::size_t i = 0; i < shown.size(); ++i)
        out.event("record", Json{{"record", shown[i]}}, row_text(rows[i], widths));
    if (shown.empty())
        out.text(!any ? "No upgrade attempts recorded in " + path + "."
                      : "No upgrade attempt in " + path + " matches.");
}

}  // namespace

int run_history(const CommandLine& settings, Output& out) {
    using workflow::Json;
    const std::string path = workflow::AuditLogPath();
    // Read from the end, only as far as the rows asked for; all of them
    // come from at most the newest part of the log.
    constexpr std::uint64_t kMaxRead = std::uint64_t{256} << 20;
    const std::size_t limit = settings.limit > 0 ? static_cast<std::size_t>(settings.limit) : 0;
    std::vector<Json> shown;  // newest first while reading
    bool any = false;
    AttemptRows attempts;
    std::vector<std::string> problems;
    std::string error;
    const bool read = workflow::ReadAuditLogBackward(
        path,
        [&](Json record) {
            any = true;
            std::optional<Json> row = attempts.Row(std::move(record));
            if (row && wanted(settings, *row)) shown.push_back(std::move(*row));
            return limit == 0 || shown.size() < limit;
        },
        problems, error, limit == 0 ? kMaxRead : 0);
    if (!read) {
        out.diagnostic("fwupgrade: " + error);
        out.event("finished", Json{{"command", "history"},
                                   {"result", result_word(exit_error)},
                                   {"exit_code", exit_error},
                                   {"message", error}});
        return exit_error;
    }
    for (const std::string& problem : problems)
        out.diagnostic("fwupgrade: warning: audit log " + path + ": " + problem);
    std::reverse(shown.begin(), shown.end());

    print_rows(out, shown, any, path);
    out.event("finished", Json{{"command", "history"},
                               {"path", path},
                               {"count", shown.size()},
                               {"result", result_word(exit_ok)},
                               {"exit_code", exit_ok}});
    return exit_ok;
}

}  // namespace cli
