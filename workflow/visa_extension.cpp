#include "workflow/visa_extension.h"

// Placeholder until the library's extension is wired: knows nothing.
namespace workflow {

std::optional<ConnectFailure> LastConnectFailure() {
    return std::nullopt;
}

std::optional<ParsedResource> ParseResource(const std::string&, std::string*) {
    return std::nullopt;
}

std::optional<std::string> InstrumentKey(const std::string&) {
    return std::nullopt;
}

LanSearch SearchLan(std::chrono::milliseconds) {
    return {};
}

bool SetLibraryLog(LogSink, LogLevel) {
    return false;
}

}  // namespace workflow
