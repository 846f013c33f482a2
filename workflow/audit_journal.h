// Each upgrade attempt also goes to the system journal, so that an
// administrator sees every user's runs on the machine with journalctl
// (`journalctl FW_SERIAL=S135`, `journalctl MESSAGE_ID=...`), whereas the
// audit log is each user's own. The log stays the record: a machine without
// a journal, or a journal that refuses the entry, costs the run nothing.
#pragma once

#include <string>
#include <vector>

namespace workflow {

struct AuditRecord;

// The id every entry carries, so that `journalctl MESSAGE_ID=` finds all of
// them whichever program wrote them.
inline constexpr const char* kAuditJournalMessageId = "7372cfec1402406cbc4e0d581dc35cb9";

// The entry of `record` as "KEY=value" fields, in the order sent: MESSAGE,
// PRIORITY, MESSAGE_ID, SYSLOG_IDENTIFIER, then the FW_ fields of the facts
// that are known (an unknown one is left out, not sent empty). FW_SHA256
// comes once for each image whose digest is known, so that a filter on one
// digest finds the runs that sent it.
std::vector<std::string> AuditJournalFields(const AuditRecord& record);

// Sends the entry; false when no journal took it.
bool SendAuditToJournal(const AuditRecord& record);

}  // namespace workflow
