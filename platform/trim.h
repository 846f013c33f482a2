// Blanks off both ends of a piece of text.
#pragma once

#include <string_view>

namespace platform {

// `text` without the ASCII white space (space, \t, \n, \v, \f, \r) at
// either end; a view into `text`.
constexpr std::string_view trim(std::string_view text) {
    constexpr std::string_view blanks = " \t\n\v\f\r";
    const std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace platform
