// Text files split into lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The lines of `text`, each without its "\n" or "\r\n" (files written on
// other systems end lines in "\r\n"); a last line without an end counts.
inline std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.emplace_back(line);
        start = end + 1;
    }
    return lines;
}

}  // namespace platform
