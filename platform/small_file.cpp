#include "platform/small_file.h"

#include <cstring>

#include "platform/regular_file.h"

namespace platform {

std::optional<SmallFile> read_small_file(const std::string& path, std::size_t cap,
                                         std::string* error, ReadFailure* failure) {
    auto fail = [&](ReadFailure why, const std::string& text) -> std::optional<SmallFile> {
        if (error) *error = "reading " + path + ": " + text;
        if (failure) *failure = why;
        return std::nullopt;
    };
    const RegularFile opened = open_regular(path, cap);
    switch (opened.refusal) {
        case FileRefusal::none:
            break;
        case FileRefusal::missing:
            return fail(ReadFailure::missing, refusal_text(opened, cap));
        case FileRefusal::unreadable:
            return fail(ReadFailure::unreadable, refusal_text(opened, cap));
        case FileRefusal::not_regular:
            return fail(ReadFailure::not_regular, refusal_text(opened, cap));
        case FileRefusal::too_large:
            return fail(ReadFailure::too_large, refusal_text(opened, cap));
    }
    SmallFile file;
    file.owner = opened.info.st_uid;
    file.mode = opened.info.st_mode & 07777;
    int read_error = 0;
    if (!read_capped(opened.fd.get(), cap, &file.text, &read_error)) {
        // Nothing to read but more than the cap: the file grew since fstat,
        // or reports no size (as /proc's do).
        if (read_error != 0) return fail(ReadFailure::unreadable, std::strerror(read_error));
        return fail(ReadFailure::too_large, "larger than " + std::to_string(cap) + " bytes");
    }
    return file;
}

}  // namespace platform
