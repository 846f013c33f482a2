// The audit log is appended to by every run on the machine; a torn or
// hand-edited one must still read: every record an object, each line either
// a record or a problem, never both.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/fuzz/scratch_file.h"
#include "workflow/audit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::write_scratch("audit.jsonl", data, size);
    std::vector<workflow::Json> records;
    std::vector<std::string> problems;
    std::string error;
    if (!workflow::ReadAuditLog(path, records, problems, error)) std::abort();
    size_t lines = 0;
    for (size_t i = 0; i < size; ++i)
        lines += data[i] == '\n';
    if (size > 0 && data[size - 1] != '\n') ++lines;
    if (records.size() + problems.size() > lines) std::abort();
    for (const workflow::Json& record : records)
        if (!record.is_object()) std::abort();
    return 0;
}
