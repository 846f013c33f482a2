#include "workflow/identity.h"

namespace workflow {

namespace {

std::string Trim(const std::string& text) {
    const char* blanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace

IdentityFields SplitIdentity(const std::string& reply) {
    std::string* fields[] = {nullptr, nullptr, nullptr, nullptr};
    IdentityFields out;
    fields[0] = &out.maker;
    fields[1] = &out.model;
    fields[2] = &out.serial;
    fields[3] = &out.firmware;
    std::size_t start = 0;
    for (int i = 0; i < 4 && start <= reply.size(); ++i) {
        const std::size_t comma = i < 3 ? reply.find(',', start) : std::string::npos;
        const std::size_t end = comma == std::string::npos ? reply.size() : comma;
        *fields[i] = Trim(reply.substr(start, end - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

}  // namespace workflow
