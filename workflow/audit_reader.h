// Reading the audit trail from its end: what `fwupgrade history -n N` needs
// without holding a log of years in memory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "workflow/audit.h"
#include "workflow/json_fields.h"

namespace workflow {

// The longest line taken as a record; the writer's records stay far below.
inline constexpr std::size_t kMaxAuditLine = std::size_t{1} << 20;

// Hands the records of the log at `path` to `take`, newest first, until
// `take` returns false, the log's start is reached, or `maxBytes` (0: no
// bound) of it were read from its end. The log is read backwards in blocks:
// memory is one block and the line under way, however long the log. Lines
// that are not JSON objects, or longer than kMaxAuditLine, are skipped and
// described in `problems` ("line N from the end: ..."), as is a bound that
// stopped the reading. False with `error` set only when the log exists and
// cannot be read; a missing log has no records. Never waits on a FIFO.
bool ReadAuditLogBackward(const std::string& path, const std::function<bool(Json record)>& take,
                          std::vector<std::string>& problems, std::string& error,
                          std::uint64_t maxBytes = 0);

// The same, each line read as the typed record that wrote it.
bool ReadAuditRecordsBackward(const std::string& path,
                              const std::function<bool(AuditRecord record)>& take,
                              std::vector<std::string>& problems, std::string& error,
                              std::uint64_t maxBytes = 0);

}  // namespace workflow
