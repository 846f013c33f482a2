#include "workflow/identity.h"

#include <string_view>

#include "platform/trim.h"

namespace workflow {

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
        *fields[i] = platform::trim(std::string_view(reply).substr(start, end - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

}  // namespace workflow
