#include "workflow/firmware_version.h"

#include <algorithm>

#include "platform/lines.h"

namespace workflow {

namespace {

constexpr std::size_t kMostParts = 8;
constexpr std::size_t kMostDigits = 9;

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

}  // namespace

std::optional<FirmwareVersion> ParseFirmwareVersion(std::string_view text) {
    text = Trimmed(text);
    FirmwareVersion version;
    std::size_t digits = 0;
    unsigned long part = 0;
    for (const char c : text) {
        if (c == '.') {
            // An empty part (".5", "2..5", "2.") makes no version.
            if (digits == 0 || version.m_parts.size() + 1 >= kMostParts) return std::nullopt;
            version.m_parts.push_back(part);
            part = 0;
            digits = 0;
        } else if (c >= '0' && c <= '9' && digits < kMostDigits) {
            part = part * 10 + static_cast<unsigned long>(c - '0');
            ++digits;
        } else {
            return std::nullopt;
        }
    }
    if (digits == 0) return std::nullopt;
    version.m_parts.push_back(part);
    return version;
}

int CompareFirmwareVersions(const FirmwareVersion& a, const FirmwareVersion& b) {
    const std::size_t n = std::max(a.m_parts.size(), b.m_parts.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned long x = i < a.m_parts.size() ? a.m_parts[i] : 0;
        const unsigned long y = i < b.m_parts.size() ? b.m_parts[i] : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

std::optional<std::string> ConfigLineVersion(const std::string& line, const char* id) {
    const std::string_view text(line);
    if (text.size() < 5 || text.compare(0, 4, id) != 0) return std::nullopt;
    // "HPAPX 2.5" names the image too, but gives no version of it.
    if (text[4] != ' ' && text[4] != '\t') return std::nullopt;
    std::string_view rest = Trimmed(text.substr(4));
    const std::size_t end = rest.find_first_of(" \t");
    const std::string_view word = rest.substr(0, end);
    if (!ParseFirmwareVersion(word)) return std::nullopt;
    return std::string(word);
}

std::optional<std::string> ReleaseImageVersion(const std::string& configText, const char* id) {
    std::optional<std::string> found;
    for (const std::string& line : platform::split_lines(configText)) {
        const std::optional<std::string> version = ConfigLineVersion(line, id);
        if (!version) continue;
        if (found && CompareFirmwareVersions(*ParseFirmwareVersion(*found),
                                             *ParseFirmwareVersion(*version)) != 0)
            return std::nullopt;
        found = version;
    }
    return found;
}

std::optional<bool> FirmwareIsCurrent(const std::string& firmware, const std::string& release) {
    const std::optional<FirmwareVersion> running = ParseFirmwareVersion(firmware);
    const std::optional<FirmwareVersion> offered = ParseFirmwareVersion(release);
    if (!running || !offered) return std::nullopt;
    return CompareFirmwareVersions(*running, *offered) == 0;
}

}  // namespace workflow
