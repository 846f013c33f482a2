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

using workflow::AuditRecord;

std::string or_dash(const std::string& text) {
    return text.empty() ? "-" : text;
}

std::string images_text(const AuditRecord& record) {
    std::string text;
    for (const workflow::AuditImage& image : record.images) {
        if (!text.empty()) text += " ";
        text += image.id + ":" + image.result;
    }
    return or_dash(text);
}

// A row of the table: an attempt as its final record tells it, or as its
// newest started record does when it has no final one.
struct AttemptRow {
    AuditRecord record;
    bool incomplete = false;
};

// One row per attempt, met newest first: an attempt's final record stands
// for it where the final record is, completed by a restart line after it;
// without a final record, its newest started record (which names the
// instrument once it answered) is shown as "incomplete" where it is.
class AttemptRows {
public:
    // The row `record` makes, or nothing when it makes none of its own.
    std::optional<AttemptRow> Row(AuditRecord record) {
        const std::string& attempt = record.attempt;
        if (record.kind == "restart") {
            if (!attempt.empty() && !Shown(attempt) && m_restarts.size() < kMaxPending)
                m_restarts[attempt] = record.restartSent;
            return std::nullopt;
        }
        // An attempt seen already has its row; the rest of its lines add none.
        if (!attempt.empty() && !m_shown.insert(std::hash<std::string>{}(attempt)).second &&
            record.kind == "started")
            return std::nullopt;
        if (record.kind == "started") {
            record.result = "incomplete";
            record.message =
                "no final record: the run ended without one (killed, or the machine stopped)";
            return AttemptRow{std::move(record), true};
        }
        if (const auto it = m_restarts.find(attempt); !attempt.empty() && it != m_restarts.end()) {
            record.restartSent = it->second;
            m_restarts.erase(it);
        }
        return AttemptRow{std::move(record), false};
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
    std::map<std::string, int> m_restarts;
};

// The row as the --json events give it: the record as the log writes it; an
// incomplete one with its result, its message and, known or not, the
// instrument it was run on.
workflow::Json row_json(const AttemptRow& row) {
    workflow::Json json = workflow::AuditRecordToJson(row.record);
    if (!row.incomplete) return json;
    json["model"] = workflow::TextOrNull(row.record.model);
    json["serial"] = workflow::TextOrNull(row.record.serial);
    json["result"] = row.record.result;
    json["message"] = row.record.message;
    return json;
}

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
bool wanted(const CommandLine& settings, const AuditRecord& record) {
    if (!settings.resource_filter.empty() &&
        !same_resource(record.resource, settings.resource_filter))
        return false;
    if (!settings.serial_filter.empty() && record.serial != settings.serial_filter) return false;
    if (!settings.host_filter.empty()) {
        const std::optional<workflow::ParsedResource> name =
            workflow::ParseResource(record.resource);
        if (!name || name->m_host != settings.host_filter) return false;
    }
    return true;
}

constexpr std::size_t kColumns = 12;
using Row = std::array<std::string, kColumns>;

// A signing key as gpg names it in short: the last 16 digits of its
// fingerprint (the events give it whole).
std::string signer_text(const std::string& fingerprint) {
    return fingerprint.size() > 16 ? fingerprint.substr(fingerprint.size() - 16)
                                   : or_dash(fingerprint);
}

Row row_of(const AuditRecord& record) {
    std::string firmware = or_dash(record.firmwareBefore);
    if (!record.firmwareAfter.empty()) firmware += "->" + record.firmwareAfter;
    return {record.time,
            or_dash(record.tool),
            or_dash(record.user),
            record.resource,
            or_dash(record.model),
            or_dash(record.serial),
            firmware,
            or_dash(record.release),
            or_dash(record.verification),
            signer_text(record.fingerprint),
            record.result,
            images_text(record)};
}

// In the order the attempts began: parallel runs end, and so are written,
// in any order. A row without a time (written by hand) stays after the row
// the log has before it; rows of the same time keep the log's order.
void in_time_order(std::vector<AttemptRow>& rows) {
    std::vector<std::pair<std::string, std::size_t>> keys;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::string& time = rows[i].record.time;
        keys.emplace_back(time.empty() && i > 0 ? keys.back().first : time, i);
    }
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<AttemptRow> sorted;
    sorted.reserve(rows.size());
    for (const auto& key : keys)
        sorted.push_back(std::move(rows[key.second]));
    rows = std::move(sorted);
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
void print_rows(Output& out, const std::vector<AttemptRow>& shown, bool any,
                const std::string& path) {
    using workflow::Json;
    const Row heading{"TIME",     "TOOL",    "USER",     "RESOURCE", "MODEL",  "SERIAL",
                      "FIRMWARE", "RELEASE", "VERIFIED", "SIGNER",   "RESULT", "IMAGES"};
    std::vector<Row> rows;
    std::array<std::size_t, kColumns> widths{};
    for (std::size_t i = 0; i < kColumns; ++i)
        widths[i] = heading[i].size();
    for (const AttemptRow& row : shown) {
        rows.push_back(row_of(row.record));
        for (std::size_t i = 0; i < kColumns; ++i)
            widths[i] = std::max(widths[i], shown_width(rows.back()[i]));
    }
    if (!out.json() && !shown.empty()) out.text(row_text(heading, widths));
    for (std::size_t i = 0; i < shown.size(); ++i)
        out.event("record", Json{{"record", row_json(shown[i])}}, row_text(rows[i], widths));
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
    std::vector<AttemptRow> shown;  // newest first while reading
    bool any = false;
    AttemptRows attempts;
    std::vector<std::string> problems;
    std::string error;
    const bool read = workflow::ReadAuditRecordsBackward(
        path,
        [&](AuditRecord record) {
            any = true;
            std::optional<AttemptRow> row = attempts.Row(std::move(record));
            if (row && wanted(settings, row->record)) shown.push_back(std::move(*row));
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
    in_time_order(shown);

    print_rows(out, shown, any, path);
    out.event("finished", Json{{"command", "history"},
                               {"path", path},
                               {"count", shown.size()},
                               {"result", result_word(exit_ok)},
                               {"exit_code", exit_ok}});
    return exit_ok;
}

}  // namespace cli
